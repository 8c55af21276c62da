#include "nomsync/sql_data_pack.h"

#include "core/db/dm_base.h"
#include "core/env/env.h"
#include "core/files.h"
#include "core/format.h"
#include "core/options.h"
#include "protocol/nv_stream_utils.h"

TSQLDataPack::TSQLDataPack(TDMBase* adm) : TNomenclatureObject(adm) {}

TSQLDataPack::~TSQLDataPack() = default;

void TSQLDataPack::Clear() {
    TNomenclatureObject::Clear();
    Remark.clear();
    SQLFB.clear();
    SQLMy.clear();
}

std::string TSQLDataPack::SysCmdWrapper(const std::string& sysCmd) {
    return "/* " + XmlOpenTag("zvl_command") + sysCmd + XmlCloseTag("zvl_command") + " */";
}

std::string TSQLDataPack::FBFileName(int32_t actionRequestID) const {
    return AddTrailingBackslash(dm_->Env().Options()->SQLCmdFilesFolder) + Format("fb_%d.sql", {actionRequestID});
}

std::string TSQLDataPack::MyFileName(int32_t actionRequestID) const {
    return AddTrailingBackslash(dm_->Env().Options()->SQLCmdFilesFolder) + Format("my_%d.sql", {actionRequestID});
}

bool TSQLDataPack::LoadFromUpdateTable(int32_t actionRequestID) {
    std::string sysCmd;
    {
        auto q = dm_->OpenQuery("select remark, sys_cmd from action_request where id = " +
                                IntToStr(actionRequestID));
        if (!q->Eof()) {
            Remark = q->FieldByName("remark").AsString();
            sysCmd = q->FieldByName("sys_cmd").AsString();
        }
    }
    if (!sysCmd.empty()) {
        // The text of the list: a command with line breaks becomes several lines.
        SQLFB = TextToLines(SysCmdWrapper(sysCmd));
        SQLMy.clear();
    } else {
        SQLFB = LoadLinesFromFile(dm_->Env(), FBFileName(actionRequestID));
        SQLMy = LoadLinesFromFile(dm_->Env(), MyFileName(actionRequestID));
    }
    return true;
}

bool TSQLDataPack::SaveToDB(std::string& msg) {
    msg.clear();
    try {
        if (SQLMy.empty()) return true;
        std::string s = LinesToText(SQLMy);
        const std::string limit = kStatementLimit;
        for (size_t p = s.find(limit); p != std::string::npos; p = s.find(limit)) {
            const std::string piece = s.substr(0, p);
            if (!Trim(piece).empty()) dm_->ExecSQL(piece);
            s.erase(0, p + limit.size());
        }
        if (!Trim(s).empty()) dm_->ExecSQL(s);
        return true;
    } catch (const std::exception& e) {
        dm_->RollbackTransactionQuietly();
        msg = e.what();
        return false;
    }
}

void TSQLDataPack::SaveToUpdateTable(const TNomUpdateTablePrivateParams& params) {
    InsertActionRequest(params);
    SaveLinesToFile(dm_->Env(), SQLFB, FBFileName(ActionRequestID()));
    SaveLinesToFile(dm_->Env(), SQLMy, MyFileName(ActionRequestID()));
}

void TSQLDataPack::LoadFromReader(TNVBinReader& reader) {
    TNomenclatureObject::LoadFromReader(reader);
    Remark = reader.ReadString();
    // Counts come from the peer: lines are read one by one, so a false count
    // ends at the stream's end with the reader's error instead of allocating.
    const int32_t fbCount = reader.ReadInteger();
    for (int32_t i = 0; i < fbCount; ++i) SQLFB.push_back(reader.ReadString());
    const int32_t myCount = reader.ReadInteger();
    for (int32_t i = 0; i < myCount; ++i) SQLMy.push_back(reader.ReadString());
}

void TSQLDataPack::SaveToWriter(TNVBinWriter& writer) {
    writer.WriteString(Remark);
    writer.WriteInteger(static_cast<int32_t>(SQLFB.size()));
    for (const auto& l : SQLFB) writer.WriteString(l);
    writer.WriteInteger(static_cast<int32_t>(SQLMy.size()));
    for (const auto& l : SQLMy) writer.WriteString(l);
}
