#include "platform/file_system.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.h"

namespace zv {
namespace {

using testing::FileExists;
using testing::ReadFileBytes;
using testing::ScopedTempDir;
using testing::WriteFileBytes;

size_t CountEntries(const std::string& folder) {
  size_t n = 0;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return 0;
  while (dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") ++n;
  }
  closedir(dir);
  return n;
}

// With every descriptor taken, an open that may not wait fails with
// EMFILE; one that may, gets the file once another thread closes one.
TEST(OpenWaitingForDescriptorTest, WaitsForAClosedDescriptorWithinItsBound) {
  ScopedTempDir dir;
  const std::string path = dir.Sub("file");
  WriteFileBytes(path, "x");
  const int code = testing::ExitCodeWithoutDescriptors([&path](std::vector<int>* held) {
    if (OpenWaitingForDescriptor(path, O_RDONLY, 0, std::chrono::milliseconds(0)) >= 0 ||
        errno != EMFILE) {
      return 1;
    }
    std::thread closer([held] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      close(held->back());
    });
    const int fd = OpenWaitingForDescriptor(path, O_RDONLY, 0, std::chrono::seconds(60));
    closer.join();
    char byte = 0;
    return fd >= 0 && read(fd, &byte, 1) == 1 && byte == 'x' ? 0 : 2;
  });
  EXPECT_EQ(code, 0) << "1: no EMFILE without a wait, 2: the wait did not get the file";
}

TEST(GetVolumeSpaceTest, TmpHasSpace) {
  VolumeSpace space;
  ASSERT_TRUE(GetVolumeSpace("/tmp", &space));
  EXPECT_GE(space.total_bytes, space.free_bytes);
  EXPECT_GE(space.free_bytes, space.available_bytes);
  EXPECT_GT(space.available_bytes, 0u);
}

TEST(GetVolumeSpaceTest, MissingPathUsesNearestAncestor) {
  ScopedTempDir dir;
  VolumeSpace missing;
  VolumeSpace existing;
  ASSERT_TRUE(GetVolumeSpace(dir.Sub("not/yet/there"), &missing));
  ASSERT_TRUE(GetVolumeSpace(dir.path(), &existing));
  EXPECT_EQ(missing.total_bytes, existing.total_bytes);
  EXPECT_GT(missing.total_bytes, 0u);
}

TEST(GetVolumeSpaceTest, PathThroughAFileFails) {
  ScopedTempDir dir;
  WriteFileBytes(dir.Sub("file"), "x");
  VolumeSpace space;
  errno = 0;
  EXPECT_FALSE(GetVolumeSpace(dir.Sub("file/below"), &space));
  EXPECT_EQ(errno, ENOTDIR);
}

TEST(WriteFileAtomicallyTest, ReplacesContentAndLeavesNoTemporary) {
  ScopedTempDir dir;
  std::string path = dir.Sub("record.dat");
  WriteFileBytes(path, "old content that is longer");
  ASSERT_TRUE(WriteFileAtomically(path, "new", 3));
  EXPECT_EQ(ReadFileBytes(path), "new");
  EXPECT_EQ(CountEntries(dir.path()), 1u);
  ASSERT_TRUE(WriteFileAtomically(path, "", 0));
  EXPECT_EQ(ReadFileBytes(path), "");
}

TEST(WriteFileAtomicallyTest, KeepsTheModeOfTheReplacedFile) {
  ScopedTempDir dir;
  std::string path = dir.Sub("mode.dat");
  WriteFileBytes(path, "x");
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  ASSERT_TRUE(WriteFileAtomically(path, "yy", 2));
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(WriteFileAtomicallyTest, MissingFolderFailsWithErrno) {
  ScopedTempDir dir;
  errno = 0;
  EXPECT_FALSE(WriteFileAtomically(dir.Sub("missing/x.dat"), "x", 1));
  EXPECT_EQ(errno, ENOENT);
}

TEST(WriteFileAtomicallyTest, FolderInTheWayFailsAndLeavesNoTemporary) {
  ScopedTempDir dir;
  ASSERT_EQ(mkdir(dir.Sub("target").c_str(), 0755), 0);
  WriteFileBytes(dir.Sub("target/inside"), "keep");
  errno = 0;
  EXPECT_FALSE(WriteFileAtomically(dir.Sub("target"), "x", 1));
  EXPECT_NE(errno, 0);
  EXPECT_EQ(CountEntries(dir.path()), 1u);
  EXPECT_EQ(ReadFileBytes(dir.Sub("target/inside")), "keep");
}

TEST(CopyFileAtomicallyTest, CopiesOverExistingFile) {
  ScopedTempDir dir;
  std::string big(300000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  WriteFileBytes(dir.Sub("src.dat"), big);
  WriteFileBytes(dir.Sub("dst.dat"), "previous");
  ASSERT_TRUE(CopyFileAtomically(dir.Sub("src.dat"), dir.Sub("dst.dat")));
  EXPECT_EQ(ReadFileBytes(dir.Sub("dst.dat")), big);
  EXPECT_EQ(ReadFileBytes(dir.Sub("src.dat")), big);
  EXPECT_EQ(CountEntries(dir.path()), 2u);
}

TEST(CopyFileAtomicallyTest, MissingSourceIsEnoentAndKeepsDestination) {
  ScopedTempDir dir;
  WriteFileBytes(dir.Sub("dst.dat"), "previous");
  errno = 0;
  EXPECT_FALSE(CopyFileAtomically(dir.Sub("none.dat"), dir.Sub("dst.dat")));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(ReadFileBytes(dir.Sub("dst.dat")), "previous");
}

TEST(CopyFileAtomicallyTest, FolderSourceIsRefused) {
  ScopedTempDir dir;
  errno = 0;
  EXPECT_FALSE(CopyFileAtomically(dir.path(), dir.Sub("dst.dat")));
  EXPECT_EQ(errno, EISDIR);
  EXPECT_FALSE(FileExists(dir.Sub("dst.dat")));
}

TEST(SyncParentDirectoryTest, ExistingAndMissingFolders) {
  ScopedTempDir dir;
  EXPECT_TRUE(SyncParentDirectory(dir.Sub("any-name")));
  errno = 0;
  EXPECT_FALSE(SyncParentDirectory(dir.Sub("missing/any-name")));
  EXPECT_EQ(errno, ENOENT);
}

// A pipe takes at most its buffer per write and hands a reader what is
// there: both loops must resume after partial transfers.
TEST(WriteFullTest, PipeTransfersEveryByteThroughPartialWritesAndReads) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  std::string data(1 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + (i >> 9));
  bool written = false;
  std::thread writer([&] {
    written = WriteFull(fds[1], data.data(), data.size());
    close(fds[1]);
  });
  std::string received(data.size() + 16, '\0');
  size_t got = ReadFull(fds[0], received.data(), received.size());
  writer.join();
  close(fds[0]);
  EXPECT_TRUE(written);
  ASSERT_EQ(got, data.size());  // the end of the pipe ends the read early
  received.resize(got);
  EXPECT_EQ(received, data);
}

TEST(WriteFullTest, ClosedDescriptorFailsWithErrno) {
  errno = 0;
  EXPECT_FALSE(WriteFull(-1, "x", 1));
  EXPECT_EQ(errno, EBADF);
  errno = 0;
  EXPECT_FALSE(WriteFullAt(-1, "x", 1, 0));
  EXPECT_EQ(errno, EBADF);
  char byte;
  EXPECT_EQ(ReadFull(-1, &byte, 1), 0u);
  EXPECT_EQ(ReadFullAt(-1, &byte, 1, 0), 0u);
}

TEST(WriteFullTest, AtOffsetsLeavesTheRestAndTheFilePosition) {
  ScopedTempDir dir;
  const std::string path = dir.Sub("f.dat");
  WriteFileBytes(path, "0123456789");
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(WriteFullAt(fd, "ab", 2, 3));
  EXPECT_TRUE(WriteFullAt(fd, "XY", 2, 12));  // past the end: a hole of zeros
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0);
  char buffer[8] = {};
  EXPECT_EQ(ReadFullAt(fd, buffer, 4, 2), 4u);
  EXPECT_EQ(std::string(buffer, 4), "2ab5");
  EXPECT_EQ(ReadFullAt(fd, buffer, sizeof buffer, 10), 4u);  // the file ends first
  EXPECT_EQ(std::string(buffer, 4), std::string("\0\0XY", 4));
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0);
  errno = 0;
  EXPECT_FALSE(WriteFullAt(fd, "z", 1, UINT64_MAX));  // beyond any file offset
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(ReadFullAt(fd, buffer, 1, UINT64_MAX), 0u);
  EXPECT_EQ(ReadFull(fd, buffer, 3), 3u);
  EXPECT_EQ(std::string(buffer, 3), "012");
  close(fd);
  EXPECT_EQ(ReadFileBytes(path), std::string("012ab56789\0\0XY", 14));
}

TEST(ReadFileToStringTest, WholeFileMissingFileAndTheCap) {
  ScopedTempDir dir;
  std::string content(40000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i % 251);
  WriteFileBytes(dir.Sub("f.dat"), content);
  std::string out = "old";
  ASSERT_TRUE(ReadFileToString(dir.Sub("f.dat"), &out, content.size()));
  EXPECT_EQ(out, content);
  errno = 0;
  EXPECT_FALSE(ReadFileToString(dir.Sub("f.dat"), &out, content.size() - 1));
  EXPECT_EQ(errno, EFBIG);
  errno = 0;
  EXPECT_FALSE(ReadFileToString(dir.Sub("missing.dat"), &out, 100));
  EXPECT_EQ(errno, ENOENT);
}

}  // namespace
}  // namespace zv
