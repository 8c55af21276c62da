// The FTP upload path of the replication data service, driven by curl,
// lftp and a plain client, with the pharmacies of a real database.
#include <gtest/gtest.h>

#include <fstream>

#include "support/ftp_test_client.h"
#include "repl_data_fixture.h"
#include "core/env/env.h"
#include "core/env/upload_registry.h"

namespace fs = std::filesystem;

namespace {

class ReplDataFtpTest : public ReplDataFixture {
protected:
    void SetUp() override {
        ReplDataFixture::SetUp();
        Start();
        port_ = srv->IdFTPServer().BoundPort();
        ASSERT_GT(port_, 0);
    }
    std::string Url(const std::string& user, const std::string& pass, const std::string& path) const {
        return "ftp://" + user + ":" + pass + "@127.0.0.1:" + std::to_string(port_) + "/" + path;
    }
    // curl upload of bytes to path; its exit code.
    int CurlPut(const std::string& user, const std::string& pass, const std::string& path, const std::string& bytes,
                const std::string& options = "") {
        std::string src = work_.Write("src" + std::to_string(n_++), bytes);
        std::string out;
        int rc = RunCommand("curl -sS " + options + " -T " + ShellQuote(src) + " " + ShellQuote(Url(user, pass, path)),
                            &out);
        lastOutput_ = out;
        return rc;
    }

    TempDir work_;
    int n_ = 0;
    int port_ = 0;
    std::string lastOutput_;
};

TEST_F(ReplDataFtpTest, LoginWithTheRightPasswordStoresIntoTheOwnFolder) {
    EXPECT_EQ(CurlPut("pharm3", "Secret3", "xml15.rar", "archive 15"), 0) << lastOutput_;
    EXPECT_EQ(TempDir::Read(PharmFile(3, "xml15.rar")), "archive 15");
    EXPECT_TRUE(Logged("Receiving file " + PharmFile(3, "xml15.rar") + " from pharm3(127.0.0.1)."));
    EXPECT_TRUE(Logged("After Stream Redirect!"));
}

TEST_F(ReplDataFtpTest, WrongPasswordStoresNothing) {
    EXPECT_NE(CurlPut("pharm3", "secret3", "xml15.rar", "x"), 0);
    EXPECT_NE(CurlPut("PHARM3", "Secret3", "xml15.rar", "x"), 0);
    EXPECT_NE(CurlPut("pharm0", "", "xml15.rar", "x"), 0);  // no account without a password
    EXPECT_TRUE(FilesOf(3).empty());
    EXPECT_TRUE(FilesOf(0).empty());

    // After a failed login the session cannot store either.
    TFtpTestClient c;
    c.Connect(port_);
    EXPECT_EQ(c.Login("pharm3", "wrong").Code, 530);
    EXPECT_EQ(c.Command("EPSV").Code, 530);
    EXPECT_EQ(c.Command("STOR xml1.rar").Code, 530);
    EXPECT_EQ(c.Command("APPE xml1.rar").Code, 530);
    EXPECT_TRUE(FilesOf(3).empty());
}

TEST_F(ReplDataFtpTest, AnyDirectoryIsAcceptedAndListingsAreEmpty) {
    std::string out;
    // curl changes into every folder of the path and lists the last one.
    int rc = RunCommand("curl -sS " + ShellQuote(Url("pharm3", "Secret3", "no/such/folder/")), &out);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_EQ(out, "");
    EXPECT_EQ(CurlPut("pharm3", "Secret3", "deep/down/xml2.rar", "two"), 0) << lastOutput_;
    EXPECT_EQ(FilesOf(3), (std::vector<std::string>{"xml2.rar"}));

    std::string src = work_.Write("l.rar", "by lftp");
    std::string script = "set ftp:ssl-allow no; set net:max-retries 1; cd /somewhere/else; ls; put " +
                         ShellQuote(src) + " -o xml3.rar; ls; bye";
    rc = RunCommand("lftp -u pharm3,Secret3 -p " + std::to_string(port_) + " -e " + ShellQuote(script) +
                        " 127.0.0.1",
                    &out);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_EQ(out.find("xml"), std::string::npos) << out;  // nothing listed
    EXPECT_EQ(TempDir::Read(PharmFile(3, "xml3.rar")), "by lftp");
}

TEST_F(ReplDataFtpTest, SecondStoreReplacesTheFirst) {
    EXPECT_EQ(CurlPut("pharm7", "Pass7", "xml7.rar", std::string(5000, 'a')), 0);
    EXPECT_EQ(CurlPut("pharm7", "Pass7", "xml7.rar", "short"), 0);
    EXPECT_EQ(TempDir::Read(PharmFile(7, "xml7.rar")), "short");
    // Also when the earlier upload's name differs in letter case.
    EXPECT_EQ(CurlPut("pharm7", "Pass7", "XML7.RAR", "upper"), 0);
    EXPECT_EQ(FilesOf(7), (std::vector<std::string>{"XML7.RAR"}));
    EXPECT_EQ(TempDir::Read(PharmFile(7, "XML7.RAR")), "upper");
}

TEST_F(ReplDataFtpTest, AppendContinuesAnExistingFileAndIsRefusedForAMissingOne) {
    EXPECT_EQ(CurlPut("pharm7", "Pass7", "xml7.rar", "first-"), 0);
    EXPECT_EQ(CurlPut("pharm7", "Pass7", "xml7.rar", "second", "-a"), 0) << lastOutput_;
    EXPECT_EQ(TempDir::Read(PharmFile(7, "xml7.rar")), "first-second");
    // The name is found whatever its letter case.
    EXPECT_EQ(CurlPut("pharm7", "Pass7", "Xml7.Rar", "-third", "-a"), 0) << lastOutput_;
    EXPECT_EQ(TempDir::Read(PharmFile(7, "xml7.rar")), "first-second-third");
    EXPECT_EQ(FilesOf(7), (std::vector<std::string>{"xml7.rar"}));

    log.Clear();
    EXPECT_NE(CurlPut("pharm7", "Pass7", "xml8.rar", "nothing to continue", "-a"), 0);
    EXPECT_FALSE(fs::exists(PharmFile(7, "xml8.rar")));
    // The store is announced before the open that fails, and no stream follows.
    EXPECT_TRUE(Logged("Receiving file " + PharmFile(7, "xml8.rar") + " from pharm7(127.0.0.1)."));
    EXPECT_FALSE(Logged("After Stream Redirect!"));

    // Resuming an interrupted upload: curl asks the size, then appends the rest.
    std::string whole = std::string(3000, 'r') + "tail";
    EXPECT_EQ(CurlPut("pharm7", "Pass7", "xml9.rar", whole.substr(0, 1000)), 0);
    EXPECT_EQ(CurlPut("pharm7", "Pass7", "xml9.rar", whole, "-C -"), 0) << lastOutput_;
    EXPECT_EQ(TempDir::Read(PharmFile(7, "xml9.rar")), whole);
}

TEST_F(ReplDataFtpTest, NamesAreCleanedOfBlanksAndSlashes) {
    // Blanks around the name go.
    EXPECT_EQ(CurlPut("pharm3", "Secret3", "%20%20xml8.rar%20", "eight"), 0) << lastOutput_;
    EXPECT_EQ(TempDir::Read(PharmFile(3, "xml8.rar")), "eight");
    // Slashes inside the name sent with STOR go (curl sends the whole path).
    EXPECT_EQ(CurlPut("pharm3", "Secret3", "in/xml15.rar", "fifteen", "--ftp-method nocwd"), 0) << lastOutput_;
    EXPECT_EQ(TempDir::Read(PharmFile(3, "inxml15.rar")), "fifteen");
    EXPECT_EQ(CurlPut("pharm3", "Secret3", "in%5Cxml16.rar", "sixteen"), 0) << lastOutput_;
    EXPECT_EQ(TempDir::Read(PharmFile(3, "inxml16.rar")), "sixteen");
    EXPECT_EQ(FilesOf(3), (std::vector<std::string>{"inxml15.rar", "inxml16.rar", "xml8.rar"}));
}

TEST_F(ReplDataFtpTest, NamesThatWouldLeaveTheFolderAreRefusedOrStayInside) {
    TFtpTestClient c;
    c.Connect(port_);
    ASSERT_EQ(c.Login("pharm3", "Secret3").Code, 230);
    for (std::string bad : {"..", ".", " / ", "\\..\\", " .. ", "x\x01y"}) {
        EXPECT_EQ(c.Command("EPSV").Code, 229);
        EXPECT_EQ(c.Command("STOR " + bad).Code, 550) << bad;
    }
    EXPECT_TRUE(FilesOf(3).empty());
    EXPECT_TRUE(LoggedStart("Refused file name \"..\" from pharm3(127.0.0.1)."));

    // Another pharmacy's folder cannot be reached by name or by directory.
    int data = c.OpenPassive();
    ASSERT_GE(data, 0);
    c.Send("STOR ../pharm7/xml1.rar\r\n");
    EXPECT_EQ(c.ReadReply().Code, 150);
    SendAll(data, "mine");
    CloseFd(data);
    EXPECT_EQ(c.ReadReply().Code, 226);
    EXPECT_EQ(CurlPut("pharm3", "Secret3", "%2E%2E/pharm7/xml2.rar", "mine too"), 0) << lastOutput_;
    EXPECT_TRUE(FilesOf(7).empty());
    EXPECT_EQ(FilesOf(3), (std::vector<std::string>{"..pharm7xml1.rar", "xml2.rar"}));
    EXPECT_TRUE(FilesOf(0).empty());
    EXPECT_TRUE(fs::is_directory(rar.Path()));
    // Nothing appeared beside the pharmacy folders.
    std::vector<std::string> top;
    for (auto& e : fs::directory_iterator(rar.Path())) top.push_back(e.path().filename());
    std::sort(top.begin(), top.end());
    EXPECT_EQ(top, (std::vector<std::string>{"pharm0", "pharm3", "pharm7"}));

    // Sizes are given only for the own folder.
    TempDir::Read(PharmFile(3, "xml2.rar"));
    std::ofstream(PharmFile(7, "xml9.rar")) << "seven's";
    EXPECT_EQ(c.Command("SIZE xml2.rar").Text, "213 8");
    EXPECT_EQ(c.Command("SIZE xml9.rar").Code, 550);
    EXPECT_EQ(c.Command("SIZE ../pharm7/xml9.rar").Code, 550);
}

TEST_F(ReplDataFtpTest, DeletedFolderIsCreatedAgainByTheNextStore) {
    fs::remove_all(Folder(3));
    EXPECT_EQ(CurlPut("pharm3", "Secret3", "xml4.rar", "four"), 0) << lastOutput_;
    EXPECT_EQ(TempDir::Read(PharmFile(3, "xml4.rar")), "four");
}

TEST_F(ReplDataFtpTest, ActiveModeStores) {
    EXPECT_EQ(CurlPut("pharm3", "Secret3", "xml5.rar", "active", "-P 127.0.0.1"), 0) << lastOutput_;
    EXPECT_EQ(CurlPut("pharm3", "Secret3", "xml6.rar", "port", "-P 127.0.0.1 --disable-eprt"), 0) << lastOutput_;
    EXPECT_EQ(TempDir::Read(PharmFile(3, "xml5.rar")), "active");
    EXPECT_EQ(TempDir::Read(PharmFile(3, "xml6.rar")), "port");
}

TEST_F(ReplDataFtpTest, AFileBeingWrittenIsNotWrittenByAnotherUploadAndMarksTheFolderBusy) {
    TFtpTestClient a, b;
    a.Connect(port_);
    b.Connect(port_);
    ASSERT_EQ(a.Login("pharm3", "Secret3").Code, 230);
    ASSERT_EQ(b.Login("pharm3", "Secret3").Code, 230);
    EXPECT_FALSE(TEnv::Default().Uploads().IsFolderBusy(Folder(3)));
    int data = a.OpenPassive();
    ASSERT_GE(data, 0);
    a.Send("STOR xml10.rar\r\n");
    EXPECT_EQ(a.ReadReply().Code, 150);
    SendAll(data, "part one");
    EXPECT_TRUE(TEnv::Default().Uploads().IsFolderBusy(Folder(3)));
    EXPECT_FALSE(TEnv::Default().Uploads().IsFolderBusy(Folder(7)));

    EXPECT_EQ(b.Command("EPSV").Code, 229);
    EXPECT_EQ(b.Command("STOR XML10.RAR").Code, 550);
    EXPECT_EQ(b.Command("EPSV").Code, 229);
    EXPECT_EQ(b.Command("APPE xml10.rar").Code, 550);

    CloseFd(data);
    EXPECT_EQ(a.ReadReply().Code, 226);
    EXPECT_FALSE(TEnv::Default().Uploads().IsFolderBusy(Folder(3)));
    EXPECT_EQ(TempDir::Read(PharmFile(3, "xml10.rar")), "part one");
}

TEST_F(ReplDataFtpTest, StopEndsTheSessions) {
    TFtpTestClient c;
    c.Connect(port_);
    ASSERT_EQ(c.Login("pharm3", "Secret3").Code, 230);
    bool stopped = false;
    srv->ServiceStop(stopped);
    EXPECT_TRUE(c.ServerClosed());
    EXPECT_FALSE(srv->IdFTPServer().Active());
}

}  // namespace
