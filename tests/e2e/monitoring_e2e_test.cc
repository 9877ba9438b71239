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
constexpr char kSessionKey[] = "shop-00A1B2C3";

// The program's path from PATH; "" when it is not installed.
std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "/usr/bin:/bin";
  for (size_t start = 0; start <= folders.size();) {
    size_t end = folders.find(':', start);
    if (end == std::string::npos) end = folders.size();
    const std::string candidate = folders.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

int HttpGet(uint16_t port, const std::string& target, std::string* body) {
  return ::zv::testing::HttpRequest(port, "GET", target, body);
}

std::string UrlEncode(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '_' || c == '-' || c == '.') {
      out.push_back(static_cast<char>(c));
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof(escaped), "%%%02X", c);
      out += escaped;
    }
  }
  return out;
}

// Installation, account and database of an upload (the importer and the
// tar tool beside the server).
class MonitoringE2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    ZV_REQUIRE_DATABASE();
    storage_ = names_.New();
    ASSERT_EQ(home_.InstallCompanions(), "");
    ASSERT_TRUE(home_.AddAccount("shop", "pw", storage_));
  }

  // Logs in and uploads a log table of several blocks, calling
  // at_half_way once, when half of it has been sent; the file's size.
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
      if (!called && sent * 2 >= size) {
        called = true;
        at_half_way();
      }
      return true;
    };
    const UploadResult result = client.UploadMemory(
        samples.LogTableName("A"), 0,
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(content.data()),
                                 content.size()),
        options);
    EXPECT_TRUE(result.ok()) << result.error << "\n" << home_.DebugLog();
    EXPECT_TRUE(called);
    EXPECT_TRUE(client.SendTaskFinished());
    client.Close();
    return content.size();
  }

  ::zv::testing::ScopedDatabaseNames names_;
  std::string storage_;
  ServerHome home_;
};

// ---------------------------------------------------------------------------
// Prometheus

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
    if (prometheus_process_) prometheus_process_->Kill(SIGTERM);
    prometheus_process_.reset();  // reaps it, killing it if it lingers
    if (server_.process() != nullptr && server_.process()->Running()) {
      EXPECT_EQ(server_.Stop(std::chrono::seconds(60)), 0);
    }
  }

  // Starts Prometheus scraping the server every second; true once it is
  // ready to answer queries.
  bool StartPrometheus() {
    prometheus_port_ = ::zv::testing::FreeTcpPort();
    const std::string config = home_.root() + "/prometheus.yml";
    ::zv::testing::WriteFileBytes(
        config, "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                "scrape_configs:\n  - job_name: zentrovane\n    static_configs:\n"
                "      - targets: ['127.0.0.1:" + std::to_string(metrics_port_) + "']\n");
    prometheus_process_ = ChildProcess::Start(
        prometheus_,
        {"--config.file=" + config, "--storage.tsdb.path=" + home_.root() + "/tsdb",
         "--web.listen-address=127.0.0.1:" + std::to_string(prometheus_port_)},
        {"PATH=/usr/bin:/bin"}, home_.root() + "/prometheus.txt");
    if (!prometheus_process_) return false;
    return WaitUntil(
        [&] {
          return !prometheus_process_->Running() ||
                 HttpGet(prometheus_port_, "/-/ready", nullptr) == 200;
        },
        std::chrono::seconds(90)) &&
           prometheus_process_->Running();
  }

  // The value of an instant query's first sample, as Prometheus prints it;
  // "" when the query has no sample (yet).
  std::string Query(const std::string& query) {
    std::string body;
    if (HttpGet(prometheus_port_, "/api/v1/query?query=" + UrlEncode(query), &body) != 200) {
      return "";
    }
    std::smatch match;
    static const std::regex kValue(R"re("value":\[[0-9.e+]+,"([^"]*)"\])re");
    return std::regex_search(body, match, kValue) ? match[1].str() : "";
  }

  bool WaitForQuery(const std::string& query, const std::string& value) {
    return WaitUntil([&] { return Query(query) == value; }, std::chrono::seconds(60));
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
  ASSERT_TRUE(WaitForQuery("up{job=\"zentrovane\"}", "1"));

  const size_t size = UploadLogTable([&] {
    // The session is connected while Prometheus scrapes it.
    EXPECT_TRUE(WaitForQuery("zentrovane_sessions_connected", "1"));
  });

  EXPECT_TRUE(WaitForQuery("zentrovane_received_bytes_total{compression=\"lzo\"}",
                           std::to_string(size)))
      << Query("zentrovane_received_bytes_total{compression=\"lzo\"}");
  EXPECT_TRUE(WaitForQuery("zentrovane_files_confirmed_total{kind=\"log_table\"}", "1"));
  EXPECT_TRUE(WaitForQuery("zentrovane_logins_total{result=\"NoError\"}", "1"));
  EXPECT_TRUE(WaitForQuery("zentrovane_file_processing_seconds_count{kind=\"log_table\"}", "1"));
  EXPECT_TRUE(WaitForQuery("zentrovane_importer_runs_total{exit_code=\"0\"}", "1"));
  EXPECT_TRUE(WaitForQuery("zentrovane_sessions_connected", "0"));
  EXPECT_NE(Query("zentrovane_disk_available_bytes{disk=\"data\"} > 0"), "");
}

TEST_F(PrometheusE2ETest, PromtoolAcceptsTheExposition) {
  std::string text;
  ASSERT_EQ(HttpGet(metrics_port_, "/metrics", &text), 200);
  const std::string file = home_.root() + "/metrics.txt";
  ::zv::testing::WriteFileBytes(file, text);
  std::string output;
  EXPECT_EQ(RunToEnd("/bin/sh", {"-c", "exec \"$0\" check metrics < \"$1\"", promtool_, file},
                     {"PATH=/usr/bin:/bin"}, &output),
            0)
      << output << "\n" << text;
  EXPECT_EQ(HttpGet(metrics_port_, "/", nullptr), 404);
}

// ---------------------------------------------------------------------------
// The status view in tmux

class StatusViewE2ETest : public MonitoringE2ETest {
 protected:
  void SetUp() override {
    tmux_ = FindProgram("tmux");
    if (tmux_.empty()) {
      GTEST_SKIP() << "tmux is not installed (scripts/install-deps.sh installs it)";
    }
    MonitoringE2ETest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    // A server of its own, whose socket goes with the test's folder.
    socket_ = home_.root() + "/tmux.socket";
    // A terminal of 160 x 40 running the server in the foreground; UTF-8,
    // as the column heads are Chinese.
    std::vector<std::string> env = home_.Environment();
    env.push_back("LANG=C.UTF-8");
    ASSERT_EQ(Tmux({"new-session", "-d", "-s", "zv", "-x", "160", "-y", "40",
                    ProgramPath("Zentrovane.exe") + " -app"},
                   env),
              0);
    started_ = true;
    ASSERT_TRUE(WaitUntil(
        [&] {
          return home_.OpLogHas("同步器启动成功!") &&
                 home_.DebugLogCount("Disk Monitor Check Finished!") > 0;
        },
        std::chrono::seconds(30)))
        << Screen() << home_.DebugLog();
  }

  void TearDown() override {
    if (!started_) return;
    // The stop event closes the server; the pane and the session end with it.
    SignalStopEvent(home_.object_namespace());
    EXPECT_TRUE(WaitUntil([&] { return !StopEventExists(home_.object_namespace()); },
                          std::chrono::seconds(30)));
    Tmux({"kill-server"});
  }

  int Tmux(std::vector<std::string> args, std::vector<std::string> env = {},
           std::string* output = nullptr) {
    args.insert(args.begin(), {"-S", socket_, "-f", "/dev/null"});
    if (env.empty()) env = {"PATH=/usr/bin:/bin", "LANG=C.UTF-8"};
    return RunToEnd(tmux_, args, env, output);
  }

  // The pane's text now.
  std::string Screen() {
    std::string text;
    Tmux({"capture-pane", "-p", "-t", "zv"}, {}, &text);
    return text;
  }

  // Waits until the pane shows a line matching pattern; its match.
  std::smatch WaitForLine(const std::regex& pattern) {
    std::smatch match;
    std::string screen;
    const bool shown = WaitUntil(
        [&] {
          screen = Screen();
          return std::regex_search(screen, match, pattern);
        },
        std::chrono::seconds(30));
    EXPECT_TRUE(shown) << screen;
    return match;
  }

  std::string tmux_;
  std::string socket_;
  bool started_ = false;
};

TEST_F(StatusViewE2ETest, ShowsTheApplianceRowWithItsProgressAndFollowsTheTerminalSize) {
  // Half-way through the upload, the row shows the session, its address,
  // a rate, the progress bar of the file and the transfer message.
  const std::regex progress_row(std::string(kSessionKey) +
                                R"( +127\.0\.0\.1 +[0-9.]+[KMG]?B/s +\[#* *\] +([0-9]+)% +)"
                                R"(Transfering 20101216_1530_00A1B2C3_A\.dat)");
  UploadLogTable([&] {
    // The view redraws once a second: it may show an earlier moment first.
    std::string screen;
    int percent = -1;
    EXPECT_TRUE(WaitUntil(
        [&] {
          screen = Screen();
          std::smatch row;
          percent = std::regex_search(screen, row, progress_row) ? std::stoi(row[1].str()) : -1;
          return percent >= 40;
        },
        std::chrono::seconds(30)))
        << screen;
    EXPECT_LT(percent, 100);
    EXPECT_NE(screen.find("用户名"), std::string::npos) << screen;
    EXPECT_NE(screen.find("磁盘: MYSQL安装磁盘 "), std::string::npos) << screen;
    // The latest operation-log entries: this upload's start among them.
    EXPECT_NE(screen.find("开始同步日志表:20101216_1530_00A1B2C3_A.dat"), std::string::npos)
        << screen;
  });
  WaitForLine(std::regex(std::string(kSessionKey) + R"( +127\.0\.0\.1 +Disconnect from)"));

  // A narrow terminal: no rate and progress columns, the row all the same.
  ASSERT_EQ(Tmux({"resize-window", "-t", "zv", "-x", "90", "-y", "12"}), 0);
  WaitForLine(std::regex(R"(用户名 +IP +详细信息)"));
  EXPECT_EQ(Screen().find("速率"), std::string::npos);
}

}  // namespace
}  // namespace zv::e2e
