#include "replication/packet/packet_names.h"

#include "core/cp1251.h"
#include "core/format.h"

bool IsValidIdentifier(const std::string& raw) {
    std::string name = Trim(raw);
    if (name.empty() || name.size() > 64) return false;
    auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
    if (!letter(name[0])) return false;
    for (char c : name)
        if (!letter(c) && !(c >= '0' && c <= '9')) return false;
    return true;
}

std::string CheckIdentifier(const std::string& name, const std::string& what) {
    if (!IsValidIdentifier(name)) throw EPacketError("Invalid " + what + " name '" + name + "' in the archive");
    return Trim(name);
}

std::string QuoteIdent(const std::string& name) {
    std::string out = "`";
    for (char c : name) {
        if (c == '`') out += '`';
        out += c;
    }
    return out + "`";
}

std::string QuoteIdentList(const std::vector<std::string>& names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i) out += ", ";
        out += QuoteIdent(names[i]);
    }
    return out;
}

bool IsSplitTableName(const std::string& table) {
    size_t p = table.rfind('_');
    if (p == std::string::npos) return false;
    for (size_t i = p + 1; i < table.size(); ++i)
        if (table[i] < '0' || table[i] > '9') return false;
    return true;
}

bool IsCentralSystemTable(const std::string& raw) {
    static const char* const kTables[] = {
        "PHARMACY", "ZVL_ENV_VARS", "ZVL_GENERATORS", "ACTION_REQUEST", "ACTION_REQUEST_STATUS",
        "PAYMENT_CENTRAL", "ARTICLE", "ARTICLE_NZOK", "ARTICLE_INFO", "ARTICLE_GROUP", "MEASURE",
        "MEASURE_NAME", "PRODUCER", "SUPPLIER", "SUBSTITUDE_ARTICLE"};
    std::string t = UpperCase1251(Trim(raw));
    for (const char* name : kTables)
        if (t == name) return true;
    if (t.rfind("NOM_UPDATE_", 0) == 0 || t.rfind("REPL_", 0) == 0) return true;
    return IsSplitTableName(t);
}
