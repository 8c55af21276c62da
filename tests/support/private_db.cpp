#include "support/private_db.h"

#include <filesystem>
#include <stdexcept>

#include "support/loopback.h"
#include "support/shell.h"
#include "support/test_db.h"

namespace {

std::string DbScript() {
    return (std::filesystem::path(SchemaPath()).parent_path().parent_path() / "scripts" / "db.sh").string();
}

void RunDbScript(const std::string& args) {
    std::string out;
    if (RunCommand("env VT_DB_FAST=1 bash " + ShellQuote(DbScript()) + " " + args, &out) != 0)
        throw std::runtime_error("db.sh " + args + " failed: " + out);
}

}  // namespace

PrivateDbInstance::PrivateDbInstance() : port_(FreeLoopbackPort()) { Start(); }

PrivateDbInstance::~PrivateDbInstance() {
    try {
        Stop();
    } catch (...) {
    }
}

void PrivateDbInstance::Stop() { RunDbScript("stop " + ShellQuote(dir_.File("db"))); }

void PrivateDbInstance::Start() { RunDbScript("start " + ShellQuote(dir_.File("db")) + " " + std::to_string(port_)); }
