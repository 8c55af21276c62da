#include "core/date_text.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "core/exceptions.h"
#include "core/format.h"

namespace {

constexpr double kMSecsPerDay = 86400000.0;

// Reads an unsigned decimal number at s[i..]; false when there is none.
bool ReadNumber(const std::string& s, size_t& i, int& out, int maxDigits = 9) {
    size_t start = i;
    int64_t v = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9' && static_cast<int>(i - start) < maxDigits) {
        v = v * 10 + (s[i] - '0');
        ++i;
    }
    if (i == start) return false;
    out = static_cast<int>(v);
    return true;
}

void SkipBlanks(const std::string& s, size_t& i) {
    while (i < s.size() && s[i] == ' ') ++i;
}

bool ReadDigits(const std::string& s, size_t& pos, size_t count, int& v) {
    if (pos + count > s.size()) return false;
    v = 0;
    for (size_t i = 0; i < count; ++i) {
        char c = s[pos + i];
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    pos += count;
    return true;
}

// "yyyymmdd" or "yyyy-mm-dd".
bool ParseDatePart(const std::string& s, int& y, int& m, int& d) {
    size_t p = 0;
    if (!ReadDigits(s, p, 4, y)) return false;
    bool dashes = p < s.size() && s[p] == '-';
    if (dashes) ++p;
    if (!ReadDigits(s, p, 2, m)) return false;
    if (dashes) {
        if (p >= s.size() || s[p] != '-') return false;
        ++p;
    }
    if (!ReadDigits(s, p, 2, d)) return false;
    return p == s.size();
}

// "hh:nn[:ss[mmm|.mmm|,mmm]]".
bool ParseTimePart(const std::string& s, int& h, int& n, int& sec, int& ms) {
    size_t p = 0;
    sec = ms = 0;
    if (!ReadDigits(s, p, 2, h)) return false;
    if (p >= s.size() || s[p] != ':') return false;
    ++p;
    if (!ReadDigits(s, p, 2, n)) return false;
    if (p == s.size()) return true;
    if (s[p] != ':') return false;
    ++p;
    if (!ReadDigits(s, p, 2, sec)) return false;
    if (p == s.size()) return true;
    if (s[p] == '.' || s[p] == ',') ++p;
    size_t start = p;
    while (p < s.size() && s[p] >= '0' && s[p] <= '9') ++p;
    if (p != s.size() || p == start) return false;
    std::string frac = s.substr(start, std::min<size_t>(3, p - start));
    while (frac.size() < 3) frac += '0';
    ms = std::stoi(frac);
    return true;
}

// The text of a printf format of numbers.
template <typename... Numbers>
std::string Printed(const char* format, Numbers... numbers) {
    char buf[48];
    std::snprintf(buf, sizeof buf, format, numbers...);
    return buf;
}

std::string Two(int v) { return Printed("%02d", v); }

}  // namespace

std::string DateTimeToSqlText(TDateTime dt) {
    const DateParts p = DecodeDateTime(dt);
    return Printed("%04d-%02d-%02d %02d:%02d:%02d", p.year, p.month, p.day, p.hour, p.minute, p.second);
}

std::string DateToText(TDateTime dt) {
    const DateParts p = DecodeDateTime(dt);
    return Printed("%02d.%02d.%04d", p.day, p.month, p.year);
}

std::string DateTimeToText(TDateTime dt) {
    DateParts p = DecodeDateTime(dt);
    std::string s = DateToText(dt);
    if (p.hour || p.minute || p.second || p.msec) {
        s += Printed(" %02d:%02d:%02d", p.hour, p.minute, p.second);
    }
    return s;
}

std::string DateToYYMMDD(TDateTime dt) {
    const DateParts p = DecodeDateTime(dt);
    return Printed("%02d%02d%02d", p.year % 100, p.month, p.day);
}

TDateTime TextToDateTime(const std::string& s) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0, ms = 0;
    int n = 0;
    char tail = 0;
    auto bad = [&] { return EConvertError("'" + s + "' is not a valid date and time"); };
    if (std::sscanf(s.c_str(), "%d-%d-%d%n", &y, &mo, &d, &n) == 3) {
        std::string rest = s.substr(n);
        if (!rest.empty()) {
            char frac[8] = {0};
            int got = std::sscanf(rest.c_str(), " %d:%d:%d.%7[0-9]%c", &h, &mi, &sec, frac, &tail);
            if (got < 2 || got == 5) throw bad();
            if (got >= 4) {
                std::string f(frac);
                f.resize(3, '0');
                ms = std::stoi(f);
            }
        }
    } else if (std::sscanf(s.c_str(), "%d.%d.%d%n", &d, &mo, &y, &n) == 3) {
        std::string rest = s.substr(n);
        if (!rest.empty()) {
            int got = std::sscanf(rest.c_str(), " %d:%d:%d%c", &h, &mi, &sec, &tail);
            if (got < 2 || got == 4) throw bad();
        }
    } else {
        throw bad();
    }
    try {
        return EncodeDateTime(y, mo, d, h, mi, sec, ms);
    } catch (const EConvertError&) {
        throw bad();
    }
}

std::string DateToSqlText(TDateTime dt) { return DateTimeToSqlText(dt).substr(0, 10); }

std::string TimeToSqlText(TDateTime dt) { return DateTimeToSqlText(dt).substr(11); }

std::string DateTimeToFullText(TDateTime dt) {
    const DateParts p = DecodeDateTime(dt);
    return Printed("%02d.%02d.%04d %02d:%02d:%02d", p.day, p.month, p.year, p.hour, p.minute, p.second);
}

bool ParseSqlTimeText(const std::string& s, TDateTime& out) {
    int h = 0, m = 0, sec = 0;
    char frac[8] = {0};
    bool neg = !s.empty() && s[0] == '-';
    int got = std::sscanf(s.c_str() + (neg ? 1 : 0), "%d:%d:%d.%7[0-9]", &h, &m, &sec, frac);
    if (got < 3) return false;
    std::string f(frac);
    f.resize(3, '0');
    double ms = ((h * 60.0 + m) * 60.0 + sec) * 1000.0 + std::atoi(f.c_str());
    out = (neg ? -ms : ms) / kMSecsPerDay;
    return true;
}

bool ParseSqlDateTimeText(const std::string& s, TDateTime& out) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
    char frac[8] = {0};
    int got = std::sscanf(s.c_str(), "%d-%d-%d %d:%d:%d.%7[0-9]", &y, &mo, &d, &h, &mi, &sec, frac);
    if (got < 3) return false;
    std::string f(frac);
    f.resize(3, '0');
    try {
        out = EncodeDateTime(y, mo, d, h, mi, sec, std::atoi(f.c_str()));
        return true;
    } catch (const EConvertError&) {
        return false;
    }
}

std::string PacketDateText(TDateTime dt) {
    const DateParts p = DecodeDateTime(dt);
    return Printed("%04d%02d%02d", p.year, p.month, p.day);
}

std::string PacketTimeText(TDateTime dt) {
    const DateParts p = DecodeDateTime(dt);
    return Printed("%02d:%02d:%02d%03d", p.hour, p.minute, p.second, p.msec);
}

std::string PacketDateTimeText(TDateTime dt) { return PacketDateText(dt) + "T" + PacketTimeText(dt); }

bool ParsePacketDateText(TPacketDateKind kind, const std::string& raw, TDateTime& out) {
    std::string s = Trim(raw);
    int y = 1899, mo = 12, d = 30, h = 0, n = 0, sec = 0, ms = 0;
    try {
        if (kind == TPacketDateKind::Time) {
            size_t t = s.find('T');
            std::string tp = t == std::string::npos ? s : s.substr(t + 1);
            if (!ParseTimePart(tp, h, n, sec, ms)) return false;
            out = EncodeDateTime(1899, 12, 30, h, n, sec, ms);
            return true;
        }
        size_t t = s.find_first_of("T ");
        std::string dp = t == std::string::npos ? s : s.substr(0, t);
        if (!ParseDatePart(dp, y, mo, d)) return false;
        if (t != std::string::npos && !ParseTimePart(s.substr(t + 1), h, n, sec, ms)) return false;
        if (kind == TPacketDateKind::Date) h = n = sec = ms = 0;
        out = EncodeDateTime(y, mo, d, h, n, sec, ms);
        return true;
    } catch (const EConvertError&) {
        return false;
    }
}

std::string FormatDateTimePattern(TDateTime dt, const std::string& fmt, char dateSep, char timeSep) {
    DateParts p = DecodeDateTime(dt);
    std::string out;
    size_t i = 0;
    while (i < fmt.size()) {
        char c = static_cast<char>(std::tolower(static_cast<unsigned char>(fmt[i])));
        size_t run = 1;
        while (i + run < fmt.size() &&
               std::tolower(static_cast<unsigned char>(fmt[i + run])) == static_cast<unsigned char>(c))
            ++run;
        switch (c) {
            case 'd': out += run >= 2 ? Two(p.day) : std::to_string(p.day); break;
            case 'm': out += run >= 2 ? Two(p.month) : std::to_string(p.month); break;
            case 'y': {
                out += run >= 3 ? Printed("%04d", p.year) : Two(p.year % 100);
                break;
            }
            case 'h': out += run >= 2 ? Two(p.hour) : std::to_string(p.hour); break;
            case 'n': out += run >= 2 ? Two(p.minute) : std::to_string(p.minute); break;
            case 's': out += run >= 2 ? Two(p.second) : std::to_string(p.second); break;
            case 'z': out += Printed(run >= 3 ? "%03d" : "%d", p.msec); break;
            case '/': out.append(run, dateSep); break;
            case ':': out.append(run, timeSep); break;
            default: out.append(fmt, i, run); break;
        }
        i += run;
    }
    return out;
}

// Parses a date in the order of the short date format from s[i..].
bool ScanDateText(const std::string& s, size_t& i, const std::string& shortDateFormat, char dateSep,
                  TDateTime& out) {
    // Order of day, month and year as the format names them.
    std::string order;
    for (char c : shortDateFormat) {
        char l = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if ((l == 'd' || l == 'm' || l == 'y') && order.find(l) == std::string::npos) order += l;
    }
    if (order.size() != 3) order = "dmy";
    SkipBlanks(s, i);
    int parts[3] = {0, 0, 0};
    int count = 0;
    size_t digits[3] = {0, 0, 0};
    while (count < 3) {
        size_t start = i;
        if (!ReadNumber(s, i, parts[count], 4)) return false;
        digits[count] = i - start;
        ++count;
        if (i < s.size() && s[i] == dateSep) ++i;
        else break;
    }
    if (count < 2) return false;
    int d = 0, m = 0, y = 0;
    if (count == 3) {
        for (int k = 0; k < 3; ++k) {
            if (order[k] == 'd') d = parts[k];
            else if (order[k] == 'm') m = parts[k];
            else { y = parts[k]; if (digits[k] <= 2) y += y < 50 ? 2000 : 1900; }
        }
    } else {
        // Day and month of the current year.
        y = DecodeDateTime(Date()).year;
        size_t pos = 0;
        for (int k = 0; k < 3; ++k) {
            if (order[k] == 'y') continue;
            if (order[k] == 'd') d = parts[pos++];
            else m = parts[pos++];
        }
    }
    try {
        out = EncodeDateTime(y, m, d);
    } catch (const EConvertError&) {
        return false;
    }
    return true;
}

// Parses "h[:n[:s[.zzz]]]" from s[i..]; false when the text is no time.
bool ScanTimeText(const std::string& s, size_t& i, char timeSep, TDateTime& out) {
    int h = 0, n = 0, sec = 0, ms = 0;
    SkipBlanks(s, i);
    if (!ReadNumber(s, i, h, 2)) return false;
    if (i < s.size() && s[i] == timeSep) {
        ++i;
        if (!ReadNumber(s, i, n, 2)) return false;
        if (i < s.size() && s[i] == timeSep) {
            ++i;
            if (!ReadNumber(s, i, sec, 2)) return false;
            if (i < s.size() && s[i] == '.') {
                ++i;
                size_t start = i;
                if (!ReadNumber(s, i, ms, 3)) return false;
                for (size_t k = i - start; k < 3; ++k) ms *= 10;
            }
        }
    } else {
        return false;  // a bare number is no time
    }
    SkipBlanks(s, i);
    if (h > 23 || n > 59 || sec > 59) return false;
    out = (h * 3600000.0 + n * 60000.0 + sec * 1000.0 + ms) / kMSecsPerDay;
    return true;
}
