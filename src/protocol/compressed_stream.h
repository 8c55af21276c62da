// Compressed streams: a 4-byte little-endian count of the uncompressed bytes
// followed by their zlib stream at the best compression level. They carry the
// customer-information text and the catalogue objects' data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/exceptions.h"
#include "core/stream.h"

// Damaged, truncated or oversized compressed data.
VT_DECLARE_EXCEPTION(EDecompressionError, Exception);
VT_DECLARE_EXCEPTION(ECompressionError, Exception);

// Largest uncompressed size DecompressStream accepts by default. The count
// comes from the peer (before it is authenticated, for the customer block),
// so it must not decide alone how much is produced.
constexpr int64_t kMaxUncompressedSize = int64_t{64} << 20;

// Writes the count of Source's whole size at Dest's position, then the zlib
// stream of that many bytes read from Source's current position. A source
// beyond the 32-bit range raises ERangeError.
void CompressStream(TStream& source, TStream& dest);
// Reads the count at Source's position and inflates exactly that many bytes
// into Dest at its position, in bounded steps. Raises EDecompressionError when
// the count is negative or above maxSize, when the data is damaged, or when
// the zlib stream ends before or after the counted bytes. Source is left just
// after the zlib stream, so whatever follows it is not consumed.
void DecompressStream(TStream& source, TStream& dest, int64_t maxSize = kMaxUncompressedSize);

// The bytes of CompressStream over the tagged string value of s.
std::string CompressString(const std::string& s);
// The text that CompressString compressed.
std::string DecompressString(const std::string& s);

// Lines and text of a string list: each line ended by CR LF.
std::string StringsToText(const std::vector<std::string>& lines);
// Splits at CR LF, LF or CR; a last line without an ending counts, an empty
// text gives no lines.
std::vector<std::string> TextToStrings(const std::string& text);

// Empties the stream, writes the tagged string value holding CompressString of
// the list's text, and rewinds the stream.
void SaveStringsCompressed(TStream& stream, const std::vector<std::string>& strings);
// Rewinds the stream, reads one tagged string, decompresses it and replaces
// the list's lines with the text's.
void LoadStringsCompressed(std::vector<std::string>& strings, TStream& stream);
