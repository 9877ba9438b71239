// The benchmarks' assumptions checked against the real server: the echo
// behind the last block means the file is on disk, and a reset half way
// leaves a position the appliance can resume from.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "bench_child.h"
#include "bench_server.h"
#include "protocol/result_codes.h"
#include "test_util.h"
#include "upload_blocks.h"
#include "uploader.h"

namespace zv::bench {
namespace {

bool DatabaseSkipped() {
  const char* value = std::getenv("ZV_NO_DATABASE");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

UploadBlocks FileOf(uint64_t size) {
  UploadOptions options;
  options.size = size;
  options.block_size = 64 * 1024;
  options.distinct = 3;
  options.lzma_preset = 1;
  UploadBlocks blocks;
  std::string error;
  if (!blocks.Prepare(options, &error)) throw 0;
  return blocks;
}

std::string Concatenated(const UploadBlocks& blocks) {
  std::string file;
  for (size_t i = 0; i < blocks.block_count(); ++i) file += blocks.Plain(i);
  return file;
}

LoginAnswer LogIn(ApplianceClient* client, const BenchServer& server, uint32_t device) {
  if (!client->Connect("127.0.0.1", server.sync_port()) || !client->Handshake("bench test")) {
    return LoginAnswer();
  }
  LoginRequest request;
  request.user = "bench";
  request.password = "bench";
  request.device_id = device;
  return client->Login(request);
}

class BenchE2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (DatabaseSkipped()) GTEST_SKIP() << "ZV_NO_DATABASE=1";
    server_ = std::make_unique<BenchServer>(dir_.path(), false);
    ASSERT_TRUE(server_->Prepare("bench", "bench")) << server_->error();
    ASSERT_TRUE(server_->Start()) << server_->error() << server_->Diagnostics();
  }
  void TearDown() override {
    if (server_) {
      EXPECT_TRUE(server_->Stop()) << server_->Diagnostics();
    }
  }
  std::string StoredPath(const std::string& name) const {
    return server_->StorageDir() + "/logtable/20261208/" + name;
  }

  ::zv::testing::ScopedTempDir dir_;
  std::unique_ptr<BenchServer> server_;
};

TEST_F(BenchE2ETest, EchoBehindTheLastBlockMeansTheWholeFileIsOnDisk) {
  UploadBlocks blocks = FileOf(20 * 64 * 1024 + 123);
  ApplianceClient client;
  ASSERT_EQ(LogIn(&client, *server_, 0x00E2E001).kind, LoginAnswer::Kind::kAccepted)
      << client.last_error();
  const std::string name = "20261208_1000_00E2E001_A.dat";
  Uploader upload(&client, blocks, Method::kLzma);
  ASSERT_TRUE(upload.Announce(name, 0, 0)) << upload.error();
  ASSERT_TRUE(upload.SendData(0, blocks.size())) << upload.error();
  ASSERT_TRUE(upload.WaitStored()) << upload.error();
  EXPECT_EQ(ReadWholeFile(StoredPath(name)), Concatenated(blocks));
  ASSERT_TRUE(upload.Finish()) << upload.error() << server_->Diagnostics();
}

TEST_F(BenchE2ETest, ResetHalfWayResumesFromTheReportedPosition) {
  UploadBlocks blocks = FileOf(40 * 64 * 1024);
  const uint32_t device = 0x00E2E002;
  const std::string name = "20261208_1000_00E2E002_A.dat";
  ApplianceClient client;
  ASSERT_EQ(LogIn(&client, *server_, device).kind, LoginAnswer::Kind::kAccepted);
  Uploader first(&client, blocks, Method::kLzo1b);
  ASSERT_TRUE(first.Announce(name, 0, 0)) << first.error();
  ASSERT_TRUE(first.SendData(0, blocks.size() / 2)) << first.error();
  client.Abort();

  // The old session may still be ending: the server then refuses the same
  // device with "multiple login" and the appliance tries again.
  LoginAnswer answer;
  for (int attempt = 0; attempt < 500; ++attempt) {
    answer = LogIn(&client, *server_, device);
    if (answer.kind != LoginAnswer::Kind::kRefused || answer.code != kMultipleLogin) break;
    client.Close();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(answer.kind, LoginAnswer::Kind::kAccepted) << answer.code;
  const LogTableSlot& slot = answer.record.logSlots[0];
  EXPECT_STREQ(slot.name, name.c_str());
  EXPECT_EQ(slot.announcedSize, blocks.size());
  ASSERT_LE(slot.storedBytes, first.data_sent());
  EXPECT_EQ(slot.runningCrc, blocks.CrcOfPrefix(slot.storedBytes));

  Uploader rest(&client, blocks, Method::kLzo1b);
  ASSERT_TRUE(rest.Announce(name, 0, slot.storedBytes)) << rest.error();
  ASSERT_TRUE(rest.SendData(slot.storedBytes, blocks.size())) << rest.error();
  ASSERT_TRUE(rest.WaitStored()) << rest.error();
  EXPECT_EQ(ReadWholeFile(StoredPath(name)), Concatenated(blocks));
  ASSERT_TRUE(rest.Finish()) << rest.error() << server_->Diagnostics();
}

}  // namespace
}  // namespace zv::bench
