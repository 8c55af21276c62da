// General routines shared by every subsystem: rounding of money amounts,
// deletion of files and folder trees, splitting of text, running an
// external program and waiting for it, and the few file-system helpers the
// rest of the server uses. None of them keeps state; all are safe on any
// thread. VarToIntDef, VarToInt64Def and IfThenVar live with the Variant
// (core/variant.h), which this header includes.
#pragma once

#include <bitset>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "core/currency.h"
#include "core/exceptions.h"
#include "core/variant.h"

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

// ---- Text ----------------------------------------------------------------

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

// ---- Rounding ------------------------------------------------------------

// Rounding modes: 0 half away from zero, 1 away from zero whenever anything
// is dropped, any other value toward zero.
// Value rounded to a multiple of 1/Factor (100: cents). A factor above
// 10000 fails the assertion "More than 4 decimal places not allowed in
// function RND."; the factor must be positive.
Currency RND(Currency value, int32_t factor, unsigned mode);
// RND(Value, 100, Mode).
Currency RoundMoney(Currency value, unsigned mode);
// X rounded to a multiple of 1/F in extended precision; raises EOverflow
// "Overflow on rounding %g with a factor of %g." when X*F does not fit.
long double RoundByMode(unsigned mode, long double x, long double f);

// ---- Files and folders -----------------------------------------------------

bool FileExists(const std::string& name);       // a file that is not a folder
bool DirectoryExists(const std::string& name);
// Creates the folder and its missing parents; false when that failed. An
// empty name raises EInOutError "Unable to create directory".
bool ForceDirectories(const std::string& dir);

// Windows-style name mask: only "*" and "?" are wildcards ("[" is an
// ordinary character), letter case is ignored (Latin and Cyrillic), "*.*"
// matches every name and a trailing ".*" also matches a name without a dot.
bool MatchesMask(std::string_view name, std::string_view mask);

struct TFoundEntry {
    std::string Name;        // bare name
    bool IsDirectory = false;  // a real folder (a symbolic link is not one)
};
// The entries of a folder that match a mask, "." and ".." left out, sorted
// by name without regard to case (the order the listing of a folder has
// always had). PathMask is a folder and a mask joined ("/data/pharm3/*.rar");
// without a "/" the mask applies to the current folder. A missing folder
// gives an empty list.
std::vector<TFoundEntry> FindEntries(const std::string& pathMask);

// Makes the file writable and deletes it; true when it is gone.
bool ForceDeleteFile(const std::string& name);
// Deletes the folder with everything in it. Stops deleting at the first
// failure. Symbolic links are removed, never followed. False for a missing
// folder.
bool DeleteDirTree(const std::string& dir);
// Deletes the plain files of Dir that match Mask; true when none matched or
// all were deleted; after the first failure nothing more is deleted.
bool DeleteFilesByMask(const std::string& dir, const std::string& mask);
// Size of a file; raises EInOutError when it cannot be opened (or is a
// folder) and ERangeError when the size does not fit 32 bits.
int32_t FileSizeByName(const std::string& name);

// ---- Processes -------------------------------------------------------------

VT_DECLARE_EXCEPTION(EExecError, Exception);

// How long ExecAndWait waits by default before it stops the program.
inline constexpr std::chrono::milliseconds kExecDefaultTimeout = std::chrono::minutes(10);

// Splits a command line as Windows programs split theirs: blanks separate
// arguments, double quotes group (a quote is not kept), "" inside quotes is
// a quote, backslashes are literal except before a quote (2n backslashes +
// quote: n backslashes and the quote groups; 2n+1: n backslashes and a
// literal quote). The program name itself knows no backslash escapes.
std::vector<std::string> SplitCommandLine(const std::string& cmdLine);

// Runs the command line (the first argument is the program, looked up in
// PATH when it has no "/"; a relative path counts from the caller's current
// folder) in WorkDir (the caller's current folder when empty), with standard
// input and output on the null device, standard error inherited and no
// other open files. Waits for it and returns its exit code; -1 when it
// cannot be started (missing program or folder). Raises EExecError when it
// is ended by a signal, or when it has not ended within Timeout (it is then
// killed with everything it started); a Timeout of zero waits without limit.
// Show is accepted for the callers' sake; there is no window to show.
int ExecAndWait(const std::string& cmdLine, bool show, const std::string& workDir,
                std::chrono::milliseconds timeout = kExecDefaultTimeout);
