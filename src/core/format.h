// Format in the manner of the server's statement and message texts:
// "%d", "%s", "%g", "%f", "%x", "%u" with optional width and precision, and
// positional arguments "%0:d", "%1:s" so that one argument fills several
// places. Arguments are Variants. Data is never used as a format string.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "core/variant.h"

// Raises EConvertError "Format '<fmt>' invalid or incompatible with argument"
// for a specifier its argument cannot fill or a missing argument.
std::string Format(const std::string& fmt, const std::vector<Variant>& args);
inline std::string Format(const std::string& fmt, std::initializer_list<Variant> args) {
    return Format(fmt, std::vector<Variant>(args));
}

// General number text with up to `precision` significant digits: "2.5",
// "0.0001", "1E-5", "1.5E20"; '.' as the decimal separator always.
std::string FloatToStr(double v, int precision = 15);
// Fixed text with `decimals` digits after '.'.
std::string FloatToStrFixed(double v, int decimals);
inline std::string IntToStr(int64_t v) { return std::to_string(v); }
// Decimal (or "$"/"0x" hexadecimal) text to integer; raises EConvertError
// "'<s>' is not a valid integer value".
int32_t StrToInt(const std::string& s);
int64_t StrToInt64(const std::string& s);
int32_t StrToIntDef(const std::string& s, int32_t def);
int64_t StrToInt64Def(const std::string& s, int64_t def);
// '.' decimal separator; raises EConvertError.
double StrToFloat(const std::string& s);
std::string Trim(const std::string& s);       // blanks and control characters at both ends
std::string TrimLeft(const std::string& s);
std::string TrimRight(const std::string& s);
