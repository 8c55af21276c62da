// Pieces of the CSV text form of the in-memory table.
#pragma once

#include <string>
#include <vector>

namespace MemTableCsv {

// Double quotes around the text, each double quote inside doubled.
std::string QuoteValue(const std::string& s);
// Byte 0 as "%0", LF as "%n", CR as "%c", "%" as "%%".
std::string Escape(const std::string& s);
std::string Unescape(const std::string& s);
// Bytes as 6-bit text: the bits of the bytes, least significant bit of the
// first byte first, in groups of 6, each as the character 32 + its value.
std::string Encode6Bit(const std::string& bytes);
std::string Decode6Bit(const std::string& text);

enum class ValueKind { Nothing, Null, Text };
// Reads the value at pos of a line: a comma is a null value, a double quote
// starts a quoted value; at the line's last character nothing is read.
ValueKind ReadValue(const std::string& line, size_t& pos, std::string& text);
// Splits a comma list: items separated by commas (and blanks outside
// quotes), double-quoted items with doubled quotes inside.
std::vector<std::string> SplitCommaText(const std::string& s);

}  // namespace MemTableCsv
