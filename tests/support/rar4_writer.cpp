#include "support/rar4_writer.h"

#include <zlib.h>

#include <cstdint>
#include <fstream>
#include <stdexcept>

namespace {

constexpr uint8_t kMainHead = 0x73;
constexpr uint8_t kFileHead = 0x74;
constexpr uint8_t kEndHead = 0x7B;
constexpr uint16_t kLongBlock = 0x8000;
constexpr uint16_t kDirectoryFlags = 0x00E0;
constexpr uint8_t kHostWin32 = 2;
constexpr uint8_t kHostUnix = 3;
constexpr uint8_t kStore = 0x30;
constexpr uint8_t kUnpackVersion = 29;
// 5 March 2009 14:07:08 as a DOS date-time.
constexpr uint32_t kDosTime = ((2009 - 1980) << 25) | (3 << 21) | (5 << 16) | (14 << 11) | (7 << 5) | (8 / 2);

void Put16(std::string& s, uint16_t v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>(v >> 8);
}

void Put32(std::string& s, uint32_t v) {
    for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

uint32_t Crc32(const std::string& s) {
    return static_cast<uint32_t>(
        crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(s.data()), static_cast<uInt>(s.size())));
}

// A block: its header CRC (the low 16 bits of the CRC32 of everything after
// the CRC field), then the header.
std::string Block(const std::string& headerAfterCrc) {
    std::string b;
    Put16(b, static_cast<uint16_t>(Crc32(headerAfterCrc) & 0xFFFF));
    return b + headerAfterCrc;
}

}  // namespace

std::string MakeRar4Archive(const std::vector<TRar4Entry>& entries) {
    // The marker block, then the main header (no flags, 13 bytes, reserved zeros).
    std::string out("Rar!\x1A\x07\0", 7);
    std::string main(1, static_cast<char>(kMainHead));
    Put16(main, 0);
    Put16(main, 13);
    Put16(main, 0);
    Put32(main, 0);
    out += Block(main);

    for (const TRar4Entry& e : entries) {
        std::string name = e.Name;
        if (e.EntryKind != TRar4Entry::Kind::Symlink)
            for (char& c : name)
                if (c == '/') c = '\\';
        const std::string& data = e.EntryKind == TRar4Entry::Kind::Folder ? std::string() : e.Data;
        uint16_t flags = kLongBlock;
        uint8_t host = kHostWin32;
        uint32_t attr = 0x20;
        if (e.EntryKind == TRar4Entry::Kind::Folder) {
            flags |= kDirectoryFlags;
            attr = 0x10;
        } else if (e.EntryKind == TRar4Entry::Kind::Symlink) {
            host = kHostUnix;
            attr = 0120777;
        }
        std::string h(1, static_cast<char>(kFileHead));
        Put16(h, flags);
        Put16(h, static_cast<uint16_t>(32 + name.size()));
        Put32(h, static_cast<uint32_t>(data.size()));  // packed size
        Put32(h, static_cast<uint32_t>(data.size()));  // unpacked size
        h += static_cast<char>(host);
        Put32(h, Crc32(data));
        Put32(h, kDosTime);
        h += {static_cast<char>(kUnpackVersion), static_cast<char>(kStore)};
        Put16(h, static_cast<uint16_t>(name.size()));
        Put32(h, attr);
        h += name;
        out += Block(h);
        out += data;
    }

    std::string end(1, static_cast<char>(kEndHead));
    Put16(end, 0x4000);
    Put16(end, 7);
    out += Block(end);
    return out;
}

void WriteRar4Archive(const std::string& path, const std::vector<TRar4Entry>& entries) {
    const std::string bytes = MakeRar4Archive(entries);
    if (!(std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes))
        throw std::runtime_error("cannot write " + path);
}
