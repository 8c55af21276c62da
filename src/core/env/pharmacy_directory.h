// The pharmacies the server serves: the list read from the pharmacy table
// (one line "id|name|inet_pass" each), the folder of each under RarFilesDir,
// and the one check of a pharmacy's internet password. Shared by the upload
// service, the packet installer and the catalogue service.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class TEnv;
class TDMBase;

class TPharmacyDirectory {
public:
    virtual ~TPharmacyDirectory() = default;

    // The lines as the table holds them now, read on a fresh data module
    // (a null column as empty text); empty when the database cannot be
    // reached.
    virtual std::vector<std::string> Load(TEnv& env);
    // Replaces the list with Load (database work outside the lock).
    void Reload(TEnv& env);
    // A copy of the list, taken under its lock.
    std::vector<std::string> List() const;
    void Lock() const { lock_.lock(); }
    void Unlock() const { lock_.unlock(); }

    // "pharm" + the text of a line before its first "|".
    static std::string FolderNameOf(const std::string& line);
    // The pharmacy's folder: RarFilesDir/pharm<id>.
    static std::string FolderOf(TEnv& env, int32_t id);

    // True when the pharmacy row exists and its inet_pass equals Password
    // byte for byte (the column's collation would ignore letter case and
    // trailing blanks); an empty password never matches.
    virtual bool CheckPassword(TDMBase& dm, int32_t id, const std::string& password);

private:
    mutable std::mutex lock_;
    std::vector<std::string> list_;
};
