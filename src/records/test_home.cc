#include "records/test_home.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "config/zv_sync_config.h"
#include "log/log_file.h"
#include "log/sync_log.h"
#include "test_util.h"
#include "util/file_util.h"

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

std::string ReadFolder(const std::string& folder) {
  std::vector<std::string> files;
  ListFiles(folder, "*", &files, true);
  std::string text;
  for (const std::string& f : files) text += ReadFileBytes(f);
  return text;
}

std::string ToGbk(std::string_view utf8) {
  iconv_t cd = iconv_open("GBK", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string();
  std::string in(utf8);
  std::string out(in.size() * 2 + 4, '\0');
  char* src = in.data();
  size_t src_left = in.size();
  char* dst = out.data();
  size_t dst_left = out.size();
  size_t r = iconv(cd, &src, &src_left, &dst, &dst_left);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1)) return std::string();
  out.resize(out.size() - dst_left);
  return out;
}

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

std::string DebugLogText() { return ReadFolder(GetState().home + "/debuglog"); }

bool OperationLogContains(std::string_view utf8_text) {
  const std::string gbk = ToGbk(utf8_text);
  if (gbk.empty()) return false;
  return ReadFolder(GetState().home + "/log").find(gbk) != std::string::npos;
}

}  // namespace zv::testing
