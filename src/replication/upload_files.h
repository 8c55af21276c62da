// File steps shared by the FTP and the TCP upload paths, through the
// environment so that their failures can be injected.
#pragma once

#include <cstdint>
#include <string>

#include "core/env/env.h"

// Creates one folder level; raises EInOutError when that fails.
void CreateFolder(TEnv& env, const std::string& dir);
// Size of a plain file (not followed through a link); 0 when there is none.
int64_t PlainFileSize(TEnv& env, const std::string& path);
