// Text routines: the character set of delimiters, splitting of delimited
// text, quotes, bracket numbers and the Boolean text of the database. None
// of them keeps state; all are safe on any thread.
#pragma once

#include <bitset>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

// A set of 8-bit characters (the delimiters of the splitting routines).
class TCharSet {
public:
    TCharSet() = default;
    TCharSet(std::string_view chars) { for (char c : chars) Include(c); }
    TCharSet(const char* chars) : TCharSet(std::string_view(chars)) {}
    TCharSet(std::initializer_list<char> chars) { for (char c : chars) Include(c); }
    void Include(char c) { bits_.set(static_cast<unsigned char>(c)); }
    bool Contains(char c) const { return bits_.test(static_cast<unsigned char>(c)); }
    bool Empty() const { return bits_.none(); }

private:
    std::bitset<256> bits_;
};

// Scanning S from its end, the 1-based position of the (Skip + 1)-th
// occurrence of Ch; 0 when there are fewer.
int LastCharPos(char ch, const std::string& s, int skip);
// True when every character is a digit 0-9 (also for the empty text).
bool IsDigitsOnly(const std::string& s);
// Splits S at the delimiters into List (emptied first when Clear). Double
// quotes enclose pieces that may hold delimiters ("" inside is one quote);
// two delimiters in a row give an empty item, a trailing delimiter none; a
// CR delimiter followed by LF counts once.
void ParseDelimitedText(const std::string& s, std::vector<std::string>& list, const TCharSet& delims,
                        bool clear);
std::vector<std::string> SplitDelimitedText(const std::string& s, const TCharSet& delims);
// Splits S at the delimiters; quotes have no meaning. Empty pieces are kept
// only when KeepEmpty; a trailing delimiter never adds an empty last item.
std::vector<std::string> SplitByChars(const std::string& s, const TCharSet& delims, bool keepEmpty);

// false -> "F", true -> "T": the one source of the Boolean text of the database.
inline constexpr const char* BoolChars[2] = {"F", "T"};

// True exactly for "T" (letter case counts).
bool StrToBoolTF(const std::string& s);

// Every item in upper case under cp1251 (Cyrillic letters included).
void UpperCaseStrings(std::vector<std::string>& list);

// The text between the first "[" and the first "]" as an integer
// ("xml[12].cds" -> 12); 0 when missing, empty or not a number.
int32_t ExtractBracketNumber(const std::string& s);

// Sorts ascending by ExtractBracketNumber, keeping the order of equal numbers.
void SortByBracketNumber(std::vector<std::string>& list);

// A single blank becomes a quoted blank; every other text is returned as it is.
std::string QuoteIfSingleBlank(const std::string& s);

// S without its first and last character when both are double quotes ("\""
// alone gives the empty text); otherwise S.
std::string RemoveQuotes(const std::string& s);
