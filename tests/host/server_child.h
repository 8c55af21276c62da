// The whole server as a test's child process: a base folder with its
// configuration file, a private database, the extractor built beside the
// tests, ports of its own (the catalogue service's in place of its fixed
// one), its output in a file of the base folder.
#pragma once

#include <utime.h>

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>

#include "core/app_paths.h"
#include "core/env/posix_env.h"
#include "core/process.h"
#include "host/process_probe.h"
#include "host/server_program.h"
#include "support/child_process.h"
#include "support/loopback.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "support/test_db.h"

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
            return process_probe::ProcessListensOn(server_.Pid(), uploadPort) &&
                   process_probe::ProcessListensOn(server_.Pid(), nomSyncPort_);
        });
    }
    // Waits for cond while the child runs; false when the time is up or the
    // child ended first.
    template <class F>
    bool WaitWhileRunning(F cond) {
        bool ok = process_probe::WaitUntil([&] { return cond() || !server_.Alive(); });
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
