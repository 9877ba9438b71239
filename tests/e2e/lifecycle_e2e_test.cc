// Start-up, single instance, the stop event and shut-down of the real
// server program.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

#include "e2e_util.h"

namespace zv::e2e {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(LifecycleE2ETest, SecondInstanceIsRefusedAndTheFirstGoesOn) {
  ServerHome first_home;
  ASSERT_TRUE(first_home.AddAccount("demo", "demo", "shop1"));
  ServerProcess first(first_home);
  ASSERT_TRUE(first.Start()) << first.Output();

  // Same object namespace, a home and ports of its own.
  ServerHome second_home;
  std::vector<std::string> env = second_home.Environment();
  for (std::string& entry : env) {
    if (entry.rfind("ZENTROVANE_OBJECT_NAMESPACE=", 0) == 0) {
      entry = "ZENTROVANE_OBJECT_NAMESPACE=" + first_home.object_namespace();
    }
  }
  std::string output;
  int code = RunToEnd(ProgramPath("Zentrovane.exe"), {"-app"}, env, &output);
  EXPECT_NE(code, 0) << output;
  long running = second_home.OpLogFind("Zentrovane的服务程序已经在运行!");
  long failed = second_home.OpLogFind("同步器启动失败:无法创建进程同步事件!");
  EXPECT_GE(running, 0);
  EXPECT_GT(failed, running);
  EXPECT_FALSE(second_home.OpLogHas("同步器启动成功!"));

  // The first is untouched: it still logs appliances in and stops cleanly.
  ApplianceClient client;
  LoginAnswer answer = LoginOnce(&client, first_home, MakeLogin("demo", "demo", 1));
  EXPECT_EQ(answer.kind, LoginAnswer::Kind::kAccepted);
  client.Close();
  EXPECT_TRUE(first.process()->Running());
  EXPECT_EQ(first.Stop(), 0);
}

TEST(LifecycleE2ETest, StopEventStopsTheServerWithinAboutASecond) {
  ServerHome home;
  ServerProcess server(home);
  ASSERT_TRUE(server.Start()) << server.Output();
  EXPECT_TRUE(home.OpLogHas("同步器启动成功!"));
  ASSERT_TRUE(SignalStopEvent(home.object_namespace()));
  // The one-second tick notices it; a generous bound for a loaded machine.
  EXPECT_EQ(server.WaitExit(seconds(10)), 0) << server.Output();
  EXPECT_FALSE(StopEventExists(home.object_namespace()));

  std::string log = home.DebugLog();
  size_t stop = log.find("Receive Stop Event!");
  size_t watchdog = log.find("StopWatchDog elapsed");
  size_t sockets = log.find("CloseSocket elapsed");
  size_t clients = log.find("StopAllClients elapsed");
  size_t monitor = log.find("StopDiskMonitor elapsed");
  ASSERT_NE(stop, std::string::npos) << log;
  ASSERT_NE(monitor, std::string::npos) << log;
  EXPECT_LT(stop, watchdog);
  EXPECT_LT(watchdog, sockets);
  EXPECT_LT(sockets, clients);
  EXPECT_LT(clients, monitor);
  EXPECT_TRUE(home.OpLogHas("同步器已停止!"));
  EXPECT_GT(home.OpLogFind("同步器已停止!"), home.OpLogFind("同步器启动成功!"));
}

TEST(LifecycleE2ETest, SigtermStopsTheServerCleanly) {
  ServerHome home;
  ServerProcess server(home);
  ASSERT_TRUE(server.Start()) << server.Output();
  server.process()->Kill(SIGTERM);
  EXPECT_EQ(server.WaitExit(seconds(10)), 0) << server.Output();
  EXPECT_TRUE(home.OpLogHas("同步器已停止!"));
}

TEST(LifecycleE2ETest, PortInUseStopsStartAtTheListener) {
  ServerHome home;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(home.sync_port());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(::listen(fd, 1), 0);

  ServerProcess server(home);
  ASSERT_TRUE(server.Launch({"-app"}));
  std::optional<int> code = server.WaitExit(seconds(20));
  ::close(fd);
  ASSERT_TRUE(code.has_value());
  EXPECT_NE(*code, 0);
  std::string log = home.DebugLog();
  EXPECT_NE(log.find("Loader Initialized!"), std::string::npos) << log;
  EXPECT_NE(log.find("Can't initialize listener!"), std::string::npos) << log;
  EXPECT_EQ(log.find("SyncInfoSocket Initialized!"), std::string::npos);
  EXPECT_EQ(log.find("UISocket Initialized!"), std::string::npos);
  EXPECT_TRUE(home.OpLogHas("同步器启动失败:无法创建数据同步Socket!"));
  EXPECT_TRUE(home.OpLogHas("同步器已停止!"));
}

TEST(LifecycleE2ETest, ShutdownWithTenConnectedClients) {
  ServerHome home;
  ASSERT_TRUE(home.AddAccount("demo", "demo", "shop1"));
  ServerProcess server(home);
  ASSERT_TRUE(server.Start()) << server.Output();
  std::vector<std::unique_ptr<ApplianceClient>> clients;
  for (uint32_t device = 1; device <= 10; ++device) {
    auto client = std::make_unique<ApplianceClient>();
    ASSERT_EQ(LoginOnce(client.get(), home, MakeLogin("demo", "demo", device)).kind,
              LoginAnswer::Kind::kAccepted);
    clients.push_back(std::move(client));
  }
  EXPECT_EQ(server.Stop(seconds(20)), 0) << server.Output();
  for (auto& client : clients) {
    size_t extra = 0;
    EXPECT_EQ(client->WaitForClose(&extra), IoStatus::kClosed);
  }
  // Every session ends during the shut-down with its disconnect line.
  std::string log = home.DebugLog();
  size_t shutdown = log.find("Uninitialize!");
  ASSERT_NE(shutdown, std::string::npos);
  size_t disconnects = 0;
  for (size_t at = log.find("Disconnect from", shutdown); at != std::string::npos;
       at = log.find("Disconnect from", at + 1)) {
    ++disconnects;
  }
  EXPECT_EQ(disconnects, 10u);
  EXPECT_TRUE(home.OpLogHas("同步器已停止!"));
}

TEST(LifecycleE2ETest, VersionAndCommandLine) {
  ServerHome home;
  std::string output;
  EXPECT_EQ(RunToEnd(ProgramPath("Zentrovane.exe"), {"/version"}, home.Environment(), &output), 0);
  EXPECT_EQ(output, "Korvane ZVSync Server V3.2 build Dec 16 2010\n");
  // Without arguments and not started by systemd: 1063, of which a Linux
  // exit status keeps the low eight bits.
  EXPECT_EQ(RunToEnd(ProgramPath("Zentrovane.exe"), {}, home.Environment(), &output), 1063 & 0xFF);
  EXPECT_NE(RunToEnd(ProgramPath("Zentrovane.exe"), {"-frobnicate"}, home.Environment(), &output),
            0);
  EXPECT_NE(output.find("Usage"), std::string::npos);
  EXPECT_NE(home.DebugLog().find("Korvane ZVSync Server V3.2 build Dec 16 2010"),
            std::string::npos);
}

}  // namespace
}  // namespace zv::e2e
