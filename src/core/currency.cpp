#include "core/currency.h"

#include <cmath>

#include "core/exceptions.h"
#include "core/format.h"

Currency Currency::FromDouble(double v) {
    double scaled = v * static_cast<double>(kScale);
    if (!std::isfinite(scaled) || std::fabs(scaled) >= 9.2233720368547758e18)
        throw EOverflow("Floating point overflow");
    return FromRaw(static_cast<int64_t>(std::llround(scaled)));
}

Currency Currency::FromString(const std::string& text) {
    size_t i = 0, n = text.size();
    while (i < n && text[i] == ' ') ++i;
    while (n > i && text[n - 1] == ' ') --n;
    bool neg = false;
    if (i < n && (text[i] == '-' || text[i] == '+')) { neg = text[i] == '-'; ++i; }
    if (i >= n) throw EConvertError("'" + text + "' is not a valid floating point value");
    __int128 whole = 0;
    int64_t frac = 0;
    int fracDigits = 0;
    bool digits = false, sep = false;
    int roundDigit = -1;
    for (; i < n; ++i) {
        char c = text[i];
        if (c >= '0' && c <= '9') {
            digits = true;
            if (!sep) {
                whole = whole * 10 + (c - '0');
                if (whole > static_cast<__int128>(INT64_MAX / kScale) + 1)
                    throw EConvertError("'" + text + "' is not a valid floating point value");
            } else if (fracDigits < 4) {
                frac = frac * 10 + (c - '0');
                ++fracDigits;
            } else if (roundDigit < 0) {
                roundDigit = c - '0';
            }
        } else if ((c == '.' || c == ',') && !sep) {
            sep = true;
        } else {
            throw EConvertError("'" + text + "' is not a valid floating point value");
        }
    }
    if (!digits) throw EConvertError("'" + text + "' is not a valid floating point value");
    while (fracDigits < 4) { frac *= 10; ++fracDigits; }
    __int128 r = whole * kScale + frac + (roundDigit >= 5 ? 1 : 0);
    if (neg) r = -r;
    if (r > INT64_MAX || r < INT64_MIN)
        throw EConvertError("'" + text + "' is not a valid floating point value");
    return FromRaw(static_cast<int64_t>(r));
}

std::string Currency::ToString() const {
    uint64_t mag = raw < 0 ? static_cast<uint64_t>(-(raw + 1)) + 1 : static_cast<uint64_t>(raw);
    std::string s = std::to_string(mag / kScale);
    uint64_t frac = mag % kScale;
    if (frac) {
        std::string f = std::to_string(frac);
        f = std::string(4 - f.size(), '0') + f;
        while (!f.empty() && f.back() == '0') f.pop_back();
        s += "." + f;
    }
    return raw < 0 ? "-" + s : s;
}

namespace {

using i128 = __int128;

// N / D rounded to the nearest integer, ties to even (D > 0).
i128 DivRoundEven(i128 n, i128 d) {
    i128 q = n / d, r = n % d;
    i128 twice = (r < 0 ? -r : r) * 2;
    if (twice > d || (twice == d && (q % 2 != 0))) q += n < 0 ? -1 : 1;
    return q;
}

Currency CurrencyFromWide(i128 raw) {
    if (raw > INT64_MAX || raw < INT64_MIN) throw EOverflow("Floating point overflow");
    return Currency::FromRaw(static_cast<int64_t>(raw));
}

// The rounding routines' assertions name their unit.
const char kAssertUnit[] = "NVMisc.pas";

}  // namespace

Currency RND(Currency value, int32_t factor, unsigned mode) {
    VT_ASSERT_IN(kAssertUnit, factor <= 10000, "More than 4 decimal places not allowed in function RND.");
    VT_ASSERT_IN(kAssertUnit, factor > 0, "The factor of function RND must be positive.");
    if (mode != 0) {
        long double r = RoundByMode(mode, static_cast<long double>(value.raw) / 10000.0L, factor);
        long double raw = std::nearbyint(r * 10000.0L);
        if (!(std::fabs(raw) < 9.2233720368547758e18L)) throw EOverflow("Floating point overflow");
        return Currency::FromRaw(static_cast<int64_t>(raw));
    }
    // Value x Factor is raw x Factor / 10000; the arithmetic is exact, so a
    // value such as 2.345 keeps its dropped digit 5.
    const i128 v = value.raw;
    const i128 t = v * factor / 10000;                 // truncated toward zero
    i128 d = (v * factor * 10 / 10000) % 10;           // the first digit dropped
    if (d < 0) d = -d;
    i128 steps = t;
    if (d >= 5) steps += v > 0 ? 1 : (v < 0 ? -1 : 0);
    // Steps / Factor as a currency value, rounded to the nearest 1/10000.
    return CurrencyFromWide(DivRoundEven(steps * 10000, factor));
}

Currency RoundMoney(Currency value, unsigned mode) { return RND(value, 100, mode); }

long double RoundByMode(unsigned mode, long double x, long double f) {
    const bool negative = x < 0;
    long double scaled = std::nearbyint(std::fabs(x * f) * 10000.0L);  // ties to even
    if (!(scaled < 9.2233720368547758e18L))
        throw EOverflow(Format("Overflow on rounding %g with a factor of %g.",
                               {static_cast<double>(x), static_cast<double>(f)}));
    i128 s = static_cast<int64_t>(scaled);
    if (mode == 0)
        s += 5000;
    else if (mode == 1 && s % 10000 != 0)
        s += 10000;
    s = s / 10000 * 10000;
    long double r = static_cast<long double>(s) / f / 10000.0L;
    return negative ? -r : r;
}
