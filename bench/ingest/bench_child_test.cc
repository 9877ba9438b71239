#include "bench_child.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_util.h"

namespace zv::bench {
namespace {

TEST(BenchChildTest, ExitCodeAndOutputOfAProgram) {
  ::zv::testing::ScopedTempDir dir;
  const std::string output = dir.Sub("out.txt");
  EXPECT_EQ(RunProgram("/bin/sh", {"-c", "echo \"$BENCH_WORD\"; exit 3"}, {"BENCH_WORD=hello"},
                       output),
            3);
  EXPECT_EQ(ReadWholeFile(output), "hello\n");
  EXPECT_EQ(RunProgram(dir.Sub("no-such-program"), {}, {}, output), -1);
}

// An interrupted benchmark takes its children with it: the server must not
// outlive it.
TEST(BenchChildTest, InterruptKillsTheChildrenStillRunning) {
  ::zv::testing::ScopedTempDir dir;
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  pid_t benchmark = ::fork();
  ASSERT_GE(benchmark, 0);
  if (benchmark == 0) {
    ::close(pipe_fds[0]);
    KillChildrenOnInterrupt();
    auto child = BenchChild::Start("/bin/sleep", {"60"}, {}, dir.Sub("sleep.txt"));
    pid_t pid = child ? child->pid() : -1;
    if (::write(pipe_fds[1], &pid, sizeof(pid)) != sizeof(pid)) ::_exit(2);
    for (;;) ::pause();
  }
  ::close(pipe_fds[1]);
  pid_t sleeper = -1;
  ASSERT_EQ(::read(pipe_fds[0], &sleeper, sizeof(sleeper)), static_cast<ssize_t>(sizeof(sleeper)));
  ::close(pipe_fds[0]);
  ASSERT_GT(sleeper, 0);
  int sleeper_fd = static_cast<int>(syscall(SYS_pidfd_open, sleeper, 0));
  ASSERT_GE(sleeper_fd, 0);

  ASSERT_EQ(::kill(benchmark, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(benchmark, &status, 0), benchmark);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  // The sleeper ends (its pidfd becomes readable) long before its minute.
  pollfd ended{sleeper_fd, POLLIN, 0};
  EXPECT_EQ(::poll(&ended, 1, 20000), 1);
  ::close(sleeper_fd);
}

}  // namespace
}  // namespace zv::bench
