#include "replication/packet/packet_extractor.h"

#include "core/files.h"

namespace {

std::string Quote(const std::string& s) { return "\"" + s + "\""; }

}  // namespace

std::string PacketExtractorCommandLine(const std::string& extractor, const std::string& archive,
                                       const std::string& folder) {
    return Quote(extractor) + " e -o+ " + Quote(archive) + " " + Quote(AddTrailingBackslash(folder));
}
