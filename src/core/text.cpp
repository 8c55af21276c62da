#include "core/text.h"

#include <algorithm>

#include "core/cp1251.h"
#include "core/format.h"

int LastCharPos(char ch, const std::string& s, int skip) {
    for (size_t i = s.size(); i > 0; --i) {
        if (s[i - 1] != ch) continue;
        if (skip-- <= 0) return static_cast<int>(i);
    }
    return 0;
}

bool IsDigitsOnly(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void ParseDelimitedText(const std::string& s, std::vector<std::string>& list, const TCharSet& delims,
                        bool clear) {
    // The list changes in one step: the pieces are collected first.
    std::vector<std::string> items;
    std::string piece;
    bool quoted = false;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (quoted) {
            if (c != '"') {
                piece += c;
            } else if (i + 1 < s.size() && s[i + 1] == '"') {
                piece += '"';
                ++i;
            } else {
                quoted = false;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (!delims.Contains(c)) {
            piece += c;
        } else {
            items.push_back(std::move(piece));
            piece.clear();
            if (c == '\r' && i + 1 < s.size() && s[i + 1] == '\n') ++i;
        }
    }
    if (!piece.empty()) items.push_back(std::move(piece));
    if (clear) list.clear();
    list.insert(list.end(), std::make_move_iterator(items.begin()), std::make_move_iterator(items.end()));
}

std::vector<std::string> SplitDelimitedText(const std::string& s, const TCharSet& delims) {
    std::vector<std::string> list;
    ParseDelimitedText(s, list, delims, false);
    return list;
}

std::vector<std::string> SplitByChars(const std::string& s, const TCharSet& delims, bool keepEmpty) {
    std::vector<std::string> list;
    std::string piece;
    for (size_t i = 0; i < s.size(); ++i) {
        bool last = i + 1 == s.size();
        bool delim = delims.Contains(s[i]);
        if (delim || last) {
            if (last && !delim) piece += s[i];
            if (!piece.empty() || keepEmpty) list.push_back(piece);
            piece.clear();
        } else {
            piece += s[i];
        }
    }
    return list;
}

bool StrToBoolTF(const std::string& s) { return s == BoolChars[true]; }

void UpperCaseStrings(std::vector<std::string>& list) {
    for (auto& item : list) item = UpperCase1251(item);
}

int32_t ExtractBracketNumber(const std::string& s) {
    size_t open = s.find('['), close = s.find(']');
    if (open == std::string::npos || close == std::string::npos || close <= open + 1) return 0;
    std::string digits = s.substr(open + 1, close - open - 1);
    return StrToIntDef(digits, 0);
}

void SortByBracketNumber(std::vector<std::string>& list) {
    // One pass per item, each swapping neighbours that are out of order:
    // equal numbers keep their order.
    for (size_t pass = 0; pass < list.size(); ++pass)
        for (size_t i = 0; i + 1 < list.size(); ++i)
            if (ExtractBracketNumber(list[i]) > ExtractBracketNumber(list[i + 1])) std::swap(list[i], list[i + 1]);
}

std::string QuoteIfSingleBlank(const std::string& s) { return s == " " ? "\" \"" : s; }

std::string RemoveQuotes(const std::string& s) {
    if (!s.empty() && s.front() == '"' && s.back() == '"') return s.size() == 1 ? std::string() : s.substr(1, s.size() - 2);
    return s;
}
