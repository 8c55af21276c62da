#include "core/dataset.h"

#include "core/cp1251.h"
#include "core/exceptions.h"

const char* FieldTypeName(TFieldType t) {
    static const char* const kNames[] = {
        "ftUnknown", "ftString", "ftSmallint", "ftInteger", "ftWord", "ftBoolean", "ftFloat",
        "ftCurrency", "ftBCD", "ftDate", "ftTime", "ftDateTime", "ftBytes", "ftVarBytes",
        "ftAutoInc", "ftBlob", "ftMemo", "ftGraphic", "ftFmtMemo", "ftParadoxOle", "ftDBaseOle",
        "ftTypedBinary", "ftCursor", "ftFixedChar", "ftWideString", "ftLargeint", "ftADT",
        "ftArray", "ftReference", "ftDataSet", "ftOraBlob", "ftOraClob", "ftVariant",
        "ftInterface", "ftIDispatch", "ftGuid", "ftTimeStamp", "ftFMTBcd"};
    auto i = static_cast<size_t>(t);
    return i < sizeof kNames / sizeof kNames[0] ? kNames[i] : "ftUnknown";
}

TField::TField(TDataSet* dataSet, std::string fieldName, TFieldType dataType, int size)
    : dataSet_(dataSet), fieldName_(std::move(fieldName)), dataType_(dataType), size_(size) {}

Variant TField::GetAsVariant() const {
    if (!dataSet_) return Variant::Null();
    return dataSet_->GetFieldValue(*this);
}

void TField::SetAsVariant(const Variant& v) {
    if (!dataSet_) throw EDatabaseError("Field '" + fieldName_ + "' has no dataset");
    dataSet_->SetFieldValue(*this, v);
}

bool TField::IsBlob() const {
    switch (dataType_) {
        case TFieldType::ftBlob: case TFieldType::ftMemo: case TFieldType::ftGraphic:
        case TFieldType::ftFmtMemo: case TFieldType::ftParadoxOle: case TFieldType::ftDBaseOle:
        case TFieldType::ftTypedBinary: case TFieldType::ftOraBlob: case TFieldType::ftOraClob:
            return true;
        default:
            return false;
    }
}

std::string TField::AsString() const {
    Variant v = GetAsVariant();
    if (v.IsNull()) return "";
    if (v.Type() == VarType::Boolean) return v.AsBoolean() ? "True" : "False";
    return v.AsString();
}

int32_t TField::AsInteger() const { return VarToIntDef(GetAsVariant(), 0); }
int64_t TField::AsLargeInt() const { return VarToInt64Def(GetAsVariant(), 0); }

double TField::AsFloat() const {
    Variant v = GetAsVariant();
    return v.IsNull() ? 0.0 : v.AsDouble();
}

Currency TField::AsCurrency() const {
    Variant v = GetAsVariant();
    return v.IsNull() ? Currency() : v.AsCurrency();
}

TDateTime TField::AsDateTime() const {
    Variant v = GetAsVariant();
    return v.IsNull() ? 0.0 : v.AsDateTime();
}

bool TField::AsBoolean() const {
    Variant v = GetAsVariant();
    return v.IsNull() ? false : v.AsBoolean();
}

TDataSet::~TDataSet() = default;

TField& TDataSet::Fields(int i) const {
    if (i < 0 || i >= FieldCount()) throw EListError("List index out of bounds (" + std::to_string(i) + ")");
    return *fields_[static_cast<size_t>(i)];
}

TField* TDataSet::FindField(const std::string& name) const {
    for (const auto& f : fields_)
        if (SameText1251(f->FieldName(), name)) return f.get();
    return nullptr;
}

TField& TDataSet::FieldByName(const std::string& name) const {
    TField* f = FindField(name);
    if (!f) throw EDatabaseError("Field '" + name + "' not found");
    return *f;
}

std::vector<std::string> TDataSet::FieldNames() const {
    std::vector<std::string> names;
    for (const auto& f : fields_) names.push_back(f->FieldName());
    return names;
}

void TDataSet::SetFieldValue(TField& field, const Variant&) {
    throw EDatabaseError("Cannot modify a read-only dataset");
}

TField& TDataSet::AddField(std::unique_ptr<TField> field) {
    field->SetIndex(FieldCount());
    fields_.push_back(std::move(field));
    return *fields_.back();
}
