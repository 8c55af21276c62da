// The packet archive extractor, run as the real program beside the server.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "core/app_paths.h"
#include "support/rar4_writer.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

std::string Extractor() {
    return (fs::path(ProgramPath()).parent_path().parent_path() / "bin" / "rar").string();
}

int RunProgram(const std::vector<std::string>& args) {
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int Extract(const std::string& archive, const std::string& folder) {
    return RunProgram({Extractor(), "e", "-o+", archive, folder + "/"});
}

std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class RarExtractor : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(Extractor())) << Extractor();
        out = dir.Path() + "/out dir";
        fs::create_directory(out);
    }
    TempDir dir;
    std::string out;
};

TEST_F(RarExtractor, ExtractsFilesWithoutTheirStoredPaths) {
    std::string archive = dir.File("xml 5.rar");
    WriteRar4Archive(archive, {TRar4Entry::File("REPL_ITEMS[1].xml", "items"),
                               TRar4Entry::Folder("sub"),
                               TRar4Entry::File("sub\\deep\\ARTICLE[2].xml", std::string("a\0b", 3)),
                               TRar4Entry::File("../../escape.xml", "up")});
    ASSERT_EQ(Extract(archive, out), 0);
    EXPECT_EQ(Names(out), (std::vector<std::string>{"ARTICLE[2].xml", "REPL_ITEMS[1].xml", "escape.xml"}));
    EXPECT_EQ(TempDir::Read(out + "/ARTICLE[2].xml"), std::string("a\0b", 3));
    EXPECT_EQ(TempDir::Read(out + "/REPL_ITEMS[1].xml"), "items");
    EXPECT_FALSE(fs::exists(dir.Path() + "/escape.xml"));
}

TEST_F(RarExtractor, OverwritesAndReplacesLinksWithoutFollowingThem) {
    std::string outside = dir.Write("outside.txt", "keep me");
    dir.Write("out dir/A[1].xml", "old content that is longer");
    fs::create_symlink(outside, out + "/B[1].xml");
    std::string archive = dir.File("xml1.rar");
    WriteRar4Archive(archive, {TRar4Entry::File("A[1].xml", "new"), TRar4Entry::File("B[1].xml", "bee")});
    ASSERT_EQ(Extract(archive, out), 0);
    EXPECT_EQ(TempDir::Read(out + "/A[1].xml"), "new");
    EXPECT_FALSE(fs::is_symlink(out + "/B[1].xml"));
    EXPECT_EQ(TempDir::Read(out + "/B[1].xml"), "bee");
    EXPECT_EQ(TempDir::Read(outside), "keep me");
}

TEST_F(RarExtractor, CreatesNoLinks) {
    std::string archive = dir.File("xml2.rar");
    WriteRar4Archive(archive, {TRar4Entry::Symlink("X[1].xml", "/etc/passwd"),
                               TRar4Entry::Symlink("up", ".."),
                               TRar4Entry::File("Y[1].xml", "y")});
    ASSERT_EQ(Extract(archive, out), 0);
    EXPECT_EQ(Names(out), (std::vector<std::string>{"Y[1].xml"}));
}

TEST_F(RarExtractor, SkipsAnEntryWithoutAName) {
    // A file entry whose stored name is empty (a 32-byte file header) is no
    // file to write: the entries after it still arrive.
    WriteRar4Archive(dir.File("noname.rar"), {TRar4Entry::File("", "lost"), TRar4Entry::File("Z[1].xml", "z")});
    ASSERT_EQ(Extract(dir.File("noname.rar"), out), 0);
    EXPECT_EQ(Names(out), (std::vector<std::string>{"Z[1].xml"}));
    EXPECT_EQ(TempDir::Read(out + "/Z[1].xml"), "z");
    WriteRar4Archive(dir.File("only.rar"), {TRar4Entry::File("", "lost")});
    fs::remove(out + "/Z[1].xml");
    EXPECT_EQ(Extract(dir.File("only.rar"), out), 10);
    EXPECT_TRUE(Names(out).empty());
}

TEST_F(RarExtractor, FailuresExitNonZeroAndLeaveNoPartialFile) {
    std::string good = MakeRar4Archive({TRar4Entry::File("A[1].xml", std::string(5000, 'x'))});

    // Damaged data: the checksum does not match.
    std::string damaged = good;
    damaged[good.size() - 100] ^= 0x55;
    dir.Write("damaged.rar", damaged);
    EXPECT_NE(Extract(dir.File("damaged.rar"), out), 0);
    EXPECT_TRUE(Names(out).empty());

    // Cut short during upload.
    dir.Write("short.rar", good.substr(0, good.size() / 2));
    EXPECT_NE(Extract(dir.File("short.rar"), out), 0);
    EXPECT_TRUE(Names(out).empty());

    // Cut short at the boundary of two entries: the first is whole, the end
    // block is missing.
    std::string first = MakeRar4Archive({TRar4Entry::File("A[1].xml", "a")});
    std::string two = MakeRar4Archive({TRar4Entry::File("A[1].xml", "a"), TRar4Entry::File("B[1].xml", "b")});
    dir.Write("cut.rar", two.substr(0, first.size() - 7));  // 7: the end block
    EXPECT_EQ(Extract(dir.File("cut.rar"), out), 2);
    EXPECT_TRUE(Names(out).empty());

    dir.Write("text.rar", "this is not an archive");
    EXPECT_NE(Extract(dir.File("text.rar"), out), 0);
    dir.Write("empty.rar", "");
    EXPECT_NE(Extract(dir.File("empty.rar"), out), 0);
    EXPECT_NE(Extract(dir.File("missing.rar"), out), 0);

    // Nothing to extract.
    WriteRar4Archive(dir.File("folders.rar"), {TRar4Entry::Folder("only")});
    EXPECT_EQ(Extract(dir.File("folders.rar"), out), 10);
    EXPECT_TRUE(Names(out).empty());
}

TEST_F(RarExtractor, RefusesCommandLinesItDoesNotUnderstand) {
    WriteRar4Archive(dir.File("a.rar"), {TRar4Entry::File("A[1].xml", "a")});
    EXPECT_EQ(RunProgram({Extractor(), "x", dir.File("a.rar"), out + "/"}), 7);
    EXPECT_EQ(RunProgram({Extractor(), "e", "-p-secret", dir.File("a.rar"), out + "/"}), 7);
    EXPECT_EQ(RunProgram({Extractor(), "e"}), 7);
    EXPECT_TRUE(Names(out).empty());
}

}  // namespace
