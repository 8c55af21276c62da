// Whole files read and written through an environment, with the errors a
// file stream raises: EInOutError "Cannot open file" / "Cannot create file"
// with the path and the system's reason, EReadError / EStreamError when a
// read or a write fails half-way.
#pragma once

#include <string>

class TEnv;

std::string ReadWholeFile(TEnv& env, const std::string& path);
// Creates the file or replaces what it held.
void WriteWholeFile(TEnv& env, const std::string& path, const std::string& bytes);
