#include "core/format.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "core/exceptions.h"

namespace {

[[noreturn]] void BadFormat(const std::string& fmt) {
    throw EConvertError("Format '" + fmt + "' invalid or incompatible with argument");
}

std::string Pad(std::string s, int width, bool left) {
    if (width > 0 && static_cast<int>(s.size()) < width) {
        std::string fill(width - s.size(), ' ');
        s = left ? s + fill : fill + s;
    }
    return s;
}

}  // namespace

std::string FloatToStr(double v, int precision) {
    if (std::isnan(v)) return "NAN";
    if (std::isinf(v)) return v > 0 ? "INF" : "-INF";
    if (v == 0) return "0";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*e", precision - 1, v);
    // buf: [-]d.ddddde[+-]xx
    std::string s(buf);
    size_t e = s.find('e');
    int exp = std::atoi(s.c_str() + e + 1);
    std::string mant = s.substr(0, e);
    bool neg = mant[0] == '-';
    if (neg) mant.erase(0, 1);
    std::string digits;
    for (char c : mant)
        if (c != '.') digits += c;
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    std::string out;
    if (exp >= precision || exp < -5) {
        out = digits.substr(0, 1);
        if (digits.size() > 1) out.append(".").append(digits, 1);
        out.append("E").append(std::to_string(exp));
    } else if (exp < 0) {
        out = "0." + std::string(-exp - 1, '0') + digits;
    } else {
        if (static_cast<int>(digits.size()) <= exp + 1) {
            out = digits + std::string(exp + 1 - digits.size(), '0');
        } else {
            out = digits.substr(0, exp + 1) + "." + digits.substr(exp + 1);
        }
    }
    return neg ? "-" + out : out;
}

std::string FloatToStrFixed(double v, int decimals) {
    char buf[400];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

std::string Format(const std::string& fmt, const std::vector<Variant>& args) {
    std::string out;
    size_t next = 0;
    for (size_t i = 0; i < fmt.size(); ++i) {
        char c = fmt[i];
        if (c != '%') { out += c; continue; }
        if (++i >= fmt.size()) BadFormat(fmt);
        if (fmt[i] == '%') { out += '%'; continue; }
        // [index:] [-] [width] [.prec] type
        size_t j = i;
        std::string num;
        auto readNum = [&](std::string& n) {
            n.clear();
            if (j < fmt.size() && fmt[j] == '*') {
                if (next >= args.size()) BadFormat(fmt);
                n = std::to_string(args[next++].AsInteger());
                ++j;
                return;
            }
            while (j < fmt.size() && fmt[j] >= '0' && fmt[j] <= '9') n += fmt[j++];
        };
        readNum(num);
        if (j < fmt.size() && fmt[j] == ':') {
            next = num.empty() ? 0 : std::stoul(num);
            ++j;
            num.clear();
        } else {
            j = i;  // no index: re-read as flags/width
        }
        bool left = false;
        if (j < fmt.size() && fmt[j] == '-') { left = true; ++j; }
        std::string width, prec;
        readNum(width);
        bool hasPrec = false;
        if (j < fmt.size() && fmt[j] == '.') { ++j; hasPrec = true; readNum(prec); }
        if (j >= fmt.size()) BadFormat(fmt);
        char type = static_cast<char>(std::tolower(static_cast<unsigned char>(fmt[j])));
        i = j;
        if (next >= args.size()) BadFormat(fmt);
        const Variant& a = args[next++];
        int w = width.empty() ? 0 : std::stoi(width);
        int p = prec.empty() ? -1 : std::stoi(prec);
        std::string piece;
        switch (type) {
            case 'd': case 'u': {
                if (!a.IsOrdinal() || a.Type() == VarType::Boolean) BadFormat(fmt);
                int64_t v = a.AsInt64();
                if (type == 'u' && v < 0) v = static_cast<int64_t>(static_cast<uint32_t>(v));
                piece = std::to_string(v < 0 ? -v : v);
                if (hasPrec && p > static_cast<int>(piece.size())) piece = std::string(p - piece.size(), '0') + piece;
                if (v < 0) piece = "-" + piece;
                break;
            }
            case 'x': {
                if (!a.IsOrdinal()) BadFormat(fmt);
                char buf[32];
                std::snprintf(buf, sizeof buf, "%llX", static_cast<unsigned long long>(a.AsInt64()));
                piece = buf;
                if (hasPrec && p > static_cast<int>(piece.size())) piece = std::string(p - piece.size(), '0') + piece;
                break;
            }
            case 's': {
                if (a.IsStringType()) piece = a.AsString();
                else if (a.Type() == VarType::Boolean) piece = a.AsBoolean() ? "True" : "False";
                else BadFormat(fmt);
                if (hasPrec && p >= 0 && static_cast<int>(piece.size()) > p) piece.resize(p);
                break;
            }
            case 'g': case 'f': case 'n': case 'e': case 'm': {
                if (!(a.IsFloat() || a.IsOrdinal())) BadFormat(fmt);
                double v = a.AsDouble();
                if (type == 'g') piece = FloatToStr(v, p > 0 && p < 15 ? p : 15);
                else if (type == 'e') {
                    char buf[64];
                    std::snprintf(buf, sizeof buf, "%.*E", (p < 0 ? 15 : p) - 1, v);
                    piece = buf;
                } else piece = FloatToStrFixed(v, p < 0 ? 2 : p);
                break;
            }
            default:
                BadFormat(fmt);
        }
        out += Pad(piece, w, left);
    }
    return out;
}

int64_t StrToInt64(const std::string& s) {
    Variant v(s);
    return v.AsInt64();
}

int32_t StrToInt(const std::string& s) { return Variant(s).AsInteger(); }

int32_t StrToIntDef(const std::string& s, int32_t def) {
    try {
        return StrToInt(s);
    } catch (const EConvertError&) {
        return def;
    }
}

int64_t StrToInt64Def(const std::string& s, int64_t def) {
    try {
        return StrToInt64(s);
    } catch (const EConvertError&) {
        return def;
    }
}

double StrToFloat(const std::string& s) { return Variant(s).AsDouble(); }

std::string TrimLeft(const std::string& s) {
    size_t b = 0;
    while (b < s.size() && static_cast<unsigned char>(s[b]) <= ' ') ++b;
    return s.substr(b);
}

std::string TrimRight(const std::string& s) {
    size_t e = s.size();
    while (e > 0 && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
    return s.substr(0, e);
}

std::string Trim(const std::string& s) { return TrimLeft(TrimRight(s)); }
