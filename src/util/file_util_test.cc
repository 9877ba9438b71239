#include "util/file_util.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "test_util.h"

namespace zv {
namespace {

using testing::FileExists;
using testing::ScopedTempDir;
using testing::WriteFileBytes;

bool IsFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> Sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

TEST(CreateDirectoryTreeTest, CreatesEveryMissingParent) {
  ScopedTempDir dir;
  std::string deep = dir.Sub("a/b/c/d");
  ASSERT_TRUE(CreateDirectoryTree(deep));
  EXPECT_TRUE(IsFolder(deep));
}

TEST(CreateDirectoryTreeTest, ExistingFolderCountsAsCreated) {
  ScopedTempDir dir;
  ASSERT_TRUE(CreateDirectoryTree(dir.Sub("x")));
  EXPECT_TRUE(CreateDirectoryTree(dir.Sub("x")));
  EXPECT_TRUE(CreateDirectoryTree(dir.Sub("x/")));
}

TEST(CreateDirectoryTreeTest, FileInTheWayIsAFailure) {
  ScopedTempDir dir;
  WriteFileBytes(dir.Sub("plain"), "data");
  errno = 0;
  EXPECT_FALSE(CreateDirectoryTree(dir.Sub("plain")));
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_FALSE(CreateDirectoryTree(dir.Sub("plain/below")));
  EXPECT_NE(errno, 0);
}

TEST(DeletePathTest, MissingPathCountsAsDeleted) {
  ScopedTempDir dir;
  EXPECT_TRUE(DeletePath(dir.Sub("nothing-here")));
  EXPECT_TRUE(DeletePath(dir.Sub("no-folder/abc-????????.*")));
}

TEST(DeletePathTest, DeletesFileAndWholeTree) {
  ScopedTempDir dir;
  WriteFileBytes(dir.Sub("f.txt"), "1");
  WriteFileBytes(dir.Sub("tree/a/b/c.txt"), "2");
  WriteFileBytes(dir.Sub("tree/d.txt"), "3");
  EXPECT_TRUE(DeletePath(dir.Sub("f.txt")));
  EXPECT_FALSE(FileExists(dir.Sub("f.txt")));
  EXPECT_TRUE(DeletePath(dir.Sub("tree")));
  EXPECT_FALSE(FileExists(dir.Sub("tree")));
}

TEST(DeletePathTest, WildcardMatchesWithoutRegardToCase) {
  ScopedTempDir dir;
  WriteFileBytes(dir.Sub("abc-0000ab12.dat"), "1");
  WriteFileBytes(dir.Sub("ABC-0000ab12.dat"), "2");
  WriteFileBytes(dir.Sub("abc-12.dat"), "3");
  WriteFileBytes(dir.Sub("abd-0000ab12.dat"), "4");
  WriteFileBytes(dir.Sub("abc-0000ab12x.dat"), "5");
  ASSERT_TRUE(DeletePath(dir.Sub("abc-????????.*")));
  EXPECT_FALSE(FileExists(dir.Sub("abc-0000ab12.dat")));
  EXPECT_FALSE(FileExists(dir.Sub("ABC-0000ab12.dat")));
  EXPECT_TRUE(FileExists(dir.Sub("abc-12.dat")));
  EXPECT_TRUE(FileExists(dir.Sub("abd-0000ab12.dat")));
  EXPECT_TRUE(FileExists(dir.Sub("abc-0000ab12x.dat")));
}

TEST(DeletePathTest, WildcardDeletesMatchingFolders) {
  ScopedTempDir dir;
  WriteFileBytes(dir.Sub("20240101/x/y.txt"), "1");
  WriteFileBytes(dir.Sub("20240102/z.txt"), "1");
  WriteFileBytes(dir.Sub("keep/z.txt"), "1");
  ASSERT_TRUE(DeletePath(dir.Sub("2024010?")));
  EXPECT_FALSE(FileExists(dir.Sub("20240101")));
  EXPECT_FALSE(FileExists(dir.Sub("20240102")));
  EXPECT_TRUE(FileExists(dir.Sub("keep/z.txt")));
}

TEST(DeletePathTest, DoesNotFollowLinksOutOfTheTree) {
  ScopedTempDir outside;
  WriteFileBytes(outside.Sub("precious.txt"), "keep me");
  ScopedTempDir dir;
  WriteFileBytes(dir.Sub("tree/file.txt"), "1");
  ASSERT_EQ(symlink(outside.path().c_str(), dir.Sub("tree/link").c_str()), 0);
  ASSERT_TRUE(DeletePath(dir.Sub("tree")));
  EXPECT_FALSE(FileExists(dir.Sub("tree")));
  EXPECT_TRUE(FileExists(outside.Sub("precious.txt")));
}

TEST(DeletePathTest, RefusesEmptyAndRootPaths) {
  errno = 0;
  EXPECT_FALSE(DeletePath(""));
  EXPECT_EQ(errno, EINVAL);
  EXPECT_FALSE(DeletePath("/"));
  EXPECT_FALSE(DeletePath("//\\"));
}

TEST(DeletePathTest, FailureLeavesErrno) {
  // Nobody, root included, may unlink a file of /proc.
  errno = 0;
  EXPECT_FALSE(DeletePath("/proc/self/status"));
  EXPECT_NE(errno, 0);
}

TEST(TrimPathSeparatorsTest, Cases) {
  EXPECT_EQ(TrimPathSeparators("a/b\\/\\//"), "a/b");
  EXPECT_EQ(TrimPathSeparators("a/b"), "a/b");
  EXPECT_EQ(TrimPathSeparators("a\\b\\"), "a\\b");
  EXPECT_EQ(TrimPathSeparators("/\\/"), "");
  EXPECT_EQ(TrimPathSeparators(""), "");
  EXPECT_EQ(TrimPathSeparators("/x/../y/"), "/x/../y");
}

TEST(ListFolderTest, FoldersAndFilesApart) {
  ScopedTempDir dir;
  WriteFileBytes(dir.Sub("20240101/a.txt"), "1");
  WriteFileBytes(dir.Sub("20240102/b.txt"), "1");
  WriteFileBytes(dir.Sub("notes.txt"), "1");
  WriteFileBytes(dir.Sub("20240103"), "a file with a date name");
  std::vector<std::string> out = {"stale"};
  EXPECT_EQ(ListSubdirectories(dir.path() + "//", "*", &out, false), 2u);
  EXPECT_EQ(Sorted(out), (std::vector<std::string>{"20240101", "20240102"}));
  EXPECT_EQ(ListSubdirectories(dir.path(), "*", &out, true), 2u);
  EXPECT_EQ(Sorted(out),
            (std::vector<std::string>{dir.Sub("20240101"), dir.Sub("20240102")}));
  EXPECT_EQ(ListFiles(dir.path(), "*", &out, false), 2u);
  EXPECT_EQ(Sorted(out), (std::vector<std::string>{"20240103", "notes.txt"}));
  EXPECT_EQ(ListFiles(dir.path(), "????????", &out, true), 1u);
  EXPECT_EQ(out, (std::vector<std::string>{dir.Sub("20240103")}));
}

TEST(ListFolderTest, PatternIgnoresCase) {
  ScopedTempDir dir;
  WriteFileBytes(dir.Sub("user-0000ABCD.DAT"), "1");
  WriteFileBytes(dir.Sub("user-1.dat"), "1");
  std::vector<std::string> out;
  EXPECT_EQ(ListFiles(dir.path(), "*-????????.dat", &out, false), 1u);
  EXPECT_EQ(out, (std::vector<std::string>{"user-0000ABCD.DAT"}));
}

TEST(ListFolderTest, MissingFolderGivesNothing) {
  ScopedTempDir dir;
  std::vector<std::string> out = {"stale"};
  EXPECT_EQ(ListFiles(dir.Sub("missing"), "*", &out, true), 0u);
  EXPECT_TRUE(out.empty());
  out = {"stale"};
  EXPECT_EQ(ListSubdirectories(dir.Sub("missing"), "*", &out, true), 0u);
  EXPECT_TRUE(out.empty());
}

TEST(GetDirectorySizeTest, AddsFilesRecursively) {
  ScopedTempDir dir;
  WriteFileBytes(dir.Sub("a.bin"), std::string(100, 'a'));
  WriteFileBytes(dir.Sub("sub/b.bin"), std::string(2000, 'b'));
  WriteFileBytes(dir.Sub("sub/deeper/c.bin"), std::string(30000, 'c'));
  WriteFileBytes(dir.Sub("sub/empty.bin"), "");
  ASSERT_TRUE(CreateDirectoryTree(dir.Sub("emptyfolder")));
  EXPECT_EQ(GetDirectorySize(dir.path()), 32100u);
  EXPECT_EQ(GetDirectorySize(dir.Sub("sub")), 32000u);
  EXPECT_EQ(GetDirectorySize(dir.Sub("emptyfolder")), 0u);
  EXPECT_EQ(GetDirectorySize(dir.Sub("missing")), 0u);
}

TEST(GetDirectorySizeTest, LinkCycleDoesNotLoop) {
  ScopedTempDir dir;
  WriteFileBytes(dir.Sub("sub/b.bin"), std::string(10, 'b'));
  ASSERT_EQ(symlink(dir.path().c_str(), dir.Sub("sub/up").c_str()), 0);
  EXPECT_EQ(GetDirectorySize(dir.path()), 10u);
}

TEST(IsDateStringTest, Cases) {
  EXPECT_TRUE(IsDateString("20240229"));
  EXPECT_TRUE(IsDateString("99999999"));
  EXPECT_FALSE(IsDateString("2024022"));
  EXPECT_FALSE(IsDateString("202402290"));
  EXPECT_FALSE(IsDateString("2024a229"));
  EXPECT_FALSE(IsDateString(""));
  EXPECT_FALSE(IsDateString("2024 229"));
  EXPECT_FALSE(IsDateString(std::string_view("2024\0229", 8)));
}

TEST(WildcardMatchTest, Cases) {
  EXPECT_TRUE(WildcardMatch("*", ""));
  EXPECT_TRUE(WildcardMatch("*", "anything"));
  EXPECT_TRUE(WildcardMatch("????????ZV.log", "20240101zv.LOG"));
  EXPECT_FALSE(WildcardMatch("????????ZV.log", "2024010ZV.log"));
  EXPECT_TRUE(WildcardMatch("*_????????_??????.dmp", "Zentrovane_20240101_235959.dmp"));
  EXPECT_FALSE(WildcardMatch("*_????????_??????.dmp", "Zentrovane_20240101_23595.dmp"));
  EXPECT_TRUE(WildcardMatch("a*b*c", "aXXbYYc"));
  EXPECT_FALSE(WildcardMatch("a*b*c", "aXXbYY"));
  EXPECT_FALSE(WildcardMatch("abc", "abcd"));
  EXPECT_FALSE(WildcardMatch("?", ""));
  // A long hopeless name against many stars finishes (no exponential walk).
  EXPECT_FALSE(WildcardMatch("*a*a*a*a*a*a*a*a*b", std::string(5000, 'a')));
}

}  // namespace
}  // namespace zv
