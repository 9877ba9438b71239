#include "rsync_daemon.h"

#include <gtest/gtest.h>

#include "bench_child.h"
#include "decode_rate.h"
#include "test_util.h"
#include "upload_blocks.h"

namespace zv::bench {
namespace {

TEST(RsyncDaemonTest, PushCopiesTheFileIntoTheModule) {
  ::zv::testing::ScopedTempDir dir;
  const std::string source = dir.Sub("source.dat");
  std::string bytes(300000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
  ::zv::testing::WriteFileBytes(source, bytes);
  RsyncDaemon daemon(dir.Sub("rsync"));
  std::string error;
  ASSERT_TRUE(daemon.Start(&error)) << error;
  // Each push starts again from no destination file and copies it again;
  // with --fsync both the client and the daemon must accept the option.
  for (bool fsync : {false, true, false}) {
    double seconds = -1;
    ASSERT_TRUE(daemon.Push(source, fsync, &seconds, &error)) << error;
    EXPECT_GE(seconds, 0.0);
    EXPECT_EQ(ReadWholeFile(daemon.DestinationDir() + "/source.dat"), bytes) << fsync;
  }
}

TEST(RsyncDaemonTest, AMissingSourceFailsWithRsyncsReason) {
  ::zv::testing::ScopedTempDir dir;
  RsyncDaemon daemon(dir.Sub("rsync"));
  std::string error;
  ASSERT_TRUE(daemon.Start(&error)) << error;
  double seconds = 0;
  EXPECT_FALSE(daemon.Push(dir.Sub("missing.dat"), false, &seconds, &error));
  EXPECT_NE(error.find("rsync exited with"), std::string::npos) << error;
}

TEST(DecodeRateTest, CompressedBlocksDecodeAndStoredOnesAreNotMeasured) {
  UploadOptions options;
  options.size = 6 * 65536 + 99;
  options.block_size = 65536;
  options.distinct = 2;
  options.lzma_preset = 1;
  UploadBlocks blocks;
  std::string error;
  ASSERT_TRUE(blocks.Prepare(options, &error)) << error;
  double seconds = -1;
  EXPECT_TRUE(MeasureDecode(blocks, Method::kLzo1b, &seconds, &error)) << error;
  EXPECT_GE(seconds, 0.0);
  EXPECT_TRUE(MeasureDecode(blocks, Method::kLzma, &seconds, &error)) << error;
  EXPECT_FALSE(MeasureDecode(blocks, Method::kStored, &seconds, &error));
}

}  // namespace
}  // namespace zv::bench
