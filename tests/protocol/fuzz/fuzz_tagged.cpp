// Fuzz target: the tagged-value reader. The first byte chooses which reader
// operations run one after another over the rest; each either returns a value
// or fails with the reader's exceptions, and never reads past the end.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/exceptions.h"
#include "protocol/nv_stream_utils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    uint32_t ops = data[0];
    TMemoryStream ms(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
    TNVBinReader r(&ms);
    char buf[16];
    try {
        for (int step = 0; step < 64 && ms.Remaining() > 0; ++step) {
            switch ((ops + static_cast<uint32_t>(step) * 7) % 16) {
                case 0: r.ReadVariant(); break;
                case 1: r.ReadString(); break;
                case 2: r.ReadWideString(); break;
                case 3: r.ReadBuffer(buf, sizeof buf); break;
                case 4: r.ReadBufferBytes(); break;
                case 5: r.ReadIdent(); break;
                case 6: r.ReadFloat(); break;
                case 7: r.ReadSingle(); break;
                case 8: r.ReadCurrency(); break;
                case 9: r.ReadDate(); break;
                case 10: r.ReadInt64(); break;
                case 11: r.ReadInteger(); break;
                case 12: r.ReadBoolean(); break;
                case 13: r.ReadChar(); break;
                case 14: r.ReadStringStream(); break;
                default: r.ReadStr(); break;
            }
            if (ms.Position() > ms.Size()) __builtin_trap();
        }
    } catch (const EInvalidValue&) {
    } catch (const EInvalidIdentified&) {
    }
    return 0;
}
