#include "nomsync/column_text.h"

#include "core/exceptions.h"
#include "core/format.h"

std::string ColumnText(std::string text, size_t maxLen, const char* className, const char* column) {
    if (text.size() > maxLen)
        throw EReadError(Format("%s: the text for %s has %d characters, more than its %d",
                                {className, column, static_cast<int64_t>(text.size()), static_cast<int64_t>(maxLen)}));
    return text;
}
