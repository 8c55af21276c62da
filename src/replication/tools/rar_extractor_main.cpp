// The packet archive extractor: a small stand-in for the archiver's
// "extract without paths" command, built on libarchive (RAR 4 and RAR 5).
//
//   rar e [-o+] [-y] [-inul] <archive> [<folder>/]
//
// Every regular file of the archive is written into the folder (the current
// folder when none is given) under its bare name: stored folders are dropped,
// an existing file of that name is replaced. Folders, symbolic and hard links
// and device entries of the archive are skipped; nothing is created outside
// the folder, and a link already in the folder is replaced, never followed.
// Each file is written to a temporary name first and renamed into place when
// it is complete, so a failed extraction never leaves a half-written packet
// under its real name. The program never asks anything; standard input is
// not read.
//
// libarchive does not verify the checksum of stored (uncompressed) RAR 4
// entries, so the program reads the RAR 4 file headers itself and checks the
// CRC32 of every file it writes against its header.
//
// Exit codes: 0 success, 2 the archive cannot be opened or read (not an
// archive, truncated, encrypted), 3 a file's data is damaged (checksum),
// 7 bad command line, 9 a file cannot be created or written, 10 nothing to
// extract.
#include <archive.h>
#include <archive_entry.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFatal = 2;
constexpr int kExitCrc = 3;
constexpr int kExitUsage = 7;
constexpr int kExitCreate = 9;
constexpr int kExitNoFiles = 10;

int Usage() {
    std::fprintf(stderr, "usage: rar e [-o+] [-y] [-inul] <archive> [<folder>/]\n");
    return kExitUsage;
}

// The entry's name without any stored folder ("" when nothing usable is left).
std::string BareName(const char* path) {
    if (!path) return "";
    std::string p(path);
    size_t cut = p.find_last_of("/\\");
    std::string name = cut == std::string::npos ? p : p.substr(cut + 1);
    if (name == "." || name == "..") return "";
    return name;
}

// The CRC32 of every file header of a RAR 4 archive, in archive order (one
// per entry libarchive reports). Empty when the file is no RAR 4 archive
// starting at its first byte or its blocks cannot be walked; then libarchive's
// own checks are all there is.
struct TRar4Crcs {
    bool valid = false;
    bool ended = false;  // the end of archive block was found
    std::vector<uint32_t> crcs;
};

TRar4Crcs ScanRar4(const std::string& path) {
    TRar4Crcs out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    auto readAt = [f](long long pos, unsigned char* buf, size_t n) {
        return ::fseeko(f, static_cast<off_t>(pos), SEEK_SET) == 0 && std::fread(buf, 1, n, f) == n;
    };
    auto le16 = [](const unsigned char* p) { return static_cast<uint32_t>(p[0] | (p[1] << 8)); };
    auto le32 = [](const unsigned char* p) {
        return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
               (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
    };
    unsigned char sig[7];
    if (!readAt(0, sig, 7) || std::memcmp(sig, "Rar!\x1A\x07\x00", 7) != 0) {
        std::fclose(f);
        return out;
    }
    long long pos = 7;
    for (;;) {
        unsigned char h[36];
        if (!readAt(pos, h, 7)) break;  // end of file without an end block
        uint32_t type = h[2], flags = le16(h + 3), headSize = le16(h + 5);
        if (headSize < 7) { std::fclose(f); return out; }
        unsigned long long blockSize = headSize;
        if (type == 0x74) {
            if (headSize < 32 || !readAt(pos, h, 36 > headSize ? headSize : 36)) { std::fclose(f); return out; }
            unsigned long long packed = le32(h + 7);
            if ((flags & 0x100) && headSize >= 36) packed |= static_cast<unsigned long long>(le32(h + 32)) << 32;
            blockSize += packed;
            out.crcs.push_back(le32(h + 16));
        } else if (flags & 0x8000) {
            if (!readAt(pos + 7, h + 7, 4)) { std::fclose(f); return out; }
            blockSize += le32(h + 7);
        }
        if (type == 0x7B) {
            out.ended = true;
            break;
        }
        pos += static_cast<long long>(blockSize);
    }
    std::fclose(f);
    out.valid = true;
    return out;
}

bool WriteAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Extracts the current entry's data into folder/name; returns an exit code.
// expectedCrc: the header's CRC32 of the data, or nullptr when unknown.
int ExtractEntry(struct archive* a, const std::string& folder, const std::string& name,
                 const uint32_t* expectedCrc, bool quiet) {
    std::string tmpl = folder + ".rar-extract-XXXXXX";
    int fd = ::mkstemp(tmpl.data());
    if (fd < 0) {
        if (!quiet) std::fprintf(stderr, "Cannot create %s: %s\n", tmpl.c_str(), std::strerror(errno));
        return kExitCreate;
    }
    int rc = kExitOk;
    uLong crc = crc32(0L, Z_NULL, 0);
    for (;;) {
        const void* buf;
        size_t size;
        la_int64_t offset;
        int r = archive_read_data_block(a, &buf, &size, &offset);
        if (r == ARCHIVE_EOF) break;
        if (r < ARCHIVE_WARN) {
            if (!quiet) std::fprintf(stderr, "%s: %s\n", name.c_str(), archive_error_string(a));
            const char* msg = archive_error_string(a);
            rc = msg && std::strstr(msg, "CRC") ? kExitCrc : kExitFatal;
            break;
        }
        if (size > 0 && (::lseek(fd, offset, SEEK_SET) < 0 || !WriteAll(fd, buf, size))) {
            if (!quiet) std::fprintf(stderr, "Cannot write %s: %s\n", name.c_str(), std::strerror(errno));
            rc = kExitCreate;
            break;
        }
        crc = crc32(crc, static_cast<const Bytef*>(buf), static_cast<uInt>(size));
    }
    if (rc == kExitOk && expectedCrc && static_cast<uint32_t>(crc) != *expectedCrc) {
        if (!quiet) std::fprintf(stderr, "%s: CRC error\n", name.c_str());
        rc = kExitCrc;
    }
    if (rc == kExitOk && (::fchmod(fd, 0644) != 0 || ::fsync(fd) != 0)) rc = kExitCreate;
    if (::close(fd) != 0 && rc == kExitOk) rc = kExitCreate;
    if (rc == kExitOk && ::rename(tmpl.c_str(), (folder + name).c_str()) != 0) {
        if (!quiet) std::fprintf(stderr, "Cannot create %s%s: %s\n", folder.c_str(), name.c_str(), std::strerror(errno));
        rc = kExitCreate;
    }
    if (rc != kExitOk) ::unlink(tmpl.c_str());
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return Usage();
    if (std::strcmp(argv[1], "e") != 0 && std::strcmp(argv[1], "E") != 0) return Usage();
    bool quiet = false;
    int i = 2;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        std::string sw = argv[i];
        if (sw == "--") { ++i; break; }
        if (sw == "-o+" || sw == "-y") continue;
        if (sw == "-inul") { quiet = true; continue; }
        std::fprintf(stderr, "Unsupported switch %s\n", sw.c_str());
        return kExitUsage;
    }
    if (i >= argc || argc - i > 2) return Usage();
    std::string archivePath = argv[i];
    std::string folder = i + 1 < argc ? argv[i + 1] : "./";
    if (folder.empty()) folder = "./";
    if (folder.back() != '/') folder += '/';

    struct stat st;
    if (::stat(folder.c_str(), &st) != 0) {
        if (::mkdir(folder.c_str(), 0755) != 0) {
            if (!quiet) std::fprintf(stderr, "Cannot create %s: %s\n", folder.c_str(), std::strerror(errno));
            return kExitCreate;
        }
    } else if (!S_ISDIR(st.st_mode)) {
        if (!quiet) std::fprintf(stderr, "%s is not a folder\n", folder.c_str());
        return kExitCreate;
    }

    TRar4Crcs rar4 = ScanRar4(archivePath);
    if (rar4.valid && !rar4.ended) {
        // Its blocks stop at an entry's boundary without the end block: an
        // upload broken there. The entries it holds are not the whole archive.
        if (!quiet) std::fprintf(stderr, "%s: the archive is cut short (no end block)\n", archivePath.c_str());
        return kExitFatal;
    }
    struct archive* a = archive_read_new();
    archive_read_support_format_rar(a);
    archive_read_support_format_rar5(a);
    if (archive_read_open_filename(a, archivePath.c_str(), 65536) != ARCHIVE_OK) {
        if (!quiet) std::fprintf(stderr, "%s: %s\n", archivePath.c_str(), archive_error_string(a));
        archive_read_free(a);
        return kExitFatal;
    }
    int rc = kExitOk;
    int extracted = 0;
    size_t index = 0;
    for (;;) {
        struct archive_entry* e;
        int r = archive_read_next_header(a, &e);
        if (r == ARCHIVE_EOF) break;
        if (r < ARCHIVE_WARN) {
            if (!quiet) std::fprintf(stderr, "%s: %s\n", archivePath.c_str(), archive_error_string(a));
            rc = kExitFatal;
            break;
        }
        const uint32_t* expectedCrc = nullptr;
        if (rar4.valid) {
            if (index >= rar4.crcs.size()) {
                if (!quiet) std::fprintf(stderr, "%s: unexpected entry\n", archivePath.c_str());
                rc = kExitFatal;
                break;
            }
            expectedCrc = &rar4.crcs[index];
        }
        ++index;
        std::string name = BareName(archive_entry_pathname(e));
        bool regular = archive_entry_filetype(e) == AE_IFREG && archive_entry_hardlink(e) == nullptr &&
                       archive_entry_symlink(e) == nullptr;
        if (!regular || name.empty()) {
            if (archive_read_data_skip(a) < ARCHIVE_WARN) {
                if (!quiet) std::fprintf(stderr, "%s: %s\n", archivePath.c_str(), archive_error_string(a));
                rc = kExitFatal;
                break;
            }
            continue;
        }
        rc = ExtractEntry(a, folder, name, expectedCrc, quiet);
        if (rc != kExitOk) break;
        ++extracted;
        if (!quiet) std::printf("Extracting  %s%s  OK\n", folder.c_str(), name.c_str());
    }
    archive_read_free(a);
    if (rc == kExitOk && extracted == 0) {
        if (!quiet) std::fprintf(stderr, "No files to extract\n");
        rc = kExitNoFiles;
    }
    return rc;
}
