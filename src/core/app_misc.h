// Path, Boolean-text, bracket-number, folder-listing and quoting routines,
// and the table of the characters with which Booleans are stored in the
// database. String lists are std::vector<std::string> owned by the caller.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// false -> "F", true -> "T": the one source of the Boolean text of the database.
inline constexpr const char* BoolChars[2] = {"F", "T"};

// S + "/" unless S is empty or already ends in "/".
std::string AddTrailingBackslash(const std::string& s);
// True exactly for "T" (letter case counts).
bool StrToBoolTF(const std::string& s);
// Every item in upper case under cp1251 (Cyrillic letters included).
void UpperCaseStrings(std::vector<std::string>& list);
// The text between the first "[" and the first "]" as an integer
// ("xml[12].cds" -> 12); 0 when missing, empty or not a number.
int32_t ExtractBracketNumber(const std::string& s);
// Sorts ascending by ExtractBracketNumber, keeping the order of equal numbers.
void SortByBracketNumber(std::vector<std::string>& list);
// Bare names of the entries that match Dir + Mask (joined as they are, so Dir
// ends in "/"): folders other than "." and ".." when IncludeDirs, everything
// else when IncludeFiles. Empty when the folder is missing. Masks are
// Windows-style (see MatchesMask in core/misc.h).
std::vector<std::string> GetDirectoryEntries(const std::string& dir, const std::string& mask,
                                             bool includeDirs, bool includeFiles);
// Bare names of the plain files (not folders) in Folder that match Mask.
std::vector<std::string> GetFileList(const std::string& folder, const std::string& mask);
// A single blank becomes a quoted blank; every other text is returned as it is.
std::string QuoteIfSingleBlank(const std::string& s);
// S without its first and last character when both are double quotes ("\""
// alone gives the empty text); otherwise S.
std::string RemoveQuotes(const std::string& s);
