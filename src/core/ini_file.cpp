#include "core/ini_file.h"

// Only the narrow (byte) form is used: no Unicode conversion is wanted.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "core/cp1251.h"
#include "core/format.h"

namespace {

// Name order without regard to letter case, Cyrillic letters included.
struct NoCase1251 {
    bool operator()(const char* l, const char* r) const {
        for (; *l && *r; ++l, ++r) {
            unsigned char a = static_cast<unsigned char>(UpCase1251(*l));
            unsigned char b = static_cast<unsigned char>(UpCase1251(*r));
            if (a != b) return a < b;
        }
        return *r != 0;
    }
};

using TIniData = CSimpleIniTempl<char, NoCase1251, SI_ConvertA<char>>;

// One pair of matching quotes around a value is not part of it.
std::string StripQuotes(const std::string& v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        return v.substr(1, v.size() - 2);
    return v;
}

}  // namespace

struct TIniFile::Impl {
    TIniData data{false, true, false};  // cp1251 bytes, duplicate keys kept, no multi-line values
};

TIniFile::TIniFile(std::string fileName) : fileName_(std::move(fileName)), impl_(std::make_unique<Impl>()) {
    impl_->data.SetSpaces(false);
    impl_->data.SetQuotes(false);
    std::ifstream f(fileName_, std::ios::binary);
    if (!f) return;  // a missing or unreadable file reads as empty
    std::stringstream ss;
    ss << f.rdbuf();
    impl_->data.LoadData(ss.str());
}

TIniFile::~TIniFile() = default;

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& def) const {
    // With duplicate keys the first one counts.
    const char* v = impl_->data.GetValue(section.c_str(), key.c_str(), nullptr);
    if (!v) return def;
    return StripQuotes(v);
}

int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key, int32_t def) const {
    std::string s = ReadString(section, key, "");
    return StrToIntDef(s, def);
}

bool TIniFile::SectionExists(const std::string& section) const {
    return impl_->data.GetSection(section.c_str()) != nullptr;
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const {
    return impl_->data.GetValue(section.c_str(), key.c_str(), nullptr) != nullptr;
}

std::vector<std::string> TIniFile::ReadSection(const std::string& section) const {
    TIniData::TNamesDepend keys;
    std::vector<std::string> out;
    if (!impl_->data.GetAllKeys(section.c_str(), keys)) return out;
    keys.sort(TIniData::Entry::LoadOrder());
    for (const auto& k : keys) out.emplace_back(k.pItem);
    return out;
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
    SetString(section, key, value);
    Flush();
}

void TIniFile::SetString(const std::string& section, const std::string& key, const std::string& value) {
    // A value is one line; line breaks inside it would start new keys.
    std::string v = value;
    for (char& c : v)
        if (c == '\r' || c == '\n') c = ' ';
    // An existing key keeps the spelling the file gives it.
    std::string name = key;
    if (const TIniData::TKeyVal* keys = impl_->data.GetSection(section.c_str())) {
        auto it = keys->find(TIniData::Entry(key.c_str()));
        if (it != keys->end()) name = it->first.pItem;
    }
    if (impl_->data.SetValue(section.c_str(), name.c_str(), v.c_str(), nullptr, true) < 0)
        throw EIniFileException("Unable to write to " + fileName_);
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int32_t value) {
    WriteString(section, key, std::to_string(value));
}

std::string TIniFile::Text() const {
    std::string text;
    if (impl_->data.Save(text, false) < 0) throw EIniFileException("Unable to write to " + fileName_);
    // Lines end in CR LF; sections are set apart by one empty line.
    std::string crlf;
    crlf.reserve(text.size() + text.size() / 16);
    size_t start = 0;
    bool lastEmpty = true;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        start = end + 1;
        if (line.empty() && lastEmpty) continue;
        lastEmpty = line.empty();
        crlf += line;
        crlf += "\r\n";
    }
    return crlf;
}

void TIniFile::Flush() {
    const std::string crlf = Text();
    FILE* f = std::fopen(fileName_.c_str(), "wb");
    if (!f) throw EIniFileException("Unable to write to " + fileName_);
    bool ok = std::fwrite(crlf.data(), 1, crlf.size(), f) == crlf.size();
    ok = std::fclose(f) == 0 && ok;
    if (!ok) throw EIniFileException("Unable to write to " + fileName_);
}
