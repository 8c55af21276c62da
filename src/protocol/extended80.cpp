#include "protocol/extended80.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

constexpr int kExtBias = 16383;
constexpr int kDoubleBias = 1023;

}  // namespace

TExtended80 DoubleToExtended80(double v) {
    uint64_t bits = std::bit_cast<uint64_t>(v);
    const uint16_t sign = static_cast<uint16_t>((bits >> 63) << 15);
    const int dexp = static_cast<int>((bits >> 52) & 0x7FF);
    uint64_t frac = bits & ((uint64_t{1} << 52) - 1);

    uint16_t exp = 0;
    uint64_t mant = 0;
    if (dexp == 0x7FF) {
        // Infinity keeps only the integer bit; a NaN keeps its payload and is quiet.
        exp = 0x7FFF;
        mant = (uint64_t{1} << 63) | (frac << 11);
        if (frac != 0) mant |= uint64_t{1} << 62;
    } else if (dexp == 0) {
        if (frac != 0) {
            // A subnormal double is a normal extended number: shift the
            // leading one up to the integer bit.
            int lead = 63 - std::countl_zero(frac);   // position of the top bit, < 52
            mant = frac << (63 - lead);
            exp = static_cast<uint16_t>(kExtBias + (lead - 52) - (kDoubleBias - 1));
        }
    } else {
        exp = static_cast<uint16_t>(dexp - kDoubleBias + kExtBias);
        mant = (uint64_t{1} << 63) | (frac << 11);
    }

    TExtended80 out{};
    for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(mant >> (8 * i));
    const uint16_t se = static_cast<uint16_t>(sign | exp);
    out[8] = static_cast<uint8_t>(se & 0xFF);
    out[9] = static_cast<uint8_t>(se >> 8);
    return out;
}

double Extended80ToDouble(const uint8_t* b) {
    uint64_t mant = 0;
    for (int i = 0; i < 8; ++i) mant |= static_cast<uint64_t>(b[i]) << (8 * i);
    const uint16_t se = static_cast<uint16_t>(b[8] | (b[9] << 8));
    const bool neg = (se & 0x8000) != 0;
    const int exp = se & 0x7FFF;

    double r;
    if (exp == 0x7FFF) {
        // Infinity when the fraction below the integer bit is zero, else NaN.
        if ((mant & ~(uint64_t{1} << 63)) == 0) {
            r = std::numeric_limits<double>::infinity();
        } else {
            uint64_t payload = (mant >> 11) & ((uint64_t{1} << 52) - 1);
            payload |= uint64_t{1} << 51;
            r = std::bit_cast<double>((uint64_t{0x7FF} << 52) | payload);
        }
    } else if (mant == 0) {
        r = 0.0;
    } else {
        // value = mant * 2^(e2) with e2 = exp - bias - 63; an exponent field
        // of 0 (denormal) counts as 1. Unnormal forms are taken by value.
        const int e2 = (exp == 0 ? 1 : exp) - kExtBias - 63;
        const int lead = 63 - std::countl_zero(mant);     // top bit of the mantissa
        const int topExp = lead + e2;                      // exponent of the value's top bit
        // Bits kept: 53 for a normal double, fewer below the normal range.
        int keep = 53;
        if (topExp < -1022) keep = 53 - (-1022 - topExp);
        if (keep <= 0) {
            // Below half of the smallest subnormal, or exactly half (ties to even: 0);
            // above half rounds up to the smallest subnormal.
            if (keep == 0) {
                const uint64_t rest = mant & ~(uint64_t{1} << lead);
                r = rest != 0 ? std::ldexp(1.0, -1074) : 0.0;
            } else {
                r = 0.0;
            }
        } else {
            const int drop = lead + 1 - keep;   // low bits to round away
            uint64_t q = mant;
            int qexp = e2;
            if (drop > 0) {
                q = mant >> drop;
                const uint64_t rem = mant & ((uint64_t{1} << drop) - 1);
                const uint64_t half = uint64_t{1} << (drop - 1);
                if (rem > half || (rem == half && (q & 1) != 0)) ++q;
                qexp += drop;
            }
            // q has at most 54 bits and converts exactly; ldexp scales exactly
            // or overflows to infinity.
            r = std::ldexp(static_cast<double>(q), qexp);
        }
    }
    return neg ? -r : r;
}
