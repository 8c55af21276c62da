// The process's limit of open descriptors: every connection holds one, so the
// soft limit is raised to the hard one at start.
#pragma once

#include <cstdint>

// Raises the soft RLIMIT_NOFILE to the hard limit (when it is lower) and
// returns the soft limit the process now runs with.
uint64_t RaiseOpenFileLimit();
