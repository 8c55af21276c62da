// Checks of what a pharmacy sends inside an article record, made while the
// record is read and before anything is allocated or stored: a count that is
// negative or larger than the bytes left can hold, a text longer than its
// column, a number that is not finite.
#pragma once

#include <cstdint>
#include <string>

#include "core/exceptions.h"

class TNVBinReader;

VT_DECLARE_EXCEPTION(EArticleRecordError, Exception);

// Raises EArticleRecordError with the detail after the common message.
[[noreturn]] void RefuseArticleRecord(const std::string& detail);
// Raises EArticleRecordError unless 0 <= count and count items of at least
// minItemBytes each fit in the bytes left.
void CheckRecordCount(TNVBinReader& reader, int32_t count, int64_t minItemBytes, const char* what);
// Raises EArticleRecordError when the text is longer than maxLen bytes.
void CheckTextWidth(const std::string& text, size_t maxLen, const char* what);
// Raises EArticleRecordError for an infinite or not-a-number value.
double CheckFinite(double value, const char* what);
