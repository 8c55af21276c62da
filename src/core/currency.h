// The money type: a signed 64-bit count of ten-thousandths.
#pragma once

#include <compare>
#include <cstdint>
#include <string>

struct Currency {
    int64_t raw = 0;  // value x 10000

    static constexpr int64_t kScale = 10000;
    constexpr Currency() = default;
    static constexpr Currency FromRaw(int64_t r) { Currency c; c.raw = r; return c; }
    static constexpr Currency FromInt(int64_t v) { return FromRaw(v * kScale); }
    // Rounds to the nearest ten-thousandth (half away from zero); raises
    // EOverflow when the value is outside the type's range.
    static Currency FromDouble(double v);
    // Parses "123", "-1.5", "0.0001" ('.' or ',' as the separator); raises EConvertError.
    static Currency FromString(const std::string& s);

    double ToDouble() const { return static_cast<double>(raw) / kScale; }
    // Plain text with '.' and no trailing zeros ("2.35", "-1", "0.0001").
    std::string ToString() const;

    auto operator<=>(const Currency&) const = default;
    Currency operator+(Currency o) const { return FromRaw(raw + o.raw); }
    Currency operator-(Currency o) const { return FromRaw(raw - o.raw); }
    Currency operator-() const { return FromRaw(-raw); }
};

// Rounding modes: 0 half away from zero, 1 away from zero whenever anything
// is dropped, any other value toward zero.
// Value rounded to a multiple of 1/Factor (100: cents). A factor above
// 10000 fails the assertion "More than 4 decimal places not allowed in
// function RND."; the factor must be positive.
Currency RND(Currency value, int32_t factor, unsigned mode);
// RND(Value, 100, Mode).
Currency RoundMoney(Currency value, unsigned mode);
// X rounded to a multiple of 1/F in extended precision; raises EOverflow
// "Overflow on rounding %g with a factor of %g." when X*F does not fit.
long double RoundByMode(unsigned mode, long double x, long double f);
