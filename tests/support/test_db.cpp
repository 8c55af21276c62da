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

std::string SourceDir() {
    if (const char* env = std::getenv("VT_SOURCE_DIR"); env && *env) return env;
    // This file is tests/support/test_db.cpp below the source folder.
    std::filesystem::path p(__FILE__);
    return p.parent_path().parent_path().parent_path().string();
}

std::atomic<int> g_counter{0};

// Length of the "dd.mm.yyyy[ hh:nn:ss] [" head of a log entry at p, or 0.
size_t EntryHead(const std::string& s, size_t p) {
    static const std::regex head(R"(\d\d\.\d\d\.\d{4}( \d\d:\d\d:\d\d)? \[)");
    std::smatch m;
    const auto from = s.begin() + static_cast<std::ptrdiff_t>(std::min(p, s.size()));
    const auto to = s.begin() + static_cast<std::ptrdiff_t>(std::min(p + 22, s.size()));
    return std::regex_search(from, to, m, head, std::regex_constants::match_continuous) ? m.length(0) : 0;
}

}  // namespace

int TestDbPort() {
    if (const char* env = std::getenv("VT_TEST_DB_PORT"); env && *env) {
        int p = std::atoi(env);
        if (p > 0) return p;
    }
    return 3307;
}

std::string SchemaPath() { return SourceDir() + "/db/schema.sql"; }

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
        ExecScriptFile(SchemaPath());
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

void TestDatabase::ExecScriptFile(const std::string& path) {
    if (!std::filesystem::exists(path)) throw std::runtime_error("Script not found: " + path);
    ExecScript(TempDir::Read(path));
}

Variant TestDatabase::Scalar(const std::string& sql) { return conn_->GetScalar(sql); }

int64_t TestDatabase::ScalarInt(const std::string& sql) { return VarToInt64Def(Scalar(sql), 0); }

std::string TestDatabase::ScalarStr(const std::string& sql) { return VarToStr(Scalar(sql)); }

std::vector<std::vector<Variant>> TestDatabase::Rows(const std::string& sql) {
    auto q = conn_->OpenQuery(sql);
    std::vector<std::vector<Variant>> rows;
    for (q->First(); !q->Eof(); q->Next()) {
        std::vector<Variant> row;
        for (int i = 0; i < q->FieldCount(); ++i) row.push_back(q->Fields(i).AsVariant());
        rows.push_back(std::move(row));
    }
    return rows;
}

// ---------------------------------------------------------------------------
// TestLog
// ---------------------------------------------------------------------------

TestLog::TestLog() {
    if (const char* base = std::getenv("VT_BASE_DIR")) {
        hadBase_ = true;
        previousBase_ = base;
    }
    ::setenv("VT_BASE_DIR", dir_.Path().c_str(), 1);
    previousServices_ = ServicesData;
    services_ = std::make_unique<TServicesData>();
    ServicesData = services_.get();
}

TestLog::~TestLog() {
    ServicesData = previousServices_;
    services_.reset();
    if (hadBase_) ::setenv("VT_BASE_DIR", previousBase_.c_str(), 1);
    else ::unsetenv("VT_BASE_DIR");
}

std::string TestLog::Text() const {
    // Every file of the folder that is a log (a test may run over midnight).
    std::string text;
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(dir_.Path()))
        if (e.path().extension() == ".log") files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    for (const auto& f : files) text += TempDir::Read(f);
    return text;
}

std::vector<std::string> TestLog::Entries() const {
    const std::string text = Text();
    std::vector<std::string> entries;
    size_t start = 0;
    // Entry boundaries: a CR LF followed by an entry head (or the end).
    size_t pos = 0;
    while (pos < text.size()) {
        size_t crlf = text.find("\r\n", pos);
        if (crlf == std::string::npos) {
            entries.push_back(text.substr(start));
            break;
        }
        size_t next = crlf + 2;
        if (next >= text.size() || EntryHead(text, next) > 0) {
            entries.push_back(text.substr(start, crlf - start));
            start = next;
        }
        pos = next;
    }
    return entries;
}

std::vector<std::string> TestLog::Messages(const std::string& sender) const {
    std::vector<std::string> out;
    for (const std::string& e : Entries()) {
        size_t head = EntryHead(e, 0);
        if (head == 0) continue;
        size_t close = e.find("] ", head);
        if (close == std::string::npos) continue;
        std::string who = e.substr(head, close - head);
        if (!sender.empty() && who != sender) continue;
        out.push_back(e.substr(close + 2));
    }
    return out;
}

void TestLog::Clear() {
    for (const auto& e : std::filesystem::directory_iterator(dir_.Path()))
        if (e.path().extension() == ".log") std::filesystem::remove(e.path());
}
