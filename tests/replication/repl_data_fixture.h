// The replication data service under test: a fresh database with a few
// pharmacies, a private packet folder, a private daily log, and the
// service's servers on ports of the system's choosing on 127.0.0.1.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/options.h"
#include "replication/repl_data_service.h"
#include "support/fault_env.h"
#include "support/temp_dir.h"
#include "support/test_db.h"

class ReplDataFixture : public ::testing::Test {
protected:
    // Pharmacies 3 and 7 with their passwords; pharmacy 0 without one.
    void SetUp() override {
        db.Exec("INSERT INTO pharmacy (id, name, inet_pass) VALUES "
                "(3, 'Pharmacy Three', 'Secret3'), (7, 'Pharmacy Seven', 'Pass7'), (0, 'Central', '')");
        SetOptions([](TOptions&) {});
        srv = std::make_unique<TZorvelCentralServerSrv>(env);
        srv->SetBindAddress("127.0.0.1");
        srv->SetPortOverrides(0, 0, 0);
        srv->SetRetryDelay(std::chrono::milliseconds(20));
    }
    void TearDown() override {
        if (srv) {
            bool stopped = false;
            srv->ServiceStop(stopped);
        }
        srv.reset();
    }
    // Publishes options pointing at the test database and packet folder,
    // changed further by edit.
    template <typename F>
    void SetOptions(F edit) {
        std::string dir = rar.Path();
        db.EditOptions([&](TOptions& o) {
            o.RarFilesDir = dir;
            o.UseSecondaryDataProtocol = false;
            o.BlockDataServer = false;
            edit(o);
        });
    }
    void Start() {
        bool started = false;
        srv->ServiceStart(started);
        ASSERT_TRUE(started);
    }
    std::string Folder(int id) const { return rar.File("pharm" + std::to_string(id)); }
    std::string PharmFile(int id, const std::string& name) const { return Folder(id) + "/" + name; }
    std::vector<std::string> FilesOf(int id) const {
        std::vector<std::string> names;
        std::error_code ec;
        for (auto& e : std::filesystem::directory_iterator(Folder(id), ec)) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    bool Logged(const std::string& message) const {
        auto m = log.Messages("TZorvelCentralServerSrv");
        return std::find(m.begin(), m.end(), message) != m.end();
    }
    bool LoggedStart(const std::string& prefix) const {
        for (const auto& m : log.Messages("TZorvelCentralServerSrv"))
            if (m.compare(0, prefix.size(), prefix) == 0) return true;
        return false;
    }

    TestLog log;
    TestDatabase db;
    TempDir rar;
    TFaultEnv env;  // the real environment until a test sets a fault
    std::unique_ptr<TZorvelCentralServerSrv> srv;
};
