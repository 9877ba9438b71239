#include "db/loader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>


#include "db/db_test_util.h"
#include "platform/named_object.h"
#include "test_util.h"

namespace zv {
namespace {

using ::zv::testing::DbTestHome;
using ::zv::testing::ReadFileBytes;
using ::zv::testing::WriteFileBytes;

const bool kHomeRegistered = ::zv::testing::RegisterDbTestHome();

std::string DebugLogText() { return ::zv::testing::ReadFolderText(DbTestHome() + "/debuglog"); }

// A fake importer at home/Loader.exe: writes its arguments, one a line, to
// home/args-<n> and, when gated, blocks until the test opens the gate
// (a FIFO), then exits with the given code.
class FakeImporter {
 public:
  FakeImporter(int exit_code, bool gated) : gate_(DbTestHome() + "/gate") {
    unlink(gate_.c_str());
    if (gated) {
      EXPECT_EQ(0, mkfifo(gate_.c_str(), 0600));
    }
    std::string script = "#!/bin/sh\n";
    script += "printf '%s\\n' \"$@\" > \"" + DbTestHome() + "/args.tmp\"\n";
    script += "mv \"" + DbTestHome() + "/args.tmp\" \"" + DbTestHome() + "/args\"\n";
    if (gated) script += "read line < \"" + gate_ + "\"\n";
    script += "exit " + std::to_string(exit_code) + "\n";
    const std::string path = DbTestHome() + "/Loader.exe";
    unlink(path.c_str());
    WriteFileBytes(path, script);
    chmod(path.c_str(), 0755);
    unlink((DbTestHome() + "/args").c_str());
    Loader::Instance().Init();
  }
  ~FakeImporter() { unlink(gate_.c_str()); }

  // Lets a gated importer end. Blocks until the importer reads the gate.
  void Open() {
    const int fd = open(gate_.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(3, write(fd, "go\n", 3));
    close(fd);
  }

  std::string Args() const { return ReadFileBytes(DbTestHome() + "/args"); }

 private:
  std::string gate_;
};

uint32_t WaitUntilEnded() {
  uint32_t code = 0xFFFFFFFF;
  while (!Loader::Instance().WaitImporter(100, &code)) {
  }
  return code;
}

using Args = std::vector<std::string>;

TEST(LoaderCommandLineTest, ExactlyAsTheImporterExpects) {
  // The path, the command word, and for two of the commands the target (or
  // database) before the file (or table).
  EXPECT_EQ((Args{"/srv/zv/Loader.exe", "LoadConfigTable", "shop1.users",
                  "/data/shop1/configtable/x.dat"}),
            ConfigTableArguments("/srv/zv/Loader.exe", "/data/shop1/configtable/x.dat",
                                 "shop1.users"));
  EXPECT_EQ((Args{"/srv/zv/Loader.exe", "LoadLogTable"}), LogTableArguments("/srv/zv/Loader.exe"));
  EXPECT_EQ((Args{"/srv/zv/Loader.exe", "CreateTable", "shop1", "TableInfo"}),
            CreateTableArguments("/srv/zv/Loader.exe", "shop1", "TableInfo"));
}

TEST(LoaderCommandLineTest, PathWithBlanksStaysOneArgument) {
  const Args argv = LogTableArguments("/srv/my zv/Loader.exe");
  ASSERT_EQ(2u, argv.size());
  EXPECT_EQ("/srv/my zv/Loader.exe", argv[0]);
}

TEST(LoaderTest, InitPointsAtHomeLoaderExe) {
  EXPECT_TRUE(Loader::Instance().Init());
  EXPECT_EQ(DbTestHome() + "/Loader.exe", Loader::Instance().importer_path());
}

TEST(LoaderTest, ConfigTableImportGetsTargetAndFile) {
  FakeImporter fake(0, false);
  ASSERT_EQ(0, Loader::Instance().LoadConfigTable("/data/my shop/configtable/x.dat", "shop1.users"));
  EXPECT_EQ(0u, WaitUntilEnded());
  EXPECT_EQ("LoadConfigTable\nshop1.users\n/data/my shop/configtable/x.dat\n", fake.Args());
  EXPECT_NE(std::string::npos,
            DebugLogText().find("Load config table /data/my shop/configtable/x.dat into shop1.users"));
}

TEST(LoaderTest, WaitReturnsFalseWhileRunningThenTheExitCode) {
  FakeImporter fake(7, true);
  ASSERT_EQ(0, Loader::Instance().LoadLogTable("/data/shop1/logtable/x.dat"));
  uint32_t code = 12345;
  EXPECT_FALSE(Loader::Instance().WaitImporter(100, &code));
  EXPECT_FALSE(Loader::Instance().WaitImporter(100, &code));
  EXPECT_EQ(12345u, code);
  fake.Open();
  EXPECT_EQ(7u, WaitUntilEnded());
  EXPECT_EQ("LoadLogTable\n", fake.Args());
  EXPECT_NE(std::string::npos, DebugLogText().find("Load log table /data/shop1/logtable/x.dat"));
}

TEST(LoaderTest, TerminateForgetsTheImportAndAllowsANewOne) {
  {
    FakeImporter fake(0, true);
    ASSERT_EQ(0, Loader::Instance().LoadLogTable("a"));
    Loader::Instance().TerminateImporter();
    // Nothing tracked: a second terminate does nothing, a new start works.
    Loader::Instance().TerminateImporter();
  }
  FakeImporter fake(3, false);
  ASSERT_EQ(0, Loader::Instance().LoadLogTable("b"));
  EXPECT_EQ(3u, WaitUntilEnded());
}

TEST(LoaderTest, SecondStartWhileTrackedIsAProgrammingError) {
  FakeImporter fake(0, true);
  ASSERT_EQ(0, Loader::Instance().LoadLogTable("a"));
  EXPECT_THROW(Loader::Instance().LoadLogTable("b"), int);
  fake.Open();
  EXPECT_EQ(0u, WaitUntilEnded());
}

TEST(LoaderTest, StartFailureReturnsMinusOneAndLogs) {
  FakeImporter fake(0, false);
  unlink((DbTestHome() + "/Loader.exe").c_str());
  EXPECT_EQ(-1, Loader::Instance().LoadConfigTable("f", "d.t"));
  EXPECT_NE(std::string::npos, DebugLogText().find("StartProcess failed!errno=2"));
  // Nothing is tracked after a failed start.
  uint32_t code = 0;
  EXPECT_TRUE(Loader::Instance().WaitImporter(100, &code));
  EXPECT_EQ(kImporterExitCodeUnknown, code);
}

TEST(LoaderTest, QuotesAndBackslashesReachTheImporterUnchanged) {
  // Nothing is quoted on the way: what would have broken a command line is
  // one argument like any other.
  {
    FakeImporter fake(0, false);
    ASSERT_EQ(0, Loader::Instance().LoadConfigTable("/data/x.dat\\", "shop1.t\" \"x"));
    EXPECT_EQ(0u, WaitUntilEnded());
    EXPECT_EQ("LoadConfigTable\nshop1.t\" \"x\n/data/x.dat\\\n", fake.Args());
  }
  FakeImporter fake(0, false);
  EXPECT_EQ(0u, Loader::Instance().CreateTable("shop1\"", "Table Info"));
  EXPECT_EQ("CreateTable\nshop1\"\nTable Info\n", fake.Args());
}

TEST(LoaderTest, ArgumentWithANulIsRefused) {
  // A C-string argument would arrive cut at the NUL: nothing starts.
  FakeImporter fake(0, false);
  EXPECT_EQ(-1, Loader::Instance().LoadConfigTable(std::string("/data/x\0.dat", 11), "shop1.t"));
  uint32_t code = 0;
  EXPECT_TRUE(Loader::Instance().WaitImporter(100, &code));
  EXPECT_EQ(kImporterExitCodeUnknown, code);
  EXPECT_EQ(22u, Loader::Instance().CreateTable(std::string("shop1\0x", 7), "TableInfo"));
  EXPECT_FALSE(::zv::testing::FileExists(DbTestHome() + "/args"));
}

TEST(LoaderTest, CreateTableRunsAndReturnsTheExitCode) {
  FakeImporter fake(5, false);
  EXPECT_EQ(5u, Loader::Instance().CreateTable("shop1", "AttachInfo"));
  EXPECT_EQ("CreateTable\nshop1\nAttachInfo\n", fake.Args());
}

TEST(LoaderTest, CreateTableWithoutImporterReturnsTheStartError) {
  FakeImporter fake(0, false);
  unlink((DbTestHome() + "/Loader.exe").c_str());
  EXPECT_EQ(2u, Loader::Instance().CreateTable("shop1", "TableInfo"));
}

TEST(LoaderTest, MutexCheckIsOneWay) {
  Loader& loader = Loader::Instance();
  loader.ResetMutexCheckForTesting();
  NamedEvent::CreateResult result;
  auto holder = NamedEvent::Create(kLoaderMutexName, true, &result);
  ASSERT_TRUE(holder);
  EXPECT_TRUE(loader.IsExternalImporterRunning());
  EXPECT_TRUE(loader.IsExternalImporterRunning());
  holder.reset();
  EXPECT_FALSE(loader.IsExternalImporterRunning());
  // Seen absent once: never looked for again.
  holder = NamedEvent::Create(kLoaderMutexName, true, &result);
  ASSERT_TRUE(holder);
  EXPECT_TRUE(NamedObjectExists(kLoaderMutexName));
  EXPECT_FALSE(loader.IsExternalImporterRunning());
}

}  // namespace
}  // namespace zv
