#include "records/test_home.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "config/zv_sync_config.h"
#include "log/log_file.h"
#include "log/sync_log.h"
#include "test_util.h"

namespace zv::testing {

namespace {

struct State {
  std::unique_ptr<ScopedTempDir> root;
  std::string home;
  std::string data;
};

State& GetState() {
  static State* state = new State;
  return *state;
}

class TestHome : public ::testing::Environment {
 public:
  void SetUp() override {
    State& s = GetState();
    s.root = std::make_unique<ScopedTempDir>();
    s.home = s.root->Sub("home");
    s.data = s.root->Sub("mysql/log_data");
    WriteFileBytes(s.home + "/config/placeholder", "");
    WriteFileBytes(s.root->Sub("mysql_path.ini"), "[mysql]\npath=" + s.root->Sub("mysql") + "/\n");
    setenv("ZENTROVANE_HOME", s.home.c_str(), 1);
    setenv("ZENTROVANE_REGISTRY", (s.home + "/registry.reg").c_str(), 1);
    setenv("ZENTROVANE_OBJECT_NAMESPACE", UniqueName("records").c_str(), 1);
    ZVSyncLog::Instance().SetDirectoryForTesting(s.home + "/debuglog");
    ZVSyncLog::Instance().SetLevel(0xFFFFFFFF);
    CZvLogFile::Instance().SetDirectoryForTesting(s.home + "/log");
    // A fixed day: every line of the run goes to one file of each log.
    ZVSyncLog::Instance().SetClockForTesting([] { return time_t{1767268800}; });
    CZvLogFile::Instance().SetClockForTesting([] { return time_t{1767268800}; });
    ASSERT_TRUE(ZVSyncConfig::Instance().LoadMysqlPath());
    ASSERT_EQ(ZVSyncConfig::Instance().GetMysqlDataPath(), s.data);
  }
  void TearDown() override { GetState().root.reset(); }
};

}  // namespace

bool RegisterTestHome() {
  // Several test files of one program may ask; the home is set up once.
  static const bool registered = [] {
    ::testing::AddGlobalTestEnvironment(new TestHome);
    return true;
  }();
  return registered;
}

const std::string& TestHomeDirectory() { return GetState().home; }
const std::string& TestDataDirectory() { return GetState().data; }

std::string DebugLogText() {
  ZVSyncLog::Instance().Flush();  // lines other threads handed to the writer
  return ReadFolderText(GetState().home + "/debuglog");
}

bool OperationLogContains(std::string_view utf8_text) {
  return ReadFolderText(GetState().home + "/log").find(Utf8ToGbk(utf8_text)) != std::string::npos;
}

}  // namespace zv::testing
