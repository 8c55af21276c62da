// The whole server as a test's child process: a base folder with its
// configuration file, a private database, the extractor built beside the
// tests, ports of its own (the catalogue service's in place of its fixed
// one), its output in a file of the base folder.
#pragma once

#include <fcntl.h>
#include <unistd.h>
#include <utime.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "core/app_paths.h"
#include "core/env/posix_env.h"
#include "core/process.h"
#include "host/service_application.h"
#include "host/service_factory.h"
#include "nomsync/nom_sync_service.h"
#include "support/child_process.h"
#include "support/loopback.h"
#include "support/scoped_env.h"
#include "support/shell.h"
#include "support/temp_dir.h"
#include "support/test_db.h"

// Polls cond every few milliseconds until it holds or the time is up;
// whether it held. Only a bound: nothing depends on how fast it holds.
template <class F>
bool WaitUntil(F cond, std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (cond()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// Whether process pid holds a listening TCP socket (IPv4 or IPv6) on the
// port: the socket inodes of /proc/net/tcp* against the process's descriptors.
inline bool ProcessListensOn(pid_t pid, int port) {
    std::set<std::string> held;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec))
        held.insert(std::filesystem::read_symlink(e.path(), ec).string());
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line, sl, local, remote, state, skip;
        std::getline(in, line);  // the heading
        while (std::getline(in, line)) {
            // sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode
            std::istringstream f(line);
            if (!(f >> sl >> local >> remote >> state >> skip >> skip >> skip >> skip >> skip >> skip)) continue;
            const size_t colon = local.rfind(':');
            if (state == "0A" && colon != std::string::npos &&
                std::stoi(local.substr(colon + 1), nullptr, 16) == port && held.count("socket:[" + skip + "]"))
                return true;
        }
    }
    return false;
}

// The server program as the child runs it: the program's main with the
// three real services (the catalogue service on nomSyncPort), its output
// appended to a file, and the end main has (static objects go, leaks are
// checked).
[[noreturn]] inline void RunServerProgram(const std::string& outputFile, int nomSyncPort) {
    int fd = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        ::close(fd);
    }
    std::signal(SIGPIPE, SIG_IGN);
    int rc = 99;
    try {
        TServiceApplication app([nomSyncPort] {
            auto services = CreateServices();
            for (auto& s : services)
                if (s->Name() == "ZorvelCentralNomSyncServerSrv")
                    s = std::make_unique<TZorvelCentralNomSyncServerSrv>(static_cast<uint16_t>(nomSyncPort));
            return services;
        });
        rc = app.Run(std::vector<std::string>{});
    } catch (const std::exception& e) {
        std::fprintf(stderr, "escaped: %s\n", e.what());
    }
    std::fflush(nullptr);
    std::exit(rc);
}

class ServerChild : public ::testing::Test {
protected:
    ServerChild() {
        PickPorts();
        DefaultPosixEnv().SetExtractor(
            (std::filesystem::path(ProgramPath()).parent_path().parent_path() / "bin" / "rar").string(),
            kExecDefaultTimeout);
    }
    ~ServerChild() override {
        server_.Kill();  // a failed test leaves no server behind
        DefaultPosixEnv().SetExtractor("", kExecDefaultTimeout);
    }

    void PickPorts() {
        ftpPort_ = FreeLoopbackPort();
        do dataPort_ = FreeLoopbackPort();
        while (dataPort_ == ftpPort_);
        do nomSyncPort_ = FreeLoopbackPort();
        while (nomSyncPort_ == ftpPort_ || nomSyncPort_ == dataPort_);
    }
    // The configuration file: the test database, FileTransferPort and PTPort2,
    // then the lines of `more` ("Key=value\r\n" each).
    void WriteConfig(int fileTransferPort, int ptPort2, const std::string& more = "") {
        auto o = db.Options();
        base_.Write("vantrell_config.ini", "[Main]\r\nServerName=127.0.0.1\r\nDataBaseName=" + o->DataBaseName +
                                               "\r\nUserName=" + o->UserName + "\r\nPassword=" + o->Password +
                                               "\r\nFileTransferPort=" + std::to_string(fileTransferPort) +
                                               "\r\nPTPort2=" + std::to_string(ptPort2) + "\r\n" + more);
    }
    // Forks the server and waits until it listens on `uploadPort` and the
    // catalogue port; false when it did not (or ended first).
    bool Start(int uploadPort) {
        const std::string output = outputFile_;
        const int nomSync = nomSyncPort_;
        if (!server_.Start([output, nomSync]() -> int { RunServerProgram(output, nomSync); })) return false;
        return WaitWhileRunning([&] {
            return ProcessListensOn(server_.Pid(), uploadPort) && ProcessListensOn(server_.Pid(), nomSyncPort_);
        });
    }
    // Waits for cond while the child runs; false when the time is up or the
    // child ended first.
    template <class F>
    bool WaitWhileRunning(F cond) {
        bool ok = WaitUntil([&] { return cond() || !server_.Alive(); });
        return ok && server_.Alive() && cond();
    }
    std::string Output() const {
        return std::filesystem::exists(outputFile_) ? TempDir::Read(outputFile_) : "";
    }
    // Sets the times of every file under folder back, as of files uploaded
    // long ago (the installer leaves a folder alone while a file is fresh).
    static void MakeOld(const std::string& folder) {
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            struct utimbuf t;
            t.actime = t.modtime = std::time(nullptr) - 600;
            ::utime(it->path().c_str(), &t);
        }
    }

    TempDir base_;
    ScopedEnv baseEnv_{"VT_BASE_DIR", base_.Path()};
    TestDatabase db;
    ChildProcess server_;
    int ftpPort_ = 0, dataPort_ = 0, nomSyncPort_ = 0;
    std::string outputFile_ = base_.File("server_output.txt");
};
