#include "core/currency.h"

#include <cmath>

#include "core/exceptions.h"

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
