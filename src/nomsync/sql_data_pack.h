// A pack of SQL scripts proposed through the catalogue flow (object type
// notSQLDataPack, NOM_ID 6): SQLMy runs on the central database, SQLFB is
// handed to the pharmacies (all of them, or the one the request is addressed
// to). The scripts live in the files "fb_<id>.sql" and "my_<id>.sql" of the
// SQLCmdFilesFolder option, not in an update table. A request that carries a
// system command (SYS_CMD) hands the pharmacies that command wrapped in an
// SQL comment instead.
#pragma once

#include <string>

#include "nomsync/nomenclature_object.h"
#include "nomsync/text_lines.h"

class TSQLDataPack : public TNomenclatureObject {
public:
    explicit TSQLDataPack(TDMBase* adm);
    ~TSQLDataPack() override;
    const char* ClassName() const override { return "TSQLDataPack"; }

    // ---- published properties ----
    std::string Remark;
    TStringLines SQLFB;   // for the pharmacies' databases
    TStringLines SQLMy;   // for the central database; statements separated by "/*stmt_lim*/"

    // ---- overrides ----
    bool DeleteFromDB(int32_t aid) override { return true; }
    void Clear() override;
    bool LoadFromUpdateTable(int32_t actionRequestID) override;
    bool SaveToDB(std::string& msg) override;
    void SaveToUpdateTable(const TNomUpdateTablePrivateParams& params) override;
    bool CanActualize(TNomObjectActualizationType kind) override { return true; }
    void LoadFromReader(TNVBinReader& reader) override;
    void SaveToWriter(TNVBinWriter& writer) override;

    void ClearSQLMy() { SQLMy.clear(); }
    void ClearSQLFB() { SQLFB.clear(); }

    static std::string XmlOpenTag(const std::string& name) { return "<" + name + ">"; }
    static std::string XmlCloseTag(const std::string& name) { return "</" + name + ">"; }
    // "/* <zvl_command>" + command + "</zvl_command> */".
    static std::string SysCmdWrapper(const std::string& sysCmd);
    // The script files of a request, in the SQLCmdFilesFolder of the data
    // module's environment.
    std::string FBFileName(int32_t actionRequestID) const;
    std::string MyFileName(int32_t actionRequestID) const;

    static constexpr const char* kStatementLimit = "/*stmt_lim*/";
};
