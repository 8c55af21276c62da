// The packet archive extractor the installer starts: a program of the
// server's own (built from src/replication/tools), installed beside the
// server executable under the name kPacketExtractorName and called as
//
//   <extractor> e -o+ "<archive>" "<folder>/"
//
// It extracts the archive's files without their stored paths into the
// folder, replacing existing files, creates no links and exits with 0 only
// when every file was extracted.
#pragma once

#include <chrono>
#include <string>

inline constexpr const char* kPacketExtractorName = "rar";

// The extractor's path: by default kPacketExtractorName in the folder of the
// running executable.
std::string PacketExtractorPath();
// Points the installer at another extractor (tests, tools); "" restores the default.
void SetPacketExtractorPath(const std::string& path);
// How long an extraction may take before the extractor is stopped and the
// archive counts as failed (10 minutes by default).
std::chrono::milliseconds PacketExtractorTimeout();
void SetPacketExtractorTimeout(std::chrono::milliseconds timeout);
// The command line for one archive: the extractor, "e", "-o+", the archive
// and the folder (with a trailing "/"), the paths in double quotes.
std::string PacketExtractorCommandLine(const std::string& archive, const std::string& folder);
