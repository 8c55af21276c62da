// Starting external programs: command-line splitting and running a
// program to its end.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "core/exceptions.h"

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
