#include "core/app_misc.h"

#include "core/cp1251.h"
#include "core/format.h"
#include "core/misc.h"

std::string AddTrailingBackslash(const std::string& s) {
    if (s.empty() || s.back() == '/') return s;
    return s + "/";
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

std::vector<std::string> GetDirectoryEntries(const std::string& dir, const std::string& mask,
                                             bool includeDirs, bool includeFiles) {
    std::vector<std::string> out;
    for (auto& e : FindEntries(dir + mask))
        if (e.IsDirectory ? includeDirs : includeFiles) out.push_back(std::move(e.Name));
    return out;
}

std::vector<std::string> GetFileList(const std::string& folder, const std::string& mask) {
    return GetDirectoryEntries(AddTrailingBackslash(folder), mask, false, true);
}

std::string QuoteIfSingleBlank(const std::string& s) { return s == " " ? "\" \"" : s; }

std::string RemoveQuotes(const std::string& s) {
    if (!s.empty() && s.front() == '"' && s.back() == '"') return s.size() == 1 ? std::string() : s.substr(1, s.size() - 2);
    return s;
}
