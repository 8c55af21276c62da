// Tagged binary values: each value is one tag byte followed by its data, all
// numbers little-endian. The catalogue objects serialise themselves with
// these, and the customer-information block and the compressed-stream
// helpers wrap their texts in them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/currency.h"
#include "core/datetime.h"
#include "core/exceptions.h"
#include "core/stream.h"
#include "core/variant.h"

VT_DECLARE_EXCEPTION(EInvalidValue, Exception);        // "Incorrect value"
VT_DECLARE_EXCEPTION(EInvalidIdentified, Exception);   // "Incorrect identifier"

// Tag bytes. 1, 10 and 14 are never written; the buffer is 11.
enum TNVValueTag : uint8_t {
    nvtNull = 0,
    nvtInt8 = 2,
    nvtInt16 = 3,
    nvtInt32 = 4,
    nvtExtended = 5,
    nvtString = 6,
    nvtIdent = 7,
    nvtFalse = 8,
    nvtTrue = 9,
    nvtBuffer = 11,
    nvtLString = 12,
    nvtNil = 13,
    nvtSingle = 15,
    nvtCurrency = 16,
    nvtDate = 17,
    nvtWString = 18,
    nvtInt64 = 19,
};

// Writer of tagged values onto a stream it does not own.
class TNVWriter {
public:
    // A null stream fails the assertion "Parameter is not assigned".
    explicit TNVWriter(TStream* stream);
    virtual ~TNVWriter() = default;
    TNVWriter(const TNVWriter&) = delete;
    TNVWriter& operator=(const TNVWriter&) = delete;

    TStream& Stream() const { return *stream_; }

    virtual void Write(const void* buffer, int64_t count);     // raw bytes
    virtual void WriteStr(const std::string& s) = 0;           // length byte + text, no tag
    virtual void WriteValue(uint8_t tag);                      // one tag byte
    virtual void WriteBoolean(bool v) = 0;
    virtual void WriteChar(char c);
    virtual void WriteFloat(double v) = 0;                     // 80-bit extended on the wire
    virtual void WriteSingle(float v) = 0;
    virtual void WriteCurrency(Currency v) = 0;
    virtual void WriteDate(TDateTime v) = 0;
    virtual void WriteIdent(const std::string& s) = 0;
    virtual void WriteInteger(int32_t v) = 0;
    virtual void WriteInt64(int64_t v) = 0;
    virtual void WriteVariant(const Variant& v) = 0;
    virtual void WriteString(const std::string& s) = 0;
    virtual void WriteWideString(const std::u16string& w) = 0;
    virtual void WriteStringStream(const TStringStream& ss) = 0;
    virtual void WriteBuffer(const void* buffer, int32_t count) = 0;

private:
    TStream* stream_;
};

// Reader of tagged values from a stream it does not own. Counts and lengths
// read from the stream are checked against the bytes left before anything is
// allocated, and a value cut short by the end of the stream fails with
// EInvalidValue ("Incorrect value") instead of yielding garbage.
class TNVReader {
public:
    // A null stream fails the assertion "Parameter is not assigned".
    explicit TNVReader(TStream* stream);
    virtual ~TNVReader() = default;
    TNVReader(const TNVReader&) = delete;
    TNVReader& operator=(const TNVReader&) = delete;

    TStream& Stream() const { return *stream_; }

    virtual void Read(void* buffer, int64_t count);           // exactly count raw bytes
    virtual std::string ReadStr();                            // length byte + text, no tag
    virtual uint8_t ReadValue();                              // one tag byte
    virtual bool ReadBoolean() = 0;
    virtual char ReadChar() = 0;
    virtual double ReadFloat() = 0;
    virtual float ReadSingle() = 0;
    virtual Currency ReadCurrency() = 0;
    virtual TDateTime ReadDate() = 0;
    virtual std::string ReadIdent() = 0;
    virtual int32_t ReadInteger() = 0;
    virtual int64_t ReadInt64() = 0;
    virtual Variant ReadVariant() = 0;
    virtual std::string ReadString() = 0;
    virtual std::u16string ReadWideString() = 0;
    virtual std::unique_ptr<TStringStream> ReadStringStream() = 0;
    // Reads a buffer value into `buffer`, which holds `capacity` bytes, and
    // returns the stored count; a count above the capacity (or negative)
    // raises EInvalidValue before anything is copied.
    virtual int32_t ReadBuffer(void* buffer, int32_t capacity) = 0;

protected:
    // Bytes left between the position and the end of the stream.
    int64_t BytesLeft() const;

private:
    TStream* stream_;
};

class TNVBinWriter : public TNVWriter {
public:
    using TNVWriter::TNVWriter;

    void WriteStr(const std::string& s) override;
    void WriteBoolean(bool v) override;
    void WriteFloat(double v) override;
    void WriteSingle(float v) override;
    void WriteCurrency(Currency v) override;
    void WriteDate(TDateTime v) override;
    void WriteIdent(const std::string& s) override;
    void WriteInteger(int32_t v) override;
    void WriteInt64(int64_t v) override;
    // Raises EVariantError "Unsupported variant type" for unsigned integers,
    // wide strings and arrays.
    void WriteVariant(const Variant& v) override;
    void WriteString(const std::string& s) override;
    void WriteWideString(const std::u16string& w) override;
    void WriteStringStream(const TStringStream& ss) override;
    void WriteBuffer(const void* buffer, int32_t count) override;

private:
    // A tag and a fixed-size little-endian number after it.
    template <typename T>
    void WriteTaggedNumber(uint8_t tag, T v);
};

class TNVBinReader : public TNVReader {
public:
    using TNVReader::TNVReader;

    bool ReadBoolean() override;
    char ReadChar() override;
    double ReadFloat() override;
    float ReadSingle() override;
    Currency ReadCurrency() override;
    TDateTime ReadDate() override;
    std::string ReadIdent() override;
    int32_t ReadInteger() override;
    int64_t ReadInt64() override;
    Variant ReadVariant() override;
    std::string ReadString() override;
    std::u16string ReadWideString() override;
    std::unique_ptr<TStringStream> ReadStringStream() override;
    int32_t ReadBuffer(void* buffer, int32_t capacity) override;
    // The content of a buffer value, however long, as far as the stream holds it.
    std::string ReadBufferBytes();

private:
    // The integer value whose tag has been read already (tags 2, 3, 4).
    int32_t ReadIntegerData(uint8_t tag);
    // A 4-byte length followed by that many units of `unit` bytes, checked
    // against the bytes left.
    int32_t ReadCheckedLength(int64_t unit);
    // A value of tag `tag` holding a little-endian Raw, converted by fromRaw;
    // an integer value (tags 2, 3, 4) is taken too, converted by fromInt.
    template <typename Raw, typename FromRaw, typename FromInt>
    auto ReadTaggedNumber(uint8_t tag, FromRaw fromRaw, FromInt fromInt);
};
