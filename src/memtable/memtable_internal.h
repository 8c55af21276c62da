// Pieces the source files of the in-memory table share.
#pragma once

#include <string>

#include "core/dataset.h"

namespace MemTableInternal {

// The field types the table stores in its records.
inline bool IsSupportedType(TFieldType t) {
    return (t >= TFieldType::ftString && t <= TFieldType::ftTypedBinary) ||
           (t >= TFieldType::ftFixedChar && t <= TFieldType::ftLargeint);
}

// Lifts the read-only guard of a table's fields while it loads records
// itself; the flag is restored on leaving, however that happens.
class LoadingScope {
public:
    explicit LoadingScope(bool& flag) : flag_(flag), saved_(flag) { flag_ = true; }
    ~LoadingScope() { flag_ = saved_; }
    LoadingScope(const LoadingScope&) = delete;
    LoadingScope& operator=(const LoadingScope&) = delete;

private:
    bool& flag_;
    bool saved_;
};

// The type of a saved field definition by its short name; an unknown or
// unsupported one raises, with the context appended to the message.
TFieldType SavedFieldType(const std::string& typeName, const std::string& context);

}  // namespace MemTableInternal
