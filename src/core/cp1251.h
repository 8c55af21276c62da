// Code page 1251 text. Every string inside the server (database, wire, log,
// files) holds cp1251 bytes; sources are UTF-8, so literals that carry
// Cyrillic letters go through Cp(u8"...") before use.
#pragma once

#include <string>
#include <string_view>

// UTF-8 -> cp1251; characters without a cp1251 form become '?'.
std::string Utf8ToCp1251(std::string_view utf8);
// cp1251 -> UTF-8.
std::string Cp1251ToUtf8(std::string_view cp);
// cp1251 <-> UTF-16 (wide strings of the protocol).
std::u16string Cp1251ToUtf16(std::string_view cp);
std::string Utf16ToCp1251(std::u16string_view w);

// Converts a UTF-8 source literal to cp1251.
inline std::string Cp(std::string_view utf8) { return Utf8ToCp1251(utf8); }
inline std::string Cp(std::u8string_view utf8) {
    return Utf8ToCp1251(std::string_view(reinterpret_cast<const char*>(utf8.data()), utf8.size()));
}

// Letter case under cp1251 (Latin and Cyrillic letters).
char UpCase1251(char c);
char LowCase1251(char c);
std::string UpperCase1251(std::string_view s);
std::string LowerCase1251(std::string_view s);
// Case-insensitive comparison under cp1251: <0, 0, >0.
int CompareText1251(std::string_view a, std::string_view b);
inline bool SameText1251(std::string_view a, std::string_view b) { return CompareText1251(a, b) == 0; }
// Case-sensitive comparison in the cp1251 alphabet order (Cyrillic letters
// after Latin ones, in their code order): <0, 0, >0.
int CompareStr1251(std::string_view a, std::string_view b);
// The text order of a Bulgarian user's locale: letters in alphabet order
// (Latin, then Cyrillic, Ё/ё with Е/е), whatever their case; other
// characters before digits before letters; a text that is the start of
// another comes first. Texts alike in their letters then put Е before Ё,
// and CollateStr1251 then small letters before capitals, while
// CollateText1251 ignores letter case. Texts that differ in more than letter
// case never compare equal. <0, 0, >0.
int CollateStr1251(std::string_view a, std::string_view b);
int CollateText1251(std::string_view a, std::string_view b);
