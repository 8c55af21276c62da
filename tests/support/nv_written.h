// The bytes a tagged-value writer produces for what `write` writes.
#pragma once

#include <string>

#include "protocol/nv_stream_utils.h"

template <class F>
std::string Written(F write) {
    TMemoryStream s;
    TNVBinWriter w(&s);
    write(w);
    return s.Bytes();
}
