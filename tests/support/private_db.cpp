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

// The server's temporary files go to a folder of the instance's own:
// instances initialised at the same time must not meet in /tmp.
bool RunDbScript(const std::string& tmp, const std::string& args, std::string& out) {
    std::filesystem::create_directories(tmp);
    return RunCommand("env VT_DB_FAST=1 TMPDIR=" + ShellQuote(tmp) + " bash " + ShellQuote(DbScript()) + " " + args,
                      &out) == 0;
}

}  // namespace

PrivateDbInstance::PrivateDbInstance() : port_(FreeLoopbackPort()) { Start(); }

PrivateDbInstance::~PrivateDbInstance() {
    try {
        Stop();
    } catch (...) {
    }
}

void PrivateDbInstance::Stop() {
    std::string out;
    if (!RunDbScript(dir_.File("tmp"), "stop " + ShellQuote(dir_.File("db")), out))
        throw std::runtime_error("db.sh stop failed: " + out);
}

void PrivateDbInstance::Start() {
    const std::string args = "start " + ShellQuote(dir_.File("db")) + " " + std::to_string(port_);
    std::string out;
    if (RunDbScript(dir_.File("tmp"), args, out)) return;
    // A first initialisation that failed half-way is done once more afresh.
    if (!std::filesystem::exists(dir_.File("db/mysqld.pid"))) {
        std::error_code ec;
        std::filesystem::remove_all(dir_.File("db"), ec);
        if (RunDbScript(dir_.File("tmp"), args, out)) return;
    }
    throw std::runtime_error("db.sh " + args + " failed: " + out);
}
