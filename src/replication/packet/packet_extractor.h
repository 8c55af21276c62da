// The packet archive extractor the installer starts: a program of the
// server's own (built from src/replication/tools), installed beside the
// server executable (see TEnv::ExtractorPath) and called as
//
//   <extractor> e -o+ "<archive>" "<folder>/"
//
// It extracts the archive's files without their stored paths into the
// folder, replacing existing files, creates no links and exits with 0 only
// when every file was extracted.
#pragma once

#include <string>

// The command line for one archive: the extractor, "e", "-o+", the archive
// and the folder (with a trailing "/"), the paths in double quotes.
std::string PacketExtractorCommandLine(const std::string& extractor, const std::string& archive,
                                       const std::string& folder);
