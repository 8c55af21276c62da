#include "core/stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/exceptions.h"

void TStream::ReadBuffer(void* buffer, int64_t count) {
    if (count < 0 || Read(buffer, count) != count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
    if (count < 0 || Write(buffer, count) != count) throw EStreamError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    char buf[65536];
    int64_t left = count;
    while (left > 0) {
        int64_t n = std::min<int64_t>(left, sizeof buf);
        source.ReadBuffer(buf, n);
        WriteBuffer(buf, n);
        left -= n;
    }
    return count;
}

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
    if (count <= 0 || pos_ >= Size()) return 0;
    int64_t n = std::min<int64_t>(count, Size() - pos_);
    std::memcpy(buffer, data_.data() + pos_, static_cast<size_t>(n));
    pos_ += n;
    return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
    if (count <= 0) return 0;
    if (pos_ + count > Size()) data_.resize(static_cast<size_t>(pos_ + count));
    std::memcpy(data_.data() + pos_, buffer, static_cast<size_t>(count));
    pos_ += count;
    return count;
}

int64_t TMemoryStream::Seek(int64_t offset, SeekOrigin origin) {
    int64_t base = origin == SeekOrigin::Beginning ? 0 : origin == SeekOrigin::Current ? pos_ : Size();
    int64_t p = base + offset;
    if (p < 0) p = 0;
    pos_ = p;
    return pos_;
}

void TMemoryStream::SetSize(int64_t size) {
    data_.resize(static_cast<size_t>(std::max<int64_t>(0, size)));
    if (pos_ > size) pos_ = size;
}

void TMemoryStream::LoadFromFile(const std::string& path) {
    TFileStream f(path, FileMode::OpenRead);
    data_.assign(static_cast<size_t>(f.Size()), '\0');
    f.ReadBuffer(data_.data(), static_cast<int64_t>(data_.size()));
    pos_ = 0;
}

void TMemoryStream::SaveToFile(const std::string& path) {
    TFileStream f(path, FileMode::Create);
    f.WriteBuffer(data_.data(), static_cast<int64_t>(data_.size()));
}

TFileStream::TFileStream(const std::string& path, FileMode mode) : path_(path) {
    int flags = mode == FileMode::Create ? O_RDWR | O_CREAT | O_TRUNC
                : mode == FileMode::OpenRead ? O_RDONLY
                                             : O_RDWR;
    fd_.Reset(::open(path.c_str(), flags | O_CLOEXEC, 0644));
    if (!fd_.Valid()) {
        std::string what = mode == FileMode::Create ? "Cannot create file" : "Cannot open file";
        throw EInOutError(what + " \"" + path + "\". " + std::strerror(errno));
    }
}

TFileStream::~TFileStream() = default;

int64_t TFileStream::Read(void* buffer, int64_t count) {
    int64_t total = 0;
    while (count > 0) {
        ssize_t n = ::read(fd_.Get(), static_cast<char*>(buffer) + total, static_cast<size_t>(count));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        total += n;
        count -= n;
    }
    return total;
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
    int64_t total = 0;
    while (count > 0) {
        ssize_t n = ::write(fd_.Get(), static_cast<const char*>(buffer) + total, static_cast<size_t>(count));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        total += n;
        count -= n;
    }
    return total;
}

int64_t TFileStream::Seek(int64_t offset, SeekOrigin origin) {
    int whence = origin == SeekOrigin::Beginning ? SEEK_SET : origin == SeekOrigin::Current ? SEEK_CUR : SEEK_END;
    off_t r = ::lseek(fd_.Get(), static_cast<off_t>(offset), whence);
    return r < 0 ? -1 : static_cast<int64_t>(r);
}

int64_t TFileStream::Position() const {
    off_t r = ::lseek(fd_.Get(), 0, SEEK_CUR);
    return r < 0 ? -1 : static_cast<int64_t>(r);
}

int64_t TFileStream::Size() const {
    struct stat st{};
    if (::fstat(fd_.Get(), &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

void TFileStream::SetSize(int64_t size) {
    if (::ftruncate(fd_.Get(), static_cast<off_t>(size)) != 0) throw EStreamError("Stream write error");
}
