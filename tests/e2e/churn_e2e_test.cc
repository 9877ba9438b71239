// Connections that come and go at once, and peers that send slowly, against
// the real server program: what a port scan, a load balancer's health
// checks or an unfriendly client do to it.
#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "e2e_util.h"

namespace zv::e2e {
namespace {

using std::chrono::seconds;

// Entries of /proc/<pid>/<folder>: "task" holds the process's threads,
// "fd" its open descriptors.
size_t ProcEntryCount(pid_t pid, const char* folder) {
  size_t count = 0;
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/" + folder).c_str());
  if (dir == nullptr) return 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

size_t ThreadCount(pid_t pid) { return ProcEntryCount(pid, "task"); }
size_t DescriptorCount(pid_t pid) { return ProcEntryCount(pid, "fd"); }

// Thread stacks among the process's mappings: an anonymous read-write
// mapping right behind a one-page inaccessible one (its guard). Other
// mappings do not count: the allocator's arenas, which a busier moment
// adds for good, put their inaccessible reserve behind their memory, and
// shared libraries map files.
size_t ThreadStackCount(pid_t pid) {
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  const unsigned long page = static_cast<unsigned long>(sysconf(_SC_PAGESIZE));
  size_t count = 0;
  unsigned long guard_end = 0;  // end of the last one-page ---p mapping, or 0
  for (std::string line; std::getline(maps, line);) {
    unsigned long start = 0;
    unsigned long end = 0;
    char perms[5] = {};
    unsigned long offset = 0;
    char device[16] = {};
    unsigned long inode = 0;
    int path_at = 0;
    if (std::sscanf(line.c_str(), "%lx-%lx %4s %lx %15s %lu %n", &start, &end, perms, &offset,
                    device, &inode, &path_at) < 6) {
      continue;
    }
    const bool anonymous = inode == 0 && line.find_first_not_of(' ', path_at) == std::string::npos;
    if (anonymous && std::string(perms) == "rw-p" && guard_end == start) ++count;
    guard_end = std::string(perms) == "---p" && end - start == page ? end : 0;
  }
  return count;
}

// Connects to the server and closes at once: with reset, by RST (linger 0),
// else by FIN. False when the connection could not be made.
bool ConnectAndClose(uint16_t port, bool reset) {
  const int fd = ::zv::testing::ConnectToLoopback(port);
  if (fd < 0) return false;
  if (reset) {
    linger abort{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
  }
  ::close(fd);
  return true;
}

// Connects and closes count times, FIN and RST in turn; how many connected.
int Burst(uint16_t port, int count) {
  int connected = 0;
  for (int i = 0; i < count; ++i) connected += ConnectAndClose(port, i % 2 == 1) ? 1 : 0;
  return connected;
}

// Every session of a burst of connect-and-close is reaped: the threads go,
// and so do their stacks. A session left registered after its thread ended
// keeps its stack mapped for good (8 MiB of address space and two mappings
// each), so the thread stacks would grow with every burst. Only stacks are
// counted: how many arenas the allocator adds depends on how many threads
// ran at once, which a loaded machine changes.
TEST(ChurnE2ETest, QuickConnectAndCloseLeavesNoSessionBehind) {
  ServerHome home;
  ASSERT_TRUE(home.AddAccount("demo", "demo", "shop1"));
  ServerProcess server(home);
  ASSERT_TRUE(server.Start()) << server.Output();
  const pid_t pid = server.process()->pid();
  const uint16_t port = home.sync_port();

  // A first burst lets the process reach its steady shape (the allocator's
  // arenas, the thread stacks the C library keeps for reuse).
  const size_t idle_threads = ThreadCount(pid);
  ASSERT_EQ(Burst(port, 300), 300);
  ASSERT_TRUE(WaitUntil([&] { return ThreadCount(pid) <= idle_threads; }, seconds(60)))
      << ThreadCount(pid) << " threads, " << idle_threads << " before";
  const size_t settled_stacks = ThreadStackCount(pid);

  constexpr int kConnections = 3000;
  ASSERT_EQ(Burst(port, kConnections), kConnections);
  ASSERT_TRUE(WaitUntil([&] { return ThreadCount(pid) <= idle_threads; }, seconds(60)))
      << ThreadCount(pid) << " threads, " << idle_threads << " before";
  // The stack cache of the C library keeps 40 MiB of stacks at the most
  // (five of 8 MiB); a session that stayed registered keeps one each.
  constexpr size_t kSlack = 6;
  EXPECT_TRUE(WaitUntil([&] { return ThreadStackCount(pid) <= settled_stacks + kSlack; },
                        seconds(20)))
      << ThreadStackCount(pid) << " thread stacks after " << kConnections << " connections, "
      << settled_stacks << " before them";
  EXPECT_GE(settled_stacks, idle_threads - 1) << "the count misses the stacks of running threads";

  // And the server still serves.
  ApplianceClient client;
  EXPECT_EQ(LoginOnce(&client, home, MakeLogin("demo", "demo", 1)).kind,
            LoginAnswer::Kind::kAccepted);
  client.Close();
  EXPECT_EQ(server.Stop(), 0);
}

// Connections that find the server without a descriptor for them wait in
// the kernel's queue: the accepts pause instead of spinning on the socket
// that stays readable (one log line for the shortage, not a stream), and
// go on once the sessions before them end.
TEST(ChurnE2ETest, ADescriptorShortagePausesTheAcceptsUntilDescriptorsAreFree) {
  constexpr unsigned kLimit = 128;
  ServerHome home;
  ASSERT_TRUE(home.AddAccount("demo", "demo", "shop1"));
  ServerProcess server(home);
  server.LimitDescriptors(kLimit);
  ASSERT_TRUE(server.Start()) << server.Output();
  const pid_t pid = server.process()->pid();
  const size_t in_use = DescriptorCount(pid);
  ASSERT_LT(in_use + 16, kLimit);

  // Silent connections (a session waits 30 s for a version) take every
  // descriptor left, and eight more wait behind them.
  std::vector<int> held;
  for (size_t i = 0; i < kLimit - in_use + 8; ++i) {
    const int fd = ::zv::testing::ConnectToLoopback(home.sync_port());
    ASSERT_GE(fd, 0);
    held.push_back(fd);
  }
  const char* const kShortage = "Accept error!errno=24";
  ASSERT_TRUE(WaitUntil([&] { return home.DebugLogCount(kShortage) >= 1; }, seconds(20)));
  ASSERT_TRUE(WaitUntil([&] { return DescriptorCount(pid) >= kLimit - 1; }, seconds(20)));
  // Several pauses long: a spinning accept logs tens of thousands of lines.
  // A line per shortage: the server's own short-lived files (a settings
  // read) free a descriptor now and then, which a queued connection takes.
  struct timespec pause = {0, 500 * 1000 * 1000};
  nanosleep(&pause, nullptr);
  EXPECT_LE(home.DebugLogCount(kShortage), 5u);

  for (int fd : held) ::close(fd);
  ApplianceClient client;
  EXPECT_EQ(LoginOnce(&client, home, MakeLogin("demo", "demo", 1)).kind,
            LoginAnswer::Kind::kAccepted);
  client.Close();
  EXPECT_EQ(server.Stop(), 0);
}

}  // namespace
}  // namespace zv::e2e
