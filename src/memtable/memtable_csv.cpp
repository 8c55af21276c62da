// The CSV text form of the in-memory table.
#include <cstring>

#include "core/format.h"
#include "memtable/memtable.h"
#include "memtable/memtable_csv.h"
#include "memtable/memtable_internal.h"
#include "memtable/memtable_texts.h"
#include "memtable/value_filer.h"

using MemTableInternal::SavedFieldType;

namespace {

constexpr size_t kCsvChunkSize = 8192;

// CSV text of these types is escaped; of the other binary types 6-bit text.
bool IsEscapedTextType(TFieldType t) {
    return IsStringFieldType(t) || t == TFieldType::ftMemo || t == TFieldType::ftFmtMemo;
}

// Reads CSV lines through one chunk buffer: a line ends at the first CR, LF
// or NUL; the run of such characters after it separates it from the next.
class CsvLineReader {
public:
    explicit CsvLineReader(TStream& stream) : stream_(stream), buffer_(kCsvChunkSize, '\0') {}

    // False when the next line is empty (the end of the text, or text that
    // begins with a separator character).
    bool ReadLine(std::string& line) {
        line.clear();
        for (;;) {
            if (!Fill()) break;
            size_t start = pos_;
            while (pos_ < len_ && !IsSeparator(buffer_[pos_])) ++pos_;
            line.append(buffer_, start, pos_ - start);
            if (pos_ < len_) break;
        }
        if (line.empty()) return false;
        for (;;) {
            if (!Fill()) break;
            while (pos_ < len_ && IsSeparator(buffer_[pos_])) ++pos_;
            if (pos_ < len_) break;
        }
        return true;
    }

private:
    static bool IsSeparator(char c) { return c == '\r' || c == '\n' || c == '\0'; }
    bool Fill() {
        if (pos_ < len_) return true;
        int64_t n = stream_.Read(buffer_.data(), static_cast<int64_t>(buffer_.size()));
        pos_ = 0;
        len_ = n > 0 ? static_cast<size_t>(n) : 0;
        return len_ > 0;
    }
    TStream& stream_;
    std::string buffer_;
    size_t pos_ = 0;
    size_t len_ = 0;
};

void WriteLine(TStream& out, std::string line) {
    line += "\r\n";
    out.WriteBuffer(line.data(), static_cast<int64_t>(line.size()));
}

}  // namespace

// ================================================================ CSV text helpers

namespace MemTableCsv {

std::string QuoteValue(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
    return out;
}

std::string Escape(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
            case '\0': out += "%0"; break;
            case '\n': out += "%n"; break;
            case '\r': out += "%c"; break;
            case '%': out += "%%"; break;
            default: out += c; break;
        }
    }
    return out;
}

std::string Unescape(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '%' && i + 1 < s.size()) {
            char n = s[i + 1];
            if (n == '%') { out += '%'; ++i; continue; }
            if (n == '0') { out += '\0'; ++i; continue; }
            if (n == 'c') { out += '\r'; ++i; continue; }
            if (n == 'n') { out += '\n'; ++i; continue; }
        }
        // Any other sequence, and a '%' at the end, is kept as it is.
        out += c;
    }
    return out;
}

std::string Encode6Bit(const std::string& bytes) {
    std::string out;
    out.reserve((4 * bytes.size() + 2) / 3);
    uint32_t acc = 0;
    int bits = 0;
    for (unsigned char b : bytes) {
        acc |= static_cast<uint32_t>(b) << bits;
        bits += 8;
        while (bits >= 6) {
            out += static_cast<char>(32 + (acc & 63));
            acc >>= 6;
            bits -= 6;
        }
    }
    if (bits > 0) out += static_cast<char>(32 + (acc & 63));
    return out;
}

std::string Decode6Bit(const std::string& text) {
    std::string out;
    out.reserve(3 * text.size() / 4);
    uint32_t acc = 0;
    int bits = 0;
    for (unsigned char c : text) {
        acc |= static_cast<uint32_t>((c - 32) & 63) << bits;
        bits += 6;
        if (bits >= 8) {
            out += static_cast<char>(acc & 255);
            acc >>= 8;
            bits -= 8;
        }
    }
    return out;
}

ValueKind ReadValue(const std::string& line, size_t& pos, std::string& text) {
    text.clear();
    if (line.empty()) return ValueKind::Nothing;
    const size_t last = line.size() - 1;
    while (pos < last && line[pos] != '"' && line[pos] != ',') ++pos;
    if (pos >= last) return ValueKind::Nothing;
    if (line[pos] == ',') {
        ++pos;
        return ValueKind::Null;
    }
    ++pos;  // the opening quote
    while (pos < line.size()) {
        if (line[pos] == '"') {
            if (pos + 1 < line.size() && line[pos + 1] == '"') {
                text += '"';
                pos += 2;
                continue;
            }
            break;
        }
        text += line[pos++];
    }
    pos += 2;  // the closing quote and the separating comma
    return ValueKind::Text;
}

std::vector<std::string> SplitCommaText(const std::string& s) {
    std::vector<std::string> out;
    size_t p = 0;
    auto blank = [&](size_t i) { return i < s.size() && s[i] >= 1 && s[i] <= ' '; };
    while (blank(p)) ++p;
    while (p < s.size()) {
        std::string item;
        if (s[p] == '"') {
            ++p;
            while (p < s.size()) {
                if (s[p] == '"') {
                    if (p + 1 < s.size() && s[p + 1] == '"') {
                        item += '"';
                        p += 2;
                        continue;
                    }
                    ++p;
                    break;
                }
                item += s[p++];
            }
        } else {
            size_t start = p;
            while (p < s.size() && static_cast<unsigned char>(s[p]) > ' ' && s[p] != ',') ++p;
            item = s.substr(start, p - start);
        }
        out.push_back(item);
        while (blank(p)) ++p;
        if (p < s.size() && s[p] == ',') {
            if (p + 1 == s.size()) out.emplace_back();
            do {
                ++p;
            } while (blank(p));
        }
        if (p < s.size() && s[p] == '\0') break;
    }
    return out;
}

}  // namespace MemTableCsv

// ================================================================ CSV

void TqdCustomMemTable::SaveToFile(const std::string& fileName, TqdMemTableSaveFlags flags) {
    TFileStream fs(fileName, FileMode::Create);
    if (OnSave) OnSave(*this, TqdMemTableStorageType::mtstFile, &fs);
    SaveToStream(fs, flags);
}

void TqdCustomMemTable::LoadFromFile(const std::string& fileName) {
    TFileStream fs(fileName, FileMode::OpenRead);
    if (OnLoad) OnLoad(*this, TqdMemTableStorageType::mtstFile, &fs);
    LoadFromStream(fs);
}

void TqdCustomMemTable::SaveToStream(TStream& stream, TqdMemTableSaveFlags flags) { SaveCsv(stream, flags); }

void TqdCustomMemTable::LoadFromStream(TStream& stream) { LoadCsv(stream); }

void TqdCustomMemTable::SaveCsv(TStream& target, TqdMemTableSaveFlags flags) {
    using namespace MemTableCsv;
    const TFormatSettings& fs =
        (flags & mtfSaveInLocalFormat) ? TFormatSettings::Process() : TFormatSettings::Neutral();
    const bool skipRest = flags & mtfSkipRest;
    SaveWith(target, flags, [&](TStream& out) {
        std::vector<bool> saved;
        for (int i = 0; i < FieldCount(); ++i) saved.push_back(IsFieldSaved(Fields(i), flags));

        if (flags & mtfSaveDef) {
            WriteLine(out, QuoteValue("@@TABLEDEF START@@"));
            for (int i = 0; i < FieldCount(); ++i) {
                if (!saved[static_cast<size_t>(i)] && skipRest) continue;
                TBufferField& f = Fields(i);
                std::string def = f.FieldName() + "=" + FieldTypeShortName(f.DataType()) + "," +
                                  std::to_string(f.Size()) + "," + QuoteValue(f.DisplayName()) + "," +
                                  QuoteValue(f.EditMask) + "," + std::to_string(f.GetDisplayWidth());
                if (f.Required) def += ",REQ";
                if (f.ReadOnly) def += ",RO";
                WriteLine(out, QuoteValue(def));
            }
            WriteLine(out, QuoteValue("@@TABLEDEF END@@"));
        }

        std::string line;
        for (int i = 0; i < FieldCount(); ++i) {
            if (!saved[static_cast<size_t>(i)] && skipRest) continue;
            line += QuoteValue(Fields(i).DisplayName()) + ",";
        }
        WriteLine(out, line);

        First();
        while (!Eof()) {
            bool accept = true;
            if (OnSaveRecord) OnSaveRecord(*this, accept);
            if (!accept) {
                Next();
                continue;
            }
            line.clear();
            for (int i = 0; i < FieldCount(); ++i) {
                TBufferField& f = Fields(i);
                if (!saved[static_cast<size_t>(i)]) {
                    if (!skipRest) line += ",";
                    continue;
                }
                if (OnSaveField) OnSaveField(*this, i, f);
                if (f.IsNull()) {
                    line += ",";
                    continue;
                }
                std::string text;
                if (IsEscapedTextType(f.DataType())) text = Escape(f.GetText(fs));
                else if (IsBinaryFieldType(f.DataType())) text = Encode6Bit(f.GetText(fs));
                else text = f.GetText(fs);
                line += QuoteValue(text) + ",";
            }
            Next();
            if (Eof() && !line.empty()) line.pop_back();
            WriteLine(out, line);
        }
    });
}

void TqdCustomMemTable::LoadCsv(TStream& source) {
    using namespace MemTableCsv;
    const TFormatSettings& fs = TFormatSettings::Neutral();
    LoadWith(source, [&](TStream& in) {
        CsvLineReader reader(in);
        std::string line, value;
        bool definitionPhase = true, inBlock = false;
        while (reader.ReadLine(line)) {
            if (definitionPhase) {
                size_t pos = 0;
                ValueKind kind = ReadValue(line, pos, value);
                if (kind == ValueKind::Text && value == "@@TABLEDEF START@@") {
                    Close();
                    FieldDefs().Clear();
                    DeleteTable();
                    inBlock = true;
                } else if (kind == ValueKind::Text && value == "@@TABLEDEF END@@") {
                    inBlock = false;
                    Open();
                } else if (inBlock) {
                    std::string def = kind == ValueKind::Text ? value : std::string();
                    size_t eq = def.find('=');
                    std::string name = eq == std::string::npos ? std::string() : def.substr(0, eq);
                    std::vector<std::string> parts =
                        SplitCommaText(eq == std::string::npos ? def : def.substr(eq + 1));
                    auto part = [&](size_t i) -> const std::string& {
                        if (i >= parts.size()) throw EListError("List index out of bounds (" + std::to_string(i) + ")");
                        return parts[i];
                    };
                    TSavedFieldDef field;
                    field.name = name;
                    field.type = SavedFieldType(part(0), Format(MemTableTexts::kInCsvFile, {def}));
                    field.size = StrToInt(part(1));
                    field.displayLabel = part(2);
                    field.editMask = part(3);
                    field.displayWidth = StrToInt(part(4));
                    field.required = def.find(",REQ") != std::string::npos;
                    field.readOnly = def.find(",RO") != std::string::npos;
                    field.visible = def.find(",INV") == std::string::npos;
                    DefineSavedField(field);
                } else {
                    // The header line: it ends the definitions and is skipped.
                    definitionPhase = false;
                }
                continue;
            }
            Append();
            size_t pos = 0;
            int i = 0;
            const int n = FieldCount();
            while (pos + 1 < line.size() && i < n) {
                ValueKind kind = ReadValue(line, pos, value);
                if (kind == ValueKind::Nothing) break;
                TBufferField& f = Fields(i);
                if (kind == ValueKind::Null) f.Clear();
                else if (IsEscapedTextType(f.DataType())) f.SetText(Unescape(value), fs);
                else if (IsBinaryFieldType(f.DataType())) f.SetText(Decode6Bit(value), fs);
                else f.SetText(value, fs);
                if (OnLoadField) OnLoadField(*this, i, f);
                ++i;
            }
            bool accept = true;
            if (OnLoadRecord) OnLoadRecord(*this, accept);
            if (accept) Post();
            else Cancel();
        }
    });
}
