// Installation of the uploaded packet archives of one pharmacy, on the
// thread of the installation pass.
//
// Every archive number from the pharmacy's last installed number + 1 up to
// the highest number found is installed in ascending order, each in its own
// transaction: the archive "xml<n>.rar" of the pharmacy's packet folder is
// extracted into the folder "<n>/" beside it, its list of replicated tables
// and its replication items are loaded into the staging tables
// REPL_TABLES_<id> and REPL_ITEMS_<id>, the rows are applied to the central
// tables, and the archive number is recorded in the pharmacy's row. Only
// after that commit is the archive renamed to "xml<n>.rar.inst" and its
// extract folder deleted, so an archive never carries the installed name
// unless its number is committed (an archive whose number is committed but
// that kept its name is deleted by the next pass). The first archive that
// fails is rolled back and ends the pharmacy's run; it and the later ones are
// tried again at the next pass.
//
// An archive fails when it is missing, empty, being written by an upload,
// cannot be extracted (the extractor fails, times out, or leaves no "*.xml"
// packet), names a table or field that is no plain identifier or a table of
// the central server's own, or when any statement of its loads fails.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/db/dm_base.h"
#include "core/env/env.h"

class TArchiveInstallerNoThread {
public:
    explicit TArchiveInstallerNoThread(TEnv& env = TEnv::Default()) : env_(env) {}
    ~TArchiveInstallerNoThread();
    const char* ClassName() const { return "TArchiveInstallerNoThread"; }

    // Highest archive number to install and the pharmacy, set by the caller.
    int32_t FLastArchiveNumber = 0;
    int32_t FPharmID = 0;

    // The run: its own data module, the pharmacy's folder, InstallPackets,
    // the closing log line. Logs every failure; never raises.
    void Execute();

    // The loop over the archive numbers, one transaction each. Returns true
    // when an archive was installed or nothing was left to do.
    bool InstallPackets(std::string& errorText);
    // last_archive_num of the pharmacy (0 when null or without a row).
    int32_t GetLastArchiveNum();
    // Checks the archive and extracts it into a clean extract folder.
    void ExtractArchive(int32_t n);
    // Loads the staging tables and applies the archive's data.
    void InstallArchive(int32_t n);
    // Records n as the pharmacy's last installed archive.
    void UpdatePharmacyLastArchive(int32_t n);
    // Renames the archive to its ".inst" name and deletes its extract folder.
    void MarkArchiveInstalled(int32_t n);
    // The pharmacy's packet folder + "<n>/".
    std::string GetExtractFolder(int32_t n) const;
    // The archive's path; an existing file whose name differs only in letter
    // case ("XML7.RAR") is that archive.
    std::string GetArchiveFileName(int32_t n) const;
    // The installed archive's path (the archive's + ".inst", letter case as
    // above).
    std::string GetInstalledFileName(int32_t n) const;

    // Whether a name of the list contains the table name (in capitals) + "[";
    // the file name is compared as it is, so only names in capitals count.
    static bool HasTableFiles(const std::vector<std::string>& files, const std::string& table);
    // Removes every name that contains table + "[", both in capitals.
    static void RemoveTableFiles(std::vector<std::string>& files, const std::string& table);
    // The table names of the packets (the text before the first "[",
    // trimmed), each once, without REPL_ITEMS.
    static std::vector<std::string> GetArchiveTableNames(const std::vector<std::string>& files);
    // Adds the archive's tables that REPL_TABLES_<id> lacks, with the next
    // free ID and the name in capitals.
    void RegisterArchiveTables(const std::vector<std::string>& files);

    // Stores the message and writes it to the daily log.
    void Log(const std::string& msg);
    const std::string& FMessage() const { return message_; }
    // Whether the last run ended on an error (the archives left wait).
    bool Failed() const { return failed_; }
    const std::string& FPharmFolder() const { return pharmFolder_; }
    TDMBase* FDM() const { return dm_.get(); }

private:
    void RunExtractor(const std::string& source, const std::string& folder);
    void PrepareExtractFolder(const std::string& folder);
    // Deletes it; a failure is logged and left (harmless: emptied before use).
    void DeleteExtractFolder(const std::string& folder);
    bool IsRealFolder(const std::string& path) const { return env_.Stat(path).IsFolder; }
    bool IsFile(const std::string& path) const { return env_.Stat(path).IsFile; }

    TEnv& env_;
    std::unique_ptr<TDMBase> dm_;
    std::string message_;
    std::string pharmFolder_;
    bool failed_ = false;
};
