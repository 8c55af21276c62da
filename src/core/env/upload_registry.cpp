#include "core/env/upload_registry.h"

#include <filesystem>

#include "core/cp1251.h"

namespace fs = std::filesystem;

TUploadRegistry::TLock::TLock(TLock&& other) noexcept
    : registry_(other.registry_), key_(std::move(other.key_)) {
    other.registry_ = nullptr;
}

TUploadRegistry::TLock& TUploadRegistry::TLock::operator=(TLock&& other) noexcept {
    if (this != &other) {
        Release();
        registry_ = other.registry_;
        key_ = std::move(other.key_);
        other.registry_ = nullptr;
    }
    return *this;
}

void TUploadRegistry::TLock::Release() {
    if (registry_) {
        registry_->Unlock(key_);
        registry_ = nullptr;
    }
}

std::string TUploadRegistry::FolderKeyOf(const std::string& folder) {
    std::string s = fs::path(folder).lexically_normal().generic_string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

std::string TUploadRegistry::KeyOf(const std::string& path) {
    fs::path p = fs::path(path).lexically_normal();
    return FolderKeyOf(p.parent_path().generic_string()) + "/" +
           UpperCase1251(p.filename().generic_string());
}

TUploadRegistry::TLock TUploadRegistry::Acquire(const std::string& path) {
    std::string key = KeyOf(path);
    std::unique_lock<std::mutex> guard(lock_);
    released_.wait(guard, [&] { return held_.find(key) == held_.end(); });
    held_[key] = 1;
    return TLock(this, key);
}

TUploadRegistry::TLock TUploadRegistry::TryAcquire(const std::string& path) {
    std::string key = KeyOf(path);
    std::lock_guard<std::mutex> guard(lock_);
    if (held_.find(key) != held_.end()) return TLock();
    held_[key] = 1;
    return TLock(this, key);
}

bool TUploadRegistry::IsBusy(const std::string& path) const {
    std::string key = KeyOf(path);
    std::lock_guard<std::mutex> guard(lock_);
    return held_.find(key) != held_.end();
}

bool TUploadRegistry::IsFolderBusy(const std::string& folder) const {
    std::string prefix = FolderKeyOf(folder);
    if (prefix != "/") prefix += "/";
    std::lock_guard<std::mutex> guard(lock_);
    for (auto it = held_.lower_bound(prefix); it != held_.end(); ++it) {
        const std::string& key = it->first;
        if (key.compare(0, prefix.size(), prefix) != 0) break;
        if (key.find('/', prefix.size()) == std::string::npos) return true;
    }
    return false;
}

void TUploadRegistry::Unlock(const std::string& key) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        held_.erase(key);
    }
    released_.notify_all();
}
