#include "nomsync/article/article_wire_checks.h"

#include <cmath>

#include "core/cp1251.h"
#include "core/format.h"
#include "protocol/nv_stream_utils.h"

void RefuseArticleRecord(const std::string& detail) {
    throw EArticleRecordError(Cp(u8"Невалидни данни за актуализация на обект в номенклатурата!") + " (" + detail +
                              ")");
}

void CheckRecordCount(TNVBinReader& reader, int32_t count, int64_t minItemBytes, const char* what) {
    if (count < 0) RefuseArticleRecord(Format("negative count of %s: %d", {what, count}));
    const int64_t left = reader.Stream().Remaining();
    if (static_cast<int64_t>(count) * minItemBytes > left)
        RefuseArticleRecord(Format("%d %s do not fit in the %d bytes left", {count, what, left}));
}

void CheckTextWidth(const std::string& text, size_t maxLen, const char* what) {
    if (text.size() > maxLen)
        RefuseArticleRecord(Format("%s longer than %d characters", {what, static_cast<int64_t>(maxLen)}));
}

double CheckFinite(double value, const char* what) {
    if (!std::isfinite(value)) RefuseArticleRecord(Format("%s is not a number", {what}));
    return value;
}
