#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "protocol/extended80.h"
#include "test_bytes.h"

namespace {

std::string ExtBytes(double v) {
    const TExtended80 e = DoubleToExtended80(v);
    return std::string(reinterpret_cast<const char*>(e.data()), e.size());
}

}  // namespace

TEST(Extended80, KnownLayoutsAndRoundTripsOfEveryKindOfDouble) {
    using L = std::numeric_limits<double>;
    const double samples[] = {1.0, -1.0, 0.1, 45000.999988426, 1e300, -1e-300, L::max(), L::min(), L::denorm_min(),
                              L::denorm_min() * 12345, L::infinity(), -L::infinity()};
    for (double v : samples) EXPECT_EQ(Extended80ToDouble(DoubleToExtended80(v)), v) << v;
    EXPECT_TRUE(std::isnan(Extended80ToDouble(DoubleToExtended80(std::nan("")))));
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
