// What an operator watches, against the real server during a real upload:
// a real Prometheus (Debian's prometheus package) scraping the metrics
// endpoint, promtool checking its text, and the status view drawn with
// ncurses in a real terminal (tmux), read back with capture-pane. Each test
// skips, saying so, when its tool is not installed; scripts/install-deps.sh
// installs them.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "client/sample_files.h"
#include "db/db_test_util.h"
#include "e2e_util.h"

namespace zv::e2e {
namespace {

const bool kHomeRegistered = ::zv::testing::RegisterDbTestHome();
constexpr uint32_t kDevice = 0x00A1B2C3;

// The program's path in /usr/bin or /bin; "" when it is not installed.
std::string FindProgram(const std::string& name) {
  for (const char* folder : {"/usr/bin/", "/bin/"}) {
    if (access((folder + name).c_str(), X_OK) == 0) return folder + name;
  }
  return "";
}

// The query in a URL: everything but letters, digits and '_' escaped.
std::string UrlEncode(const std::string& text) {
  std::string out;
  char escaped[4];
  for (unsigned char c : text) {
    std::snprintf(escaped, sizeof(escaped), "%%%02X", c);
    out += std::isalnum(c) || c == '_' ? std::string(1, static_cast<char>(c)) : escaped;
  }
  return out;
}

// An installation with the importer and the tar tool, an account and its
// database; the upload of a log table of several blocks.
class MonitoringE2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    ZV_REQUIRE_DATABASE();
    storage_ = names_.New();
    ASSERT_EQ(home_.InstallCompanions(), "");
    ASSERT_TRUE(home_.AddAccount("shop", "pw", storage_));
  }

  // Uploads the file, calling at_half_way once half of it was sent; its size.
  size_t UploadLogTable(const std::function<void()>& at_half_way) {
    SampleFiles samples(storage_, kDevice, "20101216");
    const std::string content = samples.LogTableA();
    ApplianceClient client;
    client.set_timeout_ms(60000);
    const LoginAnswer answer = LoginOnce(&client, home_, MakeLogin("shop", "pw", kDevice));
    EXPECT_EQ(answer.kind, LoginAnswer::Kind::kAccepted) << client.last_error();
    UploadOptions options;
    options.compression = Compression::kLzo;
    options.block_size = 1024;
    bool called = false;
    options.progress = [&](uint64_t sent, uint64_t size) {
      if (!called && sent * 2 >= size) at_half_way();
      called = called || sent * 2 >= size;
      return true;
    };
    const auto* bytes = reinterpret_cast<const uint8_t*>(content.data());
    const UploadResult result = client.UploadMemory(
        samples.LogTableName("A"), 0, std::span<const uint8_t>(bytes, content.size()), options);
    EXPECT_TRUE(result.ok()) << result.error << "\n" << home_.DebugLog();
    EXPECT_TRUE(client.SendTaskFinished());
    return content.size();
  }

  ::zv::testing::ScopedDatabaseNames names_;
  std::string storage_;
  ServerHome home_;
};

class PrometheusE2ETest : public MonitoringE2ETest {
 protected:
  void SetUp() override {
    prometheus_ = FindProgram("prometheus");
    promtool_ = FindProgram("promtool");
    if (prometheus_.empty() || promtool_.empty()) {
      GTEST_SKIP() << "prometheus or promtool is not installed (Debian package prometheus; "
                      "scripts/install-deps.sh installs it)";
    }
    MonitoringE2ETest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    metrics_port_ = ::zv::testing::FreeTcpPort();
    home_.SetDword("EnableMetrics", 1);
    home_.SetDword("MetricsPort", metrics_port_);
    ASSERT_TRUE(server_.Start()) << server_.Output();
  }

  void TearDown() override {
    prometheus_process_.reset();  // killed and reaped
    if (server_.process() != nullptr && server_.process()->Running()) {
      EXPECT_EQ(server_.Stop(std::chrono::seconds(60)), 0);
    }
  }

  // Prometheus scraping the server every second; true once it is ready.
  bool StartPrometheus() {
    prometheus_port_ = ::zv::testing::FreeTcpPort();
    const std::string config = home_.root() + "/prometheus.yml";
    ::zv::testing::WriteFileBytes(
        config, "global: {scrape_interval: 1s, scrape_timeout: 1s}\n"
                "scrape_configs: [{job_name: zentrovane, static_configs: [{targets: "
                "['127.0.0.1:" + std::to_string(metrics_port_) + "']}]}]\n");
    prometheus_process_ = ChildProcess::Start(
        prometheus_,
        {"--config.file=" + config, "--storage.tsdb.path=" + home_.root() + "/tsdb",
         "--web.listen-address=127.0.0.1:" + std::to_string(prometheus_port_)},
        {"PATH=/usr/bin:/bin"}, home_.root() + "/prometheus.txt");
    return prometheus_process_ &&
           WaitUntil([&] { return !prometheus_process_->Running() || Get("/-/ready") == 200; },
                     std::chrono::seconds(90)) &&
           prometheus_process_->Running();
  }

  int Get(const std::string& target, std::string* body = nullptr) {
    return ::zv::testing::HttpRequest(prometheus_port_, "GET", target, body);
  }

  // Waits until an instant query's first sample has the value.
  bool QueryBecomes(const std::string& query, const std::string& value) {
    static const std::regex kValue(R"re("value":\[[0-9.e+]+,"([^"]*)"\])re");
    std::string body;
    std::smatch match;
    return WaitUntil(
        [&] {
          return Get("/api/v1/query?query=" + UrlEncode(query), &body) == 200 &&
                 std::regex_search(body, match, kValue) && match[1].str() == value;
        },
        std::chrono::seconds(60));
  }

  ServerProcess server_{home_};
  std::string prometheus_;
  std::string promtool_;
  uint16_t metrics_port_ = 0;
  uint16_t prometheus_port_ = 0;
  std::unique_ptr<ChildProcess> prometheus_process_;
};

TEST_F(PrometheusE2ETest, ScrapedDuringAnUploadAndCountingItsBytes) {
  ASSERT_TRUE(StartPrometheus()) << ::zv::testing::ReadFileBytes(home_.root() + "/prometheus.txt");
  ASSERT_TRUE(QueryBecomes("up{job=\"zentrovane\"}", "1"));
  const size_t size = UploadLogTable(
      [&] { EXPECT_TRUE(QueryBecomes("zentrovane_sessions_connected", "1")); });
  EXPECT_TRUE(QueryBecomes("zentrovane_received_bytes_total{compression=\"lzo\"}",
                           std::to_string(size)));
  EXPECT_TRUE(QueryBecomes("zentrovane_files_confirmed_total{kind=\"log_table\"}", "1"));
  EXPECT_TRUE(QueryBecomes("zentrovane_importer_runs_total{exit_code=\"0\"}", "1"));
  EXPECT_TRUE(QueryBecomes("zentrovane_sessions_connected", "0"));
}

TEST_F(PrometheusE2ETest, RefusalsAreCountedAndPromtoolAcceptsTheText) {
  ApplianceClient client;
  EXPECT_EQ(LoginOnce(&client, home_, MakeLogin("shop", "wrong", kDevice)).code, kWrongPassword);
  std::string text;
  ASSERT_EQ(::zv::testing::HttpRequest(metrics_port_, "GET", "/metrics", &text), 200);
  EXPECT_NE(text.find("\nzentrovane_logins_total{result=\"WrongPassword\"} 1\n"),
            std::string::npos);
  const std::string file = home_.root() + "/metrics.txt";
  ::zv::testing::WriteFileBytes(file, text);
  std::string output;
  EXPECT_EQ(RunToEnd("/bin/sh", {"-c", "exec \"$0\" check metrics < \"$1\"", promtool_, file},
                     {"PATH=/usr/bin:/bin"}, &output),
            0)
      << output << "\n" << text;
}

class StatusViewE2ETest : public MonitoringE2ETest {
 protected:
  void SetUp() override {
    tmux_ = FindProgram("tmux");
    if (tmux_.empty()) GTEST_SKIP() << "tmux is not installed (scripts/install-deps.sh installs it)";
    MonitoringE2ETest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    // A tmux server of its own, its socket in the test's folder, with a
    // 160 x 40 UTF-8 terminal running the server in the foreground.
    socket_ = home_.root() + "/tmux.socket";
    std::vector<std::string> env = home_.Environment();
    env.push_back("LANG=C.UTF-8");
    ASSERT_EQ(Tmux({"new-session", "-d", "-s", "zv", "-x", "160", "-y", "40",
                    ProgramPath("Zentrovane.exe") + " -app"},
                   env),
              0);
    started_ = true;
    ASSERT_TRUE(WaitUntil([&] {
      return home_.OpLogHas("同步器启动成功!") &&
             home_.DebugLogCount("Disk Monitor Check Finished!") > 0;
    })) << Screen();
  }

  void TearDown() override {
    if (!started_) return;
    SignalStopEvent(home_.object_namespace());
    EXPECT_TRUE(WaitUntil([&] { return !StopEventExists(home_.object_namespace()); }));
    Tmux({"kill-server"});
  }

  int Tmux(std::vector<std::string> args, std::vector<std::string> env = {"LANG=C.UTF-8"},
           std::string* output = nullptr) {
    args.insert(args.begin(), {"-S", socket_, "-f", "/dev/null"});
    return RunToEnd(tmux_, args, env, output);
  }

  std::string Screen() {
    std::string text;
    Tmux({"capture-pane", "-p", "-t", "zv"}, {"LANG=C.UTF-8"}, &text);
    return text;
  }

  // Waits until the pane shows pattern; the percentage of its first group
  // must reach at_least when it has one.
  bool Shows(const std::regex& pattern, int at_least = 0) {
    std::smatch match;
    std::string screen;
    const bool shown = WaitUntil([&] {
      screen = Screen();
      return std::regex_search(screen, match, pattern) &&
             (match.size() < 2 || std::stoi(match[1].str()) >= at_least);
    });
    EXPECT_TRUE(shown) << screen;
    return shown && (match.size() < 2 || std::stoi(match[1].str()) < 100);
  }

  std::string tmux_;
  std::string socket_;
  bool started_ = false;
};

TEST_F(StatusViewE2ETest, ShowsTheApplianceRowWithItsProgressAndFollowsTheTerminalSize) {
  // Half-way: the session, its address, a rate, the progress bar and the
  // transfer message (the view redraws once a second, an earlier moment
  // may show first); the disks; this upload's start among the log entries.
  UploadLogTable([&] {
    EXPECT_TRUE(Shows(std::regex(R"(shop-00A1B2C3 +127\.0\.0\.1 +[0-9.]+[KMG]?B/s +\[#* *\] +)"
                                 R"(([0-9]+)% +Transfering 20101216_1530_00A1B2C3_A\.dat)"),
                      40));
    EXPECT_TRUE(Shows(std::regex("磁盘: MYSQL安装磁盘 [0-9.]+[KMG]?B可用/")));
    EXPECT_TRUE(Shows(std::regex("开始同步日志表:20101216_1530_00A1B2C3_A.dat")));
  });
  EXPECT_TRUE(Shows(std::regex(R"(shop-00A1B2C3 +127\.0\.0\.1 +Disconnect from)")));

  // A narrow terminal: no rate and progress columns.
  ASSERT_EQ(Tmux({"resize-window", "-t", "zv", "-x", "90", "-y", "12"}), 0);
  EXPECT_TRUE(Shows(std::regex(R"(用户名 +IP +详细信息)")));
}

}  // namespace
}  // namespace zv::e2e
