// The packet archive extractor, run as the real program beside the server.
#include <gtest/gtest.h>

#include <filesystem>

#include "core/app_paths.h"
#include "core/process.h"
#include "support/rar4_writer.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

class RarExtractor : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(extractor)) << extractor;
        fs::create_directory(out);
    }
    // The extractor's exit code for the arguments.
    int Run(const std::string& args) { return ExecAndWait("\"" + extractor + "\" " + args, false, ""); }
    // Extracts the archive of the test folder into the output folder.
    int Extract(const std::string& archive) { return Run("e -o+ \"" + dir.File(archive) + "\" \"" + out + "/\""); }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(out)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    const std::string extractor = (fs::path(ProgramPath()).parent_path().parent_path() / "bin" / "rar").string();
    TempDir dir;
    const std::string out = dir.Path() + "/out dir";
};

// Files arrive without their stored paths; neither links nor entries without
// a name (a 32-byte file header) are made, and the entries after them still
// arrive; a file in the way is overwritten, a link in the way replaced
// without being followed.
TEST_F(RarExtractor, ExtractsFilesAndNothingElse) {
    std::string outside = dir.Write("outside.txt", "keep me");
    dir.Write("out dir/A[1].xml", "old content that is longer");
    fs::create_symlink(outside, out + "/B[1].xml");
    WriteRar4Archive(dir.File("xml 5.rar"), {TRar4Entry::File("REPL_ITEMS[1].xml", "items"),
                                             TRar4Entry::Folder("sub"),
                                             TRar4Entry::File("sub\\deep\\ARTICLE[2].xml", std::string("a\0b", 3)),
                                             TRar4Entry::File("../../escape.xml", "up"),
                                             TRar4Entry::Symlink("X[1].xml", "/etc/passwd"),
                                             TRar4Entry::Symlink("up", ".."),
                                             TRar4Entry::File("", "lost"),
                                             TRar4Entry::File("A[1].xml", "new"),
                                             TRar4Entry::File("B[1].xml", "bee")});
    ASSERT_EQ(Extract("xml 5.rar"), 0);
    std::string got;
    for (const std::string& name : Names()) {
        EXPECT_FALSE(fs::is_symlink(out + "/" + name)) << name;
        got += name + "=" + TempDir::Read(out + "/" + name) + ";";
    }
    EXPECT_EQ(got, "ARTICLE[2].xml=" + std::string("a\0b", 3) +
                       ";A[1].xml=new;B[1].xml=bee;REPL_ITEMS[1].xml=items;escape.xml=up;");
    EXPECT_FALSE(fs::exists(dir.Path() + "/escape.xml"));
    EXPECT_EQ(TempDir::Read(outside), "keep me");
}

// Failures end with a code other than 0 (2 for a broken archive, 10 when
// there is nothing to extract) and leave no file behind, not even a partial one.
TEST_F(RarExtractor, FailuresExitNonZeroAndLeaveNoPartialFile) {
    const std::string good = MakeRar4Archive({TRar4Entry::File("A[1].xml", std::string(5000, 'x'))});
    std::string damaged = good;
    damaged[good.size() - 100] ^= 0x55;  // the checksum does not match
    const std::string first = MakeRar4Archive({TRar4Entry::File("A[1].xml", "a")});
    const std::string two = MakeRar4Archive({TRar4Entry::File("A[1].xml", "a"), TRar4Entry::File("B[1].xml", "b")});
    const struct {
        const char* what;
        std::string bytes;
        int rc;  // -1: any but 0
    } cases[] = {
        {"damaged data", damaged, -1},
        {"cut short during upload", good.substr(0, good.size() / 2), -1},
        // The first entry whole, the end block (7 bytes) missing.
        {"cut short between two entries", two.substr(0, first.size() - 7), 2},
        {"no archive", "this is not an archive", -1},
        {"empty", "", -1},
        {"folders only", MakeRar4Archive({TRar4Entry::Folder("only")}), 10},
        {"an entry without a name only", MakeRar4Archive({TRar4Entry::File("", "lost")}), 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        dir.Write("bad.rar", c.bytes);
        int rc = Extract("bad.rar");
        if (c.rc < 0) {
            EXPECT_NE(rc, 0);
        } else {
            EXPECT_EQ(rc, c.rc);
        }
        EXPECT_TRUE(Names().empty());
    }
    EXPECT_NE(Extract("missing.rar"), 0);
}

TEST_F(RarExtractor, RefusesCommandLinesItDoesNotUnderstand) {
    WriteRar4Archive(dir.File("a.rar"), {TRar4Entry::File("A[1].xml", "a")});
    EXPECT_EQ(Run("x \"" + dir.File("a.rar") + "\" \"" + out + "/\""), 7);
    EXPECT_EQ(Run("e -p-secret \"" + dir.File("a.rar") + "\" \"" + out + "/\""), 7);
    EXPECT_EQ(Run("e"), 7);
    EXPECT_TRUE(Names().empty());
}

}  // namespace
