// Fuzz target: the component-stream decoder. Whatever the bytes, decoding
// either fails with one of the decoder's exceptions or yields an object whose
// encoding decodes to the same encoding again.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/exceptions.h"
#include "protocol/component_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<TComponent> obj;
    try {
        obj = DecodePharmComponent(std::string(reinterpret_cast<const char*>(data), size));
    } catch (const EReadError&) {
        return 0;
    } catch (const EClassNotFound&) {
        return 0;
    }
    const std::string once = EncodePharmComponent(*obj);
    const std::string twice = EncodePharmComponent(*DecodePharmComponent(once));
    if (once != twice) __builtin_trap();
    return 0;
}
