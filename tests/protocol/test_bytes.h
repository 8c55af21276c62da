// Small helpers of the protocol tests: byte strings written as lists of
// numbers and shown as hexadecimal.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

inline std::string B(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) s += static_cast<char>(static_cast<uint8_t>(b));
    return s;
}

inline std::string Hex(const std::string& s) {
    static const char d[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (!out.empty()) out += ' ';
        out += d[c >> 4];
        out += d[c & 15];
    }
    return out;
}

// A short string of the component stream: length byte and text.
inline std::string SS(const std::string& s) { return std::string(1, static_cast<char>(s.size())) + s; }
