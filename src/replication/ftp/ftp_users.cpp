#include "replication/ftp/ftp_users.h"

#include <algorithm>

void TFtpUserManager::Clear() {
    std::lock_guard<std::mutex> g(lock_);
    accounts_.clear();
}

void TFtpUserManager::AddUser(const TFtpUserAccount& account) {
    std::lock_guard<std::mutex> g(lock_);
    accounts_.push_back(account);
}

static bool SameBytes(const std::string& a, const std::string& b) {
    // Compares every byte whatever the first difference, so that the time
    // taken tells nothing of where a guess went wrong.
    unsigned diff = static_cast<unsigned>(a.size() ^ b.size());
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

bool TFtpUserManager::AuthenticateUser(const std::string& userName, const std::string& password) const {
    std::lock_guard<std::mutex> g(lock_);
    for (const auto& a : accounts_)
        if (a.UserName == userName) return !a.Password.empty() && SameBytes(a.Password, password);
    return false;
}

bool TFtpUserManager::FindUser(const std::string& userName, TFtpUserAccount& account) const {
    std::lock_guard<std::mutex> g(lock_);
    for (const auto& a : accounts_)
        if (a.UserName == userName) {
            account = a;
            return true;
        }
    return false;
}

size_t TFtpUserManager::Count() const {
    std::lock_guard<std::mutex> g(lock_);
    return accounts_.size();
}

std::vector<TFtpUserAccount> TFtpUserManager::Accounts() const {
    std::lock_guard<std::mutex> g(lock_);
    return accounts_;
}
