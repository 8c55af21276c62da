#include "support/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>

namespace {

sockaddr_in LoopbackAddress(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

void SetTimeout(int fd, int option, int ms) {
    if (ms <= 0) return;
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

}  // namespace

int ConnectLoopback(int port, int receiveTimeoutMs, int sendTimeoutMs) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    SetTimeout(fd, SO_RCVTIMEO, receiveTimeoutMs);
    SetTimeout(fd, SO_SNDTIMEO, sendTimeoutMs);
    const sockaddr_in a = LoopbackAddress(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool LoopbackListens(int port) {
    const int fd = ConnectLoopback(port);
    CloseFd(fd);
    return fd >= 0;
}

std::pair<int, int> ListenLoopback() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = LoopbackAddress(0);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, 4);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return {fd, ntohs(a.sin_port)};
}

int FreeLoopbackPort() {
    auto [fd, port] = ListenLoopback();
    CloseFd(fd);
    return port;
}

bool SendAll(int fd, const std::string& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
        const ssize_t put = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (put <= 0) return false;
        off += static_cast<size_t>(put);
    }
    return true;
}

std::string ReceiveUpTo(int fd, size_t n) {
    // Grows with the bytes that arrive, whatever n says.
    std::string out;
    char buf[65536];
    while (out.size() < n) {
        const ssize_t r = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
        if (r <= 0) break;
        out.append(buf, static_cast<size_t>(r));
    }
    return out;
}

void CloseFd(int fd) {
    if (fd >= 0) ::close(fd);
}
