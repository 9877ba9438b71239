// Logins against the real server: admission codes, the server
// configuration block and malformed input.
#include <gtest/gtest.h>

#include <cstring>

#include "e2e_util.h"
#include "protocol/ui_socket.h"
#include "protocol/datagram_test_util.h"

namespace zv::e2e {
namespace {

using ::zv::testing::PutU32;
using ::zv::testing::UdpPeer;

class LoginE2ETest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    home_ = new ServerHome();
    home_->SetDword("CompressLevel", 12);
    ASSERT_TRUE(home_->AddAccount("demo", "Secret", "shop1"));
    ASSERT_TRUE(home_->AddAccount("other", "pw", "shop2"));
    server_ = new ServerProcess(*home_);
    ASSERT_TRUE(server_->Start()) << server_->Output();
  }
  static void TearDownTestSuite() {
    delete server_;
    delete home_;
  }
  void SetUp() override { ASSERT_TRUE(server_->process()->Running()) << server_->Output(); }

  static ServerHome* home_;
  static ServerProcess* server_;
};
ServerHome* LoginE2ETest::home_ = nullptr;
ServerProcess* LoginE2ETest::server_ = nullptr;

TEST_F(LoginE2ETest, AcceptedLoginGetsTheServerConfigurationBlock) {
  ApplianceClient client;
  LoginRequest request = MakeLogin("Demo", "Secret", 0x00A1B2C3);
  request.client_value1 = 0x11223344;
  request.client_value2 = 0x55667788;
  request.client_address = {10, 1, 2, 3};
  LoginAnswer answer = LoginOnce(&client, *home_, request);
  ASSERT_EQ(answer.kind, LoginAnswer::Kind::kAccepted) << client.last_error();
  const std::vector<uint8_t>& bytes = answer.block.content;
  ASSERT_EQ(answer.block.size, 5106u);
  ASSERT_EQ(bytes.size(), 5094u);
  // The account's fields, as the account file holds them.
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[0x00])), "demo");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[0x28])), "shop1");
  // deviceId at 0x48, the client values at 0x4C and 0x50.
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 0x48, bytes.begin() + 0x54),
            (std::vector<uint8_t>{0xC3, 0xB2, 0xA1, 0x00, 0x44, 0x33, 0x22, 0x11, 0x88, 0x77,
                                  0x66, 0x55}));
  // Without EnableClientIP the login address is the peer's, network order.
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 0x54, bytes.begin() + 0x58),
            (std::vector<uint8_t>{127, 0, 0, 1}));
  EXPECT_EQ(bytes[0x75], 1);
  // CompressLevel 12 is sent as 9.
  EXPECT_EQ(bytes[0x7E], 9);
  EXPECT_EQ(bytes[0x7F], 0);
  EXPECT_TRUE(SessionAlive(&client));
}

TEST_F(LoginE2ETest, RefusalCodes) {
  {
    ApplianceClient client;
    LoginAnswer answer = LoginOnce(&client, *home_, MakeLogin("nobody", "Secret", 1));
    EXPECT_EQ(answer.kind, LoginAnswer::Kind::kRefused);
    EXPECT_EQ(answer.code, kUserNotFound);
    EXPECT_EQ(answer.block.size, 16u);
  }
  {
    ApplianceClient client;
    LoginAnswer answer = LoginOnce(&client, *home_, MakeLogin("demo", "secret", 1));
    EXPECT_EQ(answer.kind, LoginAnswer::Kind::kRefused);
    EXPECT_EQ(answer.code, kWrongPassword);
  }
  EXPECT_TRUE(home_->OpLogHas("用户nobody登陆信息校验失败(用户不存在)!"));
  EXPECT_TRUE(home_->OpLogHas("用户demo登陆信息校验失败(密码错误)!"));
}

TEST_F(LoginE2ETest, SameUserAndDeviceTwiceIsAMultipleLogin) {
  ApplianceClient first;
  ASSERT_EQ(LoginOnce(&first, *home_, MakeLogin("other", "pw", 7)).kind,
            LoginAnswer::Kind::kAccepted);
  for (const char* name : {"other", "OTHER"}) {
    ApplianceClient second;
    LoginAnswer answer = LoginOnce(&second, *home_, MakeLogin(name, "pw", 7));
    EXPECT_EQ(answer.kind, LoginAnswer::Kind::kRefused) << name;
    EXPECT_EQ(answer.code, kMultipleLogin) << name;
  }
  // Another device of the same user logs in; the first is unaffected.
  ApplianceClient third;
  EXPECT_EQ(LoginOnce(&third, *home_, MakeLogin("other", "pw", 8)).kind,
            LoginAnswer::Kind::kAccepted);
  EXPECT_TRUE(SessionAlive(&first));
}

TEST_F(LoginE2ETest, LoginDuringAnAccountChangeIsBusy) {
  // The console announces a change of "demo" (command 3, no deletion):
  // admissions pause until "$UPDATE_ACCOUNT$" or five seconds later.
  UdpPeer console;
  std::vector<uint8_t> command;
  PutU32(&command, kUiCommandFlag);
  PutU32(&command, 0);
  PutU32(&command, 3);
  PutU32(&command, 16 + 5);
  for (char c : std::string("demo")) command.push_back(static_cast<uint8_t>(c));
  command.push_back(0);
  ASSERT_TRUE(console.SendTo(home_->ui_port(), command));
  ASSERT_TRUE(WaitUntil([&] {
    return home_->DebugLog().find("Process user demo's account info!") != std::string::npos;
  }));

  ApplianceClient client;
  LoginAnswer answer = LoginOnce(&client, *home_, MakeLogin("other", "pw", 99));
  EXPECT_EQ(answer.kind, LoginAnswer::Kind::kRefused);
  EXPECT_EQ(answer.code, kServerBusy);
  EXPECT_TRUE(home_->OpLogHas("正在处理账号变动信息,用户other的同步请求已被忽略!"));
  // The refused session holds its key until it has ended.
  EXPECT_EQ(client.WaitForClose(), IoStatus::kClosed);

  // "$UPDATE_ACCOUNT$" reopens at once.
  std::vector<uint8_t> update;
  PutU32(&update, kUiCommandFlag);
  PutU32(&update, 0);
  PutU32(&update, 3);
  PutU32(&update, 16 + 17);
  for (char c : std::string("$UPDATE_ACCOUNT$")) update.push_back(static_cast<uint8_t>(c));
  update.push_back(0);
  ASSERT_TRUE(console.SendTo(home_->ui_port(), update));
  ASSERT_TRUE(WaitUntil([&] {
    return home_->DebugLog().find("Update account info!") != std::string::npos;
  }));
  ApplianceClient again;
  EXPECT_EQ(LoginOnce(&again, *home_, MakeLogin("other", "pw", 99)).kind,
            LoginAnswer::Kind::kAccepted);
}

TEST_F(LoginE2ETest, ShortLoginEndsWithoutReply) {
  ApplianceClient client;
  ASSERT_TRUE(ConnectAndHandshake(&client, *home_));
  ClientAuthBlock login = BuildLoginContent(MakeLogin("demo", "Secret", 1));
  ASSERT_TRUE(client.SendBlock(kCmdLogin, &login, 55));
  size_t extra = 1;
  EXPECT_EQ(client.WaitForClose(&extra), IoStatus::kClosed);
  EXPECT_EQ(extra, 0u);
}

TEST_F(LoginE2ETest, ClientVersionDifferingInItsLastCharacterIsRefused) {
  ApplianceClient client;
  client.set_timeout_ms(20000);
  ASSERT_TRUE(client.Connect("127.0.0.1", home_->sync_port()));
  ASSERT_TRUE(client.ReceiveServerVersion());
  EXPECT_EQ(client.server_version(), "Korvane ZVSync Server V3.2 Build Dec 16 2010");
  char version[256] = {};
  std::memcpy(version, "Korvane ZVSync Client V3.3", 26);
  ASSERT_TRUE(client.SendRaw(version, sizeof(version)));
  size_t extra = 1;
  EXPECT_EQ(client.WaitForClose(&extra), IoStatus::kClosed);
  EXPECT_EQ(extra, 0u);
  EXPECT_TRUE(WaitUntil([&] { return home_->OpLogHas("同步客户端版本不匹配,客户端IP:127.0.0.1"); }));
}

TEST_F(LoginE2ETest, OversizedHeaderEndsTheSessionWithoutReply) {
  ApplianceClient client;
  ASSERT_EQ(LoginOnce(&client, *home_, MakeLogin("demo", "Secret", 0x400401)).kind,
            LoginAnswer::Kind::kAccepted);
  ASSERT_TRUE(client.SendBlockDeclaring(0x400401, kCmdPending, nullptr, 0));
  size_t extra = 1;
  EXPECT_EQ(client.WaitForClose(&extra), IoStatus::kClosed);
  EXPECT_EQ(extra, 0u);
  EXPECT_TRUE(WaitUntil([&] {
    return home_->DebugLog().find("m_buffer->size==4195329") != std::string::npos;
  }));
}

TEST_F(LoginE2ETest, TwelveByteBlockIsDispatchedAndTheSessionGoesOn) {
  ApplianceClient client;
  ASSERT_EQ(LoginOnce(&client, *home_, MakeLogin("demo", "Secret", 12)).kind,
            LoginAnswer::Kind::kAccepted);
  ASSERT_TRUE(client.SendBlock(77, nullptr, 0));  // an unknown command, no content
  EXPECT_TRUE(SessionAlive(&client));
}

TEST_F(LoginE2ETest, UserCommandStopsThatUsersSessionsAndKeepsOthers) {
  ApplianceClient demo;
  ASSERT_EQ(LoginOnce(&demo, *home_, MakeLogin("DEMO", "Secret", 0xD1)).kind,
            LoginAnswer::Kind::kAccepted);
  ApplianceClient other;
  ASSERT_EQ(LoginOnce(&other, *home_, MakeLogin("other", "pw", 0xD2)).kind,
            LoginAnswer::Kind::kAccepted);
  ApplianceClient waiting;  // connected, not logged in
  ASSERT_TRUE(ConnectAndHandshake(&waiting, *home_));

  UdpPeer console;
  std::vector<uint8_t> command;
  PutU32(&command, kUiCommandFlag);
  PutU32(&command, 0);
  PutU32(&command, 3);
  PutU32(&command, 16 + 5);
  for (char c : std::string("demo")) command.push_back(static_cast<uint8_t>(c));
  command.push_back(0);
  ASSERT_TRUE(console.SendTo(home_->ui_port(), command));

  EXPECT_EQ(demo.WaitForClose(), IoStatus::kClosed);
  EXPECT_EQ(waiting.WaitForClose(), IoStatus::kClosed);
  EXPECT_TRUE(SessionAlive(&other));

  // Reopen admissions for the other tests.
  std::vector<uint8_t> update;
  PutU32(&update, kUiCommandFlag);
  PutU32(&update, 0);
  PutU32(&update, 3);
  PutU32(&update, 16 + 17);
  for (char c : std::string("$UPDATE_ACCOUNT$")) update.push_back(static_cast<uint8_t>(c));
  update.push_back(0);
  ASSERT_TRUE(console.SendTo(home_->ui_port(), update));
  EXPECT_TRUE(WaitUntil([&] {
    ApplianceClient probe;
    return LoginOnce(&probe, *home_, MakeLogin("demo", "Secret", 0xD3)).kind ==
           LoginAnswer::Kind::kAccepted;
  }));
}

}  // namespace
}  // namespace zv::e2e
