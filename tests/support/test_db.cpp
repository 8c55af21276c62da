#include "support/test_db.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "core/cp1251.h"
#include "core/env/posix_env.h"
#include "core/exceptions.h"
#include "core/format.h"
#include "core/log.h"

namespace {

std::atomic<int> g_counter{0};

// Port of the test instance: $VT_TEST_DB_PORT, else 3307.
int TestDbPort() {
    if (const char* env = std::getenv("VT_TEST_DB_PORT"); env && *env) {
        int p = std::atoi(env);
        if (p > 0) return p;
    }
    return 3307;
}

}  // namespace

// This file is tests/support/test_db.cpp below the source folder.
std::string SchemaPath() {
    return (std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "db/schema.sql").string();
}

// ---------------------------------------------------------------------------
// TestDatabase
// ---------------------------------------------------------------------------

TestDatabase::TestDatabase()
    : port_(TestDbPort()),
      name_("vt_t_" + std::to_string(::getpid()) + "_" + std::to_string(g_counter.fetch_add(1))),
      previousOptions_(GetOptions()),
      previousPort_(DefaultPosixEnv().DatabasePort()) {
    DefaultPosixEnv().SetDatabasePort(port_);
    auto o = std::make_shared<TOptions>(*previousOptions_);
    o->ServerName = "127.0.0.1";
    o->UserName = "WebZorvelUser";
    o->Password = "WebKestrelCiphers";
    o->DataBaseName = "";
    SetOptionsForTesting(o);
    try {
        {
            TDMBase admin;
            if (!admin.Connected())
                throw std::runtime_error("The test database server on 127.0.0.1:" + std::to_string(port_) +
                                         " is not reachable (" + admin.LastError() +
                                         "). Start it with: bash scripts/db.sh start build-db/testdb " +
                                         std::to_string(port_));
            admin.ExecSQL("DROP DATABASE IF EXISTS `" + name_ + "`");
            admin.ExecSQL("CREATE DATABASE `" + name_ + "` DEFAULT CHARACTER SET cp1251 COLLATE cp1251_general_ci");
        }
        auto withDb = std::make_shared<TOptions>(*o);
        withDb->DataBaseName = name_;
        options_ = withDb;
        SetOptionsForTesting(options_);
        conn_ = std::make_unique<TDMBase>();
        if (!conn_->Connected()) throw std::runtime_error("Cannot connect to " + name_ + ": " + conn_->LastError());
        if (!std::filesystem::exists(SchemaPath())) throw std::runtime_error("Script not found: " + SchemaPath());
        ExecScript(TempDir::Read(SchemaPath()));
    } catch (...) {
        DropAndRestore();
        throw;
    }
}

TestDatabase::~TestDatabase() { DropAndRestore(); }

void TestDatabase::DropAndRestore() noexcept {
    try {
        if (conn_ && conn_->Connected()) conn_->ExecSQL("DROP DATABASE IF EXISTS `" + name_ + "`");
    } catch (...) {
    }
    conn_.reset();
    SetOptionsForTesting(previousOptions_);
    DefaultPosixEnv().SetDatabasePort(previousPort_ == 3306 ? 0 : previousPort_);
}

void TestDatabase::Exec(const std::string& sql) { conn_->ExecSQL(sql); }

void TestDatabase::ExecScript(const std::string& script) {
    // With ";" the statements go together; another delimiter ends a
    // statement where it ends a line.
    std::string delimiter = ";", statement, line;
    auto flush = [&] {
        if (!Trim(statement).empty()) conn_->ExecSQL(statement);
        statement.clear();
    };
    std::istringstream in(script);
    while (std::getline(in, line)) {
        const std::string trimmed = Trim(line);
        if (trimmed.size() > 10 && UpperCase1251(trimmed.substr(0, 10)) == "DELIMITER ") {
            flush();
            delimiter = Trim(trimmed.substr(10));
        } else if (delimiter != ";" && trimmed.ends_with(delimiter)) {
            statement += line.substr(0, line.rfind(delimiter));
            flush();
        } else {
            statement += line + '\n';
        }
    }
    flush();
}

Variant TestDatabase::Scalar(const std::string& sql) { return conn_->GetScalar(sql); }

int64_t TestDatabase::ScalarInt(const std::string& sql) { return VarToInt64Def(Scalar(sql), 0); }

std::string TestDatabase::ScalarStr(const std::string& sql) { return VarToStr(Scalar(sql)); }

std::vector<std::vector<Variant>> TestDatabase::Rows(const std::string& sql) {
    auto q = conn_->OpenQuery(sql);
    std::vector<std::vector<Variant>> rows;
    for (q->First(); !q->Eof(); q->Next()) {
        rows.emplace_back();
        for (int i = 0; i < q->FieldCount(); ++i) rows.back().push_back(q->Fields(i).AsVariant());
    }
    return rows;
}

// ---------------------------------------------------------------------------
// TestLog
// ---------------------------------------------------------------------------

TestLog::TestLog() {
    previousServices_ = ServicesData;
    services_ = std::make_unique<TServicesData>();
    ServicesData = services_.get();
}

TestLog::~TestLog() {
    ServicesData = previousServices_;
    services_.reset();
}

std::vector<std::string> TestLog::Messages(const std::string& sender) const {
    // Every log file of the folder, in name order (a test may run over midnight).
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(dir_.Path()))
        if (e.path().extension() == ".log") files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    std::string text;
    for (const auto& f : files) text += TempDir::Read(f);
    // An entry is "dd.mm.yyyy[ hh:nn:ss] [Sender] message" and ends with the
    // CR LF before the next entry's head or the end (a message holding line
    // breaks stays one entry).
    static const std::regex head(R"((^|\r\n)\d\d\.\d\d\.\d{4}( \d\d:\d\d:\d\d)? \[([^\]\r\n]*)\] )");
    std::vector<std::string> out;
    std::string who;
    size_t start = std::string::npos;
    auto take = [&](size_t end) {
        if (start != std::string::npos && (sender.empty() || who == sender))
            out.push_back(text.substr(start, end - start));
    };
    for (std::sregex_iterator m(text.begin(), text.end(), head), none; m != none; ++m) {
        take(static_cast<size_t>(m->position(0)));
        who = (*m)[3];
        start = static_cast<size_t>(m->position(0) + m->length(0));
    }
    take(text.size() >= 2 && text.ends_with("\r\n") ? text.size() - 2 : text.size());
    return out;
}

void TestLog::Clear() {
    for (const auto& e : std::filesystem::directory_iterator(dir_.Path()))
        if (e.path().extension() == ".log") std::filesystem::remove(e.path());
}
