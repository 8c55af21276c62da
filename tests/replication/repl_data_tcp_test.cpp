// The TCP upload path of the replication data service: real sockets on
// 127.0.0.1, the pharmacies in a real database.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <cstring>
#include <fstream>
#include <thread>

#include "core/cp1251.h"
#include "protocol/component_stream.h"
#include "protocol/compressed_stream.h"
#include "protocol/customer_info.h"
#include "protocol/frame_io.h"
#include "repl_data_fixture.h"
#include "core/env/env.h"
#include "core/env/upload_registry.h"
#include "support/loopback.h"
#include "support/private_db.h"

namespace fs = std::filesystem;

namespace {

// A pharmacy's side of the protocol: frames over one connection, every
// receive bounded by 20 s.
class TUploadClient {
public:
    explicit TUploadClient(int port) : fd_(ConnectLoopback(port, 20000)) {}
    ~TUploadClient() { CloseFd(fd_); }
    bool Connected() const { return fd_ >= 0; }

    void SendRaw(const std::string& bytes) { SendAll(fd_, bytes); }
    void Send(const TComponent& command) {
        const std::string payload = EncodePharmComponent(command);
        SendRaw(FrameHeader(static_cast<int64_t>(payload.size())) + payload);
    }
    // The next reply frame; nullptr when the server closed the connection.
    std::unique_ptr<TComponent> Receive() {
        const std::string head = ReceiveUpTo(fd_, 4);
        if (head.size() < 4) return nullptr;
        return DecodePharmComponent(ReceiveUpTo(fd_, static_cast<uint32_t>(FrameCountFromBytes(head.data()))));
    }
    // True when the server closed the connection without sending anything.
    bool ClosedWithoutReply() {
        char c;
        return ::recv(fd_, &c, 1, 0) == 0;
    }

private:
    int fd_;
};

struct TReply {
    bool Received = false;
    int64_t StartPosition = 0;
    bool IsTransfered = false;
    std::vector<std::string> Customer;  // lines of the result's customer block
    std::string ErrorMessage;
    std::string PacketFileName;
};

class ReplDataTcpTest : public ReplDataFixture {
protected:
    void SetUp() override {
        ReplDataFixture::SetUp();
        SetOptions([](TOptions& o) { o.UseSecondaryDataProtocol = true; });
        Start();
        port_ = srv->IdTCPServer().Port();
        ASSERT_GT(port_, 0);
        client_ = std::make_unique<TUploadClient>(port_);
        ASSERT_TRUE(client_->Connected());
    }

    static std::unique_ptr<TPharmServerSendFileCommand> Command(int pharmacy, const std::string& password,
                                                                 const std::string& name, int32_t start,
                                                                 int32_t fileSize, const std::string& data = "") {
        auto c = std::make_unique<TPharmServerSendFileCommand>();
        SetCommandCustomerLines(*c, {"CompanyName=Test", "CustomerCode=" + std::to_string(pharmacy),
                                     "Password=" + password});
        c->PacketFileName = name;
        c->StartPosition = start;
        c->FileSize = fileSize;
        c->Data.Bytes() = data;
        c->PacketSize = static_cast<int64_t>(data.size());
        return c;
    }
    TReply Exchange(const TComponent& command, TUploadClient* client = nullptr) {
        TUploadClient& c = client ? *client : *client_;
        c.Send(command);
        return Read(c);
    }
    TReply Read(TUploadClient& c) {
        TReply r;
        std::unique_ptr<TComponent> obj = c.Receive();
        auto* res = PharmCast<TPharmServerSendFileResult>(obj.get());
        if (!res) return r;
        r.Received = true;
        r.StartPosition = res->StartPosition;
        r.IsTransfered = res->IsTransfered;
        r.ErrorMessage = res->ErrorMessage;
        r.PacketFileName = res->PacketFileName;
        if (res->CustomerInfo.Size() > 0) LoadStringsCompressed(r.Customer, res->CustomerInfo);
        return r;
    }
    // Sends one request of pharmacy 3 with its right password.
    TReply Send3(const std::string& name, int32_t start, int32_t fileSize, const std::string& data = "") {
        return Exchange(*Command(3, "Secret3", name, start, fileSize, data));
    }
    // Sends that and expects the position asked for next and whether the
    // archive is complete.
    void Step(const std::string& name, int32_t start, int32_t fileSize, const std::string& data, int64_t position,
              bool transfered) {
        TReply r = Send3(name, start, fileSize, data);
        EXPECT_TRUE(r.Received);
        EXPECT_EQ(r.StartPosition, position) << name << " from " << start;
        EXPECT_EQ(r.IsTransfered, transfered) << name << " from " << start;
    }

    const std::vector<std::string> kAuthorized{"CustomerAuthorized=1"};
    const std::vector<std::string> kRefused{"CustomerAuthorized=0"};
    int port_ = 0;
    std::unique_ptr<TUploadClient> client_;
};

TEST_F(ReplDataTcpTest, FirstRequestAsksForTheSizeHeld) {
    TReply r = Send3("xml12.rar", -1, 1000);
    ASSERT_TRUE(r.Received);
    EXPECT_EQ(r.StartPosition, 0);
    EXPECT_FALSE(r.IsTransfered);
    EXPECT_EQ(r.Customer, kAuthorized);
    EXPECT_EQ(r.ErrorMessage, "");
    EXPECT_EQ(r.PacketFileName, "");
    EXPECT_TRUE(FilesOf(3).empty());
}

TEST_F(ReplDataTcpTest, ArchiveInThreeChunksTakesItsNameAndReplacesTheOldOne) {
    std::ofstream(PharmFile(3, "xml12.rar")) << "old archive";
    std::ofstream(PharmFile(3, "XML12.RAR")) << "old archive in capitals";
    std::string archive;
    for (int i = 0; i < 1000; ++i) archive += static_cast<char>(i * 7 % 256);

    Step("C:\\out\\xml12.rar", -1, 1000, "", 0, false);
    Step("C:\\out\\xml12.rar", 0, 1000, archive.substr(0, 400), 400, false);
    EXPECT_EQ(TempDir::Read(PharmFile(3, "xml12.rar.trf")), archive.substr(0, 400));
    Step("C:\\out\\xml12.rar", 400, 1000, archive.substr(400, 400), 800, false);
    EXPECT_EQ(Send3("C:\\out\\xml12.rar", 800, 1000, archive.substr(800)).Customer, kAuthorized);

    EXPECT_EQ(FilesOf(3), (std::vector<std::string>{"xml12.rar"}));  // complete
    EXPECT_EQ(TempDir::Read(PharmFile(3, "xml12.rar")), archive);
    EXPECT_FALSE(TEnv::Default().Uploads().IsFolderBusy(Folder(3)));

    // The next transfer of that name starts a new transfer file.
    Step("xml12.rar", -1, 1000, "", 0, false);
}

TEST_F(ReplDataTcpTest, ChunkSentAgainReplacesItselfInsteadOfDoublingUp) {
    std::string archive = std::string(400, 'a') + std::string(400, 'b') + std::string(200, 'c');
    EXPECT_EQ(Send3("xml5.rar", 0, 1000, archive.substr(0, 400)).StartPosition, 400);
    EXPECT_EQ(Send3("xml5.rar", 400, 1000, archive.substr(400, 400)).StartPosition, 800);
    // The reply to the second chunk was lost: the pharmacy sends it again.
    Step("xml5.rar", 400, 1000, archive.substr(400, 400), 800, false);
    Step("xml5.rar", 800, 1000, archive.substr(800), 1000, true);
    EXPECT_EQ(TempDir::Read(PharmFile(3, "xml5.rar")), archive);
    EXPECT_EQ(FilesOf(3), (std::vector<std::string>{"xml5.rar"}));
}

TEST_F(ReplDataTcpTest, TransferFileLongerThanTheArchiveStartsOver) {
    // Left behind by an earlier fault: more bytes than the archive has.
    std::ofstream(PharmFile(3, "xml6.rar.trf")) << std::string(1200, 'x');
    Step("xml6.rar", -1, 1000, "", 0, false);
    EXPECT_TRUE(FilesOf(3).empty());
    // The pharmacy starts over and completes.
    Step("xml6.rar", 0, 1000, std::string(1000, 'y'), 1000, true);
    EXPECT_EQ(TempDir::Read(PharmFile(3, "xml6.rar")), std::string(1000, 'y'));
}

TEST_F(ReplDataTcpTest, ChunkBeyondTheEndIsNotTaken) {
    EXPECT_EQ(Send3("xml7.rar", 0, 1000, std::string(400, 'a')).StartPosition, 400);
    Step("xml7.rar", 800, 1000, std::string(200, 'c'), 400, false);  // 400..800 never came
    EXPECT_EQ(TempDir::Read(PharmFile(3, "xml7.rar.trf")), std::string(400, 'a'));
}

TEST_F(ReplDataTcpTest, UnknownFileSizeNeverCompletes) {
    EXPECT_EQ(Send3("xml8.rar", 0, 0, std::string(100, 'a')).StartPosition, 100);
    Step("xml8.rar", 100, 0, std::string(100, 'b'), 200, false);
    Step("xml8.rar", -1, -5, "", 200, false);
    EXPECT_EQ(FilesOf(3), (std::vector<std::string>{"xml8.rar.trf"}));
}

TEST_F(ReplDataTcpTest, WrongPasswordIsRefusedAndWritesNothing) {
    for (const char* pass : {"wrong", "SECRET3", "secret3", "Secret3  ", ""}) {
        TReply r = Exchange(*Command(3, pass, "xml9.rar", 0, 10, "0123456789"));
        ASSERT_TRUE(r.Received) << pass;
        EXPECT_EQ(r.Customer, kRefused) << pass;
        EXPECT_EQ(r.StartPosition, 0) << pass;
        EXPECT_FALSE(r.IsTransfered) << pass;
    }
    // A pharmacy without a password, and one that does not exist.
    TReply r = Exchange(*Command(0, "", "xml9.rar", 0, 10, "0123456789"));
    EXPECT_EQ(r.Customer, kRefused);
    r = Exchange(*Command(99, "Secret3", "xml9.rar", 0, 10, "0123456789"));
    EXPECT_EQ(r.Customer, kRefused);
    EXPECT_TRUE(FilesOf(3).empty());
    EXPECT_TRUE(FilesOf(0).empty());
    EXPECT_FALSE(fs::exists(Folder(99)));
}

TEST_F(ReplDataTcpTest, OtherCommandsGetNoReply) {
    TPharmServerRefreshDataCommand refresh;
    SetCommandCustomerLines(refresh, {"CustomerCode=3", "Password=Secret3"});
    client_->Send(refresh);
    TPharmServerLoginCommand login;
    SetCommandCustomerLines(login, {"CustomerCode=3", "Password=Secret3"});
    client_->Send(login);
    // The first reply on the connection answers the request after them.
    TReply r = Exchange(*Command(3, "Secret3", "xml1.rar", -1, 10));
    ASSERT_TRUE(r.Received);
    EXPECT_EQ(r.Customer, kAuthorized);
}

TEST_F(ReplDataTcpTest, FolderPartOfTheNameIsIgnored) {
    Step("C:\\out\\xml12.rar", 0, 1000, "abc", 3, false);
    EXPECT_EQ(FilesOf(3), (std::vector<std::string>{"xml12.rar.trf"}));
    // "/" separates folders too: nothing reaches another pharmacy.
    for (const char* name : {"../pharm7/xml13.rar", "..\\..\\xml14.rar", "D:xml15.rar"}) Step(name, 0, 3, "xyz", 3, true);
    EXPECT_EQ(FilesOf(3), (std::vector<std::string>{"xml12.rar.trf", "xml13.rar", "xml14.rar", "xml15.rar"}));
    EXPECT_TRUE(FilesOf(7).empty());
}

TEST_F(ReplDataTcpTest, NamesWithoutAFilePartAreRefused) {
    for (const char* bad : {"", "C:\\out\\", "dir/", "..", ".", "a/..", "C:..", "x\x01.rar", "x\ny.rar"}) {
        TReply r = Send3(bad, 0, 3, "abc");
        ASSERT_TRUE(r.Received) << bad;
        EXPECT_EQ(r.StartPosition, -1) << bad;
        EXPECT_FALSE(r.IsTransfered) << bad;
        EXPECT_EQ(r.Customer, kAuthorized) << bad;
    }
    EXPECT_TRUE(FilesOf(3).empty());
    std::vector<std::string> top;
    for (auto& e : fs::directory_iterator(rar.Path())) top.push_back(e.path().filename());
    std::sort(top.begin(), top.end());
    EXPECT_EQ(top, (std::vector<std::string>{"pharm0", "pharm3", "pharm7"}));
    EXPECT_TRUE(LoggedStart("Send file request \"..\" failed: "));
}

TEST_F(ReplDataTcpTest, TransferFileIsFoundWhateverItsLetterCase) {
    std::ofstream(PharmFile(3, "XML16.RAR.trf")) << std::string(400, 'a');
    Step("xml16.rar", -1, 600, "", 400, false);
    Step("xml16.rar", 400, 600, std::string(200, 'b'), 600, true);
    EXPECT_EQ(FilesOf(3), (std::vector<std::string>{"xml16.rar"}));
}

TEST_F(ReplDataTcpTest, TransferFileOfTheNameAsSentComesFirstWhileItIsThere) {
    std::ofstream(PharmFile(3, "XML17.RAR.trf")) << std::string(400, 'a');
    std::ofstream(PharmFile(3, "xml17.rar.trf")) << std::string(300, 'c');
    Step("xml17.rar", -1, 600, "", 300, false);
    fs::remove(PharmFile(3, "xml17.rar.trf"));  // between two chunks
    Step("xml17.rar", 300, 600, std::string(300, 'b'), 600, true);
    EXPECT_EQ(TempDir::Read(PharmFile(3, "xml17.rar")), std::string(300, 'a') + std::string(300, 'b'));
}

TEST_F(ReplDataTcpTest, DeletedFolderIsCreatedAgain) {
    fs::remove_all(Folder(7));
    TReply r = Exchange(*Command(7, "Pass7", "xml1.rar", 0, 2, "ok"));
    EXPECT_TRUE(r.IsTransfered);
    EXPECT_EQ(TempDir::Read(PharmFile(7, "xml1.rar")), "ok");
}

TEST_F(ReplDataTcpTest, DamagedCustomerInformationAnswersMinusOne) {
    auto c = Command(3, "Secret3", "xml1.rar", 0, 2, "ok");
    c->CustomerInfoSize += 1;  // the block is not the size announced
    TReply r = Exchange(*c);
    ASSERT_TRUE(r.Received);
    EXPECT_EQ(r.StartPosition, -1);
    EXPECT_FALSE(r.IsTransfered);
    EXPECT_TRUE(r.Customer.empty());
    EXPECT_EQ(r.ErrorMessage, "");
    EXPECT_TRUE(LoggedStart("Send file request \"xml1.rar\" failed: " +
                            Cp(u8"Грешка при получаване на данните за достъп на аптеката!\r")));
    EXPECT_TRUE(FilesOf(3).empty());

    auto empty = std::make_unique<TPharmServerSendFileCommand>();
    empty->PacketFileName = "xml1.rar";
    r = Exchange(*empty);
    EXPECT_EQ(r.StartPosition, -1);
}

TEST_F(ReplDataTcpTest, UnreachableDatabaseAnswersMinusOne) {
    db.EditOptions([](TOptions& o) { o.Password = "not the password"; });
    TReply r = Send3("xml1.rar", 0, 2, "ok");
    ASSERT_TRUE(r.Received);
    EXPECT_EQ(r.StartPosition, -1);
    EXPECT_FALSE(r.IsTransfered);
    EXPECT_TRUE(FilesOf(3).empty());
}

TEST_F(ReplDataTcpTest, BadFramesEndTheConnectionWithoutAReply) {
    // Not a component stream.
    client_->SendRaw(std::string("\0\0\0\x05hello", 9));
    EXPECT_TRUE(client_->ClosedWithoutReply());
    // A length far beyond any request.
    TUploadClient big(port_);
    big.SendRaw(std::string("\x7F\xFF\xFF\xFF", 4));
    EXPECT_TRUE(big.ClosedWithoutReply());
    TUploadClient negative(port_);
    negative.SendRaw(std::string("\xFF\xFF\xFF\xF0", 4));
    EXPECT_TRUE(negative.ClosedWithoutReply());
    // The server goes on serving.
    TUploadClient next(port_);
    TReply r = Exchange(*Command(3, "Secret3", "xml1.rar", -1, 2), &next);
    EXPECT_TRUE(r.Received);
    EXPECT_EQ(r.Customer, kAuthorized);
}

TEST_F(ReplDataTcpTest, SeveralPharmaciesUploadAtOnce) {
    std::vector<std::thread> threads;
    std::atomic<int> done{0};
    for (int k = 0; k < 4; ++k) {
        threads.emplace_back([&, k] {
            TUploadClient c(port_);
            int id = k % 2 == 0 ? 3 : 7;
            std::string pass = id == 3 ? "Secret3" : "Pass7";
            std::string name = "xml" + std::to_string(20 + k) + ".rar";
            std::string archive(50000, static_cast<char>('a' + k));
            int64_t pos = Exchange(*Command(id, pass, name, -1, 50000), &c).StartPosition;
            for (int i = 0; i < 20 && pos >= 0 && pos < 50000; ++i) {
                TReply r = Exchange(*Command(id, pass, name, static_cast<int32_t>(pos), 50000,
                                             archive.substr(static_cast<size_t>(pos), 5000)),
                                    &c);
                pos = r.StartPosition;
                if (r.IsTransfered) ++done;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(done.load(), 4);
    for (int k = 0; k < 4; ++k) {
        int id = k % 2 == 0 ? 3 : 7;
        EXPECT_EQ(TempDir::Read(PharmFile(id, "xml" + std::to_string(20 + k) + ".rar")),
                  std::string(50000, static_cast<char>('a' + k)));
    }
}

}  // namespace

namespace {
class ReplDataTcpOutage : public OwnDbInstance, public ReplDataTcpTest {};
}  // namespace

TEST_F(ReplDataTcpOutage, ChunksFailWhileTheDatabaseIsDownAndGoOnOnceItIsBack) {
    const std::string data = std::string(400, 'a') + std::string(400, 'b') + std::string(200, 'c');
    EXPECT_EQ(Send3("xml4.rar", 0, 1000, data.substr(0, 400)).StartPosition, 400);

    instance.Stop();
    // Refused (the login check cannot be made), answered, nothing written.
    TReply r = Send3("xml4.rar", 400, 1000, data.substr(400, 400));
    EXPECT_TRUE(r.Received);
    EXPECT_EQ(r.StartPosition, -1);
    EXPECT_FALSE(r.IsTransfered);
    EXPECT_EQ(fs::file_size(PharmFile(3, "xml4.rar.trf")), 400u);

    instance.Start();
    // The same connection, the same running service.
    EXPECT_EQ(Send3("xml4.rar", 400, 1000, data.substr(400, 400)).StartPosition, 800);
    Step("xml4.rar", 800, 1000, data.substr(800), 1000, true);
    EXPECT_EQ(TempDir::Read(PharmFile(3, "xml4.rar")), data);
}
