#include "core/exceptions.h"

#include <cstring>

[[noreturn]] void RaiseAssertion(const std::string& msg, const char* file, int line) {
    const char* base = std::strrchr(file, '/');
    base = base ? base + 1 : file;
    throw EAssertionFailed(msg + " (" + base + ", line " + std::to_string(line) + ")");
}
