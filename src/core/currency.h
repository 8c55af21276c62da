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
