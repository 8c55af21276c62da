// The tagged values of the component-stream encoding, as the binary form of
// the in-memory table writes and reads them: a writer and a reader over a
// stream, each with a buffer of its own.
#pragma once

#include <cstdint>
#include <string>

#include "core/stream.h"

// Value tags.
namespace ValueTag {
constexpr uint8_t kNull = 0x00;       // end of a list
constexpr uint8_t kList = 0x01;
constexpr uint8_t kInt8 = 0x02;
constexpr uint8_t kInt16 = 0x03;
constexpr uint8_t kInt32 = 0x04;
constexpr uint8_t kExtended = 0x05;
constexpr uint8_t kString = 0x06;
constexpr uint8_t kFalse = 0x08;
constexpr uint8_t kTrue = 0x09;
constexpr uint8_t kLString = 0x0C;
constexpr uint8_t kInt64 = 0x13;
}  // namespace ValueTag

// 80-bit extended-precision value (x87 layout, little-endian) and back.
void DoubleToExtended(double value, uint8_t out[10]);
double ExtendedToDouble(const uint8_t in[10]);

class TValueWriter {
public:
    TValueWriter(TStream& stream, size_t bufferSize);
    ~TValueWriter();
    TValueWriter(const TValueWriter&) = delete;
    TValueWriter& operator=(const TValueWriter&) = delete;

    void WriteSignature();                 // "TPF0"
    void WriteListBegin();                 // 0x01
    void WriteListEnd();                   // 0x00
    void WriteNull() { WriteListEnd(); }   // a null value: 0x00
    // Smallest form: 0x02, 0x03, 0x04, or 0x13 beyond the 32-bit range.
    void WriteInteger(int64_t value);
    void WriteBoolean(bool value);
    void WriteFloat(double value);         // 0x05 and 10 bytes
    void WriteString(const std::string& value);  // 0x06 up to 255 bytes, else 0x0C
    // Writes what the buffer holds to the stream.
    void FlushBuffer();

private:
    void Put(const void* data, size_t n);
    TStream& stream_;
    std::string buffer_;
    size_t capacity_;
};

// Raises EReadError: "Stream read error" when bytes run out, "Invalid stream
// format" for a wrong signature and "Invalid property value" for a value of
// an unexpected kind.
class TValueReader {
public:
    TValueReader(TStream& stream, size_t bufferSize);
    TValueReader(const TValueReader&) = delete;
    TValueReader& operator=(const TValueReader&) = delete;

    void ReadSignature();
    void ReadListBegin();
    void ReadListEnd();
    // The next byte is 0x00 (it is not consumed).
    bool EndOfList();
    // The next tag, not consumed; -1 at the end of the stream.
    int PeekTag();
    void SkipTag();
    // Bytes left to read, the next one included.
    int64_t Remaining();
    int32_t ReadInteger();                 // 0x02..0x04
    int64_t ReadInt64();                   // 0x02..0x04, 0x13
    double ReadFloat();                    // 0x05, or any 32-bit integer
    std::string ReadString();              // 0x06, 0x0C
    bool ReadBoolean();                    // 0x08, 0x09

private:
    uint8_t ReadByte();
    void Read(void* data, size_t n);
    bool Fill();
    TStream& stream_;
    std::string buffer_;
    size_t pos_ = 0;
    size_t len_ = 0;
};
