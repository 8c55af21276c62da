// Persistence of the in-memory table: the CSV text form and the binary form
// of tagged values. Numbers and dates are written and read in a notation
// given to the conversions explicitly; nothing process-wide is changed.
#include <cstring>

#include "core/format.h"
#include "memtable/memtable.h"
#include "memtable/memtable_csv.h"
#include "memtable/memtable_internal.h"
#include "memtable/memtable_texts.h"
#include "memtable/value_filer.h"

using MemTableInternal::IsSupportedType;
using MemTableInternal::LoadingScope;

namespace {

constexpr size_t kFilerBufferSize = 16384;
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

// The type of a saved field definition by its short name; an unknown or
// unsupported one raises, with the context appended to the message.
TFieldType SavedFieldType(const std::string& typeName, const std::string& context) {
    TFieldType type;
    if (!FindFieldTypeByShortName(typeName, type) || !IsSupportedType(type))
        throw EMemTableError(Format(MemTableTexts::kUnknownFieldType, {typeName}) + context);
    return type;
}

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

// ================================================================ field selection

bool TqdCustomMemTable::IsFieldSaved(const TBufferField& field, TqdMemTableSaveFlags flags) const {
    if (IsBinaryFieldType(field.DataType())) return flags & mtfSaveBlobs;
    bool saved;
    switch (field.FieldKind()) {
        case TFieldKind::fkData: saved = flags & mtfSaveData; break;
        case TFieldKind::fkCalculated: saved = flags & mtfSaveCalculated; break;
        case TFieldKind::fkLookup: saved = flags & mtfSaveLookup; break;
        default: saved = true; break;
    }
    if (saved && !field.Visible && !(flags & mtfSaveNonVisible)) saved = false;
    return saved;
}

// ================================================================ save and load frames

void TqdCustomMemTable::SaveWith(TStream& target, TqdMemTableSaveFlags flags,
                                 const std::function<void(TStream&)>& write) {
    CheckBrowseMode();
    TBookmark bm = GetBookmark();
    const bool savedFiltered = filtered_;
    if (savedFiltered && (flags & mtfSaveFiltered)) filtered_ = false;
    DisableControls();
    try {
        TMemoryStream mem;
        write(OnCompressSave ? static_cast<TStream&>(mem) : target);
        if (OnCompressSave) {
            mem.SetPosition(0);
            OnCompressSave(mem, target);
        }
    } catch (...) {
        filtered_ = savedFiltered;
        RestorePosition(bm);
        EnableControls();
        throw;
    }
    filtered_ = savedFiltered;
    RestorePosition(bm);
    EnableControls();
}

void TqdCustomMemTable::LoadWith(TStream& source, const std::function<void(TStream&)>& read) {
    TBookmark bm = GetBookmark();
    const bool savedPersistent = persistent_;
    persistent_ = false;
    DisableControls();
    try {
        LoadingScope loading(loading_);
        TMemoryStream plain;
        TStream* in = &source;
        if (OnDecompressLoad) {
            OnDecompressLoad(source, plain);
            plain.SetPosition(0);
            in = &plain;
        }
        read(*in);
    } catch (...) {
        if (State() == TDataSetState::dsInsert || State() == TDataSetState::dsEdit) {
            try {
                Cancel();
            } catch (...) {
            }
        }
        RestorePosition(bm);
        EnableControls();
        persistent_ = savedPersistent;
        throw;
    }
    RestorePosition(bm);
    EnableControls();
    persistent_ = savedPersistent;
}

void TqdCustomMemTable::DefineSavedField(const TSavedFieldDef& def) {
    FieldDefs().Add(def.name, def.type, def.size, def.required);
    TBufferField& f = CreateField(def.name, def.type, def.size);
    f.Required = def.required;
    f.DisplayLabel = def.displayLabel;
    f.EditMask = def.editMask;
    f.ReadOnly = def.readOnly;
    f.DisplayWidth = def.displayWidth;
    f.Visible = def.visible;
}

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

// ================================================================ binary form

void TqdCustomMemTable::SaveToBinaryFile(const std::string& fileName, TqdMemTableSaveFlags flags) {
    TFileStream fs(fileName, FileMode::Create);
    if (OnSave) OnSave(*this, TqdMemTableStorageType::mtstBinaryFile, &fs);
    SaveToBinaryStream(fs, flags);
}

void TqdCustomMemTable::LoadFromBinaryFile(const std::string& fileName) {
    TFileStream fs(fileName, FileMode::OpenRead);
    if (OnLoad) OnLoad(*this, TqdMemTableStorageType::mtstBinaryFile, &fs);
    LoadFromBinaryStream(fs);
}

void TqdCustomMemTable::SaveToBinaryStream(TStream& stream, TqdMemTableSaveFlags flags) { SaveBinary(stream, flags); }

void TqdCustomMemTable::LoadFromBinaryStream(TStream& stream) { LoadBinary(stream); }

namespace {

// The writer of the binary form.
class TqdCustomMemTableWriter : public TValueWriter {
public:
    using TValueWriter::TValueWriter;
};

}  // namespace

void TqdCustomMemTable::SaveBinary(TStream& target, TqdMemTableSaveFlags flags) {
    SaveWith(target, flags, [&](TStream& out) {
        std::vector<TBufferField*> saved;
        for (int i = 0; i < FieldCount(); ++i)
            if (IsFieldSaved(Fields(i), flags)) saved.push_back(&Fields(i));
        TqdCustomMemTableWriter w(out, kFilerBufferSize);
        w.WriteSignature();
        w.WriteListBegin();
        if (flags & mtfSaveDef) {
            for (TBufferField* f : saved) {
                w.WriteString(f->FieldName());
                w.WriteString(FieldTypeShortName(f->DataType()));
                w.WriteInteger(f->Size());
                w.WriteString(f->DisplayName());
                w.WriteString(f->EditMask);
                w.WriteInteger(f->GetDisplayWidth());
                w.WriteBoolean(f->Required);
                w.WriteBoolean(f->ReadOnly);
            }
        }
        w.WriteListEnd();
        w.WriteListBegin();
        First();
        while (!Eof()) {
            bool accept = true;
            if (OnSaveRecord) OnSaveRecord(*this, accept);
            if (accept) {
                for (TBufferField* f : saved) {
                    if (f->IsNull()) {
                        w.WriteNull();
                        continue;
                    }
                    if (OnSaveField) OnSaveField(*this, f->Index(), *f);
                    switch (f->DataType()) {
                        case TFieldType::ftSmallint: case TFieldType::ftInteger: case TFieldType::ftWord:
                        case TFieldType::ftAutoInc:
                            w.WriteInteger(f->AsInteger());
                            break;
                        case TFieldType::ftLargeint:
                            // Values beyond 32 bits take the 64-bit tag.
                            w.WriteInteger(f->AsLargeInt());
                            break;
                        case TFieldType::ftBoolean:
                            w.WriteBoolean(f->AsBoolean());
                            break;
                        case TFieldType::ftFloat: case TFieldType::ftDate: case TFieldType::ftTime:
                        case TFieldType::ftDateTime:
                            w.WriteFloat(f->AsFloat());
                            break;
                        case TFieldType::ftCurrency: case TFieldType::ftBCD:
                            w.WriteFloat(f->AsCurrency().ToDouble());
                            break;
                        default:
                            w.WriteString(f->AsString());
                            break;
                    }
                }
            }
            Next();
        }
        w.WriteListEnd();
        w.FlushBuffer();
    });
}

void TqdCustomMemTable::LoadBinary(TStream& source) {
    LoadWith(source, [&](TStream& in) {
        TValueReader r(in, kFilerBufferSize);
        r.ReadSignature();
        r.ReadListBegin();
        bool definitions = false;
        while (!r.EndOfList()) {
            if (!definitions) {
                definitions = true;
                Close();
                FieldDefs().Clear();
                DeleteTable();
            }
            TSavedFieldDef field;
            field.name = r.ReadString();
            const std::string typeName = r.ReadString();
            field.size = r.ReadInteger();
            field.displayLabel = r.ReadString();
            field.editMask = r.ReadString();
            field.displayWidth = r.ReadInteger();
            field.required = r.ReadBoolean();
            field.readOnly = r.ReadBoolean();
            field.type = SavedFieldType(typeName, std::string());
            DefineSavedField(field);
        }
        r.ReadListEnd();
        if (definitions) Open();
        r.ReadListBegin();
        const int n = FieldCount();
        for (;;) {
            int tag = r.PeekTag();
            if (tag < 0) r.ReadListEnd();  // raises: the list has no end
            // A 0x00 ends the list when it is the last byte; followed by more
            // bytes it is the null first value of a record.
            if (tag == ValueTag::kNull && (n == 0 || r.Remaining() <= 1)) break;
            // A value with no field to take it would never be consumed: the
            // list could not end.
            if (n == 0) throw EReadError("Invalid property value");
            Append();
            for (int i = 0; i < n; ++i) {
                TBufferField& f = Fields(i);
                if (r.PeekTag() == ValueTag::kNull) {
                    r.SkipTag();
                    f.Clear();
                } else {
                    switch (f.DataType()) {
                        case TFieldType::ftSmallint: case TFieldType::ftInteger: case TFieldType::ftWord:
                        case TFieldType::ftAutoInc:
                            f.SetAsInteger(r.ReadInteger());
                            break;
                        case TFieldType::ftLargeint:
                            f.SetAsLargeInt(r.ReadInt64());
                            break;
                        case TFieldType::ftBoolean:
                            f.SetAsBoolean(r.ReadBoolean());
                            break;
                        case TFieldType::ftFloat: case TFieldType::ftDate: case TFieldType::ftTime:
                        case TFieldType::ftDateTime:
                            f.SetAsFloat(r.ReadFloat());
                            break;
                        case TFieldType::ftCurrency: case TFieldType::ftBCD:
                            f.SetAsCurrency(Currency::FromDouble(r.ReadFloat()));
                            break;
                        default:
                            f.SetAsString(r.ReadString());
                            break;
                    }
                }
                if (OnLoadField) OnLoadField(*this, i, f);
            }
            bool accept = true;
            if (OnLoadRecord) OnLoadRecord(*this, accept);
            if (accept) Post();
            else Cancel();
        }
        r.ReadListEnd();
    });
}
