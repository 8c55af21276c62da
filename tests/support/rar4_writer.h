// A small writer of RAR 4 archives for the tests: stored (uncompressed)
// entries only, which is what the extractor has to read back. Besides plain
// files it writes folder entries, stored paths and Unix symbolic links, so
// that the tests can check that the extractor flattens paths and creates no
// links.
#pragma once

#include <string>
#include <vector>

struct TRar4Entry {
    enum class Kind { File, Folder, Symlink };
    std::string Name;   // stored name; "\\" or "/" separate folders
    std::string Data;   // file contents, or the link's target
    Kind EntryKind = Kind::File;

    static TRar4Entry File(std::string name, std::string data) {
        return {std::move(name), std::move(data), Kind::File};
    }
    static TRar4Entry Folder(std::string name) { return {std::move(name), "", Kind::Folder}; }
    static TRar4Entry Symlink(std::string name, std::string target) {
        return {std::move(name), std::move(target), Kind::Symlink};
    }
};

// The bytes of an archive holding the entries in order.
std::string MakeRar4Archive(const std::vector<TRar4Entry>& entries);
// Writes that archive to path (raises on failure).
void WriteRar4Archive(const std::string& path, const std::vector<TRar4Entry>& entries);
