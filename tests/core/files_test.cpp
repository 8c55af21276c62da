#include "core/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/exceptions.h"
#include "support/temp_dir.h"

namespace {

using V = std::vector<std::string>;

TEST(Mask, WindowsRules) {
    // Name, mask, whether it matches; Cyrillic letters ignore case too.
    const struct { const char* name; const char* mask; bool want; } cases[] = {
        {"anything", "*.*", true},        {".hidden", "*.*", true},        {"XML12.RAR", "*.rar", true},
        {"xml12.rar.inst", "*.rar", false}, {"REPL_ITEMS[3].xml", "REPL_ITEMS[*].xml", true},
        {"repl_items[12].XML", "REPL_ITEMS[*].xml", true}, {"REPL_ITEMS3.xml", "REPL_ITEMS[*].xml", false},
        {"REPL_TABLES[1].xml", "REPL_ITEMS[*].xml", false}, {"a1c", "a?c", true}, {"ac", "a?c", false},
        {"xml5", "xml*.*", true}, {"\xC0\xEF\xF2\xE5\xEA\xE0.txt", "\xE0\xCF\xD2*.TXT", true}, {"abc", "", false},
    };
    for (const auto& c : cases) EXPECT_EQ(MatchesMask(c.name, c.mask), c.want) << c.name << " " << c.mask;
}

class FilesTest : public ::testing::Test {
protected:
    TempDir dir_;
    std::string P(const std::string& name) const { return dir_.File(name); }
    // Which of the paths are still there, as "1" and "0" (links not followed).
    std::string Present(std::initializer_list<const char*> names) const {
        std::string out;
        struct stat st;
        for (const char* n : names) out += lstat(P(n).c_str(), &st) == 0 ? '1' : '0';
        return out;
    }
};

TEST_F(FilesTest, DeleteDirTreeRemovesLinksNotTheirTargets) {
    EXPECT_FALSE(DeleteDirTree(P("missing")));
    dir_.Write("tree/a.txt", "a");
    dir_.Write("tree/sub/b.txt", "b");
    dir_.Write("tree/sub/deeper/c.txt", "c");
    chmod(P("tree/sub/b.txt").c_str(), 0444);
    chmod(P("tree/a.txt").c_str(), 0400);
    dir_.Write("outside/keep.txt", "k");
    ASSERT_EQ(symlink(P("outside").c_str(), P("tree/sub/link").c_str()), 0);
    ASSERT_EQ(symlink(P("outside").c_str(), P("top-link").c_str()), 0);
    ForceDirectories(P("empty"));
    EXPECT_TRUE(DeleteDirTree(P("tree/")));
    EXPECT_TRUE(DeleteDirTree(P("empty")));
    EXPECT_TRUE(DeleteDirTree(P("top-link")));  // a link given as the tree itself goes
    EXPECT_EQ(Present({"tree", "empty", "top-link", "outside/keep.txt"}), "0001");
}

TEST_F(FilesTest, ForceDeleteFileFoldersEntriesAndFileLists) {
    dir_.Write("ro.txt", "x");
    chmod(P("ro.txt").c_str(), 0444);
    EXPECT_TRUE(ForceDeleteFile(P("ro.txt")));
    EXPECT_FALSE(ForceDeleteFile(P("ro.txt")));
    ForceDirectories(P("folder"));
    EXPECT_FALSE(ForceDeleteFile(P("folder")));
    EXPECT_EQ(Present({"ro.txt", "folder"}), "01");
    // Deleting by mask leaves folders; a missing folder is nothing to do.
    EXPECT_TRUE(DeleteFilesByMask(P("missing"), "*.*"));
    for (const char* f : {"x/a.xml", "x/B.XML", "x/c.txt", "x/sub.xml/inner"}) dir_.Write(f, "1");
    EXPECT_TRUE(DeleteFilesByMask(P("x"), "*.nothing") && DeleteFilesByMask(P("x"), "*.xml"));
    EXPECT_EQ(Present({"x/a.xml", "x/B.XML", "x/c.txt", "x/sub.xml/inner"}), "0011");
    EXPECT_TRUE(DeleteFilesByMask(P("x/"), "*.*"));
    EXPECT_EQ(Present({"x/c.txt", "x/sub.xml/inner"}), "01");
    dir_.Write("s.bin", std::string(1234, 'x'));
    dir_.Write("e.bin", "");
    EXPECT_EQ(FileSizeByName(P("s.bin")) * 10 + FileSizeByName(P("e.bin")), 12340);
    EXPECT_THROW(FileSizeByName(P("missing")), EInOutError);
    EXPECT_THROW(FileSizeByName(P("folder")), EInOutError);
    EXPECT_TRUE(ForceDirectories(P("a/b/c/")));
    EXPECT_TRUE(DirectoryExists(P("a/b/c")));
    EXPECT_THROW(ForceDirectories(""), EInOutError);
    dir_.Write("file", "x");
    EXPECT_FALSE(ForceDirectories(P("file/sub")));
    for (const char* f : {"f/b.rar", "f/A.rar", "f/c.rar/x"}) dir_.Write(f, "");
    std::string found;
    for (const auto& e : FindEntries(P("f/*.rar"))) found += e.Name + (e.IsDirectory ? "/ " : " ");
    EXPECT_EQ(found, "A.rar b.rar c.rar/ ");
    EXPECT_TRUE(FindEntries(P("nothing/*.*")).empty());

    for (const char* f : {"pharm3/xml1.rar", "pharm3/XML2.RAR", "pharm3/xml1.rar.inst", "pharm3/sub.rar/x"})
        dir_.Write(f, "");
    const std::string folder = P("pharm3/");
    EXPECT_EQ(GetDirectoryEntries(folder, "*.rar", false, true), (V{"xml1.rar", "XML2.RAR"}));
    EXPECT_EQ(GetDirectoryEntries(folder, "*.rar", true, false), V{"sub.rar"});
    EXPECT_EQ(GetDirectoryEntries(folder, "*.*", true, true).size(), 4u);
    EXPECT_TRUE(GetDirectoryEntries(P("missing/"), "*.rar", true, true).empty());
    // Folder and mask are joined as they are.
    EXPECT_EQ(GetDirectoryEntries(P("pharm3/xml"), "1*", false, true), (V{"xml1.rar", "xml1.rar.inst"}));
    EXPECT_EQ(GetFileList(P("pharm3"), "*.RAR"), (V{"xml1.rar", "XML2.RAR"}));
    EXPECT_EQ(AddTrailingBackslash(""), "");
    EXPECT_EQ(AddTrailingBackslash("/data"), "/data/");
    EXPECT_EQ(AddTrailingBackslash("/data/"), "/data/");
}

}  // namespace
