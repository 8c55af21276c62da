// Fuzz target of the CSV reader of the in-memory table.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzOne(data, size, [](TNVMemTable& t, TStream& s) { t.LoadFromStream(s); });
    return 0;
}
