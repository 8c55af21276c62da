// The FTP server's accounts. User names and passwords are compared
// case-sensitively, byte for byte.
#pragma once

#include <mutex>
#include <string>
#include <vector>

struct TFtpUserAccount {
    std::string UserName;
    std::string RealName;
    std::string Password;
    std::string HomeFolder;  // information for the owner's events
};

class TFtpUserManager {
public:
    void Clear();
    void AddUser(const TFtpUserAccount& account);
    // Whether an account of this exact name exists and has this exact
    // password. An account with an empty password never authenticates.
    bool AuthenticateUser(const std::string& userName, const std::string& password) const;
    bool FindUser(const std::string& userName, TFtpUserAccount& account) const;
    size_t Count() const;
    std::vector<TFtpUserAccount> Accounts() const;

private:
    mutable std::mutex lock_;
    std::vector<TFtpUserAccount> accounts_;
};
