// The catalogue (nomenclature) objects that a pharmacy may propose to insert,
// change or delete: their common base class, the class table that maps an
// object type to the class implementing it, the staging of a proposal as an
// action request, the object data streams and files, and the closing of a
// finished request.
//
// Every object works on a data module given to its constructor (not owned)
// and lives within one request on one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

#include "core/datetime.h"
#include "core/exceptions.h"
#include "core/stream.h"
#include "protocol/pharm_classes.h"

class TDMBase;
class TQuery;
class TDataSet;
class TNVBinReader;
class TNVBinWriter;
class TNomenclatureObject;

// The parameters with which a proposal is staged.
class TNomUpdateTablePrivateParams {
public:
    int32_t PharmID = -1;         // proposing pharmacy
    int8_t UpdateAction = 0;      // actualisation type + 1: 1 insert, 2 update, 3 delete
    TDateTime ActionDate = 0;     // when it was proposed; 0 = now
    bool IsProcessed = false;     // already applied to the central tables
    TDateTime ProcessDate = 0;    // when it was applied; 0 = not
    int32_t AppUserID = -1;       // user of the proposing application; -1 = none
    std::string Remark;           // free text of the proposal
    int32_t DestPharmID = 0;      // the only pharmacy addressed; 0 = all
};

// A class reference of the class table: how to make an object of a
// catalogue class.
using TNomObjectFactory = std::unique_ptr<TNomenclatureObject> (*)(TDMBase* adm);

struct TNomObjectClass {
    const char* ClassName;        // "TProducer"
    TNomObjectFactory Create;
    bool IsPharmObject;           // descends from TPharmNomenclatureObject

    // A new object of the class on the data module.
    std::unique_ptr<TNomenclatureObject> New(TDMBase* adm) const;
};

// How a class enters the class table (see nom_class_table.cpp):
//     NomObjectClassOf<TProducer>("TProducer")
template <class T>
std::unique_ptr<TNomenclatureObject> NewNomObject(TDMBase* adm) {
    return std::make_unique<T>(adm);
}
class TPharmNomenclatureObject;
template <class T>
constexpr TNomObjectClass NomObjectClassOf(const char* className) {
    return TNomObjectClass{className, &NewNomObject<T>, std::is_base_of_v<TPharmNomenclatureObject, T>};
}

class TNomenclatureObject {
public:
    // Stores the data module, sets the version text; the object starts empty.
    explicit TNomenclatureObject(TDMBase* adm);
    virtual ~TNomenclatureObject();
    TNomenclatureObject(const TNomenclatureObject&) = delete;
    TNomenclatureObject& operator=(const TNomenclatureObject&) = delete;

    // Class name as messages and the class table name it ("TProducer").
    virtual const char* ClassName() const { return "TNomenclatureObject"; }
    TDMBase* DM() const { return dm_; }
    const std::string& VersionText() const { return version_; }

    // ---- published properties ----
    int32_t ID() const { return GetID(); }
    int32_t ActionRequestID() const { return actionRequestID_; }
    void SetActionRequestID(int32_t v) { actionRequestID_ = v; }

    // ---- virtual operations ----
    // Source must be a TNomenclatureObject (asserted); copies ID (through
    // SetID) and ActionRequestID. Descendants first assert that Source is of
    // their own class.
    virtual void Assign(const TNomenclatureObject& source);
    virtual void SetID(int32_t value);
    virtual int32_t GetID() const;
    // ID from the current row's field "ID" (required), ActionRequestID from
    // "ACTION_REQUEST_ID" when the dataset has it, else -1.
    virtual void LoadFromDataSet(const TDataSet& dataSet);
    // Sets PHARM_ID, UPDATE_ACTION, IS_PROCESSED, APP_USER_ID and REMARK of
    // the query from the parameters.
    virtual void SetUpdateTableParams(TQuery& query, const TNomUpdateTablePrivateParams& params);
    virtual bool DeleteFromDB(int32_t aid) = 0;
    // ID := -1; ActionRequestID := -1.
    virtual void Clear();
    virtual bool IsEmpty() const;
    virtual bool LoadFromUpdateTable(int32_t actionRequestID) = 0;
    // Never raises: a failure rolls back the data module's open transaction
    // and comes back as False with its message in msg.
    virtual bool SaveToDB(std::string& msg) = 0;
    // Writes the action request (InsertActionRequest) and the class's staged
    // row; raises after rolling back on failure.
    virtual void SaveToUpdateTable(const TNomUpdateTablePrivateParams& params) = 0;
    virtual bool CanActualize(TNomObjectActualizationType kind) = 0;
    // Base: Clear only.
    virtual void LoadFromReader(TNVBinReader& reader);
    virtual void SaveToWriter(TNVBinWriter& writer) = 0;
    // Whether an update proposal of this object must be locked and checked
    // by every pharmacy before it is applied (an article whose measures
    // changed). Base: False.
    virtual bool UpdateRequiresSync() const { return false; }

    // Writes the ACTION_REQUEST row of a proposal and one status row per
    // pharmacy (id > 0) on the object's data module, inside the caller's
    // transaction if one is open; ActionRequestID becomes the new request's id.
    void InsertActionRequest(const TNomUpdateTablePrivateParams& params);

    // ---- class operations ----
    // The class table entry of an object type.
    static const TNomObjectClass& GetNomObjectClass(TNomObjectType type);
    // The same, checking the type: a type outside the six fails the
    // assertion "Unable to Identify NomenclatureObjectClass by NomObjectType (%d)!".
    static const TNomObjectClass& NomObjectClassByType(TNomObjectType type, bool& isPharmObject);
    // The object type of an object's class (class names compared without
    // regard to case); "Unknown Nom object class %s!" for any other class.
    static TNomObjectType NomObjectTypeByClassName(const TNomenclatureObject& obj);
    // An object type from its database number (NOM_ID = type + 1); a number
    // outside 1..6 raises like NomObjectClassByType does.
    static TNomObjectType NomObjectTypeFromNomID(int32_t nomID);

    // Deletes the row AID (of pharmacy APharmID, unless -1) of the class's
    // table through its stored procedure "SP_DELETE_<name>" when the server
    // has one, else with a plain DELETE, on a data module of its own.
    static bool DeleteByProcedure(const char* className, int32_t aid, int32_t apharmID);

    // A pharmacy's proposal turned into a staged action request.
    static bool ProcessNomActualization(TDMBase& adm, TPharmServerNomActualizationCommand& command,
                                        int32_t& actionRequestID, std::string& msg);
    // Extension of a nomenclature data file ("PID", "AGDD", ...).
    static std::string NomDataFileExt(TNomObjectType type, TNomObjectActualizationType kind);
    // Object data: the tagged values of SaveToWriter, optionally inside a
    // compressed stream.
    static void SaveToStream(TNomenclatureObject& obj, TStream& stream);
    static void SaveToCompressedStream(TNomenclatureObject& obj, TStream& dest);
    static void SaveToFile(TNomenclatureObject& obj, const std::string& fileName);
    static void LoadFromStream(TNomenclatureObject& obj, TStream& stream);
    static void LoadFromCompressedStream(TNomenclatureObject& obj, TStream& source);
    // Applies a closed request to the central catalogue (or undoes it); never
    // raises: a failure is logged and gives False.
    static bool FinalizeActionRequest(TDMBase& adm, int32_t actionRequestID);

protected:
    // One line of the log of the data module's environment (of the default
    // one for an object without a data module).
    void Log(std::string_view sender, const std::string& msg) const;
    // LoadFromUpdateTable of a class whose staged row is read on the object's
    // data module: the row of request actionRequestID in `table` loaded
    // (True), or the object cleared (False).
    bool LoadStagedRow(const char* table, int32_t actionRequestID);
    // SaveToUpdateTable of a class that stages in a transaction of its own on
    // the object's data module (which commits the caller's open one first,
    // logged in debug mode under `step`): the action request with its status
    // rows, then the staged row of `sql` with the values `bind` gives it.
    // Rolls back and raises again on failure.
    void StageInOwnTransaction(const std::string& sql, const TNomUpdateTablePrivateParams& params, const char* step,
                               const std::function<void(TQuery&)>& bind);

    TDMBase* dm_;
    std::string version_;

private:
    int32_t id_ = -1;
    int32_t actionRequestID_ = -1;
};

// A catalogue object that belongs to one pharmacy. No class of the catalogue
// derives from it yet; the class table still reports whether one does.
class TPharmNomenclatureObject : public TNomenclatureObject {
public:
    explicit TPharmNomenclatureObject(TDMBase* adm);
    const char* ClassName() const override { return "TPharmNomenclatureObject"; }

    int32_t PharmID() const { return GetPharmID(); }
    int8_t ActionID = -1;

    void Assign(const TNomenclatureObject& source) override;
    void Clear() override;
    bool IsEmpty() const override;
    virtual void SetPharmID(int32_t value);
    virtual int32_t GetPharmID() const;

private:
    int32_t pharmID_ = -1;
};

// The object type's number in the database (1 article ... 6 SQL pack) and
// an actualisation type's (1 insert, 2 update, 3 delete).
inline int32_t NomIDOf(TNomObjectType t) { return static_cast<int32_t>(t) + 1; }
inline int32_t ActionIDOf(TNomObjectActualizationType k) { return static_cast<int32_t>(k) + 1; }

// The largest object data (uncompressed) a peer may send: no catalogue
// object comes near it, and the count in the data must not decide alone how
// much memory a request takes.
inline constexpr int64_t kMaxObjectDataSize = int64_t{16} << 20;

// Sender names of log lines.
inline constexpr const char* kLogSenderDM = "TDMBase";
inline constexpr const char* kLogSenderPlainObject = "TObject";
