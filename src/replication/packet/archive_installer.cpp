#include "replication/packet/archive_installer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/cp1251.h"
#include "core/exceptions.h"
#include "core/files.h"
#include "core/format.h"
#include "core/log.h"
#include "core/env/pharmacy_directory.h"
#include "core/options.h"
#include "replication/packet/packet_extractor.h"
#include "replication/packet/packet_names.h"
#include "replication/packet/replication_items.h"
#include "replication/packet/staging_import.h"
#include "replication/packet/xml_data_packet.h"
#include "replication/upload_names.h"
#include "core/env/upload_registry.h"

namespace {

const char kCreateReplTables[] =
    "CREATE TABLE `REPL_TABLES_%d` ( \r\n`ID`            INTEGER NOT NULL, \r\n`TABLE_NAME`    VARCHAR(50), \r\n"
    "`SORT_NO`       INTEGER, \r\n`DEPENDENCE_NO` INTEGER, \r\nPRIMARY KEY  (`ID`), \r\nUNIQUE KEY `ID` (`ID`) \r\n"
    ") ENGINE=MyISAM DEFAULT CHARSET=cp1251;";
const char kCreateReplItems[] =
    "CREATE TABLE `REPL_ITEMS_%0:d` ( \r\n  `ID`         INTEGER NOT NULL, \r\n  `OP`         INTEGER, \r\n"
    "  `TABLE_ID`   INTEGER, \r\n  `KEY_VALUE`  INTEGER, \r\n  PRIMARY KEY  (`ID`), \r\n  UNIQUE KEY `ID` (`ID`) \r\n); ";
const char kCreateReplItemsIndex[] = "CREATE INDEX REPL_ITEMS_%0:d_IDX1 ON REPL_ITEMS_%0:d (TABLE_ID, KEY_VALUE);";

std::string ErrorText(const std::exception& e) { return e.what(); }

}  // namespace

// Empties the extract folder, or makes it. Whatever stands at its place and
// is no real folder (a link, a file) is removed first, so that nothing is
// deleted or written through a link.
void TArchiveInstallerNoThread::PrepareExtractFolder(const std::string& folder) {
    std::string p = folder;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    TFileInfo info = env_.Stat(p);
    if (info.Exists && !info.IsFolder) env_.DeleteFile(p);
    if (IsRealFolder(p)) {
        for (const std::string& f : env_.ListFiles(AddTrailingBackslash(p), "*.*"))
            if (!env_.DeleteFile(AddTrailingBackslash(p) + f))
                throw EInOutError("Unable to empty directory " + folder + ": " + std::strerror(errno));
    } else if (!env_.CreateFolder(p)) {
        throw EInOutError("Unable to create directory " + folder);
    }
}

TArchiveInstallerNoThread::~TArchiveInstallerNoThread() = default;

void TArchiveInstallerNoThread::Log(const std::string& msg) {
    message_ = msg;
    env_.Log(ClassName(), msg);
}

std::string TArchiveInstallerNoThread::GetExtractFolder(int32_t n) const {
    return pharmFolder_ + std::to_string(n) + "/";
}

std::string TArchiveInstallerNoThread::GetArchiveFileName(int32_t n) const {
    std::string name = "xml" + std::to_string(n) + ".rar";
    std::string found = FindFileNoCase(env_, pharmFolder_, name);
    return pharmFolder_ + (found.empty() ? name : found);
}

std::string TArchiveInstallerNoThread::GetInstalledFileName(int32_t n) const {
    std::string archive = GetArchiveFileName(n);
    if (IsFile(archive) || IsFile(archive + ".inst")) return archive + ".inst";
    std::string name = "xml" + std::to_string(n) + ".rar.inst";
    std::string found = FindFileNoCase(env_, pharmFolder_, name);
    return pharmFolder_ + (found.empty() ? name : found);
}

void TArchiveInstallerNoThread::Execute() {
    failed_ = false;
    try {
        dm_ = env_.ConnectDatabase();
        if (!dm_->Connected()) throw EDatabaseError(dm_->LastError());
        pharmFolder_ = AddTrailingBackslash(TPharmacyDirectory::FolderOf(env_, FPharmID));
        if (!IsRealFolder(pharmFolder_)) env_.CreateFolder(pharmFolder_);
        std::string error;
        if (InstallPackets(error))
            Log(Cp(u8"Успешно инсталиране на пакетите!"));
        else
            Log(Cp(u8"Грешка при инсталиране... ") + error);
    } catch (const std::exception& e) {
        Log(Cp(u8"Грешка : ") + ErrorText(e));
        failed_ = true;
    }
    dm_.reset();
}

int32_t TArchiveInstallerNoThread::GetLastArchiveNum() {
    return VarToIntDef(dm_->GetScalar("select last_archive_num from pharmacy where id = " + std::to_string(FPharmID)), 0);
}

bool TArchiveInstallerNoThread::InstallPackets(std::string& errorText) {
    bool result = false;
    int32_t last = GetLastArchiveNum();
    if (last == FLastArchiveNumber) {
        Log(Format(Cp(u8"Пакет %d е вече инсталиран!"), {last}));
        return true;
    }
    Log(Format("ALastArchiveNum %d; FLastArchiveNuber %d", {last, FLastArchiveNumber}));
    for (int64_t i = static_cast<int64_t>(last) + 1; i <= FLastArchiveNumber; ++i) {
        int32_t n = static_cast<int32_t>(i);
        Log(Format("Installing archive %d", {n}));
        dm_->StartTransaction(TIsolationLevel::ilReadCommitted);
        try {
            Log("Extract archive " + std::to_string(n));
            ExtractArchive(n);
            Log("Install archive " + std::to_string(n));
            InstallArchive(n);
            UpdatePharmacyLastArchive(n);
            // The number is committed before the archive gets its installed
            // name; a crash in between leaves an archive that the next pass
            // deletes as installed.
            dm_->CommitTransaction();
            MarkArchiveInstalled(n);
            result = true;
        } catch (const std::exception& e) {
            dm_->RollbackTransactionQuietly();
            result = false;
            Log(Cp(u8"Грешка: ") + ErrorText(e));
            throw;
        }
        dm_->CommitTransaction();
    }
    return result;
}

void TArchiveInstallerNoThread::RunExtractor(const std::string& source, const std::string& folder) {
    std::string extractor = env_.ExtractorPath();
    int rc = env_.RunProcess(PacketExtractorCommandLine(extractor, source, folder), folder, env_.ExtractorTimeout());
    if (rc == -1) throw EPacketError("The extractor " + extractor + " could not be started");
    if (rc != 0)
        throw EPacketError(Format("Archive %s could not be extracted (extractor exit code %d)", {source, rc}));
}

void TArchiveInstallerNoThread::ExtractArchive(int32_t n) {
    Log(Format(Cp(u8"Разархивиране на архив %d."), {n}));
    std::string archive = GetArchiveFileName(n);
    std::string folder = GetExtractFolder(n);
    std::string source = archive;
    if (!IsFile(archive)) {
        std::string inst = GetInstalledFileName(n);
        if (!IsFile(inst)) throw Exception(Format(Cp(u8"Файлът %s не съществува."), {archive}));
        // Installed before without its number being recorded: the packets
        // left in the extract folder are used, or the installed archive is
        // extracted again when there are none.
        if (IsRealFolder(folder) && !GetPacketFileList(folder, "*.xml").empty()) return;
        source = inst;
    }
    if (env_.Stat(source).Size == 0) throw Exception(Format(Cp(u8"Файлът %s е повреден."), {source}));

    // No upload may replace the archive while it is read.
    TUploadRegistry::TLock lock = env_.Uploads().TryAcquire(source);
    if (!lock) throw EPacketError("Archive " + source + " is being written by an upload");
    PrepareExtractFolder(folder);
    RunExtractor(source, folder);
    if (GetPacketFileList(folder, "*.xml").empty())
        throw EPacketError("No packet (*.xml) was extracted from archive " + source);
}

bool TArchiveInstallerNoThread::HasTableFiles(const std::vector<std::string>& files, const std::string& table) {
    std::string key = UpperCase1251(table) + "[";
    for (const std::string& f : files)
        if (f.find(key) != std::string::npos) return true;
    return false;
}

void TArchiveInstallerNoThread::RemoveTableFiles(std::vector<std::string>& files, const std::string& table) {
    std::string key = UpperCase1251(table) + "[";
    std::vector<std::string> kept;
    for (const std::string& f : files)
        if (UpperCase1251(f).find(key) == std::string::npos) kept.push_back(f);
    files.swap(kept);
}

std::vector<std::string> TArchiveInstallerNoThread::GetArchiveTableNames(const std::vector<std::string>& files) {
    std::vector<std::string> names;
    for (const std::string& f : files) {
        size_t p = f.find('[');
        std::string name = p == std::string::npos ? std::string() : Trim(f.substr(0, p));
        if (name.empty() || SameText1251(name, "REPL_ITEMS")) continue;
        bool dup = false;
        for (const std::string& n : names)
            if (SameText1251(n, name)) { dup = true; break; }
        if (!dup) names.push_back(name);
    }
    return names;
}

void TArchiveInstallerNoThread::RegisterArchiveTables(const std::vector<std::string>& files) {
    std::vector<std::string> names = GetArchiveTableNames(files);
    if (names.empty()) return;
    std::string id = std::to_string(FPharmID);
    auto q = dm_->OpenQuery("SELECT TABLE_NAME FROM repl_tables_" + id);
    for (const std::string& name : names) {
        bool found = false;
        for (q->First(); !q->Eof(); q->Next())
            if (SameText1251(q->FieldByName("TABLE_NAME").AsString(), name)) { found = true; break; }
        if (found) continue;
        int32_t next = VarToIntDef(dm_->GetScalar("SELECT COALESCE(MAX(ID), 0) + 1 FROM repl_tables_" + id), 0);
        dm_->ExecSQL(Format("INSERT INTO repl_tables_%d (ID, TABLE_NAME) VALUES (%d, %s)",
                            {FPharmID, next, dm_->QuoteString(UpperCase1251(name))}));
    }
}

void TArchiveInstallerNoThread::InstallArchive(int32_t n) {
    Log(Format(Cp(u8"Инсталиране на архив %d. "), {n}));
    std::string folder = GetExtractFolder(n);
    Log("Rar Extract Folder: " + folder);
    std::vector<std::string> files = GetPacketFileList(folder, "*.xml");

    if (n > 1 && !HasTableFiles(files, "REPL_ITEMS")) {
        Log(Format(Cp(u8"Инсталирането на архив %d. не може да продължи, защото таблицата \"%s\" я няма в архива!"),
                   {n, "REPL_ITEMS"}));
        return;
    }

    TStagingImport import(*dm_);
    bool hasTables = HasTableFiles(files, "REPL_TABLES");
    bool regular = HasTableFiles(files, "REPL_ITEMS");

    // Every name of the archive that reaches a statement is checked first.
    {
        std::vector<std::string> tables;
        auto checkFields = [&](const std::string& file) {
            for (const TPacketFieldDef& d : TXmlDataPacket::ReadFieldDefs(folder + file))
                CheckIdentifier(d.Name, "field");
        };
        if (hasTables) {
            for (const std::string& f : GetPacketFileList(folder, "REPL_TABLES[*].xml")) {
                checkFields(f);
                TXmlDataPacket p;
                // Read as the import reads it (which logs what cannot be read).
                p.SetOnUnreadableValue([](const TUnreadableValue&) {});
                p.LoadFromFile(folder + f);
                if (TField* tn = p.FindField("TABLE_NAME"))
                    for (size_t r = 0; r < p.RowCount(); ++r) tables.push_back(VarToStr(p.Value(r, tn->Index())));
            }
        } else if (import.TableExists(Format("REPL_TABLES_%d", {FPharmID}))) {
            tables = TReplicationItems(*dm_, folder, FPharmID, nullptr).ReplicatedTables();
        }
        if (regular) {
            for (const std::string& f : GetPacketFileList(folder, "REPL_ITEMS[*].xml")) checkFields(f);
            std::vector<std::string> rest = files;
            RemoveTableFiles(rest, "REPL_TABLES");
            for (const std::string& t : GetArchiveTableNames(rest)) tables.push_back(t);
        }
        std::vector<std::string> checked;
        for (const std::string& raw : tables) {
            if (Trim(raw).empty()) continue;
            std::string t = CheckIdentifier(raw, "table");
            bool seen = false;
            for (const std::string& c : checked)
                if (SameText1251(c, t)) { seen = true; break; }
            if (seen) continue;
            checked.push_back(t);
            if (IsCentralSystemTable(t))
                throw EPacketError("Table " + t + " named by the archive is a table of the central server");
            if (import.TableExists(t) && !import.TableHasPharmID(t))
                throw EPacketError("Table " + t + " named by the archive has no PHARM_ID column");
            for (const std::string& f : GetPacketFileList(folder, t + "[*].xml")) checkFields(f);
        }
    }

    std::string replTables = Format("%s_%d", {"REPL_TABLES", FPharmID});
    if (hasTables) {
        import.ExecDDL(Format("DROP TABLE IF EXISTS `REPL_TABLES_%d`;", {FPharmID}));
        import.ExecDDL(Format(kCreateReplTables, {FPharmID}));
        import.ImportDataFiles(folder, GetPacketFileList(folder, "REPL_TABLES[*].xml"), replTables, 0);
    }
    RemoveTableFiles(files, "REPL_TABLES");
    if (regular) {
        std::string replItems = Format("%s_%d", {"REPL_ITEMS", FPharmID});
        import.ExecDDL(Format("DROP TABLE IF EXISTS `REPL_ITEMS_%d`;", {FPharmID}));
        import.ExecDDL(Format(kCreateReplItems, {FPharmID}));
        import.ExecDDL(Format(kCreateReplItemsIndex, {FPharmID}));
        RegisterArchiveTables(files);
        files = GetPacketFileList(folder, "REPL_ITEMS[*].xml");
        dm_->ExecSQL("delete from " + replItems);
        import.ImportDataFiles(folder, files, replItems, 0);
    }
    TReplicationItems items(*dm_, folder, FPharmID, [this](const std::string& m) { Log(m); });
    if (regular)
        items.SetRegularData();
    else
        items.SetInitialData();
}

void TArchiveInstallerNoThread::UpdatePharmacyLastArchive(int32_t n) {
    dm_->ExecSQL(Format("update `pharmacy` set `last_update_date` = CURRENT_TIMESTAMP, `last_archive_num` = %d "
                        "where `id` = %d;",
                        {n, FPharmID}));
    Log(Cp(u8"Актуализиране на данни за последно обновяване."));
}

void TArchiveInstallerNoThread::MarkArchiveInstalled(int32_t n) {
    Log(Format(Cp(u8"Маркиране на архив %d."), {n}));
    std::string archive = GetArchiveFileName(n);
    std::string folder = GetExtractFolder(n);
    if (IsFile(archive)) {
        // The number is committed already: an archive left with its name is
        // deleted as installed by the next pass, and is never installed again.
        TUploadRegistry::TLock lock = env_.Uploads().TryAcquire(archive);
        if (lock && !env_.RenameFile(archive, archive + ".inst"))
            Log(Format("Installed archive %s could not be renamed (%s); the next pass deletes it.",
                       {archive, std::string(std::strerror(errno))}));
        DeleteExtractFolder(folder);
        return;
    }
    if (!IsFile(GetInstalledFileName(n))) throw Exception(Format(Cp(u8"Файлът %s не съществува."), {archive}));
    DeleteExtractFolder(folder);
}

void TArchiveInstallerNoThread::DeleteExtractFolder(const std::string& folder) {
    if (IsRealFolder(folder) && !env_.DeleteFolderTree(folder))
        Log(Format("Extract folder %s could not be deleted (%s); it is left in place and emptied when used again.",
                   {folder, std::string(std::strerror(errno))}));
}
