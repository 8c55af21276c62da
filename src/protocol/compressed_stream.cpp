#include "protocol/compressed_stream.h"

#include <pthread.h>
#include <zlib.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/format.h"
#include "protocol/nv_stream_utils.h"

namespace {

constexpr size_t kChunk = 64 * 1024;

void PutCount(TStream& dest, int32_t n) {
    const uint32_t u = static_cast<uint32_t>(n);
    const uint8_t b[4] = {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8),
                          static_cast<uint8_t>(u >> 16), static_cast<uint8_t>(u >> 24)};
    dest.WriteBuffer(b, 4);
}

std::string ZMessage(const z_stream& zs, int code) {
    return zs.msg ? zs.msg : zError(code);
}

// A compressor's state (about a quarter of a megabyte at the best
// compression), kept for the next stream: setting it up anew for every
// stream, however small, cost more than compressing it. A reset one
// compresses exactly as a fresh one.
struct Deflater {
    z_stream zs{};
    bool ready = false;
    std::string out;  // compressed bytes on their way to the destination
    Deflater() = default;
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;
    ~Deflater() {
        if (ready) deflateEnd(&zs);
    }
    // In the state of a fresh deflateInit.
    void Begin() {
        const int rc = ready ? deflateReset(&zs) : deflateInit(&zs, Z_BEST_COMPRESSION);
        if (rc != Z_OK) throw ECompressionError(Format("Compression error: %s", {std::string(zError(rc))}));
        ready = true;
    }
};

// The compressors not in use; at most kKeptDeflaters are kept.
class TDeflaters {
public:
    static constexpr size_t kKeptDeflaters = 32;
    std::unique_ptr<Deflater> Take() {
        {
            std::lock_guard<std::mutex> g(mu_);
            if (!free_.empty()) {
                std::unique_ptr<Deflater> d = std::move(free_.back());
                free_.pop_back();
                return d;
            }
        }
        return std::make_unique<Deflater>();
    }
    void Give(std::unique_ptr<Deflater> d) {
        std::lock_guard<std::mutex> g(mu_);
        if (free_.size() < kKeptDeflaters) free_.push_back(std::move(d));
    }

    // fork(): the lock is held around it, so that the child finds it free.
    void Lock() { mu_.lock(); }
    void Unlock() { mu_.unlock(); }

private:
    std::mutex mu_;
    std::vector<std::unique_ptr<Deflater>> free_;
};

TDeflaters& Deflaters() {
    // Never destroyed: used until the process ends.
    static TDeflaters* d = [] {
        auto* list = new TDeflaters;
        static TDeflaters* forFork = list;
        pthread_atfork([] { forFork->Lock(); }, [] { forFork->Unlock(); }, [] { forFork->Unlock(); });
        return list;
    }();
    return *d;
}

// A compressor taken for one stream and given back after it.
class TDeflaterLease {
public:
    TDeflaterLease() : d_(Deflaters().Take()) { d_->Begin(); }
    ~TDeflaterLease() { Deflaters().Give(std::move(d_)); }
    TDeflaterLease(const TDeflaterLease&) = delete;
    TDeflaterLease& operator=(const TDeflaterLease&) = delete;
    Deflater& operator*() { return *d_; }

private:
    std::unique_ptr<Deflater> d_;
};

struct Inflater {
    z_stream zs{};
    Inflater() {
        const int rc = inflateInit(&zs);
        if (rc != Z_OK) throw EDecompressionError(Format("Decompression error: %s", {std::string(zError(rc))}));
    }
    ~Inflater() { inflateEnd(&zs); }
};

}  // namespace

void CompressStream(TStream& source, TStream& dest) {
    const int64_t size = source.Size();
    if (size > std::numeric_limits<int32_t>::max()) throw ERangeError("Range check error");
    PutCount(dest, static_cast<int32_t>(size));

    TDeflaterLease lease;
    Deflater& d = *lease;
    // Buffers as large as the stream needs, up to a chunk.
    std::string in(static_cast<size_t>(std::min<int64_t>(size, static_cast<int64_t>(kChunk))), '\0');
    std::string& out = d.out;
    if (out.size() < kChunk) out.resize(kChunk);
    int64_t left = size;
    int flush;
    do {
        const int64_t n = std::min<int64_t>(left, static_cast<int64_t>(kChunk));
        source.ReadBuffer(in.data(), n);
        left -= n;
        flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
        d.zs.next_in = reinterpret_cast<Bytef*>(in.data());
        d.zs.avail_in = static_cast<uInt>(n);
        do {
            d.zs.next_out = reinterpret_cast<Bytef*>(out.data());
            d.zs.avail_out = static_cast<uInt>(out.size());
            const int rc = deflate(&d.zs, flush);
            if (rc == Z_STREAM_ERROR)
                throw ECompressionError(Format("Compression error: %s", {ZMessage(d.zs, rc)}));
            dest.WriteBuffer(out.data(), static_cast<int64_t>(out.size() - d.zs.avail_out));
        } while (d.zs.avail_out == 0);
    } while (flush != Z_FINISH);
}

void DecompressStream(TStream& source, TStream& dest, int64_t maxSize) {
    uint8_t cb[4];
    source.ReadBuffer(cb, 4);
    const int32_t count = static_cast<int32_t>(static_cast<uint32_t>(cb[0]) | (static_cast<uint32_t>(cb[1]) << 8) |
                                               (static_cast<uint32_t>(cb[2]) << 16) |
                                               (static_cast<uint32_t>(cb[3]) << 24));
    if (count < 0 || count > maxSize)
        throw EDecompressionError(Format("Invalid uncompressed size %d", {count}));

    Inflater inf;
    // Buffers as large as the stream can need, up to a chunk: most streams
    // are small, and clearing two whole chunks cost more than inflating them.
    const int64_t waiting = source.Size() - source.Position();
    std::string in(static_cast<size_t>(std::clamp<int64_t>(waiting, 1, static_cast<int64_t>(kChunk))), '\0');
    std::string out(static_cast<size_t>(std::min<int64_t>(int64_t{count} + 1, static_cast<int64_t>(kChunk))), '\0');
    int64_t produced = 0;
    bool ended = false;
    while (!ended) {
        if (inf.zs.avail_in == 0) {
            const int64_t n = source.Read(in.data(), static_cast<int64_t>(in.size()));
            if (n <= 0) throw EDecompressionError("Compressed data ends unexpectedly");
            inf.zs.next_in = reinterpret_cast<Bytef*>(in.data());
            inf.zs.avail_in = static_cast<uInt>(n);
        }
        // Never ask for more than the count still owed plus one byte: a byte
        // beyond the count shows that the stream is longer than it says.
        const int64_t want = std::min<int64_t>(static_cast<int64_t>(out.size()), count - produced + 1);
        inf.zs.next_out = reinterpret_cast<Bytef*>(out.data());
        inf.zs.avail_out = static_cast<uInt>(want);
        const int rc = inflate(&inf.zs, Z_NO_FLUSH);
        if (rc == Z_NEED_DICT || rc == Z_DATA_ERROR || rc == Z_MEM_ERROR || rc == Z_STREAM_ERROR)
            throw EDecompressionError(Format("Decompression error: %s", {ZMessage(inf.zs, rc)}));
        const int64_t got = want - static_cast<int64_t>(inf.zs.avail_out);
        if (produced + got > count) throw EDecompressionError("Compressed data is longer than its count");
        dest.WriteBuffer(out.data(), got);
        produced += got;
        if (rc == Z_STREAM_END) ended = true;
        else if (rc == Z_BUF_ERROR && inf.zs.avail_in != 0)
            throw EDecompressionError(Format("Decompression error: %s", {ZMessage(inf.zs, rc)}));
    }
    if (produced != count) throw EDecompressionError("Compressed data is shorter than its count");
    // Give back the input read past the end of the zlib stream.
    if (inf.zs.avail_in > 0) source.Seek(-static_cast<int64_t>(inf.zs.avail_in), SeekOrigin::Current);
}

std::string CompressString(const std::string& s) {
    TStringStream plain;
    {
        TNVBinWriter w(&plain);
        TStringStream src(s);
        w.WriteStringStream(src);
    }
    plain.SetPosition(0);
    TStringStream packed;
    CompressStream(plain, packed);
    return packed.DataString();
}

std::string DecompressString(const std::string& s) {
    TStringStream packed(s);
    TStringStream plain;
    DecompressStream(packed, plain);
    plain.SetPosition(0);
    TNVBinReader r(&plain);
    return r.ReadStringStream()->DataString();
}

std::string StringsToText(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& l : lines) {
        text += l;
        text += "\r\n";
    }
    return text;
}

std::vector<std::string> TextToStrings(const std::string& text) {
    std::vector<std::string> lines;
    size_t i = 0;
    while (i < text.size()) {
        size_t j = i;
        while (j < text.size() && text[j] != '\r' && text[j] != '\n') ++j;
        lines.emplace_back(text, i, j - i);
        if (j < text.size() && text[j] == '\r') ++j;
        if (j < text.size() && text[j] == '\n') ++j;
        i = j;
    }
    return lines;
}

void SaveStringsCompressed(TStream& stream, const std::vector<std::string>& strings) {
    stream.SetSize(0);
    stream.SetPosition(0);
    TNVBinWriter w(&stream);
    w.WriteString(CompressString(StringsToText(strings)));
    stream.SetPosition(0);
}

void LoadStringsCompressed(std::vector<std::string>& strings, TStream& stream) {
    stream.SetPosition(0);
    TNVBinReader r(&stream);
    strings = TextToStrings(DecompressString(r.ReadString()));
}
