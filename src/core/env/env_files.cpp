#include "core/env/env_files.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "core/env/env.h"
#include "core/exceptions.h"

namespace {

// Closes the descriptor when the scope ends.
struct TFileHandle {
    TEnv& env;
    int fd;
    ~TFileHandle() {
        if (fd >= 0) env.CloseFile(fd);
    }
};

int OpenOrRaise(TEnv& env, const std::string& path, int flags, const char* what) {
    int fd = env.OpenFile(path, flags, 0644);
    if (fd < 0) throw EInOutError(std::string(what) + " \"" + path + "\". " + std::strerror(errno));
    return fd;
}

}  // namespace

std::string ReadWholeFile(TEnv& env, const std::string& path) {
    TFileHandle f{env, OpenOrRaise(env, path, O_RDONLY, "Cannot open file")};
    std::string bytes;
    char buf[65536];
    for (;;) {
        ssize_t n = env.ReadFile(f.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw EReadError("Stream read error");
        if (n == 0) return bytes;
        bytes.append(buf, static_cast<size_t>(n));
    }
}

void WriteWholeFile(TEnv& env, const std::string& path, const std::string& bytes) {
    TFileHandle f{env, OpenOrRaise(env, path, O_RDWR | O_CREAT | O_TRUNC, "Cannot create file")};
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = env.WriteFile(f.fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw EStreamError("Stream write error");
        done += static_cast<size_t>(n);
    }
}
