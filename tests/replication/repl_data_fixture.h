// The replication data service under test: a fresh database with a few
// pharmacies, a private packet folder, a private daily log, the service's
// servers on ports of the system's choosing on 127.0.0.1, and a pharmacy's
// side of both upload paths (curl for FTP, frames for the TCP path).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/options.h"
#include "protocol/component_stream.h"
#include "protocol/compressed_stream.h"
#include "protocol/customer_info.h"
#include "protocol/frame_io.h"
#include "protocol/pharm_classes.h"
#include "replication/repl_data_service.h"
#include "support/fault_env.h"
#include "support/ftp_test_client.h"
#include "support/temp_dir.h"
#include "support/test_db.h"

// A pharmacy's side of the TCP upload path: frames over one connection,
// every send and receive bounded by 20 s.
class TUploadClient {
public:
    explicit TUploadClient(int port) : fd_(ConnectLoopback(port, 20000, 20000)) {}
    ~TUploadClient() { CloseFd(fd_); }
    bool Connected() const { return fd_ >= 0; }

    void SendRaw(const std::string& bytes) { SendAll(fd_, bytes); }
    void Send(const TComponent& command) {
        const std::string payload = EncodePharmComponent(command);
        SendRaw(FrameHeader(static_cast<int64_t>(payload.size())) + payload);
    }
    // The next reply frame; nullptr when the server closed the connection
    // (before the end of the frame).
    std::unique_ptr<TComponent> Receive() {
        const std::string head = ReceiveUpTo(fd_, 4);
        if (head.size() < 4) return nullptr;
        const size_t count = static_cast<uint32_t>(FrameCountFromBytes(head.data()));
        std::string body = ReceiveUpTo(fd_, count);
        return body.size() < count ? nullptr : DecodePharmComponent(std::move(body));
    }
    // True when the server closed the connection without sending anything.
    bool ClosedWithoutReply() {
        char c;
        return ::recv(fd_, &c, 1, 0) == 0;
    }

private:
    int fd_;
};

// What a send-file request was answered with (Received: whether it was).
struct TReply {
    bool Received = false;
    int64_t StartPosition = 0;
    bool IsTransfered = false;
    std::vector<std::string> Customer;  // lines of the result's customer block
    std::string ErrorMessage;
    std::string PacketFileName;
    // "<position>[ done] <customer lines>[ error=<message>][ name=<name>]", or "no reply".
    std::string Text() const {
        if (!Received) return "no reply";
        std::string t = std::to_string(StartPosition) + (IsTransfered ? " done" : "") + " ";
        for (const auto& l : Customer) t += l + (&l == &Customer.back() ? "" : ",");
        return t + (ErrorMessage.empty() ? "" : " error=" + ErrorMessage) +
               (PacketFileName.empty() ? "" : " name=" + PacketFileName);
    }
};

inline std::unique_ptr<TPharmServerSendFileCommand> SendFileCommand(int pharmacy, const std::string& password,
                                                                    const std::string& name, int32_t start,
                                                                    int32_t fileSize, const std::string& data = "") {
    auto c = std::make_unique<TPharmServerSendFileCommand>();
    SetCommandCustomerLines(*c, {"CompanyName=Test", "CustomerCode=" + std::to_string(pharmacy), "Password=" + password});
    c->PacketFileName = name;
    c->StartPosition = start;
    c->FileSize = fileSize;
    c->Data.Bytes() = data;
    c->PacketSize = static_cast<int64_t>(data.size());
    return c;
}

inline TReply Exchange(TUploadClient& c, const TComponent& command) {
    c.Send(command);
    TReply r;
    std::unique_ptr<TComponent> obj = c.Receive();
    auto* res = PharmCast<TPharmServerSendFileResult>(obj.get());
    if (!res) return r;
    r = {true, res->StartPosition, res->IsTransfered, {}, res->ErrorMessage, res->PacketFileName};
    if (res->CustomerInfo.Size() > 0) LoadStringsCompressed(r.Customer, res->CustomerInfo);
    return r;
}

class ReplDataFixture : public ::testing::Test {
protected:
    // Pharmacies 3 and 7 with their passwords; pharmacy 0 without one.
    void SetUp() override {
        db.Exec("INSERT INTO pharmacy (id, name, inet_pass) VALUES "
                "(3, 'Pharmacy Three', 'Secret3'), (7, 'Pharmacy Seven', 'Pass7'), (0, 'Central', '')");
        SetOptions([](TOptions&) {});
        NewService();
    }
    void TearDown() override { StopService(); }
    // A new service object listening as given (by default on 127.0.0.1,
    // ports of the system's choosing).
    void NewService(TReplDataListening l = {"127.0.0.1", 0, 0, 0, std::chrono::milliseconds(20)}) {
        StopService();
        srv = std::make_unique<TZorvelCentralServerSrv>(env, l);
    }
    void StopService() {
        bool stopped = false;
        if (srv) srv->ServiceStop(stopped);
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
    void Start(bool tcp = false) {
        if (tcp) SetOptions([](TOptions& o) { o.UseSecondaryDataProtocol = true; });
        bool started = false;
        srv->ServiceStart(started);
        ASSERT_TRUE(started);
    }
    std::string Folder(int id) const { return rar.File("pharm" + std::to_string(id)); }
    std::string PharmFile(int id, const std::string& name) const { return Folder(id) + "/" + name; }
    // "name=bytes;" of each file of the pharmacy's folder, by name.
    std::string Contents(int id) const {
        std::string out;
        for (const std::string& n : Listing(Folder(id))) out += n + "=" + TempDir::Read(PharmFile(id, n)) + ";";
        return out;
    }

    static std::vector<std::string> Listing(const std::string& folder) {
        std::vector<std::string> names;
        std::error_code ec;
        for (auto& e : std::filesystem::directory_iterator(folder, ec)) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::vector<std::string> Logs() const { return log.Messages("TZorvelCentralServerSrv"); }
    bool Logged(const std::string& message) const {
        auto m = Logs();
        return std::find(m.begin(), m.end(), message) != m.end();
    }
    int LoggedCount(const std::string& part) const {
        auto m = Logs();
        return static_cast<int>(
            std::count_if(m.begin(), m.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; }));
    }
    // Waits (a bounded number of times) until the log holds a message n times.
    bool WaitForLogged(const std::string& message, int n) {
        for (int i = 0; i < 500; ++i) {
            auto m = Logs();
            if (std::count(m.begin(), m.end(), message) >= n) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    // The reply code to a login on the FTP server.
    int FtpLogin(const std::string& user, const std::string& pass) {
        TFtpTestClient c;
        c.Connect(srv->FtpPort());
        return c.Login(user, pass).Code;
    }

    // ---- the pharmacy's side of the upload paths ----------------------------
    std::string Url(const std::string& user, const std::string& pass, const std::string& path) const {
        return "ftp://" + user + ":" + pass + "@127.0.0.1:" + std::to_string(srv->FtpPort()) + "/" + path;
    }
    // curl upload of bytes to path; its exit code (output in lastOutput).
    int CurlPut(const std::string& user, const std::string& pass, const std::string& path, const std::string& bytes,
                const std::string& options = "") {
        std::string src = work.Write("src" + std::to_string(sources++), bytes);
        return RunCommand("curl -sS --max-time 20 " + options + " -T " + ShellQuote(src) + " " +
                              ShellQuote(Url(user, pass, path)),
                          &lastOutput);
    }
    // A pharmacy's TCP client: asks where to go on from, sends chunks from
    // there, asks again after an error reply. True when the archive was
    // reported transferred within `requests` requests.
    bool TcpUpload(int pharm, const std::string& pass, const std::string& name, const std::string& bytes,
                   int requests = 12, size_t chunk = 8) {
        TUploadClient c(srv->TcpPort());
        int64_t pos = -1;
        for (int i = 0; i < requests; ++i) {
            std::string data = pos < 0 ? "" : bytes.substr(static_cast<size_t>(pos), chunk);
            TReply r = Exchange(c, *SendFileCommand(pharm, pass, name, static_cast<int32_t>(pos),
                                            static_cast<int32_t>(bytes.size()), data));
            if (!r.Received) return false;
            if (r.IsTransfered) return true;
            pos = r.StartPosition < 0 ? -1 : r.StartPosition;
        }
        return false;
    }
    // One whole upload of pharmacy `pharm` by the path the service serves
    // (by TCP in at least four chunks).
    bool Upload(bool tcp, int pharm, const std::string& pass, const std::string& name, const std::string& bytes) {
        if (!tcp) return CurlPut("pharm" + std::to_string(pharm), pass, name, bytes) == 0;
        return TcpUpload(pharm, pass, name, bytes, 12, std::max<size_t>(8, bytes.size() / 4));
    }

    TestLog log;
    TestDatabase db;
    TempDir rar, work;
    TFaultEnv env;  // the real environment until a test sets a fault
    std::unique_ptr<TZorvelCentralServerSrv> srv;
    int sources = 0;
    std::string lastOutput;
};
