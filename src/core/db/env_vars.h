// Environment variables: run-time switches kept in the central database's
// ZVL_ENV_VARS table, so that an operator can change them without touching
// the configuration file or restarting the services. The central variables
// are the rows with PHARM_ID 0; rows of other pharmacies are never read or
// written here. Booleans are stored as "T"/"F".
//
// An object lives within one operation and uses that operation's data
// module (not owned; it must outlive the object). Variables are read once,
// at creation.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/variant.h"

class TDMBase;

class TEnvVar {
public:
    std::string Name;     // VAR_NAME (letter case counts)
    Variant Value;        // VAR_VALUE as read (null stays null), or the default it was added with
    int32_t ID = -1;      // -1: not stored yet
    bool Modified = false;  // must be written back
};

class TZVL2EnvironmentVariables {
public:
    // Loads all central variables (empty name) or only the named one.
    // Database errors pass on.
    TZVL2EnvironmentVariables(TDMBase* dm, const std::string& varName);
    // Runs the write-back unless WriteBack was called before; an error is
    // logged, never thrown. Call WriteBack first to see errors.
    ~TZVL2EnvironmentVariables();
    TZVL2EnvironmentVariables(const TZVL2EnvironmentVariables&) = delete;
    TZVL2EnvironmentVariables& operator=(const TZVL2EnvironmentVariables&) = delete;

    // First variable whose name equals Name exactly; nullptr when none.
    TEnvVar* FindVar(const std::string& name);
    // By position (EListError when out of range).
    TEnvVar& GetVar(int index);
    int GetCount() const { return static_cast<int>(vars_.size()); }
    // The variable's value; a missing variable is first added with the
    // default (ID -1, Modified).
    void GetValue(const std::string& name, const Variant& def, Variant& value);
    // True exactly when the value's text is "T"; a missing variable is added
    // with "T"/"F" from the default; a null value gives the default.
    bool GetBool(const std::string& name, bool def);
    // True when the object loaded all variables and one of them is Modified.
    bool IsModified() const;
    // Appends a variable; Modified := (ID = -1).
    TEnvVar& AddVar(const std::string& name, const Variant& value, int32_t id);

    // The write-back of a modified object (all variables loaded): each
    // Modified variable is updated, or inserted with a new ID from identity
    // generator 6 and PHARM_ID 0; then the data module's open transaction is
    // committed. On an error the open transaction is rolled back and the
    // error passes on. Does nothing unless IsModified. Runs once: later calls
    // (and the destructor) do nothing.
    void WriteBack();

    // Creates an object for Name alone and returns its GetBool. Nothing is
    // ever written: a missing switch leaves the table unchanged.
    static bool ReadBool(TDMBase* dm, const std::string& name, bool def);

    const char* ClassName() const { return "TZVL2EnvironmentVariables"; }

private:
    std::vector<std::unique_ptr<TEnvVar>> vars_;
    TDMBase* dm_;
    bool loadAll_;
    bool writeBackDone_ = false;
};
