#include "core/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "core/exceptions.h"
#include "support/temp_dir.h"

namespace {

using V = std::vector<std::string>;

TEST(Mask, WindowsRules) {
    EXPECT_TRUE(MatchesMask("anything", "*.*"));
    EXPECT_TRUE(MatchesMask(".hidden", "*.*"));
    EXPECT_TRUE(MatchesMask("XML12.RAR", "*.rar"));
    EXPECT_FALSE(MatchesMask("xml12.rar.inst", "*.rar"));
    EXPECT_TRUE(MatchesMask("REPL_ITEMS[3].xml", "REPL_ITEMS[*].xml"));
    EXPECT_TRUE(MatchesMask("repl_items[12].XML", "REPL_ITEMS[*].xml"));
    EXPECT_FALSE(MatchesMask("REPL_ITEMS3.xml", "REPL_ITEMS[*].xml"));
    EXPECT_FALSE(MatchesMask("REPL_TABLES[1].xml", "REPL_ITEMS[*].xml"));
    EXPECT_TRUE(MatchesMask("a1c", "a?c"));
    EXPECT_FALSE(MatchesMask("ac", "a?c"));
    EXPECT_TRUE(MatchesMask("xml5", "xml*.*"));
    EXPECT_TRUE(MatchesMask("\xC0\xEF\xF2\xE5\xEA\xE0.txt", "\xE0\xCF\xD2*.TXT"));  // Cyrillic letters ignore case
    EXPECT_FALSE(MatchesMask("abc", ""));
}

class FilesTest : public ::testing::Test {
protected:
    TempDir dir_;
    std::string P(const std::string& name) const { return dir_.File(name); }
};

TEST_F(FilesTest, DeleteDirTree) {
    EXPECT_FALSE(DeleteDirTree(P("missing")));

    dir_.Write("tree/a.txt", "a");
    dir_.Write("tree/sub/b.txt", "b");
    dir_.Write("tree/sub/deeper/c.txt", "c");
    chmod(P("tree/sub/b.txt").c_str(), 0444);
    chmod(P("tree/a.txt").c_str(), 0400);
    // A link to a folder outside the tree is removed, its target is not touched.
    dir_.Write("outside/keep.txt", "k");
    ASSERT_EQ(symlink(P("outside").c_str(), P("tree/sub/link").c_str()), 0);
    EXPECT_TRUE(DeleteDirTree(P("tree/")));
    EXPECT_FALSE(DirectoryExists(P("tree")));
    EXPECT_TRUE(FileExists(P("outside/keep.txt")));

    ForceDirectories(P("empty"));
    EXPECT_TRUE(DeleteDirTree(P("empty")));

    // A link given as the tree itself goes; the folder it points at stays whole.
    ASSERT_EQ(symlink(P("outside").c_str(), P("top-link").c_str()), 0);
    EXPECT_TRUE(DeleteDirTree(P("top-link")));
    EXPECT_TRUE(FileExists(P("outside/keep.txt")));
    struct stat st;
    EXPECT_NE(lstat(P("top-link").c_str(), &st), 0);
}

TEST_F(FilesTest, ForceDeleteFileAndDeleteFilesByMask) {
    dir_.Write("ro.txt", "x");
    chmod(P("ro.txt").c_str(), 0444);
    EXPECT_TRUE(ForceDeleteFile(P("ro.txt")));
    EXPECT_FALSE(FileExists(P("ro.txt")));
    EXPECT_FALSE(ForceDeleteFile(P("ro.txt")));
    ForceDirectories(P("folder"));
    EXPECT_FALSE(ForceDeleteFile(P("folder")));
    EXPECT_TRUE(DeleteFilesByMask(P("missing"), "*.*"));
    dir_.Write("x/a.xml", "1");
    dir_.Write("x/B.XML", "2");
    dir_.Write("x/c.txt", "3");
    dir_.Write("x/sub.xml/inner", "4");
    EXPECT_TRUE(DeleteFilesByMask(P("x"), "*.nothing"));
    EXPECT_TRUE(DeleteFilesByMask(P("x"), "*.xml"));
    EXPECT_FALSE(FileExists(P("x/a.xml")));
    EXPECT_FALSE(FileExists(P("x/B.XML")));
    EXPECT_TRUE(FileExists(P("x/c.txt")));
    EXPECT_TRUE(DirectoryExists(P("x/sub.xml")));  // folders are not files
    EXPECT_TRUE(DeleteFilesByMask(P("x/"), "*.*"));
    EXPECT_FALSE(FileExists(P("x/c.txt")));
    EXPECT_TRUE(FileExists(P("x/sub.xml/inner")));
}

TEST_F(FilesTest, FindEntriesFileSizeByNameAndForceDirectories) {
    dir_.Write("s.bin", std::string(1234, 'x'));
    dir_.Write("e.bin", "");
    EXPECT_EQ(FileSizeByName(P("s.bin")), 1234);
    EXPECT_EQ(FileSizeByName(P("e.bin")), 0);
    EXPECT_THROW(FileSizeByName(P("missing")), EInOutError);
    ForceDirectories(P("d"));
    EXPECT_THROW(FileSizeByName(P("d")), EInOutError);
    EXPECT_TRUE(ForceDirectories(P("a/b/c/")));
    EXPECT_TRUE(DirectoryExists(P("a/b/c")));
    EXPECT_THROW(ForceDirectories(""), EInOutError);
    dir_.Write("file", "x");
    EXPECT_FALSE(ForceDirectories(P("file/sub")));
    dir_.Write("f/b.rar", "");
    dir_.Write("f/A.rar", "");
    dir_.Write("f/c.rar/x", "");
    auto found = FindEntries(P("f/*.rar"));
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].Name, "A.rar");
    EXPECT_EQ(found[1].Name, "b.rar");
    EXPECT_FALSE(found[1].IsDirectory);
    EXPECT_TRUE(found[2].IsDirectory);
    EXPECT_TRUE(FindEntries(P("nothing/*.*")).empty());
}

TEST(FileListsTest, DirectoryEntriesFileListsAndTrailingSeparators) {
    TempDir dir;
    dir.Write("pharm3/xml1.rar", "");
    dir.Write("pharm3/XML2.RAR", "");
    dir.Write("pharm3/xml1.rar.inst", "");
    dir.Write("pharm3/sub.rar/x", "");
    std::string folder = dir.Path() + "/pharm3/";
    EXPECT_EQ(GetDirectoryEntries(folder, "*.rar", false, true), (V{"xml1.rar", "XML2.RAR"}));
    EXPECT_EQ(GetDirectoryEntries(folder, "*.rar", true, false), V{"sub.rar"});
    EXPECT_EQ(GetDirectoryEntries(folder, "*.*", true, true).size(), 4u);
    EXPECT_TRUE(GetDirectoryEntries(dir.Path() + "/missing/", "*.rar", true, true).empty());
    // Folder and mask are joined as they are.
    EXPECT_EQ(GetDirectoryEntries(dir.Path() + "/pharm3/xml", "1*", false, true),
              (V{"xml1.rar", "xml1.rar.inst"}));
    EXPECT_EQ(GetFileList(dir.Path() + "/pharm3", "*.RAR"), (V{"xml1.rar", "XML2.RAR"}));
    EXPECT_EQ(AddTrailingBackslash(""), "");
    EXPECT_EQ(AddTrailingBackslash("/data"), "/data/");
    EXPECT_EQ(AddTrailingBackslash("/data/"), "/data/");
}

}  // namespace
