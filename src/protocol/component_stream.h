// The binary component stream that carries one command or result:
//   "TPF0", class name, empty component name (short strings),
//   property entries (short-string name + tagged value) ... 0x00,
//   child objects (none) ... 0x00.
// All numbers inside it are little-endian.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/exceptions.h"
#include "core/stream.h"
#include "protocol/component.h"

// "Class %s not found". The other decoding failures ("Invalid stream
// format", "Property %s does not exist", "Invalid property value", "Stream
// read error") are EReadError.
VT_DECLARE_EXCEPTION(EClassNotFound, EStreamError);

// Tags of the component stream's values.
enum TComponentValueTag : uint8_t {
    cvNull = 0x00,       // end of a list
    cvInt8 = 0x02,
    cvInt16 = 0x03,
    cvInt32 = 0x04,
    cvExtended = 0x05,
    cvString = 0x06,
    cvIdent = 0x07,
    cvFalse = 0x08,
    cvTrue = 0x09,
    cvBinary = 0x0A,
    cvLString = 0x0C,
    cvInt64 = 0x13,
};

// Writes values of the component stream. Used by the codec and by the
// classes' defined-property routines.
class TComponentWriter {
public:
    explicit TComponentWriter(TStream& stream) : stream_(stream) {}

    void WriteBytes(const void* data, int64_t count) { stream_.WriteBuffer(data, count); }
    void WriteTag(uint8_t tag) { WriteBytes(&tag, 1); }
    // Length byte and at most 255 bytes of text, no tag.
    void WriteShortString(const std::string& s);
    // Smallest integer form: 0x02, 0x03, 0x04, or 0x13 beyond the 32-bit range.
    void WriteInteger(int64_t v);
    // 0x06 up to 255 bytes, else 0x0C with a 4-byte length.
    void WriteString(const std::string& s);
    void WriteBoolean(bool v) { WriteTag(v ? cvTrue : cvFalse); }
    void WriteIdent(const char* ident);   // 0x07 + short string
    void WriteFloat(double v);            // 0x05 + 80-bit extended
    // 0x0A, 4-byte count, then the whole content of the stream from its first
    // byte, whatever its position.
    void WriteBinary(const TMemoryStream& data);

private:
    TStream& stream_;
};

// Reads values of the component stream. Every count is checked against the
// bytes left before anything is allocated; running out of bytes raises
// EReadError "Stream read error", a value of the wrong kind EReadError
// "Invalid property value".
class TComponentReader {
public:
    explicit TComponentReader(TStream& stream) : stream_(stream) {}

    TStream& Stream() { return stream_; }
    int64_t BytesLeft();
    void ReadBytes(void* data, int64_t count);
    uint8_t ReadTag();
    uint8_t PeekTag();
    std::string ReadShortString();
    // Tags 0x02-0x04, and 0x13 when allowInt64.
    int64_t ReadIntegerValue(bool allowInt64);
    // Tags 0x06 and 0x0C.
    std::string ReadStringValue();
    // 0x05 with its 10 bytes, or any integer value.
    double ReadFloatValue();
    // The identifier of 0x07, 0x08 ("False") or 0x09 ("True").
    std::string ReadIdentValue();
    // 0x0A and its block, written into `target` at its position; the target
    // is then rewound to 0. The block is copied once, straight from the
    // source into the target.
    void ReadBinaryInto(TMemoryStream& target);

    [[noreturn]] static void InvalidPropertyValue();
    [[noreturn]] static void ReadError();

private:
    TStream& stream_;
};

// Empties the stream, writes the component stream of the object from its
// start, and rewinds the stream.
void WritePharmComponent(TStream& stream, const TComponent& component);
// Rewinds the stream and decodes one component stream into a new object of a
// registered class. Raises EReadError or EClassNotFound (see above).
std::unique_ptr<TComponent> ReadPharmComponent(TStream& stream);

// Conveniences over a byte string.
std::string EncodePharmComponent(const TComponent& component);
// Takes the bytes over without copying them.
std::unique_ptr<TComponent> DecodePharmComponent(std::string bytes);
