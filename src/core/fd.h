// An owned operating-system descriptor: closed once, when its owner goes
// away or is given another, never leaked on an early return or an exception.
#pragma once

#include <unistd.h>

#include <utility>

class TUniqueFd {
public:
    TUniqueFd() = default;
    explicit TUniqueFd(int fd) : fd_(fd) {}
    TUniqueFd(const TUniqueFd&) = delete;
    TUniqueFd& operator=(const TUniqueFd&) = delete;
    TUniqueFd(TUniqueFd&& o) noexcept : fd_(o.Release()) {}
    TUniqueFd& operator=(TUniqueFd&& o) noexcept {
        if (this != &o) Reset(o.Release());
        return *this;
    }
    ~TUniqueFd() { Reset(); }

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int Release() { return std::exchange(fd_, -1); }
    // Closes the descriptor held (if any) and takes Fd.
    void Reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    // Closes now and returns what close returned (0, or -1 with errno set):
    // for a written file, whose close may be the first to report a lost write.
    int Close() { return fd_ >= 0 ? ::close(Release()) : 0; }

private:
    int fd_ = -1;
};
