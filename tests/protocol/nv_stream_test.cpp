// Tagged values and the 80-bit floats they carry.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "core/cp1251.h"
#include "protocol/extended80.h"
#include "protocol/nv_stream_utils.h"
#include "protocol/value_encoding.h"
#include "test_bytes.h"
#include "support/expect_raises.h"
#include "support/nv_written.h"

namespace {

struct ReaderOver {
    TMemoryStream ms;
    TNVBinReader r{&ms};
    explicit ReaderOver(std::string bytes) : ms(std::move(bytes)) {}
};

template <typename F>
void ExpectIncorrectValue(const std::string& bytes, F read) {
    ReaderOver in(bytes);
    ExpectRaises<EInvalidValue>([&] { read(in.r); }, "Incorrect value");
}

std::string ExtBytes(double v) {
    const TExtended80 e = DoubleToExtended80(v);
    return std::string(reinterpret_cast<const char*>(e.data()), e.size());
}

}  // namespace

TEST(NVStream, MissingStreamFailsTheAssertion) {
    ExpectRaises<EAssertionFailed>([&] { TNVBinWriter w(nullptr); },
        "Parameter is not assigned (NVStreamUtils.pas, line 122)");
    ExpectRaises<EAssertionFailed>([&] { TNVBinReader r(nullptr); },
        "Parameter is not assigned (NVStreamUtils.pas, line 146)");
}

TEST(NVStream, IntegersTakeTheSmallestFormAndReadBackAlsoAsOtherNumbers) {
    EXPECT_EQ(Hex(Written([](auto& w) { for (int v : {127, -128, 128, -32768, 32768, -32769}) w.WriteInteger(v); })),
              "02 7F 02 80 03 80 00 03 00 80 04 00 80 00 00 04 FF 7F FF FF");
    EXPECT_EQ(Hex(Written([](auto& w) { w.WriteInt64(5); })), "02 05");
    EXPECT_EQ(Hex(Written([](auto& w) { w.WriteInt64(int64_t{1} << 40); })), "13 00 00 00 00 00 01 00 00");
    EXPECT_EQ(Hex(Written([](auto& w) { w.WriteInt64(std::numeric_limits<int32_t>::min()); })), "04 00 00 00 80");
    EXPECT_EQ(Hex(Written([](auto& w) { w.WriteInt64(int64_t{std::numeric_limits<int32_t>::max()} + 1); })),
              "13 00 00 00 80 00 00 00 00");
    const int64_t values[] = {0, 1, -1, 127, 128, -129, 32767, -32769, 1 << 30, -(int64_t{1} << 40),
                              std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max()};
    TMemoryStream ms;
    TNVBinWriter w(&ms);
    for (int64_t v : values) w.WriteInt64(v);
    ms.SetPosition(0);
    TNVBinReader r(&ms);
    for (int64_t v : values) EXPECT_EQ(r.ReadInt64(), v);
    EXPECT_EQ(ms.Remaining(), 0);

    EXPECT_EQ(ReaderOver(B({2, 5})).r.ReadInt64(), 5);
    EXPECT_EQ(ReaderOver(B({2, 7})).r.ReadFloat(), 7.0);
    EXPECT_EQ(ReaderOver(B({3, 0x10, 0x27})).r.ReadCurrency().raw, 10000 * 10000);
    EXPECT_EQ(ReaderOver(B({2, 3})).r.ReadDate(), 3.0);
    EXPECT_EQ(ReaderOver(B({2, 0xFE})).r.ReadSingle(), -2.0f);
    ExpectIncorrectValue(B({6, 1, '7'}), [](auto& r) { r.ReadFloat(); });
    ExpectIncorrectValue(B({19, 0, 0, 0, 0, 0, 0, 0, 0}), [](auto& r) { r.ReadInteger(); });
}

TEST(NVStream, FloatsCurrencyDatesIdentsAndBooleans) {
    TMemoryStream ms;
    TNVBinWriter w(&ms);
    w.WriteFloat(1.0);
    w.WriteSingle(2.5f);
    w.WriteCurrency(Currency::FromRaw(-12345));
    w.WriteDate(45000.25);
    EXPECT_EQ(Hex(ms.Bytes()),
              "05 00 00 00 00 00 00 00 80 FF 3F "
              "0F 00 00 20 40 "
              "10 C7 CF FF FF FF FF FF FF "
              "11 00 00 00 00 08 F9 E5 40");
    ms.SetPosition(0);
    TNVBinReader r(&ms);
    EXPECT_EQ(r.ReadFloat(), 1.0);
    EXPECT_EQ(r.ReadSingle(), 2.5f);
    EXPECT_EQ(r.ReadCurrency().raw, -12345);
    EXPECT_EQ(r.ReadDate(), 45000.25);
    EXPECT_EQ(Hex(Written([](auto& w) {
                  for (const char* id : {"TRUE", "false", "NULL", "Nil", "csaLock"}) w.WriteIdent(id);
              })),
              "09 08 00 0D 07 07 63 73 61 4C 6F 63 6B");
    ReaderOver idents(B({9, 8, 0, 13, 0x87, 2, 'a', 'b'}));  // the last: low 7 bits of the tag
    std::string read;
    while (idents.ms.Remaining() > 0) read += idents.r.ReadIdent() + " ";
    EXPECT_EQ(read, "True False Null nil ab ");
    ReaderOver bad(B({2, 1}));
    ExpectRaises<EInvalidIdentified>([&] { bad.r.ReadIdent(); }, "Incorrect identifier");

    EXPECT_EQ(Hex(Written([](auto& w) { w.WriteBoolean(true); w.WriteBoolean(false); })), "09 08");
    // Any tag other than 9 is False, without error, and only the tag is consumed.
    ReaderOver in(B({2, 9}));
    EXPECT_FALSE(in.r.ReadBoolean());
    EXPECT_EQ(in.ms.Position(), 1);
    EXPECT_TRUE(in.r.ReadBoolean());
}

TEST(NVStream, StringsWideStringsAndStringStreams) {
    const std::string s255(255, 'x'), s256(256, 'y');
    const std::string w255 = Written([&](auto& w) { w.WriteString(s255); });
    EXPECT_EQ(Hex(w255.substr(0, 2)), "06 FF");
    EXPECT_EQ(w255.size(), 257u);
    const std::string w256 = Written([&](auto& w) { w.WriteString(s256); });
    EXPECT_EQ(Hex(w256.substr(0, 5)), "0C 00 01 00 00");
    EXPECT_EQ(ReaderOver(w255).r.ReadString(), s255);
    EXPECT_EQ(ReaderOver(w256).r.ReadString(), s256);
    uint8_t head[5];  // the longest string a head can count, and one byte more
    EXPECT_EQ(EncodeStringHead(INT32_MAX, head), 5u);
    EXPECT_THROW(EncodeStringHead(size_t{INT32_MAX} + 1, head), ERangeError);
    EXPECT_EQ(Hex(Written([](auto& w) { w.WriteString(""); })), "06 00");
    EXPECT_EQ(Hex(Written([](auto& w) { w.WriteChar('A'); })), "06 01 41");
    EXPECT_EQ(ReaderOver(B({6, 1, 'Q'})).r.ReadChar(), 'Q');
    ExpectIncorrectValue(B({6, 2, 'Q', 'R'}), [](auto& r) { r.ReadChar(); });
    ExpectIncorrectValue(B({7, 1, 'Q'}), [](auto& r) { r.ReadString(); });

    // WriteStr (no tag) cuts at 255.
    const std::string str = Written([&](auto& w) { w.WriteStr(s256); });
    EXPECT_EQ(str.size(), 256u);
    EXPECT_EQ(static_cast<uint8_t>(str[0]), 255);

    // Cyrillic text travels as its cp1251 bytes.
    const std::string bg = Cp(u8"Аптека");
    EXPECT_EQ(ReaderOver(Written([&](auto& w) { w.WriteString(bg); })).r.ReadString(), bg);

    // Wide strings: UTF-16 code units behind a count.
    const std::string wide = Written([&](auto& wr) { wr.WriteWideString(u"Аб1"); });
    EXPECT_EQ(Hex(wide), "12 03 00 00 00 10 04 31 04 31 00");
    EXPECT_EQ(ReaderOver(wide).r.ReadWideString(), u"Аб1");
    const std::u16string longer = u"Аптека на ъгъла №1";  // beyond the in-place buffer of a string
    EXPECT_EQ(ReaderOver(Written([&](auto& wr) { wr.WriteWideString(longer); })).r.ReadWideString(), longer);
    ExpectIncorrectValue(B({6, 0}), [](auto& r) { r.ReadWideString(); });

    // String streams as tagged strings.
    TStringStream ss("hello");
    const std::string stream = Written([&](auto& w) { w.WriteStringStream(ss); });
    EXPECT_EQ(Hex(stream), "06 05 68 65 6C 6C 6F");
    EXPECT_EQ(ReaderOver(stream).r.ReadStringStream()->DataString(), "hello");
}

TEST(NVStream, BuffersAndLengthsCheckedAgainstTheBytesPresent) {
    const std::string data = "\x01\x02\x03";
    const std::string bytes = Written([&](auto& w) { w.WriteBuffer(data.data(), 3); });
    EXPECT_EQ(Hex(bytes), "0B 02 03 01 02 03");
    char buf[8] = {};
    EXPECT_EQ(ReaderOver(bytes).r.ReadBuffer(buf, sizeof buf), 3);
    EXPECT_EQ(std::string(buf, 3), data);
    EXPECT_EQ(ReaderOver(bytes).r.ReadBufferBytes(), data);
    // A stored count larger than the caller's buffer is refused before copying.
    char two[2] = {'a', 'b'};
    ExpectIncorrectValue(bytes, [&](auto& r) { r.ReadBuffer(two, 2); });
    EXPECT_EQ(two[0], 'a');
    ExpectIncorrectValue(B({11, 2, 0xFF}), [&](auto& r) { r.ReadBuffer(buf, 8); });          // negative
    ExpectIncorrectValue(B({10, 2, 1, 1}), [&](auto& r) { r.ReadBuffer(buf, 8); });          // tag 10
    ExpectIncorrectValue(B({11, 2, 5, 1, 2}), [&](auto& r) { r.ReadBufferBytes(); });        // short
    // A long string claiming 2 GiB with three bytes behind it.
    ExpectIncorrectValue(B({12, 0xFF, 0xFF, 0xFF, 0x7F, 'a', 'b', 'c'}), [](auto& r) { r.ReadString(); });
    ExpectIncorrectValue(B({12, 0xFF, 0xFF, 0xFF, 0xFF, 'a'}), [](auto& r) { r.ReadString(); });   // -1
    ExpectIncorrectValue(B({6, 5, 'a'}), [](auto& r) { r.ReadString(); });
    ExpectIncorrectValue(B({18, 0x00, 0x00, 0x00, 0x40, 'a', 0}), [](auto& r) { r.ReadWideString(); });
    ExpectIncorrectValue(B({18, 0xFE, 0xFF, 0xFF, 0xFF}), [](auto& r) { r.ReadWideString(); });
    ExpectIncorrectValue(B({18, 2, 0, 0, 0, 'a', 0, 'b'}), [](auto& r) { r.ReadWideString(); });
    // Values cut short and an empty stream.
    ExpectIncorrectValue(B({4, 1, 2}), [](auto& r) { r.ReadInteger(); });
    ExpectIncorrectValue(B({5, 0, 0, 0}), [](auto& r) { r.ReadFloat(); });
    ExpectIncorrectValue(B({19, 1}), [](auto& r) { r.ReadInt64(); });
    ExpectIncorrectValue("", [](auto& r) { r.ReadInteger(); });
    ExpectIncorrectValue("", [](auto& r) { r.ReadBoolean(); });
    ExpectIncorrectValue(B({7, 3, 'a'}), [](auto& r) { r.ReadIdent(); });
}

TEST(NVStream, VariantsReadBackWithTheirTypeUnsupportedOnesAreRefused) {
    const Variant written[] = {Variant(),          Variant::Null(),       Variant(true),          Variant(int8_t{-3}),
                               Variant(int16_t{300}), Variant(int64_t{1} << 33), Variant(2.5f),     Variant(0.1),
                               Variant(Currency::FromRaw(5)), Variant::FromDate(2.75), Variant("text")};
    TMemoryStream ms;
    TNVBinWriter w(&ms);
    for (const Variant& v : written) w.WriteVariant(v);
    w.WriteIdent("someIdent");
    w.WriteWideString(u"w");
    ms.SetPosition(0);
    TNVBinReader r(&ms);
    std::string got;
    while (ms.Remaining() > 0) {
        const Variant v = r.ReadVariant();
        got += std::string(got.empty() ? "" : " ") + VarTypeName(v.Type());
        if (!v.IsEmptyOrNull()) got += "=" + v.AsString();
    }
    EXPECT_EQ(got, "Empty Null Boolean=True Integer=-3 Integer=300 Int64=8589934592 Double=2.5 Double=0.1 "
                   "Currency=0.0005 Date=01.01.1900 18:00:00 String=text String=someIdent OleStr=w");
    for (int tag : {1, 10, 11, 14, 20, 0x80}) {
        ReaderOver in(B({tag, 0, 0}));
        EXPECT_THROW(in.r.ReadVariant(), EInvalidValue) << tag;
        EXPECT_EQ(in.ms.Position(), 0) << "the tag is only looked at";
    }
    for (const Variant& v : {Variant(uint8_t{1}), Variant(uint32_t{1}), Variant(std::u16string(u"w")),
                             Variant(std::vector<Variant>{Variant(1)})}) {
        ExpectRaises<Exception>([&] { Written([&](auto& vw) { vw.WriteVariant(v); }); }, "Unsupported variant type");
    }
}

TEST(Extended80, KnownLayoutsAndRoundTripsOfEveryKindOfDouble) {
    using L = std::numeric_limits<double>;
    const double samples[] = {1.0, -1.0, 0.1, 45000.999988426, 1e300, -1e-300, L::max(), L::min(), L::denorm_min(),
                              L::denorm_min() * 12345, L::infinity(), -L::infinity()};
    for (double v : samples) EXPECT_EQ(Extended80ToDouble(DoubleToExtended80(v)), v) << v;
    EXPECT_TRUE(std::isnan(Extended80ToDouble(DoubleToExtended80(std::nan("")))));
    // A NaN keeps its payload and comes back quiet.
    const double signalling = std::bit_cast<double>(uint64_t{0x7FF0000000000005});
    TExtended80 raw = DoubleToExtended80(signalling);
    EXPECT_EQ(std::bit_cast<uint64_t>(Extended80ToDouble(raw)), uint64_t{0x7FF8000000000005});
    raw[7] &= 0xBF;  // a signalling NaN in the extended form comes back quiet too
    EXPECT_EQ(std::bit_cast<uint64_t>(Extended80ToDouble(raw)), uint64_t{0x7FF8000000000005});
    std::mt19937_64 rng(42);
    for (int i = 0; i < 20000; ++i) {
        uint64_t bits = rng();
        double v;
        std::memcpy(&v, &bits, 8);
        if (std::isnan(v)) continue;
        ASSERT_EQ(Extended80ToDouble(DoubleToExtended80(v)), v) << bits;
    }
    // 45000.5: a date-time of 15 March 2023 at noon.
    EXPECT_EQ(Hex(ExtBytes(1.0) + ExtBytes(-2.0) + ExtBytes(0.0) + ExtBytes(-0.0) + ExtBytes(0.5) + ExtBytes(45000.5) +
                  ExtBytes(L::infinity())),
              "00 00 00 00 00 00 00 80 FF 3F 00 00 00 00 00 00 00 80 00 C0 00 00 00 00 00 00 00 00 00 00 "
              "00 00 00 00 00 00 00 00 00 80 00 00 00 00 00 00 00 80 FE 3F 00 00 00 00 00 80 C8 AF 0E 40 "
              "00 00 00 00 00 00 00 80 FF 7F");
}

TEST(Extended80, RoundsExtraPrecisionToNearestEven) {
    // 1 + 2^-53 lies half-way between 1 and the next double: ties to even (1).
    TExtended80 e = DoubleToExtended80(1.0);
    e[1] = 0x04;   // mantissa bit 10 = 2^-53 relative to the integer bit
    EXPECT_EQ(Extended80ToDouble(e), 1.0);
    e[1] = 0x04;
    e[0] = 0x01;   // a little above half: rounds up
    EXPECT_EQ(Extended80ToDouble(e), 1.0 + std::ldexp(1.0, -52));
    // Beyond the double range: infinity; far below: zero.
    TExtended80 big{};
    big[7] = 0x80;
    big[8] = 0xFE;
    big[9] = 0x7F;
    EXPECT_TRUE(std::isinf(Extended80ToDouble(big)));
    TExtended80 tiny{};
    tiny[7] = 0x80;
    tiny[8] = 0x01;
    EXPECT_EQ(Extended80ToDouble(tiny), 0.0);
}

TEST(Extended80, AgreesWithTheProcessorWhereLongDoubleIsX87) {
    if (std::numeric_limits<long double>::digits != 64) GTEST_SKIP() << "long double is not x87 here";
    std::mt19937_64 rng(7);
    for (int i = 0; i < 20000; ++i) {
        long double x;
        std::memset(&x, 0, sizeof x);
        uint64_t m = rng() | (uint64_t{1} << 63);
        // Exponents a double can reach, some of them with subnormal results.
        const uint16_t se = static_cast<uint16_t>((16383 - 1100 + rng() % 2200) | ((rng() & 1) << 15));
        std::memcpy(&x, &m, 8);
        std::memcpy(reinterpret_cast<char*>(&x) + 8, &se, 2);
        uint8_t raw[10];
        std::memcpy(raw, &x, 10);
        ASSERT_EQ(Extended80ToDouble(raw), static_cast<double>(x)) << m << " " << se;
        const double d = static_cast<double>(x);
        const long double back = d;
        const TExtended80 mine = DoubleToExtended80(d);
        ASSERT_EQ(std::memcmp(mine.data(), &back, 10), 0);
    }
}
