// Byte streams: the memory, file and string streams the codecs, the
// compressed-stream helpers and the persistence code read and write.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/fd.h"

enum class SeekOrigin { Beginning, Current, End };

class TStream {
public:
    virtual ~TStream() = default;
    // Reads up to count bytes; returns how many were read (short at the end).
    virtual int64_t Read(void* buffer, int64_t count) = 0;
    virtual int64_t Write(const void* buffer, int64_t count) = 0;
    virtual int64_t Seek(int64_t offset, SeekOrigin origin) = 0;
    virtual int64_t Size() const = 0;
    virtual void SetSize(int64_t size) = 0;
    virtual int64_t Position() const = 0;

    void SetPosition(int64_t pos) { Seek(pos, SeekOrigin::Beginning); }
    int64_t Remaining() const { return Size() - Position(); }
    // Read exactly count bytes or raise EReadError "Stream read error".
    void ReadBuffer(void* buffer, int64_t count);
    // Write exactly count bytes or raise EStreamError "Stream write error".
    void WriteBuffer(const void* buffer, int64_t count);
    // Copies count bytes from source (all of it from its start when count is 0).
    int64_t CopyFrom(TStream& source, int64_t count);
};

class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::string bytes) : data_(std::move(bytes)) {}
    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, SeekOrigin origin) override;
    int64_t Size() const override { return static_cast<int64_t>(data_.size()); }
    int64_t Position() const override { return pos_; }
    void SetSize(int64_t size) override;
    void Clear() { data_.clear(); pos_ = 0; }
    const std::string& Bytes() const { return data_; }
    std::string& Bytes() { return data_; }
    void LoadFromFile(const std::string& path);   // raises EInOutError
    void SaveToFile(const std::string& path);     // raises EInOutError

protected:
    std::string data_;
    int64_t pos_ = 0;
};

// A memory stream whose content is a string ("DataString").
class TStringStream : public TMemoryStream {
public:
    TStringStream() = default;
    explicit TStringStream(std::string s) : TMemoryStream(std::move(s)) {}
    const std::string& DataString() const { return data_; }
};

enum class FileMode { Create, OpenRead, OpenReadWrite };

class TFileStream : public TStream {
public:
    // Raises EInOutError "Cannot open file \"<path>\". <reason>" or
    // "Cannot create file \"<path>\". <reason>".
    TFileStream(const std::string& path, FileMode mode);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;
    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, SeekOrigin origin) override;
    int64_t Size() const override;
    void SetSize(int64_t size) override;
    int64_t Position() const override;
    const std::string& FileName() const { return path_; }

private:
    std::string path_;
    TUniqueFd fd_;
};
