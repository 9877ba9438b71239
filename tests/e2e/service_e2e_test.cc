// The real Zentrovane.exe as an operator and systemd see it: the service
// commands against a fake systemctl, the units it writes checked by
// systemd-analyze, and the notifications it sends when systemd runs it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "platform/service_manager.h"

namespace zv::e2e {
namespace {

using std::chrono::seconds;
using ::zv::testing::FileExists;
using ::zv::testing::ReadFileBytes;
using ::zv::testing::WriteFileBytes;

constexpr const char* kSystemdAnalyze = "/usr/bin/systemd-analyze";

// A home for the server plus a unit folder and the fake systemctl's folder.
class ServiceHome {
 public:
  ServiceHome() {
    mkdir(units().c_str(), 0755);
    mkdir(fake().c_str(), 0755);
  }
  std::string units() const { return home_.root() + "/units"; }
  std::string fake() const { return home_.root() + "/fake"; }
  std::string unit_path() const { return units() + "/Zentrovane.service"; }
  const ServerHome& home() const { return home_; }

  std::vector<std::string> Environment() const {
    std::vector<std::string> env = home_.Environment();
    env.push_back("ZENTROVANE_UNIT_DIR=" + units());
    env.push_back(std::string("ZENTROVANE_SYSTEMCTL=") + ZV_FAKE_SYSTEMCTL);
    env.push_back("FAKE_SYSTEMCTL_DIR=" + fake());
    return env;
  }
  int Run(const std::vector<std::string>& args, std::string* output = nullptr,
          const std::string& program = ProgramPath("Zentrovane.exe")) const {
    return RunToEnd(program, args, Environment(), output);
  }
  std::vector<std::string> Calls() const {
    std::vector<std::string> calls;
    if (!FileExists(fake() + "/calls")) return calls;
    std::string text = ReadFileBytes(fake() + "/calls");
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      calls.push_back(text.substr(start, end - start));
    }
    return calls;
  }
  size_t CountCalls(const std::string& call) const {
    size_t n = 0;
    for (const std::string& c : Calls()) n += c == call ? 1 : 0;
    return n;
  }
  void SetState(const std::string& state) const {
    WriteFileBytes(fake() + "/Zentrovane.service.state", state + "\n");
  }
  std::string State() const {
    std::string state = ReadFileBytes(fake() + "/Zentrovane.service.state");
    return state.substr(0, state.find('\n'));
  }

 private:
  ServerHome home_;
};

// The exit status of a command that failed with a service code keeps its
// low eight bits.
int Status(uint32_t code) { return static_cast<int>(code & 0xFF); }

TEST(ServiceE2ETest, InstalledUnitsPassSystemdAnalyze) {
  ASSERT_TRUE(FileExists(kSystemdAnalyze)) << "install Debian's systemd package";
  struct Case {
    const char* what;
    std::vector<std::string> args;
    bool blank_folder;
    const char* exec_arguments;  // after the program
    const char* user_line;
    bool enabled;
  };
  const Case cases[] = {
      {"plain", {"-install"}, false, "", "", false},
      {"auto", {"-install", "-auto"}, false, "", "", true},
      {"user and password", {"/install", "-U:zv", "-P:secret"}, false, "", "User=zv\n", false},
      {"extra command line", {"-install", "-SCL:abc"}, false, " abc", "", false},
      {"all", {"-install", "-auto", "-U:zv", "-SCL:abc"}, false, " abc", "User=zv\n", true},
      {"blank in the folder", {"-install", "-auto", "-SCL:abc"}, true, " abc", "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ServiceHome service;
    std::string program = ProgramPath("Zentrovane.exe");
    if (c.blank_folder) {
      // A copy, not a link: the unit names the program as the system sees it.
      const std::string folder = service.home().root() + "/Program Files";
      mkdir(folder.c_str(), 0755);
      const std::string copy = folder + "/Zentrovane.exe";
      WriteFileBytes(copy, ReadFileBytes(program));
      ASSERT_EQ(chmod(copy.c_str(), 0755), 0);
      program = copy;
    }
    std::string output;
    ASSERT_EQ(service.Run(c.args, &output, program), 0) << output;
    const std::string unit = ReadFileBytes(service.unit_path());
    const std::string exec =
        (c.blank_folder ? "\"" + program + "\"" : program) + c.exec_arguments;
    EXPECT_NE(unit.find("\nExecStart=" + exec + "\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("\nType=notify\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("\nDescription=Korvane Zentrovane\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("mariadb.service"), std::string::npos) << unit;
    EXPECT_EQ(unit.find("User="), *c.user_line ? unit.find(c.user_line) : std::string::npos);
    EXPECT_EQ(unit.find("secret"), std::string::npos) << unit;
    EXPECT_EQ(service.CountCalls("enable Zentrovane.service"), c.enabled ? 1u : 0u);
    EXPECT_EQ(service.Calls().back(), "daemon-reload");

    std::string verify;
    EXPECT_EQ(RunToEnd(kSystemdAnalyze, {"verify", service.unit_path()}, service.Environment(),
                       &verify),
              0)
        << verify << unit;
    EXPECT_EQ(verify.find("Zentrovane.service"), std::string::npos) << verify << unit;
  }
}

TEST(ServiceE2ETest, CommandsGoThroughSystemctl) {
  ServiceHome service;
  std::string output;
  // Not installed yet.
  EXPECT_EQ(service.Run({"-start"}, &output), Status(kErrorServiceDoesNotExist));
  EXPECT_EQ(service.Run({"-install"}, &output), 0) << output;
  EXPECT_EQ(service.Run({"-install"}, &output), Status(kErrorServiceExists));

  EXPECT_EQ(service.Run({"-start"}, &output), 0) << output;
  EXPECT_EQ(service.State(), "active");
  EXPECT_EQ(service.CountCalls("start --no-block Zentrovane.service"), 1u);
  // Started again: it runs, so nothing is asked of the manager.
  EXPECT_EQ(service.Run({"-s"}, &output), 0);
  EXPECT_EQ(service.CountCalls("start --no-block Zentrovane.service"), 1u);

  // No paused state: both are refused and nothing changes.
  const size_t before = service.Calls().size();
  EXPECT_EQ(service.Run({"-pause"}, &output), Status(kErrorInvalidServiceControl));
  EXPECT_EQ(service.Run({"-continue"}, &output), Status(kErrorInvalidServiceControl));
  EXPECT_EQ(service.State(), "active");
  for (size_t i = before; i < service.Calls().size(); ++i) {
    EXPECT_EQ(service.Calls()[i].rfind("show ", 0), 0u) << service.Calls()[i];
  }

  EXPECT_EQ(service.Run({"-stop"}, &output), 0);
  EXPECT_EQ(service.State(), "inactive");
  // Failures are silent: only the exit status and the debug log tell.
  EXPECT_EQ(output, "");
  EXPECT_NE(service.home().DebugLog().find(
                "Failed to pause the service, Error:The requested control is not valid for this "
                "service., 1052"),
            std::string::npos);
}

TEST(ServiceE2ETest, StopWaitsUpToTheTimeOut) {
  ServiceHome service;
  ASSERT_EQ(service.Run({"-install"}), 0);
  service.SetState("active");
  WriteFileBytes(service.fake() + "/Zentrovane.service.never-stops", "");
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(service.Run({"-T:1000", "-stop"}), Status(kErrorServiceRequestTimeout));
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1000));
  // Polled every 250 ms after the request (about four times in a second;
  // fewer when the machine is busy, never more).
  std::vector<std::string> calls = service.Calls();
  auto stop = std::find(calls.begin(), calls.end(), "stop --no-block Zentrovane.service");
  ASSERT_NE(stop, calls.end());
  const auto shows = std::count(stop, calls.end(),
                                "show --property=LoadState,ActiveState Zentrovane.service");
  EXPECT_GE(shows, 2);
  EXPECT_LE(shows, 6);
  EXPECT_EQ(service.State(), "deactivating");
}

TEST(ServiceE2ETest, RemoveStopsARunningServiceFirst) {
  ServiceHome service;
  ASSERT_EQ(service.Run({"-install", "-auto"}), 0);
  service.SetState("active");
  EXPECT_EQ(service.Run({"-remove"}), 0);
  EXPECT_FALSE(FileExists(service.unit_path()));
  std::vector<std::string> calls = service.Calls();
  auto at = [&](const std::string& call) {
    return std::find(calls.begin(), calls.end(), call) - calls.begin();
  };
  EXPECT_LT(at("stop --no-block Zentrovane.service"), at("disable Zentrovane.service"));
  EXPECT_EQ(calls.back(), "daemon-reload");
  EXPECT_EQ(service.Run({"-remove"}), Status(kErrorServiceDoesNotExist));
}

TEST(ServiceE2ETest, AManagerThatFailsFailsEveryCommand) {
  ServiceHome service;
  WriteFileBytes(service.fake() + "/fail", "");
  EXPECT_EQ(service.Run({"-install", "-auto"}), Status(kErrorServiceManagerFailed));
  EXPECT_FALSE(FileExists(service.unit_path()));
  EXPECT_EQ(service.Run({"-start"}), Status(kErrorServiceManagerFailed));
  EXPECT_NE(service.home().DebugLog().find("Can't operate"), std::string::npos);
}

// A datagram socket standing in for systemd's notification socket.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    bound_ = fd_ >= 0 && path.size() < sizeof address.sun_path &&
             bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~NotifySocket() {
    if (fd_ >= 0) close(fd_);
  }
  bool bound() const { return bound_; }
  // The next message, or "" after the time-out.
  std::string Receive(std::chrono::milliseconds timeout) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) != 1) return std::string();
    char buffer[4096];
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
  }
  // Receives until a message equals wanted (true) or the time runs out;
  // every message is appended to *seen.
  bool WaitFor(const std::string& wanted, std::vector<std::string>* seen,
               std::chrono::seconds timeout = seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      std::string message = Receive(std::chrono::milliseconds(200));
      if (message.empty()) continue;
      seen->push_back(message);
      if (message == wanted) return true;
    }
    return false;
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

bool CanConnectTo(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

TEST(ServiceE2ETest, UnderSystemdTheServerNotifiesReadyKeepAliveAndStopping) {
  ServerHome home;
  NotifySocket notify(home.root() + "/notify");
  ASSERT_TRUE(notify.bound());
  std::vector<std::string> env = home.Environment();
  env.push_back("NOTIFY_SOCKET=" + home.root() + "/notify");
  env.push_back("WATCHDOG_USEC=2000000");
  auto server = ChildProcess::Start(ProgramPath("Zentrovane.exe"), {}, env,
                                    home.root() + "/output.txt");
  ASSERT_NE(server, nullptr);

  std::vector<std::string> seen;
  ASSERT_TRUE(notify.WaitFor("READY=1", &seen)) << ReadFileBytes(home.root() + "/output.txt");
  // Ready means started: the ports are open and the start is logged.
  EXPECT_TRUE(CanConnectTo(home.sync_port()));
  EXPECT_TRUE(home.OpLogHas("同步器启动成功!"));
  // The one-second timer sends the keep-alive systemd asked for.
  EXPECT_TRUE(notify.WaitFor("WATCHDOG=1", &seen));

  server->Kill(SIGTERM);
  EXPECT_TRUE(notify.WaitFor("STOPPING=1", &seen));
  EXPECT_EQ(server->Wait(seconds(30)), 0) << ReadFileBytes(home.root() + "/output.txt");
  EXPECT_TRUE(home.OpLogHas("同步器已停止!"));
  // Nothing says ready once stopping has been said.
  auto stopping = std::find(seen.begin(), seen.end(), "STOPPING=1");
  EXPECT_EQ(std::find(stopping, seen.end(), "READY=1"), seen.end());
}

TEST(ServiceE2ETest, UnderSystemdAFailedStartIsNeverReadyAndFails) {
  ServerHome home;
  int blocker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(home.sync_port());
  ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(blocker, 1), 0);

  NotifySocket notify(home.root() + "/notify");
  ASSERT_TRUE(notify.bound());
  std::vector<std::string> env = home.Environment();
  env.push_back("NOTIFY_SOCKET=" + home.root() + "/notify");
  auto server = ChildProcess::Start(ProgramPath("Zentrovane.exe"), {}, env,
                                    home.root() + "/output.txt");
  ASSERT_NE(server, nullptr);
  // Exit status 1 makes systemd's Restart=on-failure try again.
  EXPECT_EQ(server->Wait(seconds(30)), 1);
  close(blocker);
  std::vector<std::string> seen;
  for (std::string m; !(m = notify.Receive(std::chrono::milliseconds(100))).empty();) {
    seen.push_back(m);
  }
  EXPECT_EQ(std::find(seen.begin(), seen.end(), "READY=1"), seen.end());
  EXPECT_TRUE(home.OpLogHas("同步器启动失败:无法创建数据同步Socket!"));
}

TEST(ServiceE2ETest, RunModesOfTheEntry) {
  ServerHome home;
  std::string output;
  EXPECT_EQ(RunToEnd(ProgramPath("Zentrovane.exe"), {"--UPDATE"}, home.Environment(), &output),
            0);
  EXPECT_EQ(output, "Update\n");
  EXPECT_EQ(RunToEnd(ProgramPath("Zentrovane.exe"), {"-v"}, home.Environment(), &output), 0);
  EXPECT_EQ(output, "Korvane ZVSync Server V3.2 build Dec 16 2010\n");

  // "-guard -debug" is no watchdog: the framework runs the server in the
  // foreground and ignores "-guard".
  ServerProcess server(home);
  ASSERT_TRUE(server.Start({"-guard", "-debug"})) << server.Output();
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_NE(server.Output().find("unknown switch \"-guard\" ignored"), std::string::npos);
}

}  // namespace
}  // namespace zv::e2e
