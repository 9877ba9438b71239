#include "crashdump/crash_filter.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unwind.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "crashdump/crash_test_util.h"
#include "test_util.h"

extern char** environ;

namespace zv {
namespace {

using ::testing::HasSubstr;

struct ChildResult {
  int status = -1;  // as waitpid gives it
  std::string output;
};

std::string ChildPath() { return testing::ProgramDirectory() + "/crash_child"; }

// Runs crash_child with args and home as its home folder, without core
// files. traced: the child asks to be traced by this process first, which
// then lets every signal through as a debugger would.
ChildResult RunCrashChild(const std::vector<std::string>& args, const std::string& home,
                          bool traced = false) {
  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::string(*e).rfind("ZENTROVANE_HOME=", 0) != 0) env_text.push_back(*e);
  }
  env_text.push_back("ZENTROVANE_HOME=" + home);
  std::vector<std::string> argv_text = {ChildPath()};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  std::vector<char*> envp;
  for (std::string& s : argv_text) argv.push_back(s.data());
  for (std::string& s : env_text) envp.push_back(s.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);

  ChildResult result;
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return result;
  const pid_t pid = fork();
  if (pid == 0) {
    struct rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    dup2(out[1], STDOUT_FILENO);
    if (traced && ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(99);
    execve(argv[0], argv.data(), envp.data());
    _exit(98);
  }
  close(out[1]);
  for (;;) {
    if (pid < 0 || waitpid(pid, &result.status, 0) != pid) break;
    if (!WIFSTOPPED(result.status)) break;
    const int signal_number = WSTOPSIG(result.status);
    ptrace(PTRACE_CONT, pid, nullptr, signal_number == SIGTRAP ? 0 : signal_number);
  }
  char buffer[4096];
  ssize_t n;
  while ((n = read(out[0], buffer, sizeof(buffer))) > 0) result.output.append(buffer, n);
  close(out[0]);
  return result;
}

class CrashFilterTest : public ::testing::Test {
 protected:
  std::string Home() const { return dir_.Sub("home"); }
  std::string Old(int i) const { return "Zentrovane_20200101_00000" + std::to_string(i) + ".dmp"; }

  void PlantSixOldReports() {
    std::filesystem::remove_all(Home());
    for (int i = 0; i < 6; ++i) testing::WriteFileBytes(Home() + "/" + Old(i), "old");
  }

  testing::ScopedTempDir dir_;
};

TEST_F(CrashFilterTest, EveryCrashLeavesOneReportNamingTheCrashingFunction) {
  struct Case {
    const char* mode;
    int signal_number;
    const char* signal_line;
    const char* detail;  // more lines the report must hold
    const char* function;
    const char* thread_name;
  };
  const Case cases[] = {
      {"null-write", SIGSEGV, "Signal: 11 SIGSEGV",
       "\nCode: 1 SEGV_MAPERR (address not mapped)\nAddress: 0x0000000000000000\n",
       "CrashByNullWrite", "CrashMain"},
      {"stack-overflow", SIGSEGV, "Signal: 11 SIGSEGV", "\nAddress: 0x", "CrashByStackOverflow",
       "CrashMain"},
      {"abort", SIGABRT, "Signal: 6 SIGABRT", "\nSent by: process ", "CrashByAbort", "CrashMain"},
      {"exception", SIGABRT, "Signal: 6 SIGABRT",
       "\nTerminate: uncaught exception of type St13runtime_error: thrown on purpose\n",
       "CrashByThrow", "CrashMain"},
      {"thread-null-write", SIGSEGV, "Signal: 11 SIGSEGV", "\nAddress: 0x0000000000000000\n",
       "CrashByNullWrite", "CrashWorker"},
      // A worker thread that took its own crash stack, as the server's do.
      {"thread-stack-overflow", SIGSEGV, "Signal: 11 SIGSEGV", "\nAddress: 0x",
       "CrashByStackOverflow", "CrashWorker"},
  };
  const std::string build_id = testing::BuildIdOf(ChildPath());
  ASSERT_FALSE(build_id.empty());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    PlantSixOldReports();
    const ChildResult run = RunCrashChild({c.mode}, Home());
    EXPECT_EQ("crash filter installed\n", run.output);
    ASSERT_TRUE(WIFSIGNALED(run.status)) << run.status;
    EXPECT_EQ(c.signal_number, WTERMSIG(run.status));

    // The four newest old reports and the new one; two lines in the record.
    const std::vector<std::string> reports = testing::ListReports(Home());
    ASSERT_EQ(5u, reports.size());
    EXPECT_EQ((std::vector<std::string>{Old(2), Old(3), Old(4), Old(5)}),
              std::vector<std::string>(reports.begin(), reports.begin() + 4));
    EXPECT_TRUE(std::regex_match(reports[4], std::regex(R"(Zentrovane_\d{8}_\d{6}\.dmp)")));
    const std::vector<std::string> record =
        testing::SplitLines(testing::ReadFileBytes(Home() + "/deleted_dumps.lst"));
    ASSERT_EQ(2u, record.size());
    EXPECT_THAT(record[0], ::testing::EndsWith(" " + Home() + "/" + Old(0)));
    EXPECT_THAT(record[1], ::testing::EndsWith(" " + Home() + "/" + Old(1)));

    const std::string report = testing::ReadFileBytes(Home() + "/" + reports[4]);
    EXPECT_EQ(0u, report.find("Zentrovane crash report\nVersion: crash child 1.0 build test\n"));
    EXPECT_THAT(report,
                HasSubstr("\nBuild id: " + build_id + "\nExecutable: " + ChildPath() + "\n"));
    EXPECT_THAT(report, HasSubstr(std::string("\n") + c.signal_line + "\n"));
    EXPECT_THAT(report, HasSubstr(c.detail));
    std::smatch process;
    std::smatch thread;
    ASSERT_TRUE(std::regex_search(report, process, std::regex("\nProcess: (\\d+)\n")));
    const std::regex thread_line(std::string("\nThread: (\\d+) ") + c.thread_name + "\n");
    ASSERT_TRUE(std::regex_search(report, thread, thread_line))
        << report.substr(0, 2000);
    EXPECT_EQ(std::string(c.thread_name) == "CrashMain", process[1] == thread[1]);
    EXPECT_THAT(report, HasSubstr("\nRegisters:\n  rax    0x"));

    // The engineer's way: module and offset of the frame, through addr2line.
    const testing::Frame frame = testing::FindFrame(report, c.function);
    ASSERT_EQ(ChildPath(), frame.module) << report.substr(0, 4000);
    EXPECT_THAT(testing::FunctionAt(frame), HasSubstr(c.function)) << frame.offset;
    EXPECT_EQ(report.size() - 15, report.rfind("\nEnd of report\n"));
  }
}

TEST_F(CrashFilterTest, AReportThatCannotBeWrittenGoesToTheOperationLog) {
  const std::string log_folder = dir_.Sub("log");
  const ChildResult run = RunCrashChild({"null-write", log_folder}, dir_.Sub("missing"));
  ASSERT_TRUE(WIFSIGNALED(run.status)) << run.status;
  EXPECT_EQ(SIGSEGV, WTERMSIG(run.status));
  EXPECT_TRUE(testing::ListReports(dir_.path()).empty());

  // One record: module, warning code, the message with ENOENT (2) as
  // eight hexadecimal digits.
  const std::string log = testing::ReadFolderText(log_folder, ".log");
  ASSERT_EQ(256u, log.size());
  EXPECT_EQ(testing::Utf8ToGbk("同步器"), log.substr(0, 6));
  EXPECT_EQ('2', log[20]);
  const std::string message = testing::Utf8ToGbk("不能创建转储文件,错误号:") + "00000002";
  EXPECT_EQ(message + '\0', log.substr(36, message.size() + 1));
  const std::regex time_field(std::string("\\d\\d:\\d\\d:\\d\\d") + '\0');
  EXPECT_TRUE(std::regex_match(log.substr(24, 9), time_field));
}

TEST_F(CrashFilterTest, NotInstalledUnderADebugger) {
  PlantSixOldReports();
  const ChildResult run = RunCrashChild({"null-write"}, Home(), /*traced=*/true);
  if (WIFEXITED(run.status) && WEXITSTATUS(run.status) == 99) GTEST_SKIP() << "ptrace refused here";
  EXPECT_EQ("crash filter not installed\n", run.output);
  ASSERT_TRUE(WIFSIGNALED(run.status)) << run.status;
  EXPECT_EQ(SIGSEGV, WTERMSIG(run.status));
  EXPECT_EQ(6u, testing::ListReports(Home()).size());
  EXPECT_FALSE(testing::FileExists(Home() + "/deleted_dumps.lst"));
}

// libunwind exports the calls C++ exceptions are thrown with as well; the
// link order keeps them with the compiler's own unwinder.
TEST(CrashFilterLinkTest, ExceptionsKeepTheCompilersUnwinder) {
  Dl_info info = {};
  ASSERT_NE(0, dladdr(reinterpret_cast<void*>(&_Unwind_RaiseException), &info));
  EXPECT_THAT(info.dli_fname, HasSubstr("libgcc_s"));
}

}  // namespace
}  // namespace zv
