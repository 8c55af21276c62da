// Test support for everything that talks to the database or writes the log.
//
// TestDatabase: a fresh database of its own (vt_t_<pid>_<n>, cp1251, loaded
// from db/schema.sql) on the private test instance at
// 127.0.0.1:$VT_TEST_DB_PORT (default 3307; scripts/test.sh starts it, or
// `scripts/db.sh start <folder> 3307`). The constructor publishes an options
// snapshot and the data module's port pointing at it, so any TDMBase created
// afterwards (by the code under test too) connects to it; the destructor
// drops it and restores both. Each test gets its own: declare one as a
// fixture member. Fixture SQL goes through Exec or ExecScript as cp1251
// bytes (write Cyrillic literals as Cp(u8"...")).
//
// TestLog: a services data module whose daily log goes into a temporary
// folder (VT_BASE_DIR points there while it lives); Messages(sender) reads
// the logged messages back.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/db/dm_base.h"
#include "core/options.h"
#include "core/variant.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

class TServicesData;

// Path of db/schema.sql in the source tree.
std::string SchemaPath();

class TestDatabase {
public:
    // Creates a fresh database and loads the schema; throws
    // std::runtime_error with a hint when the test instance is not running.
    TestDatabase();
    ~TestDatabase();
    TestDatabase(const TestDatabase&) = delete;
    TestDatabase& operator=(const TestDatabase&) = delete;

    // The database's name (vt_t_<pid>_<n>).
    const std::string& Name() const { return name_; }
    int Port() const { return port_; }
    // The options snapshot that points at this database (already published).
    std::shared_ptr<const TOptions> Options() const { return options_; }
    // Publishes a copy of Options() changed by `edit` (for tests that need
    // other option values, e.g. a wrong password) and returns it.
    template <typename F>
    std::shared_ptr<const TOptions> EditOptions(F edit) {
        auto o = std::make_shared<TOptions>(*options_);
        edit(*o);
        options_ = o;
        SetOptionsForTesting(options_);
        return options_;
    }

    // Runs SQL text as it is (several statements allowed); raises
    // EDatabaseError on the first failing statement.
    void Exec(const std::string& sql);
    // Runs a script: like Exec, but "DELIMITER xx" lines switch the
    // statement terminator as the command-line client does.
    void ExecScript(const std::string& script);
    // First column of the first row (null when no row).
    Variant Scalar(const std::string& sql);
    int64_t ScalarInt(const std::string& sql);       // null reads as 0
    std::string ScalarStr(const std::string& sql);   // null reads as ""
    // Every row, as variants, in the order returned.
    std::vector<std::vector<Variant>> Rows(const std::string& sql);
    // The fixture's own connection (for queries with parameters).
    TDMBase& Connection() { return *conn_; }
    // A new connection in place of the fixture's own (after the database
    // server was restarted under it).
    void Reconnect() { conn_ = std::make_unique<TDMBase>(); }

private:
    // Drops the database (when connected) and brings the previous options
    // snapshot and port back.
    void DropAndRestore() noexcept;

    int port_;
    std::string name_;
    std::shared_ptr<const TOptions> previousOptions_;
    int previousPort_;
    std::shared_ptr<const TOptions> options_;
    std::unique_ptr<TDMBase> conn_;
};

class TestLog {
public:
    // Sets VT_BASE_DIR to a temporary folder and installs a services data
    // module as ::ServicesData; the previous ones come back afterwards.
    TestLog();
    ~TestLog();
    TestLog(const TestLog&) = delete;
    TestLog& operator=(const TestLog&) = delete;

    // The messages of the entries of one sender (all senders when empty).
    std::vector<std::string> Messages(const std::string& sender = std::string()) const;
    // Removes the log file.
    void Clear();

private:
    TempDir dir_;
    ScopedEnv base_{"VT_BASE_DIR", dir_.Path()};
    TServicesData* previousServices_ = nullptr;
    std::unique_ptr<TServicesData> services_;
};
