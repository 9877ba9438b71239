#include "disk_write.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "test_util.h"

namespace zv::bench {
namespace {

TEST(DiskWriteTest, WritesWholePiecesAndRemovesTheFile) {
  ::zv::testing::ScopedTempDir dir;
  const std::string path = dir.Sub("disk.dat");
  double seconds = 0;
  std::string error;
  if (!DiskWrite::Run(path, 5 * DiskWrite::kPieceBytes + 1, &seconds, &error)) {
    // Some file systems (tmpfs) refuse O_DIRECT; the benchmark reports it.
    ASSERT_NE(error.find("direct"), std::string::npos) << error;
    GTEST_SKIP() << error;
  }
  EXPECT_GT(seconds, 0);
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(DiskWriteTest, MissingFolderIsAnError) {
  ::zv::testing::ScopedTempDir dir;
  double seconds = 0;
  std::string error;
  EXPECT_FALSE(DiskWrite::Run(dir.Sub("none/disk.dat"), DiskWrite::kPieceBytes, &seconds, &error));
  EXPECT_NE(error.find("none/disk.dat"), std::string::npos) << error;
}

}  // namespace
}  // namespace zv::bench
