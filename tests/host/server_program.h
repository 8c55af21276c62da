// The server program as a test's child process runs it: the program's main
// with the three real services, its output appended to a file, and the end
// main has (static objects go, leaks are checked).
#pragma once

#include <string>

// nomSyncPort above 0 puts the catalogue service on that port in place of
// its fixed one, so that a test does not depend on that port being free.
[[noreturn]] void RunServerProgram(const std::string& outputFile, int nomSyncPort = 0);
