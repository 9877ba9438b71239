// load_bench: many appliances at once against a real Zentrovane.exe.
//
//   build/bench/load_bench [--appliances 200] [--files 2] [--file-size 3M]
//       [--block 256K] [--dir DIR] [--skip-processing] [--no-disconnect] [--keep]
//
// Needs the test database (scripts/testdb.sh start); scripts/bench-load.sh
// starts it, runs this program and stops what it started.
//
// Every appliance is a thread of this program with a device id of its own
// (one account). All of them connect and log in at once; while all are
// connected and idle the server's resident memory is read. Then each
// uploads its files (log tables, the compression method changing from file
// to file and from appliance to appliance), the first one interrupted half
// way by a connection reset: the appliance reconnects, reads the stored
// position from the server's answer, checks its CRC, and resumes from
// there. Reported: MB/s of file data, logins per second of the opening
// burst, login latency percentiles, errors (any refusal counts, "server
// busy" included), the server's peak resident memory and its growth per
// connected appliance.
#include <unistd.h>

#include <atomic>
#include <random>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_child.h"
#include "bench_server.h"
#include "client/appliance_client.h"
#include "load_stats.h"
#include "protocol/block.h"
#include "protocol/result_codes.h"
#include "bench_options.h"
#include "upload_blocks.h"
#include "uploader.h"

namespace zv::bench {
namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

struct Options {
  int appliances = 200;
  int files = 2;
  UploadOptions upload;
  std::string dir;
  bool processing = true;
  bool disconnect = true;
  bool keep = false;
};

int Usage() {
  std::fprintf(stderr,
               "usage: load_bench [--appliances 200] [--files 2] [--file-size 3M] [--block 256K]\n"
               "                  [--dir DIR] [--skip-processing] [--no-disconnect] [--keep]\n");
  return 64;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  options->dir = DefaultScratchFolder();
  options->upload.size = 3ull << 20;
  options->upload.block_size = 256u << 10;
  options->upload.distinct = 4;
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    std::string text;
    auto value = [&]() {
      if (i + 1 >= argc) return false;
      text = argv[++i];
      return true;
    };
    uint64_t number = 0;
    if (name == "--appliances") {
      if (!value()) return false;
      options->appliances = std::atoi(text.c_str());
      if (options->appliances < 1 || options->appliances > 5000) return false;
    } else if (name == "--files") {
      if (!value()) return false;
      options->files = std::atoi(text.c_str());
      if (options->files < 1 || options->files > 59) return false;
    } else if (name == "--file-size") {
      if (!value() || !ParseByteSize(text, &options->upload.size)) return false;
    } else if (name == "--block") {
      if (!value() || !ParseByteSize(text, &number) || number > 0xFFFFFFFFull) return false;
      options->upload.block_size = static_cast<uint32_t>(number);
    } else if (name == "--dir") {
      if (!value()) return false;
      options->dir = text;
    } else if (name == "--skip-processing") {
      options->processing = false;
    } else if (name == "--no-disconnect") {
      options->disconnect = false;
    } else if (name == "--keep") {
      options->keep = true;
    } else {
      return false;
    }
  }
  return true;
}

// A one-shot gate the appliance threads wait at.
class Gate {
 public:
  void Open() {
    std::lock_guard<std::mutex> lock(mu_);
    open_ = true;
    cv_.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return open_; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;
};

// Counts arrivals; the main thread waits for all of them.
class Arrivals {
 public:
  void Arrive() {
    std::lock_guard<std::mutex> lock(mu_);
    ++count_;
    cv_.notify_all();
  }
  void WaitFor(int n) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return count_ >= n; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int count_ = 0;
};

struct Shared {
  const Options* options = nullptr;
  const BenchServer* server = nullptr;
  const UploadBlocks* blocks = nullptr;
  LoadStats stats;
  Gate start_logins;
  Arrivals logged_in;   // every appliance arrives once, logged in or not
  Gate start_uploads;
  std::atomic<int64_t> last_login_ns{0};  // end of the opening burst
  Clock::time_point epoch;
};

class Appliance {
 public:
  Appliance(Shared* shared, int index)
      : shared_(shared), device_(0x00100000u + static_cast<uint32_t>(index)), index_(index) {}

  void Run() {
    shared_->start_logins.Wait();
    LoginAnswer answer;
    const bool logged_in = Login(false, &answer);
    shared_->logged_in.Arrive();
    shared_->start_uploads.Wait();
    if (!logged_in) return;
    for (int file = 0; file < shared_->options->files; ++file) {
      const auto method = static_cast<Method>((index_ + file) % kMethodCount);
      if (file > 0 && !shared_->options->processing) {
        // A file without its end stays the session's current file: the
        // next one needs a new session.
        client_.Close();
        LoginAnswer again;
        if (!Login(true, &again)) return;
      }
      if (!UploadFile(file, method)) return;
    }
    if (!client_.SendTaskFinished()) Error("task finished not sent");
    client_.Close();
  }

 private:
  void Error(const std::string& what) {
    char prefix[32];
    std::snprintf(prefix, sizeof(prefix), "device %08X: ", device_);
    shared_->stats.AddError(prefix + what);
  }

  // Connects and logs in. A reconnect right after an injected reset may
  // find the old session not yet ended (code 5, multiple login): that is
  // retried after 100 to 150 ms, as an appliance would, and counted apart.
  // Every other refusal is an error; "server busy" is also counted by the
  // phase it happened in.
  bool Login(bool reconnect, LoginAnswer* answer) {
    for (int attempt = 0;; ++attempt) {
      client_.set_timeout_ms(120000);
      auto start = Clock::now();
      if (!client_.Connect("127.0.0.1", shared_->server->sync_port()) ||
          !client_.Handshake("load_bench")) {
        Error("connect: " + client_.last_error());
        return false;
      }
      LoginRequest request;
      request.user = "fleet";
      request.password = "fleet";
      request.device_id = device_;
      *answer = client_.Login(request);
      auto end = Clock::now();
      if (answer->kind == LoginAnswer::Kind::kAccepted) {
        shared_->stats.AddLogin(Seconds(start, end), reconnect);
        if (!reconnect) {
          int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(end - shared_->epoch)
                           .count();
          int64_t seen = shared_->last_login_ns.load();
          while (ns > seen && !shared_->last_login_ns.compare_exchange_weak(seen, ns)) {
          }
        }
        return true;
      }
      client_.Close();
      if (reconnect && answer->kind == LoginAnswer::Kind::kRefused &&
          answer->code == kMultipleLogin && attempt < 500) {
        shared_->stats.AddRetry();
        std::this_thread::sleep_for(std::chrono::milliseconds(100 + random_() % 50));
        continue;
      }
      if (answer->kind == LoginAnswer::Kind::kRefused) {
        if (answer->code == kServerBusy) shared_->stats.AddBusy(reconnect);
        Error(std::string(reconnect ? "reconnect" : "opening") + " login refused: " +
              ResultCodeName(answer->code));
      } else {
        Error("no login answer: " + client_.last_error());
      }
      return false;
    }
  }

  bool UploadFile(int file, Method method) {
    const UploadBlocks& blocks = *shared_->blocks;
    char name[64];
    std::snprintf(name, sizeof(name), "20261208_10%02d_%08X_A.dat", file, device_);
    uint64_t offset = 0;
    if (file == 0 && shared_->options->disconnect) {
      // Half the file, then a reset in the middle of the transfer.
      Uploader first(&client_, blocks, method);
      if (!first.Announce(name, 0, 0) || !first.SendData(0, blocks.size() / 2)) {
        Error(std::string("first half of ") + name + ": " + first.error());
        return false;
      }
      shared_->stats.AddBytes(first.data_sent());
      client_.Abort();
      LoginAnswer answer;
      if (!Login(true, &answer)) return false;
      const LogTableSlot& slot = answer.record.logSlots[0];
      offset = slot.storedBytes;
      if (std::strncmp(slot.name, name, sizeof(slot.name)) != 0 || offset > first.data_sent() ||
          slot.announcedSize != blocks.size()) {
        Error(std::string("position after the reset does not describe ") + name);
        return false;
      }
      if (slot.runningCrc != blocks.CrcOfPrefix(offset)) {
        Error("stored CRC after the reset differs from the data sent");
        return false;
      }
    }
    Uploader upload(&client_, blocks, method);
    if (!upload.Announce(name, 0, offset) || !upload.SendData(offset, blocks.size()) ||
        !upload.WaitStored()) {
      Error(std::string(name) + ": " + upload.error());
      return false;
    }
    shared_->stats.AddBytes(upload.data_sent());
    if (shared_->options->processing && !upload.Finish()) {
      Error(std::string(name) + " file end: " + upload.error());
      return false;
    }
    shared_->stats.AddFile();
    return true;
  }

  Shared* shared_;
  uint32_t device_;
  int index_;
  ApplianceClient client_;
  std::minstd_rand random_{static_cast<unsigned>(device_)};
};

double KibToMib(uint64_t kib) { return kib / 1024.0; }

int Run(const Options& options) {
  std::string error;
  UploadBlocks blocks;
  if (!blocks.Prepare(options.upload, &error)) {
    std::fprintf(stderr, "load_bench: %s\n", error.c_str());
    return 64;
  }
  BenchServer server(options.dir, options.keep);
  if (!server.Prepare("fleet", "fleet") || !server.Start()) {
    std::fprintf(stderr, "load_bench: %s\n%s\n", server.error().c_str(),
                 server.Diagnostics().c_str());
    return 1;
  }
  const pid_t pid = server.server_pid();
  std::printf("server pid %d on 127.0.0.1:%u; %d appliances, %d files of %.1f MiB each\n",
              static_cast<int>(pid), server.sync_port(), options.appliances, options.files,
              blocks.size() / 1048576.0);
  std::fflush(stdout);
  ProcessMemory before = ReadProcessMemory(pid);

  Shared shared;
  shared.options = &options;
  shared.server = &server;
  shared.blocks = &blocks;
  std::vector<std::unique_ptr<Appliance>> appliances;
  std::vector<std::thread> threads;
  for (int i = 0; i < options.appliances; ++i) {
    appliances.push_back(std::make_unique<Appliance>(&shared, i));
  }
  for (auto& appliance : appliances) {
    threads.emplace_back([raw = appliance.get()] { raw->Run(); });
  }
  shared.epoch = Clock::now();
  shared.start_logins.Open();
  shared.logged_in.WaitFor(options.appliances);
  const double burst = shared.last_login_ns.load() / 1e9;
  // Every session is now connected and idle in its receive.
  ProcessMemory connected = ReadProcessMemory(pid);
  auto upload_start = Clock::now();
  shared.start_uploads.Open();
  for (std::thread& thread : threads) thread.join();
  const double upload_seconds = Seconds(upload_start, Clock::now());
  ProcessMemory after = ReadProcessMemory(pid);
  const bool stopped = server.Stop();

  const std::vector<double> logins = shared.stats.logins();
  const std::vector<double> relogins = shared.stats.reconnect_logins();
  char date[32];
  std::time_t now = std::time(nullptr);
  std::strftime(date, sizeof(date), "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
  std::printf("\nload: %d appliances at once, %d log-table files of %.1f MiB each (%u KiB "
              "blocks, mixed stored/LZO1B/LZMA)%s%s; %s; %ld CPUs\n",
              options.appliances, options.files, blocks.size() / 1048576.0,
              blocks.block_size() / 1024,
              options.disconnect ? ", first file reset half way and resumed" : "",
              options.processing ? "" : ", processing skipped", date,
              ::sysconf(_SC_NPROCESSORS_ONLN));
  std::printf("  files confirmed %-6d   %s\n", shared.stats.files(),
              options.processing ? "(stored, processed, confirmed)" : "(stored)");
  std::printf("  file data        %9.1f MB in %.2f s = %.1f MB/s\n", shared.stats.bytes() / 1e6,
              upload_seconds, shared.stats.bytes() / 1e6 / upload_seconds);
  std::printf("  opening logins   %9zu in %.2f s = %.0f logins/s\n", logins.size(), burst,
              burst > 0 ? logins.size() / burst : 0.0);
  std::printf("  login latency    p50 %.1f ms, p99 %.1f ms, max %.1f ms\n",
              Percentile(logins, 0.5) * 1e3, Percentile(logins, 0.99) * 1e3,
              Percentile(logins, 1.0) * 1e3);
  if (!relogins.empty()) {
    std::printf("  reconnect logins %zu, p50 %.1f ms, p99 %.1f ms; %d retried after "
                "\"multiple login\" (old session still ending)\n",
                relogins.size(), Percentile(relogins, 0.5) * 1e3, Percentile(relogins, 0.99) * 1e3,
                shared.stats.retries());
  }
  std::printf("  errors           %d%s; refused as busy: %d opening, %d reconnecting\n",
              shared.stats.errors(), shared.stats.errors() == 0 ? "" : " (must be 0)",
              shared.stats.busy(false), shared.stats.busy(true));
  for (const std::string& message : shared.stats.first_errors()) {
    std::printf("    %s\n", message.c_str());
  }
  const double budget_mib = (2.0 * kMaxBlockSize + (1 << 20)) / 1048576.0;
  if (before.ok && connected.ok && after.ok) {
    const double idle_growth =
        (KibToMib(connected.rss_kib) - KibToMib(before.rss_kib)) / options.appliances;
    const double peak_growth =
        (KibToMib(after.peak_kib) - KibToMib(before.rss_kib)) / options.appliances;
    std::printf("  server memory    %.1f MiB before, %.1f MiB with all connected and idle, peak "
                "%.1f MiB\n",
                KibToMib(before.rss_kib), KibToMib(connected.rss_kib), KibToMib(after.peak_kib));
    std::printf("  per appliance    %.2f MiB connected and idle, %.2f MiB at the peak "
                "(target <= %.2f MiB: %s)\n",
                idle_growth, peak_growth, budget_mib,
                peak_growth <= budget_mib ? "met" : "NOT met");
  } else {
    std::printf("  server memory    could not be read from /proc/%d/status\n",
                static_cast<int>(pid));
  }
  if (!stopped) {
    std::fprintf(stderr, "load_bench: the server did not stop cleanly\n%s\n",
                 server.Diagnostics().c_str());
  }
  return shared.stats.errors() == 0 && stopped ? 0 : 1;
}

}  // namespace
}  // namespace zv::bench

int main(int argc, char** argv) {
  zv::bench::Options options;
  if (!zv::bench::ParseOptions(argc, argv, &options)) return zv::bench::Usage();
  zv::bench::KillChildrenOnInterrupt();
  return zv::bench::Run(options);
}
