// Files that the upload paths are writing right now (one registry per
// environment: TEnv::Uploads()).
//
// An FTP store, an append to a ".trf" transfer file and the rename that
// completes a transfer each hold the path they write for as long as they
// write it. Holders of one path are serialised: a second writer either waits
// for the first (TCP appends and completions) or gives up at once (FTP
// stores, which are then refused). The packet installer asks whether a
// pharmacy folder holds a path that is being written and leaves that folder
// for a later pass; while it extracts or renames an archive it holds the
// archive's path itself, so that no upload replaces the file under it.
//
// Paths are compared by their folder and their file name without regard to
// letter case (names inside a pharmacy folder are resolved that way).
#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>

class TUploadRegistry {
public:
    // A held path; released when the object goes (or on Release()).
    class TLock {
    public:
        TLock() = default;
        TLock(TLock&& other) noexcept;
        TLock& operator=(TLock&& other) noexcept;
        TLock(const TLock&) = delete;
        TLock& operator=(const TLock&) = delete;
        ~TLock() { Release(); }
        // True when the path is held by this object.
        bool Owns() const { return registry_ != nullptr; }
        explicit operator bool() const { return Owns(); }
        void Release();

    private:
        friend class TUploadRegistry;
        TLock(TUploadRegistry* registry, std::string key) : registry_(registry), key_(std::move(key)) {}
        TUploadRegistry* registry_ = nullptr;
        std::string key_;
    };

    // Waits until nobody else holds path, then holds it.
    TLock Acquire(const std::string& path);
    // Holds path when nobody else does; an empty lock otherwise.
    TLock TryAcquire(const std::string& path);
    // Whether somebody holds path.
    bool IsBusy(const std::string& path) const;
    // Whether somebody holds a path directly inside folder.
    bool IsFolderBusy(const std::string& folder) const;

    // The key under which a path is held: its folder, lexically normalised
    // without a trailing separator, then "/", then its upper-cased name.
    static std::string KeyOf(const std::string& path);
    static std::string FolderKeyOf(const std::string& folder);

private:
    void Unlock(const std::string& key);

    mutable std::mutex lock_;
    std::condition_variable released_;
    std::map<std::string, int> held_;  // key -> 1
};
