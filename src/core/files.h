// Files and folders: existence, creation, Windows-style masks, listing and
// deletion. None of them keeps state; all are safe on any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

bool FileExists(const std::string& name);       // a file that is not a folder
bool DirectoryExists(const std::string& name);
// Creates the folder and its missing parents; false when that failed. An
// empty name raises EInOutError "Unable to create directory".
bool ForceDirectories(const std::string& dir);

// Windows-style name mask: only "*" and "?" are wildcards ("[" is an
// ordinary character), letter case is ignored (Latin and Cyrillic), "*.*"
// matches every name and a trailing ".*" also matches a name without a dot.
bool MatchesMask(std::string_view name, std::string_view mask);

struct TFoundEntry {
    std::string Name;        // bare name
    bool IsDirectory = false;  // a real folder (a symbolic link is not one)
};
// The entries of a folder that match a mask, "." and ".." left out, sorted
// by name without regard to case (the order the listing of a folder has
// always had). PathMask is a folder and a mask joined ("/data/pharm3/*.rar");
// without a "/" the mask applies to the current folder. A missing folder
// gives an empty list.
std::vector<TFoundEntry> FindEntries(const std::string& pathMask);

// Makes the file writable and deletes it; true when it is gone.
bool ForceDeleteFile(const std::string& name);
// Deletes the folder with everything in it. Stops deleting at the first
// failure. Symbolic links are removed, never followed. False for a missing
// folder.
bool DeleteDirTree(const std::string& dir);
// Deletes the plain files of Dir that match Mask; true when none matched or
// all were deleted; after the first failure nothing more is deleted.
bool DeleteFilesByMask(const std::string& dir, const std::string& mask);
// Size of a file; raises EInOutError when it cannot be opened (or is a
// folder) and ERangeError when the size does not fit 32 bits.
int32_t FileSizeByName(const std::string& name);

// S + "/" unless S is empty or already ends in "/".
std::string AddTrailingBackslash(const std::string& s);

// Bare names of the entries that match Dir + Mask (joined as they are, so Dir
// ends in "/"): folders other than "." and ".." when IncludeDirs, everything
// else when IncludeFiles. Empty when the folder is missing. Masks are
// Windows-style (see MatchesMask in this header).
std::vector<std::string> GetDirectoryEntries(const std::string& dir, const std::string& mask,
                                             bool includeDirs, bool includeFiles);

// Bare names of the plain files (not folders) in Folder that match Mask.
std::vector<std::string> GetFileList(const std::string& folder, const std::string& mask);
