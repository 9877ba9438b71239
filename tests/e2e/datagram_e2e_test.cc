// The sync-info service and the console channel of the real server.
#include <gtest/gtest.h>

#include <cstring>

#include "e2e_util.h"
#include "protocol/datagram_test_util.h"
#include "protocol/ui_socket.h"
#include "platform/settings_store.h"
#include "records/sync_account_record.h"
#include "util/crc.h"

namespace zv::e2e {
namespace {

using ::zv::testing::GetU32;
using ::zv::testing::Masked;
using ::zv::testing::PutU32;
using ::zv::testing::UdpPeer;

const std::vector<uint8_t> kTextReply = [] {
  std::string text = "I don't know what you are talking about!";
  std::vector<uint8_t> bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}();

std::vector<uint8_t> Query(uint32_t cmd, const std::string& name) {
  std::vector<uint8_t> content(name.begin(), name.end());
  content.resize(20, 0);
  std::vector<uint8_t> bytes;
  PutU32(&bytes, 32);
  PutU32(&bytes, cmd);
  PutU32(&bytes, CCrc().Compute(content.data(), content.size()) ^ cmd);
  bytes.insert(bytes.end(), content.begin(), content.end());
  return bytes;
}

std::vector<uint8_t> UiCommand(uint32_t flag, uint32_t cmd, uint32_t size_field,
                               const std::string& text) {
  std::vector<uint8_t> bytes;
  PutU32(&bytes, flag);
  PutU32(&bytes, 0x5A5A0001);
  PutU32(&bytes, cmd);
  PutU32(&bytes, size_field);
  bytes.insert(bytes.end(), text.begin(), text.end());
  return bytes;
}

class DatagramE2ETest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    home_ = new ServerHome();
    // 00 17 00 3b 0a 00 has the MD5 C6E98FAE76C18179F3EE53E96687EF40.
    ASSERT_TRUE(home_->AddAccount("nineteencharacters1", "pw", "s19", "0017003b0a00"));
    ASSERT_TRUE(home_->AddAccount("demo", "Secret", "shop1"));
    server_ = new ServerProcess(*home_);
    ASSERT_TRUE(server_->Start()) << server_->Output();
  }
  static void TearDownTestSuite() {
    delete server_;
    delete home_;
  }

  std::vector<uint8_t> AskInfo(const std::vector<uint8_t>& wire) {
    EXPECT_TRUE(peer_.SendTo(home_->sync_port(), wire));
    auto reply = peer_.Receive();
    EXPECT_TRUE(reply.has_value());
    return reply.value_or(std::vector<uint8_t>());
  }

  static ServerHome* home_;
  static ServerProcess* server_;
  UdpPeer peer_;
};
ServerHome* DatagramE2ETest::home_ = nullptr;
ServerProcess* DatagramE2ETest::server_ = nullptr;

TEST_F(DatagramE2ETest, TextGetsTheTextReply) {
  EXPECT_EQ(AskInfo(std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}), kTextReply);
}

TEST_F(DatagramE2ETest, NineteenCharacterNameGetsTheDigest) {
  std::vector<uint8_t> reply = Masked(AskInfo(Masked(Query(0, "nineteencharacters1"))));
  ASSERT_EQ(reply.size(), 65u);
  EXPECT_EQ(GetU32(reply, 0), 65u);
  EXPECT_EQ(GetU32(reply, 4), 1u);
  EXPECT_EQ(GetU32(reply, 8), CCrc().Compute(&reply[12], 53) ^ 1u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&reply[12])), "nineteencharacters1");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&reply[32])),
            "C6E98FAE76C18179F3EE53E96687EF40");
  // Twenty characters are cut to the nineteen of the account.
  reply = Masked(AskInfo(Masked(Query(0, "NINETEENCHARACTERS1X"))));
  ASSERT_EQ(reply.size(), 65u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&reply[32])),
            "C6E98FAE76C18179F3EE53E96687EF40");
}

TEST_F(DatagramE2ETest, ErrorsSixAndOne) {
  std::vector<uint8_t> reply =
      Masked(AskInfo(Masked({0x0C, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})));
  ASSERT_EQ(reply.size(), 16u);
  EXPECT_EQ(GetU32(reply, 4), 7u);
  EXPECT_EQ(GetU32(reply, 12), 6u);
  reply = Masked(AskInfo(Masked(Query(0, "nobody"))));
  ASSERT_EQ(reply.size(), 16u);
  EXPECT_EQ(GetU32(reply, 4), 7u);
  EXPECT_EQ(GetU32(reply, 12), 1u);
}

TEST_F(DatagramE2ETest, BadCheckOrSizeGetsTextAndUnknownCommandNothing) {
  std::vector<uint8_t> flipped = Query(0, "demo");
  flipped[14] ^= 0x20;
  EXPECT_EQ(AskInfo(Masked(flipped)), kTextReply);
  std::vector<uint8_t> longer = Query(0, "demo");
  longer[0] = 33;
  EXPECT_EQ(AskInfo(Masked(longer)), kTextReply);
  ASSERT_TRUE(peer_.SendTo(home_->sync_port(), Masked(Query(5, "demo"))));
  // Answers come in order: the first one is the text's.
  EXPECT_EQ(AskInfo(std::vector<uint8_t>{'?'}), kTextReply);
}

TEST_F(DatagramE2ETest, MalformedConsoleCommandsAreDropped) {
  ASSERT_TRUE(peer_.SendTo(home_->ui_port(), UiCommand(0x99195826, 4, 16, "")));
  ASSERT_TRUE(peer_.SendTo(home_->ui_port(), UiCommand(kUiCommandFlag, 4, 17, "")));
  ASSERT_TRUE(peer_.SendTo(home_->ui_port(), UiCommand(kUiCommandFlag, 2, 16, "")));
  ASSERT_TRUE(WaitUntil([&] {
    return home_->DebugLog().find("Update account failed!") != std::string::npos;
  }));
  std::string log = home_->DebugLog();
  EXPECT_NE(log.find("Command flag unmatched!s"), std::string::npos);
  EXPECT_NE(log.find("Received length unmatched!size=17,len=16"), std::string::npos);
  EXPECT_NE(log.find("Unknown ZVUI_CMD size=16"), std::string::npos);
  // None of them was answered: the first datagram to arrive is the end
  // marker of a state query sent afterwards.
  ASSERT_TRUE(peer_.SendTo(home_->ui_port(), UiCommand(kUiCommandFlag, 4, 16, "")));
  for (;;) {
    auto reply = peer_.Receive();
    ASSERT_TRUE(reply.has_value());
    ASSERT_EQ(GetU32(*reply, 0), kUiCommandFlag);
    if (reply->size() == 16) break;
    ASSERT_EQ(reply->size(), 5110u);
  }
}

TEST_F(DatagramE2ETest, ConsoleAllowListDropsOtherSenders) {
  std::unique_ptr<SettingsStore> store = SettingsStore::Open(home_->registry());
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->WriteString("UIAllowedAddresses", "127.0.0.2"));
  std::vector<uint8_t> refused = UiCommand(kUiCommandFlag, 4, 16, "");
  refused[4] = 0x11;  // the unnamed field tells the replies apart
  ASSERT_TRUE(peer_.SendTo(home_->ui_port(), refused));
  ASSERT_TRUE(WaitUntil([&] {
    return home_->DebugLog().find("UI datagram from 127.0.0.1:" + std::to_string(peer_.port()) +
                                  " dropped: not an allowed console address") !=
           std::string::npos;
  }));
  // Allowed now: the first reply to arrive answers the second query.
  ASSERT_TRUE(store->WriteString("UIAllowedAddresses", "127.0.0.2, 127.0.0.1"));
  ASSERT_TRUE(peer_.SendTo(home_->ui_port(), UiCommand(kUiCommandFlag, 4, 16, "")));
  auto reply = peer_.Receive();
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(GetU32(*reply, 4), 0x5A5A0001u);
  ASSERT_TRUE(store->WriteString("UIAllowedAddresses", ""));
}

TEST_F(DatagramE2ETest, SyncStateOneDatagramPerPositionFileWithoutPasswords) {
  ApplianceClient online;
  ASSERT_EQ(LoginOnce(&online, *home_, MakeLogin("demo", "Secret", 0xA1)).kind,
            LoginAnswer::Kind::kAccepted);
  {
    ApplianceClient gone;
    ASSERT_EQ(LoginOnce(&gone, *home_, MakeLogin("demo", "Secret", 0xA2)).kind,
              LoginAnswer::Kind::kAccepted);
    ASSERT_TRUE(gone.SendTaskFinished());
    gone.Close();
  }
  // A position file of a user without an account is not reported.
  ::zv::testing::WriteFileBytes(home_->syncpos() + "/ghost-00000001.dat", "junk");

  // The disconnect of the second session reaches the controller after the
  // socket closed; a query may overtake it. Ask until it is gone.
  std::map<uint32_t, SyncAccountRecord> records;
  ASSERT_TRUE(WaitUntil([&] {
    records.clear();
    std::vector<uint8_t> query = UiCommand(kUiCommandFlag, 4, 16, "");
    if (!peer_.SendTo(home_->ui_port(), query)) return false;
    for (;;) {
      auto reply = peer_.Receive();
      if (!reply) return false;
      if (reply->size() == 16) {
        EXPECT_EQ(std::vector<uint8_t>(reply->begin(), reply->begin() + 12),
                  std::vector<uint8_t>(query.begin(), query.begin() + 12));
        break;
      }
      EXPECT_EQ(reply->size(), 5110u);
      EXPECT_EQ(GetU32(*reply, 12), 5110u);
      EXPECT_EQ(GetU32(*reply, 4), 0x5A5A0001u);
      SyncAccountRecord record;
      std::memcpy(&record, reply->data() + 16, sizeof(record));
      records[record.deviceId] = record;
    }
    return records.size() == 2 && records[0xA2].inUse == 0;
  }));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0xA1].inUse, 1);
  EXPECT_EQ(records[0xA2].inUse, 0);
  for (auto& [device, record] : records) {
    EXPECT_STREQ(record.userName, "demo");
    for (uint8_t byte : std::vector<uint8_t>(record.password, record.password + 20)) {
      EXPECT_EQ(byte, 0) << "password byte of device " << device;
    }
  }
  EXPECT_TRUE(SessionAlive(&online));
}

}  // namespace
}  // namespace zv::e2e
