#include "core/cp1251.h"

#include <array>
#include <cstdint>
#include <unordered_map>

namespace {

// Unicode code points of the bytes 0x80..0xFF of code page 1251 (0 = unused).
constexpr std::array<char16_t, 128> kHigh = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};

const std::unordered_map<char16_t, unsigned char>& Reverse() {
    static const auto* map = [] {
        auto* m = new std::unordered_map<char16_t, unsigned char>();
        for (int i = 0; i < 128; ++i)
            if (kHigh[i]) (*m)[kHigh[i]] = static_cast<unsigned char>(0x80 + i);
        return m;
    }();
    return *map;
}

char16_t ToUnicode(unsigned char b) {
    if (b < 0x80) return b;
    char16_t c = kHigh[b - 0x80];
    return c ? c : u'?';
}

char FromUnicode(char32_t c) {
    if (c < 0x80) return static_cast<char>(c);
    if (c <= 0xFFFF) {
        auto it = Reverse().find(static_cast<char16_t>(c));
        if (it != Reverse().end()) return static_cast<char>(it->second);
    }
    return '?';
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Ordering weight of CompareText1251 and CompareStr1251: the cp1251 code
// itself, so capitals come before small letters and Ё/ё (0xA8/0xB8) before
// А (0xC0). The locale's text order is the collation table below.
int Weight(unsigned char b) { return b; }

// Collation weights of one cp1251 byte, level by level: the letter (or
// character) itself, Е versus Ё, then small versus capital.
struct CollationWeights {
    uint16_t primary[256];
    uint8_t secondary[256];
    uint8_t tertiary[256];
};

constexpr bool IsAsciiLetter(unsigned c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The small Cyrillic letters of cp1251 in alphabet order; ё is placed with е
// by its secondary weight and so is not listed.
constexpr unsigned char kCyrillicOrder[] = {
    0xE0 /*а*/, 0xE1 /*б*/, 0xE2 /*в*/, 0xE3 /*г*/, 0xB4 /*ґ*/, 0x83 /*ѓ*/, 0xE4 /*д*/, 0x90 /*ђ*/,
    0xE5 /*е*/, 0xBA /*є*/, 0xE6 /*ж*/, 0xE7 /*з*/, 0xBE /*ѕ*/, 0xE8 /*и*/, 0xB3 /*і*/, 0xBF /*ї*/,
    0xE9 /*й*/, 0xBC /*ј*/, 0xEA /*к*/, 0x9D /*ќ*/, 0xEB /*л*/, 0x9A /*љ*/, 0xEC /*м*/, 0xED /*н*/,
    0x9C /*њ*/, 0xEE /*о*/, 0xEF /*п*/, 0xF0 /*р*/, 0xF1 /*с*/, 0xF2 /*т*/, 0x9E /*ћ*/, 0xF3 /*у*/,
    0xA2 /*ў*/, 0xF4 /*ф*/, 0xF5 /*х*/, 0xF6 /*ц*/, 0xF7 /*ч*/, 0x9F /*џ*/, 0xF8 /*ш*/, 0xF9 /*щ*/,
    0xFA /*ъ*/, 0xFB /*ы*/, 0xFC /*ь*/, 0xFD /*э*/, 0xFE /*ю*/, 0xFF /*я*/,
};

constexpr unsigned char kSmallYo = 0xB8, kCapitalYo = 0xA8, kSmallYe = 0xE5;

constexpr unsigned char UpperOf(unsigned char c) {
    if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 32);
    if (c >= 0xE0) return static_cast<unsigned char>(c - 32);
    switch (c) {
        case 0xB8: return 0xA8; case 0xBA: return 0xAA; case 0xBF: return 0xAF; case 0xB3: return 0xB2;
        case 0xB4: return 0xA5; case 0xA2: return 0xA1; case 0xBC: return 0xA3; case 0xBE: return 0xBD;
        case 0x83: return 0x81; case 0x90: return 0x80; case 0x9A: return 0x8A; case 0x9C: return 0x8C;
        case 0x9D: return 0x8D; case 0x9E: return 0x8E; case 0x9F: return 0x8F;
        default: return c;
    }
}

// Every byte gets its own combination of the three weights, so only equal
// texts are equal on all three levels, and texts equal on the first two
// differ in letter case alone. Order of the first level: every character
// other than a letter or digit in code order, then the digits, the Latin
// letters, the Cyrillic letters.
constexpr CollationWeights MakeCollationWeights() {
    CollationWeights w{};
    bool letter[256] = {};
    for (unsigned c = 'a'; c <= 'z'; ++c) letter[c] = letter[c - 32] = true;
    letter[kSmallYo] = letter[kCapitalYo] = true;
    for (unsigned char c : kCyrillicOrder) letter[c] = letter[UpperOf(c)] = true;
    uint16_t next = 1;
    for (unsigned c = 0; c < 256; ++c)
        if (!letter[c] && !(c >= '0' && c <= '9')) w.primary[c] = next++;
    for (unsigned c = '0'; c <= '9'; ++c) w.primary[c] = next++;
    for (unsigned c = 'a'; c <= 'z'; ++c) {
        w.primary[c] = w.primary[c - 32] = next++;
        w.tertiary[c - 32] = 1;
    }
    for (unsigned char c : kCyrillicOrder) {
        const unsigned char up = UpperOf(c);
        w.primary[c] = w.primary[up] = next++;
        w.tertiary[up] = 1;
    }
    w.primary[kSmallYo] = w.primary[kCapitalYo] = w.primary[kSmallYe];
    w.secondary[kSmallYo] = w.secondary[kCapitalYo] = 1;
    w.tertiary[kCapitalYo] = 1;
    return w;
}

constexpr CollationWeights kCollation = MakeCollationWeights();

// One pass over both texts: the first difference of the first level decides,
// a text that is the start of the other comes first, then the first
// difference of the second level, then (when case counts) of the third.
int Collate1251(std::string_view a, std::string_view b, bool caseCounts) {
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    int second = 0, third = 0;
    for (size_t i = 0; i < n; ++i) {
        const unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x == y) continue;
        if (kCollation.primary[x] != kCollation.primary[y])
            return kCollation.primary[x] < kCollation.primary[y] ? -1 : 1;
        if (!second && kCollation.secondary[x] != kCollation.secondary[y])
            second = kCollation.secondary[x] < kCollation.secondary[y] ? -1 : 1;
        if (!third && kCollation.tertiary[x] != kCollation.tertiary[y])
            third = kCollation.tertiary[x] < kCollation.tertiary[y] ? -1 : 1;
    }
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    if (second) return second;
    return caseCounts ? third : 0;
}

}  // namespace

std::string Utf8ToCp1251(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        unsigned char b = s[i];
        char32_t c;
        int extra;
        if (b < 0x80) { c = b; extra = 0; }
        else if ((b & 0xE0) == 0xC0) { c = b & 0x1F; extra = 1; }
        else if ((b & 0xF0) == 0xE0) { c = b & 0x0F; extra = 2; }
        else if ((b & 0xF8) == 0xF0) { c = b & 0x07; extra = 3; }
        else { out += '?'; ++i; continue; }
        bool ok = true;
        for (int k = 1; k <= extra; ++k) {
            if (i + k >= s.size() || (static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) { ok = false; break; }
            c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        }
        if (!ok) { out += '?'; ++i; continue; }
        out += FromUnicode(c);
        i += extra + 1;
    }
    return out;
}

std::string Cp1251ToUtf8(std::string_view cp) {
    std::string out;
    out.reserve(cp.size() * 2);
    for (unsigned char b : cp) AppendUtf8(out, ToUnicode(b));
    return out;
}

std::u16string Cp1251ToUtf16(std::string_view cp) {
    std::u16string out;
    out.reserve(cp.size());
    for (unsigned char b : cp) out += ToUnicode(b);
    return out;
}

std::string Utf16ToCp1251(std::u16string_view w) {
    std::string out;
    out.reserve(w.size());
    for (size_t i = 0; i < w.size(); ++i) {
        char16_t c = w[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < w.size()) {  // surrogate pair: no cp1251 form
            ++i;
            out += '?';
            continue;
        }
        out += FromUnicode(c);
    }
    return out;
}

char UpCase1251(char ch) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c >= 'a' && c <= 'z') return static_cast<char>(c - 32);
    if (c >= 0xE0) return static_cast<char>(c - 32);  // а..я -> А..Я
    switch (c) {
        case 0xB8: return static_cast<char>(0xA8);  // ё
        case 0xBA: return static_cast<char>(0xAA);  // є
        case 0xBF: return static_cast<char>(0xAF);  // ї
        case 0xB3: return static_cast<char>(0xB2);  // і
        case 0xB4: return static_cast<char>(0xA5);  // ґ
        case 0xA2: return static_cast<char>(0xA1);  // ў
        case 0xBC: return static_cast<char>(0xA3);  // ј
        case 0xBE: return static_cast<char>(0xBD);  // ѕ
        case 0x83: return static_cast<char>(0x81);  // ѓ
        case 0x90: return static_cast<char>(0x80);  // ђ
        case 0x9A: return static_cast<char>(0x8A);  // љ
        case 0x9C: return static_cast<char>(0x8C);  // њ
        case 0x9D: return static_cast<char>(0x8D);  // ќ
        case 0x9E: return static_cast<char>(0x8E);  // ћ
        case 0x9F: return static_cast<char>(0x8F);  // џ
        default: return ch;
    }
}

char LowCase1251(char ch) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c >= 'A' && c <= 'Z') return static_cast<char>(c + 32);
    if (c >= 0xC0 && c <= 0xDF) return static_cast<char>(c + 32);
    switch (c) {
        case 0xA8: return static_cast<char>(0xB8);
        case 0xAA: return static_cast<char>(0xBA);
        case 0xAF: return static_cast<char>(0xBF);
        case 0xB2: return static_cast<char>(0xB3);
        case 0xA5: return static_cast<char>(0xB4);
        case 0xA1: return static_cast<char>(0xA2);
        case 0xA3: return static_cast<char>(0xBC);
        case 0xBD: return static_cast<char>(0xBE);
        case 0x81: return static_cast<char>(0x83);
        case 0x80: return static_cast<char>(0x90);
        case 0x8A: return static_cast<char>(0x9A);
        case 0x8C: return static_cast<char>(0x9C);
        case 0x8D: return static_cast<char>(0x9D);
        case 0x8E: return static_cast<char>(0x9E);
        case 0x8F: return static_cast<char>(0x9F);
        default: return ch;
    }
}

std::string UpperCase1251(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = UpCase1251(c);
    return out;
}

std::string LowerCase1251(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = LowCase1251(c);
    return out;
}

int CompareText1251(std::string_view a, std::string_view b) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        int x = Weight(static_cast<unsigned char>(UpCase1251(a[i])));
        int y = Weight(static_cast<unsigned char>(UpCase1251(b[i])));
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

int CompareStr1251(std::string_view a, std::string_view b) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        int x = Weight(static_cast<unsigned char>(a[i]));
        int y = Weight(static_cast<unsigned char>(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

int CollateStr1251(std::string_view a, std::string_view b) { return Collate1251(a, b, true); }

int CollateText1251(std::string_view a, std::string_view b) { return Collate1251(a, b, false); }
