// Sorting and searching of the in-memory table: one raw-value comparator over
// the record bytes, the quicksort of the record list, the placing of a posted
// record, and the binary and linear searches of Locate and Lookup.
#include <cmath>
#include <cstring>

#include "core/cp1251.h"
#include "core/format.h"
#include "memtable/memtable.h"
#include "memtable/memtable_texts.h"

namespace {

bool IsIndexableType(TFieldType t) {
    switch (t) {
        case TFieldType::ftString: case TFieldType::ftSmallint: case TFieldType::ftInteger:
        case TFieldType::ftWord: case TFieldType::ftBoolean: case TFieldType::ftFloat:
        case TFieldType::ftCurrency: case TFieldType::ftBCD: case TFieldType::ftDate:
        case TFieldType::ftTime: case TFieldType::ftDateTime: case TFieldType::ftAutoInc:
        case TFieldType::ftFixedChar: case TFieldType::ftWideString: case TFieldType::ftLargeint:
            return true;
        default:
            return false;
    }
}

template <typename T>
T Load(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <typename T>
int Cmp(T a, T b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

}  // namespace

// ================================================================ field lists

void TqdCustomMemTable::BuildFieldList(std::vector<TBufferField*>& list, const std::string& names) {
    list.clear();
    listHasCalc_ = false;
    for (const std::string& name : SplitFieldNames(names)) {
        TBufferField& f = FieldByName(name);
        bool kindOk = f.FieldKind() == TFieldKind::fkData || f.FieldKind() == TFieldKind::fkCalculated;
        if (!kindOk || !IsIndexableType(f.DataType()))
            throw EDatabaseError(Format(MemTableTexts::kCannotIndex, {f.DisplayName()}));
        list.push_back(&f);
        if (f.FieldKind() == TFieldKind::fkCalculated) listHasCalc_ = true;
    }
}

// ================================================================ comparison

int TqdCustomMemTable::CompareFieldValues(const uint8_t* a, const uint8_t* b, const TBufferField& field,
                                          bool caseInsensitive, bool partialKey) const {
    switch (field.DataType()) {
        case TFieldType::ftString: case TFieldType::ftFixedChar: case TFieldType::ftWideString: {
            size_t size = static_cast<size_t>(field.Size());
            const char* pa = reinterpret_cast<const char*>(a);
            const char* pb = reinterpret_cast<const char*>(b);
            std::string_view sa(pa, strnlen(pa, size));
            std::string_view sb(pb, strnlen(pb, size));
            if (partialKey && sb.size() > sa.size()) sb = sb.substr(0, sa.size());
            return caseInsensitive ? CollateText1251(sa, sb) : CollateStr1251(sa, sb);
        }
        case TFieldType::ftSmallint: return Cmp(Load<int16_t>(a), Load<int16_t>(b));
        case TFieldType::ftInteger: case TFieldType::ftAutoInc: return Cmp(Load<int32_t>(a), Load<int32_t>(b));
        case TFieldType::ftLargeint: return Cmp(Load<int64_t>(a), Load<int64_t>(b));
        case TFieldType::ftWord: return Cmp(Load<uint16_t>(a), Load<uint16_t>(b));
        case TFieldType::ftBoolean: return Cmp(Load<int16_t>(a) != 0, Load<int16_t>(b) != 0);
        case TFieldType::ftFloat: case TFieldType::ftCurrency: {
            double x = Load<double>(a), y = Load<double>(b);
            return x > y ? 1 : (x < y ? -1 : 0);
        }
        case TFieldType::ftDate: case TFieldType::ftTime: return Cmp(Load<int32_t>(a), Load<int32_t>(b));
        case TFieldType::ftDateTime: {
            double d = Load<double>(a) - Load<double>(b);
            return d > 0 ? 1 : (d < 0 ? -1 : 0);
        }
        default:
            return 0;  // BCD, Bytes, VarBytes and blobs compare equal
    }
}

int TqdCustomMemTable::CompareRecordFields(const uint8_t* a, TqdMemTableCompareOptions options, const uint8_t* b,
                                           const std::vector<TBufferField*>& list) const {
    if (!a || !b) return 0;
    bool ci = options & mtcoCaseInsensitive;
    bool partial = options & mtcoPartialKey;
    for (TBufferField* f : list) {
        const uint8_t* sa = FieldSlot(*f, const_cast<uint8_t*>(a));
        const uint8_t* sb = FieldSlot(*f, const_cast<uint8_t*>(b));
        if (!sa || !sb) continue;
        int r;
        if (sa[0] && sb[0]) r = CompareFieldValues(sa + 1, sb + 1, *f, ci, partial);
        else if (!sa[0] && sb[0]) r = -1;
        else if (sa[0] && !sb[0]) r = 1;
        else r = 0;
        if (r != 0) return r;
    }
    return 0;
}

int TqdCustomMemTable::CompareRecordsForSort(uint8_t* a, uint8_t* b, const std::vector<TBufferField*>& list) {
    if (a == b) return 0;
    if (listHasCalc_) {
        ClearCalcFields(a);
        GetCalcFields(a);
        ClearCalcFields(b);
        GetCalcFields(b);
    }
    int64_t r = CompareRecordFields(a, sortOptions_, b, list);
    if (r == 0) r = static_cast<int64_t>(BufferRecNo(a)) - BufferRecNo(b);
    if (sortOptions_ & mtcoDescending) r = -r;
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

int TqdCustomMemTable::CompareRecordsForKey(uint8_t* key, uint8_t* record, const std::vector<TBufferField*>& list) {
    if (listHasCalc_) GetCalcFields(record);
    return CompareRecordFields(key, locateOptions_, record, list);
}

// ================================================================ sorting

void TqdCustomMemTable::QuickSort(int l, int r, const std::vector<TBufferField*>& list) {
    int i;
    do {
        i = l;
        int j = r;
        uint8_t* pivot = records_[static_cast<size_t>((l + r) / 2)].get();
        do {
            // The bounds checks keep an inconsistent comparison (a partial
            // key in the sort options) inside the range.
            while (i <= r && CompareRecordsForSort(records_[static_cast<size_t>(i)].get(), pivot, list) < 0) ++i;
            while (j >= l && CompareRecordsForSort(records_[static_cast<size_t>(j)].get(), pivot, list) > 0) --j;
            if (i <= j) {
                if (i != j) std::swap(records_[static_cast<size_t>(i)], records_[static_cast<size_t>(j)]);
                ++i;
                --j;
            }
        } while (i <= j);
        if (l < j) QuickSort(l, j, list);
        l = i;
    } while (i < r);
}

void TqdCustomMemTable::SortOnList(const std::vector<TBufferField*>& list) {
    if (!open_ || records_.empty() || list.empty()) return;
    // Pending edits are posted first: the buffers are re-made below.
    CheckBrowseMode();
    TBookmark bm = GetBookmark();
    QuickSort(0, static_cast<int>(records_.size()) - 1, list);
    SetBufListSize(0);
    SetBufListSize(BufferCount() + 1);
    RestorePosition(bm);
    sorted_ = true;
    sortedWith_ = sortOptions_;
}

void TqdCustomMemTable::Sort(TqdMemTableCompareOptions options) {
    sortOptions_ = options;
    sortedOn_ = sortFields_;
    SortOnList(sortFieldList_);
}

void TqdCustomMemTable::SortOn(const std::string& fieldNames, TqdMemTableCompareOptions options) {
    sortOptions_ = options;
    sortedOn_ = fieldNames;
    std::vector<TBufferField*> list;
    BuildFieldList(list, fieldNames);
    SortOnList(list);
}

void TqdCustomMemTable::SetAutoSort(bool value) {
    if (value && open_ && !(autoSort_ && sorted_ && sortedOn_ == sortFields_)) Sort(sortOptions_);
    autoSort_ = value;
}

void TqdCustomMemTable::SetIndexFieldNames(const std::string& value) {
    sortFields_ = value;
    if (open_) {
        SortOn(sortFields_, sortOptions_);
        // The sort field list is rebuilt here as at open: records posted
        // from now on are placed by the new sort fields.
        BuildFieldList(sortFieldList_, sortFields_);
    }
}

int TqdCustomMemTable::ReorderRecord(int p) {
    const int n = static_cast<int>(records_.size());
    if (p < 0 || p >= n) return p;
    auto cmp = [&](int x, int y) {
        int r = CompareRecordFields(records_[static_cast<size_t>(x)].get(), sortOptions_,
                                    records_[static_cast<size_t>(y)].get(), sortFieldList_);
        return (sortOptions_ & mtcoDescending) ? -r : r;
    };
    bool forward;
    if (p >= n - 1) {
        forward = false;
    } else if (p == 0) {
        forward = true;
    } else {
        int c = cmp(p, p + 1);
        if (c == 0) return p;
        forward = c > 0;
    }
    int target;
    if (forward) {
        int j = p + 1;
        while (j < n && cmp(p, j) >= 1) ++j;
        target = j - 1;
    } else {
        int j = p - 1;
        while (j >= 0 && cmp(j, p) >= 1) --j;
        target = j + 1;
    }
    if (target != p) {
        auto block = std::move(records_[static_cast<size_t>(p)]);
        records_.erase(records_.begin() + p);
        records_.insert(records_.begin() + target, std::move(block));
    }
    return target;
}

// ================================================================ searching

void TqdCustomMemTable::StoreFieldVariant(uint8_t* buffer, TBufferField& field, const Variant& value) {
    uint8_t* slot = FieldSlot(field, buffer);
    if (!slot) return;
    uint8_t* data = slot + 1;
    const size_t size = static_cast<size_t>(field.DataSize());
    if (value.IsNull()) {
        slot[0] = 0;
        std::memset(data, 0, size);
        return;
    }
    slot[0] = 1;
    switch (field.DataType()) {
        case TFieldType::ftString: case TFieldType::ftFixedChar: case TFieldType::ftWideString: {
            // The OEM translation of transliterating fields has no code page
            // of its own on this platform: the text is kept as it is.
            std::string s = value.AsString();
            std::memset(data, 0, size);
            std::memcpy(data, s.data(), std::min(s.size(), static_cast<size_t>(field.Size())));
            break;
        }
        case TFieldType::ftSmallint: case TFieldType::ftWord: {
            int16_t v = static_cast<int16_t>(value.AsInteger());
            std::memcpy(data, &v, 2);
            break;
        }
        case TFieldType::ftInteger: case TFieldType::ftAutoInc: {
            int32_t v = value.AsInteger();
            std::memcpy(data, &v, 4);
            break;
        }
        case TFieldType::ftBoolean: {
            int16_t v = value.AsBoolean() ? 1 : 0;
            std::memcpy(data, &v, 2);
            break;
        }
        case TFieldType::ftFloat: case TFieldType::ftCurrency: {
            double v = value.AsDouble();
            std::memcpy(data, &v, 8);
            break;
        }
        case TFieldType::ftDate: {
            TTimeStamp ts = DateTimeToTimeStamp(value.AsDateTime());
            std::memcpy(data, &ts.Date, 4);
            break;
        }
        case TFieldType::ftTime: {
            TTimeStamp ts = DateTimeToTimeStamp(value.AsDateTime());
            std::memcpy(data, &ts.Time, 4);
            break;
        }
        case TFieldType::ftDateTime: {
            double ms = TimeStampToMSecs(DateTimeToTimeStamp(value.AsDateTime()));
            std::memcpy(data, &ms, 8);
            break;
        }
        case TFieldType::ftLargeint: {
            // Whole numbers are taken exactly; others through their rounded
            // floating value.
            int64_t v;
            if (value.IsOrdinal()) {
                v = value.AsInt64();
            } else {
                double d = value.AsDouble();
                if (!std::isfinite(d) || std::fabs(d) >= 9.2e18) throw ERangeError("Range check error");
                v = std::llround(d);
            }
            std::memcpy(data, &v, 8);
            break;
        }
        default:
            break;  // BCD and the other types keep their bytes
    }
}

void TqdCustomMemTable::StoreKeyValues(uint8_t* buffer, const std::string& fieldNames, const Variant& values) {
    std::vector<TBufferField*> list;
    BuildFieldList(list, fieldNames);
    if (!values.IsArray() && list.size() > 1) throw EMemTableError(MemTableTexts::kMoreFieldsThanValues);
    if (list.empty()) throw EMemTableError(MemTableTexts::kNoKeyField);
    if (values.IsArray()) {
        if (values.ArrayLength() < list.size()) throw EVariantError("Variant or safe array index out of bounds");
        for (size_t i = 0; i < list.size(); ++i) {
            if (values[i].IsArray()) throw EMemTableError(MemTableTexts::kBadVariantArray);
            StoreFieldVariant(buffer, *list[i], values[i]);
        }
    } else {
        StoreFieldVariant(buffer, *list[0], values);
    }
}

// Binary search needs evidence that the list is ordered on the key: the
// table was sorted, nothing changed since, no filter hides records, the key
// fields lead the fields sorted on, and the search compares text with the
// same case rule as the sort did.
bool TqdCustomMemTable::BinaryLocateAllowed(const std::string& keyFields) const {
    if (!doBinaryLocate_ || !sorted_ || IsFiltering()) return false;
    if ((locateOptions_ & mtcoCaseInsensitive) != (sortedWith_ & mtcoCaseInsensitive)) return false;
    std::vector<std::string> keys = SplitFieldNames(keyFields), sortedOn = SplitFieldNames(sortedOn_);
    if (keys.empty() || keys.size() > sortedOn.size()) return false;
    for (size_t i = 0; i < keys.size(); ++i)
        if (!SameText1251(keys[i], sortedOn[i])) return false;
    return true;
}

bool TqdCustomMemTable::InternalLocate(const std::string& keyFields, const Variant& keyValues,
                                       TLocateOptions options) {
    // Key values of two or more dimensions are refused before anything else,
    // so that a pending edit is not posted for a search that cannot run.
    if (keyValues.IsArray())
        for (size_t i = 0; i < keyValues.ArrayLength(); ++i)
            if (keyValues[i].IsArray()) throw EMemTableError(MemTableTexts::kBadVariantArray);
    CheckBrowseMode();
    CursorPosChanged();
    locateOptions_ = 0;
    if (options & loCaseInsensitive) locateOptions_ |= mtcoCaseInsensitive;
    if (options & loPartialKey) locateOptions_ |= mtcoPartialKey;
    std::vector<TBufferField*> keyList;
    BuildFieldList(keyList, keyFields);
    std::unique_ptr<uint8_t[]> key(AllocRecordBuffer());
    StoreKeyValues(key.get(), keyFields, keyValues);
    // The key buffer's calculated fields are deliberately not computed
    // during a search: that would clear the key values just stored for
    // calculated key fields and put values computed from an otherwise empty
    // record in their place.
    DisableControls();
    bool found = false;
    try {
        const int count = static_cast<int>(records_.size());
        if (count > 0 && BinaryLocateAllowed(keyFields)) {
            int low = 0, high = count - 1;
            for (;;) {
                int mid = (low + high) / 2;
                int c = CompareRecordsForKey(key.get(), records_[static_cast<size_t>(mid)].get(), keyList);
                if (c == 0) {
                    currentIndex_ = mid;
                    Resync(rmExact | rmCenter);
                    found = true;
                    break;
                }
                if (low >= high) break;
                if (sortedWith_ & mtcoDescending) c = -c;
                if (c < 0) high = mid - 1;
                else low = mid + 1;
            }
        } else {
            for (int i = 0; i < count; ++i) {
                uint8_t* rec = records_[static_cast<size_t>(i)].get();
                if (IsFiltering() && !FilterRecord(rec)) continue;
                if (CompareRecordsForKey(key.get(), rec, keyList) == 0) {
                    currentIndex_ = i;
                    Resync(rmExact | rmCenter);
                    found = true;
                    break;
                }
            }
        }
    } catch (...) {
        EnableControls();
        throw;
    }
    EnableControls();
    SetFound(found);
    return found;
}

bool TqdCustomMemTable::Locate(const std::string& keyFields, const Variant& keyValues, TLocateOptions options) {
    DoBeforeScroll();
    bool found = InternalLocate(keyFields, keyValues, options);
    if (found) DoAfterScroll();
    return found;
}

Variant TqdCustomMemTable::Lookup(const std::string& keyFields, const Variant& keyValues,
                                  const std::string& resultFields) {
    Variant result = Variant::Null();
    TBookmark bm = GetBookmark();
    try {
        if (InternalLocate(keyFields, keyValues, 0)) {
            TDataSetState saved = SetTempState(TDataSetState::dsCalcFields);
            try {
                CalculateFields(ActiveBuffer());
                result = FieldValues(resultFields);
            } catch (...) {
                RestoreState(saved);
                throw;
            }
            RestoreState(saved);
        }
    } catch (...) {
        RestorePosition(bm);
        throw;
    }
    RestorePosition(bm);
    return result;
}
