// Running the real clients (curl, lftp) from tests.
#pragma once

#include <string>

// Runs a command through the shell (bounded by `timeout 120`), with its
// standard error joined to its output; the exit code, -1 when it did not end
// normally.
int RunCommand(const std::string& command, std::string* output = nullptr);
// The text in single quotes for the shell.
std::string ShellQuote(const std::string& s);
