// The TCP upload path of the upload service: the pharmacies' send-file
// commands, their authorization and the transfer files they append to.
#include "replication/repl_data_service.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/cp1251.h"
#include "core/db/dm_base.h"
#include "core/env/pharmacy_directory.h"
#include "core/env/upload_registry.h"
#include "core/exceptions.h"
#include "core/files.h"
#include "core/format.h"
#include "core/log.h"
#include "protocol/component_stream.h"
#include "protocol/customer_info.h"
#include "protocol/pharm_classes.h"
#include "replication/upload_files.h"
#include "replication/upload_names.h"

namespace {

const char* const kSender = "TZorvelCentralServerSrv";

}  // namespace

std::unique_ptr<TPharmServerCommandResult> TZorvelCentralServerSrv::CreateResultFor(const TComponent& command) {
    const TPharmClassInfo* cls = &command.ClassInfo();
    const char* resultClass = nullptr;
    if (cls == &TPharmServerCommand::StaticClassInfo())
        resultClass = "TPharmServerCommandResult";
    else if (cls == &TPharmServerLoginCommand::StaticClassInfo())
        resultClass = "TPharmServerLoginResult";
    else if (cls == &TPharmServerLoginPacketCommand::StaticClassInfo())
        resultClass = "TPharmServerLoginPacketResult";
    else if (cls == &TPharmServerNomActualizationCommand::StaticClassInfo() ||
             cls == &TPharmServerRefreshDataCommand::StaticClassInfo())
        resultClass = "TPharmServerNomActualizationResult";
    else if (cls == &TPharmServerConfirmActionCommand::StaticClassInfo())
        resultClass = "TPharmServerConfirmActionResult";
    else if (cls == &TPharmServerSendFileCommand::StaticClassInfo())
        resultClass = "TPharmServerSendFileResult";
    if (!resultClass) return nullptr;
    std::unique_ptr<TComponent> obj = CreatePharmComponent(resultClass);
    if (!obj || !obj->Is<TPharmServerCommandResult>()) return nullptr;
    return std::unique_ptr<TPharmServerCommandResult>(static_cast<TPharmServerCommandResult*>(obj.release()));
}

void TZorvelCentralServerSrv::IdTCPServerExecute(TTcpRequest& request) {
    // A frame that cannot be decoded ends the connection's run without a
    // reply.
    std::unique_ptr<TComponent> command = DecodePharmComponent(std::move(request.Payload));

    std::unique_ptr<TComponent> result;
    std::exception_ptr failure;
    try {
        if (&command->ClassInfo() == &TPharmServerSendFileCommand::StaticClassInfo())
            result = ProcessSendFileCommand(static_cast<const TPharmServerSendFileCommand&>(*command));
    } catch (const std::exception& e) {
        result.reset();
        std::unique_ptr<TPharmServerCommandResult> r = CreateResultFor(*command);
        if (r) r->ErrorMessage = e.what();
        result = std::move(r);
        failure = std::current_exception();
    }
    if (result) request.Reply = EncodePharmComponent(*result);
    if (failure) std::rethrow_exception(failure);
}

bool TZorvelCentralServerSrv::CheckPharmacyPassword(const std::string& code, const std::string& password) {
    std::unique_ptr<TDMBase> dm = env_.ConnectDatabase();
    return env_.Pharmacies().CheckPassword(*dm, StrToInt(code), password);
}

bool TZorvelCentralServerSrv::AuthorizeCommand(const TPharmServerLoginCommand& command,
                                               TPharmServerSendFileResult& result, int32_t& code) {
    if (!command.IsCustomerInfoValid())
        throw EPharmCommandCustomerStreamValidationError(
            Cp(u8"Грешка при получаване на данните за достъп на аптеката!\rВероятно е заради проблем в интернет "
               u8"връзката!\rМоля, опитайте отново!") +
            IntToStr(command.CustomerInfo.Size()));
    // The block is read once for the code and the password; the password is
    // compared as the pharmacy's own text (through UTF-16 and back, so that a
    // byte with no character reads as "?").
    std::string password;
    GetCommandCustomerCredentials(command, code, password, false);
    bool ok = CheckPharmacyPassword(IntToStr(code), Utf16ToCp1251(Cp1251ToUtf16(password)));
    SetResultCustomerAuthorized(result, ok);
    return ok;
}

bool TZorvelCentralServerSrv::AppendPacketData(const std::string& fileName, const TMemoryStream& data,
                                               int64_t before) {
    const std::string& buffer = data.Bytes();
    int fd = env_.OpenFile(fileName, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW, 0644);
    if (fd < 0) {
        // The transfer file stays as it was; the caller reports its size.
        std::string text = Format("Cannot open transfer file %s: %s", {fileName, std::string(std::strerror(errno))});
        if (failures_.IsNew(fileName, text)) Log(kSender, text + "; the pharmacy is told the size it holds.");
        return false;
    }
    size_t off = 0;
    int err = 0;
    while (off < buffer.size() && !err) {
        ssize_t n = env_.WriteFile(fd, buffer.data() + off, buffer.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            err = n < 0 ? errno : ENOSPC;
        else
            off += static_cast<size_t>(n);
    }
    if (env_.CloseFile(fd) != 0 && !err) err = errno;
    if (err) {
        // A chunk is in the file whole or not at all: the part written is
        // cut off, so that the pharmacy sends the chunk again from the
        // position the file holds.
        if (!env_.TruncateFile(fileName, before))
            Log(kSender, Format("Cannot cut transfer file %s back to %d bytes: %s",
                                {fileName, before, std::string(std::strerror(errno))}));
        throw EInOutError("Cannot write transfer file \"" + fileName + "\". " + std::strerror(err));
    }
    failures_.Succeeded(fileName);
    return true;
}

std::unique_ptr<TPharmServerSendFileResult> TZorvelCentralServerSrv::ProcessSendFileCommand(
    const TPharmServerSendFileCommand& command) {
    auto result = std::make_unique<TPharmServerSendFileResult>();
    std::string key = command.PacketFileName;  // the upload whose failures are logged once
    try {
        int32_t code = -1;
        if (!AuthorizeCommand(command, *result, code)) return result;

        std::string folder = TPharmacyDirectory::FolderOf(env_, code);
        key = folder + "/" + command.PacketFileName;
        std::string name = PacketFileNamePart(command.PacketFileName);
        if (!IsSafeUploadName(name))
            throw EInOutError("Refused packet file name \"" + command.PacketFileName + "\"");
        if (!env_.Stat(folder).IsFolder) CreateFolder(env_, folder);
        folder = AddTrailingBackslash(folder);

        // The transfer file of this archive, whatever the letter case it was
        // begun with: a plain file of the name as sent is the one the folder
        // scan would choose first, so the scan is needed only without it.
        // Requests for one transfer file run one at a time.
        std::string trfPath = folder + name + ".trf";
        if (!env_.Stat(trfPath).IsFile) {
            std::string trfName = FindFileNoCase(env_, folder, name + ".trf");
            if (!trfName.empty()) trfPath = folder + trfName;
        }
        std::string finalPath = folder + name;
        TUploadRegistry::TLock trfLock = env_.Uploads().Acquire(trfPath);

        int64_t size = PlainFileSize(env_, trfPath);
        if (command.StartPosition > -1) {
            int64_t start = command.StartPosition;
            if (start < size) {
                // A chunk sent again (its reply was lost): it replaces what
                // the file holds from its position on.
                if (!env_.TruncateFile(trfPath, start))
                    throw EInOutError("Cannot cut transfer file \"" + trfPath + "\". " + std::strerror(errno));
                Log(kSender, Format("Transfer file %s cut back from %d to %d bytes for a chunk sent again.",
                                    {trfPath, size, start}));
                size = start;
            }
            if (start > size) {
                // Bytes in between are missing: the chunk is not taken, and
                // the reply tells the pharmacy where to go on from.
                Log(kSender, Format("Chunk for %s at %d refused: the transfer file holds %d bytes.",
                                    {trfPath, start, size}));
            } else if (AppendPacketData(trfPath, command.Data, size)) {
                failures_.Succeeded(key);  // the upload goes on: its next failure is news
                size += static_cast<int64_t>(command.Data.Bytes().size());
            } else {
                failures_.Succeeded(key);
                size = PlainFileSize(env_, trfPath);
            }
        }
        if (command.FileSize > 0 && command.FileSize < size) {
            // Longer than the archive can be: start the transfer over.
            Log(kSender, Format("Transfer file %s holds %d bytes, more than the %d announced; it is deleted.",
                                {trfPath, size, command.FileSize}));
            if (!env_.DeleteFile(trfPath) && errno != ENOENT)
                throw EInOutError("Cannot delete transfer file \"" + trfPath + "\". " + std::strerror(errno));
            result->StartPosition = 0;
            result->IsTransfered = false;
            return result;
        }
        result->StartPosition = size;
        result->IsTransfered = size > 0 && size == command.FileSize;
        if (result->IsTransfered) {
            TUploadRegistry::TLock finalLock = env_.Uploads().Acquire(finalPath);
            for (const std::string& old : FindFilesNoCase(env_, folder, name))
                if (!env_.DeleteFile(folder + old) && errno != ENOENT)
                    throw EInOutError("Cannot delete \"" + folder + old + "\". " + std::strerror(errno));
            if (!env_.RenameFile(trfPath, finalPath))
                throw EInOutError("Cannot rename \"" + trfPath + "\" to \"" + finalPath + "\". " +
                                  std::strerror(errno));
            failures_.Succeeded(key);
        }
    } catch (const std::exception& e) {
        result->StartPosition = -1;
        result->IsTransfered = false;
        std::string text = Format("Send file request \"%s\" failed: %s", {command.PacketFileName, std::string(e.what())});
        if (failures_.IsNew(key, text))
            Log(kSender, text + "; the pharmacy is answered with an error and sends the file again.");
    }
    return result;
}
