#include "flush_sink.h"

#include <gtest/gtest.h>

#include "bench_child.h"
#include "test_util.h"

namespace zv::bench {
namespace {

UploadBlocks SmallFile() {
  UploadOptions options;
  options.size = 300 * 1024 + 17;
  options.block_size = 64 * 1024;
  options.distinct = 2;
  options.lzma_preset = 0;
  UploadBlocks blocks;
  std::string error;
  if (!blocks.Prepare(options, &error)) throw 0;
  return blocks;
}

TEST(FlushSinkTest, TheFileHoldsEveryByteSent) {
  ::zv::testing::ScopedTempDir dir;
  UploadBlocks blocks = SmallFile();
  double seconds = -1;
  std::string error;
  ASSERT_TRUE(FlushSink::Run(blocks, dir.Sub("sink.dat"), &seconds, &error)) << error;
  EXPECT_GE(seconds, 0.0);
  std::string expected;
  for (size_t i = 0; i < blocks.block_count(); ++i) expected += blocks.Plain(i);
  EXPECT_EQ(ReadWholeFile(dir.Sub("sink.dat")), expected);
}

TEST(FlushSinkTest, AFileThatCannotBeCreatedFailsTheRun) {
  ::zv::testing::ScopedTempDir dir;
  UploadBlocks blocks = SmallFile();
  double seconds = 0;
  std::string error;
  EXPECT_FALSE(FlushSink::Run(blocks, dir.Sub("missing/folder/sink.dat"), &seconds, &error));
  EXPECT_NE(error.find("open"), std::string::npos) << error;
}

}  // namespace
}  // namespace zv::bench
