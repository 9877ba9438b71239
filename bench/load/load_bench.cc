// load_bench: many appliances at once against a real Zentrovane.exe.
//
//   build/bench/load_bench [--appliances 200] [--storages 1] [--files 2]
//       [--file-size 3M] [--block 256K] [--processes P] [--dir DIR]
//       [--skip-processing] [--no-disconnect] [--no-client-load] [--keep]
//
// Needs the test database (scripts/testdb.sh start); scripts/bench-load.sh
// starts it, runs this program and stops what it started.
//
// Every appliance is a thread with a device id of its own; the threads are
// spread over P worker processes (default: one per 2,500 appliances), so
// that no process runs short of descriptors. With --storages N there are N
// accounts, each with a storage and database of its own, and appliance i
// logs in to account i mod N. All appliances connect and log in at once;
// while all are connected and idle the server's resident memory is read.
// Then each uploads its files (log tables, the compression method changing
// from file to file and from appliance to appliance), the first one
// interrupted half way by a connection reset: the appliance reconnects,
// reads the stored position from the server's answer, checks its CRC, and
// resumes from there.
//
// Reported: MB/s of file data, logins per second of the opening burst,
// login latency percentiles, errors (any refusal counts, "server busy"
// included), the server's peak resident memory, threads, descriptors and
// mappings; with processing, the files processed per second, where each
// file's processing time went (from the server's debug log), and — once the
// server has stopped — the MariaDB command-line client loading the same
// files one LOAD DATA LOCAL INFILE statement each, the database's own limit
// for this work.
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "bench_child.h"
#include "bench_options.h"
#include "bench_server.h"
#include "client/appliance_client.h"
#include "client_load.h"
#include "load_stats.h"
#include "processing_log.h"
#include "protocol/block.h"
#include "protocol/result_codes.h"
#include "server_probe.h"
#include "upload_blocks.h"
#include "uploader.h"

namespace zv::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxAppliances = 10000;
constexpr int kAppliancesPerProcess = 2500;
constexpr size_t kThreadStack = 512u << 10;

double Seconds(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// The monotonic clock, comparable between the processes of one machine.
int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

struct Options {
  int appliances = 200;
  int storages = 1;
  int processes = 0;  // 0: one per kAppliancesPerProcess
  int files = 2;
  UploadOptions upload;
  std::string dir;
  bool processing = true;
  bool disconnect = true;
  bool client_load = true;
  bool keep = false;
};

int Usage() {
  std::fprintf(stderr,
               "usage: load_bench [--appliances 200] [--storages 1] [--files 2] [--file-size 3M]\n"
               "                  [--block 256K] [--processes P] [--dir DIR] [--skip-processing]\n"
               "                  [--no-disconnect] [--no-client-load] [--keep]\n");
  return 64;
}

bool ParseCount(const std::string& text, int low, int high, int* out) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != '\0' || value < low || value > high) return false;
  *out = static_cast<int>(value);
  return true;
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
      if (!value() || !ParseCount(text, 1, kMaxAppliances, &options->appliances)) return false;
    } else if (name == "--storages") {
      if (!value() || !ParseCount(text, 1, kMaxAppliances, &options->storages)) return false;
    } else if (name == "--processes") {
      if (!value() || !ParseCount(text, 1, 64, &options->processes)) return false;
    } else if (name == "--files") {
      if (!value() || !ParseCount(text, 1, 59, &options->files)) return false;
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
    } else if (name == "--no-client-load") {
      options->client_load = false;
    } else if (name == "--keep") {
      options->keep = true;
    } else {
      return false;
    }
  }
  if (options->storages > options->appliances) return false;
  if (options->processes == 0) {
    options->processes = (options->appliances + kAppliancesPerProcess - 1) / kAppliancesPerProcess;
  }
  options->processes = std::min(options->processes, options->appliances);
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

// What the appliance threads of one process share.
struct Shared {
  const Options* options = nullptr;
  const BenchServer* server = nullptr;
  const UploadBlocks* blocks = nullptr;
  LoadStats stats;
  Gate start_logins;
  Arrivals logged_in;  // every appliance arrives once, logged in or not
  Gate start_uploads;
};

std::string FileName(uint32_t device, int file) {
  char name[64];
  std::snprintf(name, sizeof(name), "20261208_10%02d_%08X_A.dat", file, device);
  return name;
}

uint32_t DeviceOf(int index) { return 0x00100000u + static_cast<uint32_t>(index); }

class Appliance {
 public:
  Appliance(Shared* shared, int index)
      : shared_(shared),
        device_(DeviceOf(index)),
        index_(index),
        user_(shared->server->UserName(index % shared->options->storages)) {}

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
      shared_->stats.AddVersionWait(Seconds(start, Clock::now()), reconnect);
      LoginRequest request;
      request.user = user_;
      request.password = "fleet";
      request.device_id = device_;
      *answer = client_.Login(request);
      auto end = Clock::now();
      if (answer->kind == LoginAnswer::Kind::kAccepted) {
        shared_->stats.AddLogin(Seconds(start, end), reconnect, NowNs());
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
    const std::string name = FileName(device_, file);
    uint64_t offset = 0;
    if (file == 0 && shared_->options->disconnect) {
      // Half the file, then a reset in the middle of the transfer.
      Uploader first(&client_, blocks, method);
      if (!first.Announce(name, 0, 0) || !first.SendData(0, blocks.size() / 2)) {
        Error("first half of " + name + ": " + first.error());
        return false;
      }
      shared_->stats.AddBytes(first.data_sent());
      client_.Abort();
      LoginAnswer answer;
      if (!Login(true, &answer)) return false;
      const LogTableSlot& slot = answer.record.logSlots[0];
      offset = slot.storedBytes;
      if (std::strncmp(slot.name, name.c_str(), sizeof(slot.name)) != 0 ||
          offset > first.data_sent() || slot.announcedSize != blocks.size()) {
        Error("position after the reset does not describe " + name);
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
      Error(name + ": " + upload.error());
      return false;
    }
    shared_->stats.AddBytes(upload.data_sent());
    if (shared_->options->processing) {
      const int64_t end_sent = NowNs();
      if (!upload.Finish()) {
        Error(name + " file end: " + upload.error());
        return false;
      }
      shared_->stats.AddProcessing(end_sent, NowNs());
    }
    shared_->stats.AddFile();
    return true;
  }

  Shared* shared_;
  uint32_t device_;
  int index_;
  std::string user_;
  ApplianceClient client_;
  std::minstd_rand random_{static_cast<unsigned>(device_)};
};

bool ReadByte(int fd, char expected) {
  char c = 0;
  ssize_t n;
  do {
    n = ::read(fd, &c, 1);
  } while (n < 0 && errno == EINTR);
  return n == 1 && c == expected;
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string ReadToEnd(int fd) {
  std::string text;
  char buffer[1 << 14];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return text;
    text.append(buffer, static_cast<size_t>(n));
  }
}

// The appliances first .. first+count-1 as threads of the calling (worker)
// process, driven through fd: 'L' opens the logins, 'A' answers once every
// appliance tried its login, 'U' opens the uploads; the figures go back
// when all are done.
int RunWorker(const Options& options, const BenchServer& server, const UploadBlocks& blocks,
              int first, int count, int fd) {
  Shared shared;
  shared.options = &options;
  shared.server = &server;
  shared.blocks = &blocks;
  std::vector<std::unique_ptr<Appliance>> appliances;
  for (int i = first; i < first + count; ++i) {
    appliances.push_back(std::make_unique<Appliance>(&shared, i));
  }
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kThreadStack);
  std::vector<pthread_t> threads;
  for (auto& appliance : appliances) {
    pthread_t thread;
    auto run = [](void* raw) -> void* {
      static_cast<Appliance*>(raw)->Run();
      return nullptr;
    };
    if (pthread_create(&thread, &attr, run, appliance.get()) != 0) {
      std::fprintf(stderr, "load_bench: cannot start appliance thread %zu\n", threads.size());
      return 1;
    }
    threads.push_back(thread);
  }
  pthread_attr_destroy(&attr);
  if (!ReadByte(fd, 'L')) return 1;
  shared.start_logins.Open();
  shared.logged_in.WaitFor(count);
  if (!WriteAll(fd, "A") || !ReadByte(fd, 'U')) return 1;
  shared.start_uploads.Open();
  for (pthread_t thread : threads) pthread_join(thread, nullptr);
  return WriteAll(fd, shared.stats.Serialize()) ? 0 : 1;
}

struct Worker {
  pid_t pid = -1;
  int fd = -1;
};

// Forks the worker processes (before any thread of this process starts).
bool StartWorkers(const Options& options, const BenchServer& server, const UploadBlocks& blocks,
                  std::vector<Worker>* workers) {
  std::fflush(nullptr);
  for (int w = 0; w < options.processes; ++w) {
    const int first = static_cast<int>(static_cast<int64_t>(options.appliances) * w /
                                       options.processes);
    const int end = static_cast<int>(static_cast<int64_t>(options.appliances) * (w + 1) /
                                     options.processes);
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return false;
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
      ::close(fds[0]);
      for (const Worker& other : *workers) ::close(other.fd);
      const int code = RunWorker(options, server, blocks, first, end - first, fds[1]);
      ::_exit(code);  // nothing of the main process's clean-up runs here
    }
    ::close(fds[1]);
    workers->push_back({pid, fds[0]});
  }
  return true;
}

// The server inherits this process's descriptor limits and raises its soft
// limit to the hard one; every appliance costs it a socket and an event
// descriptor. The hard limit is raised where allowed (as root).
void MakeRoomForDescriptors(int appliances) {
  const rlim_t wanted = static_cast<rlim_t>(appliances) * 3 + 4096;
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_max >= wanted) return;
  struct rlimit raised = {wanted, wanted};
  if (::setrlimit(RLIMIT_NOFILE, &raised) != 0) {
    std::printf("(descriptor limit %llu; %d appliances may need %llu: raise it with ulimit -Hn)\n",
                static_cast<unsigned long long>(limit.rlim_max), appliances,
                static_cast<unsigned long long>(wanted));
  }
}

double KibToMib(uint64_t kib) { return kib / 1024.0; }


void PrintTimes(const char* what, std::vector<double> ms) {
  double sum = 0;
  for (double v : ms) sum += v;
  std::printf("    %-20s mean %8.1f   p50 %8.1f   p99 %8.1f\n", what,
              ms.empty() ? 0 : sum / static_cast<double>(ms.size()), Percentile(ms, 0.5),
              Percentile(ms, 0.99));
}

std::vector<double> Milliseconds(std::vector<double> seconds) {
  for (double& v : seconds) v *= 1e3;
  return seconds;
}

// Where a login's time went: until the server's version came (accept and
// session start), and on the server (from its debug log) the wait for the
// admission check and the position file.
void PrintLoginParts(const LoadStats& stats, const std::vector<LoginTimes>& server) {
  std::vector<double> auth, position;
  for (const LoginTimes& t : server) {
    auth.push_back(t.auth_ms);
    position.push_back(t.position_ms);
  }
  std::printf("  login parts, ms (client: opening / reconnecting; server: all %zu logins in its "
              "debug log):\n",
              server.size());
  PrintTimes("until the version", Milliseconds(stats.version_waits(false)));
  PrintTimes("  reconnecting", Milliseconds(stats.version_waits(true)));
  PrintTimes("admission check", auth);
  PrintTimes("position file", position);
}

// Where the processing time of each file went, from the debug log.
double PrintBreakdown(const std::vector<ProcessingTimes>& times, int files) {
  std::printf("  per processed file, ms (%zu of %d files found in the debug log):\n", times.size(),
              files);
  std::vector<double> parts[6];
  for (const ProcessingTimes& t : times) {
    const double values[] = {t.wait_ms, t.info_ms, t.list_ms, t.position_ms, t.loader_ms,
                             t.held_ms()};
    for (int i = 0; i < 6; ++i) parts[i].push_back(values[i]);
  }
  const char* names[] = {"processing lock wait", "statistics rows", "file list",
                         "position save", "importer run", "held (the four)"};
  for (int i = 0; i < 6; ++i) PrintTimes(names[i], parts[i]);
  double held = 0;
  for (double v : parts[5]) held += v;
  return times.empty() ? 0 : held / static_cast<double>(times.size());
}

// The files the server stored and processed, for the client's run.
std::vector<ClientLoadFile> StoredFiles(const Options& options, const BenchServer& server) {
  std::vector<ClientLoadFile> files;
  for (int file = 0; file < options.files; ++file) {
    for (int i = 0; i < options.appliances; ++i) {
      const int k = i % options.storages;
      const std::string path =
          server.StorageDir(k) + "/logtable/20261208/" + FileName(DeviceOf(i), file);
      struct stat st;
      if (::stat(path.c_str(), &st) == 0) files.push_back({path, k});
    }
  }
  return files;
}

void CompareWithClient(const Options& options, const BenchServer& server,
                       double processed_per_second) {
  const std::vector<ClientLoadFile> files = StoredFiles(options, server);
  std::vector<std::string> tables;
  for (int k = 0; k < options.storages; ++k) tables.push_back(server.StorageName(k) + ".A20261208");
  uint64_t server_rows = 0;
  const bool counted = RootNumber(RowCountSql(tables), &server_rows);
  std::printf("  MariaDB client   loading the same %zu files, one LOAD DATA LOCAL INFILE each...\n",
              files.size());
  std::fflush(stdout);
  const ClientLoadResult client =
      RunClientLoad(files, options.storages, server.StorageName(0) + "_client", server.root());
  if (!client.error.empty()) {
    std::printf("  MariaDB client   failed: %s\n", client.error.c_str());
    return;
  }
  const double rate = files.size() / client.seconds;
  std::printf("  MariaDB client   %zu files in %.2f s = %.1f files/s; rows %" PRIu64
              " (the server's tables: %s%" PRIu64 ")\n",
              files.size(), client.seconds, rate, client.rows, counted ? "" : "not counted, ",
              server_rows);
  std::printf("  processing / client %.2f (target >= 0.80)\n",
              rate > 0 ? processed_per_second / rate : 0);
}

int Run(const Options& options) {
  std::string error;
  UploadBlocks blocks;
  if (!blocks.Prepare(options.upload, &error)) {
    std::fprintf(stderr, "load_bench: %s\n", error.c_str());
    return 64;
  }
  MakeRoomForDescriptors(options.appliances);
  BenchServer server(options.dir, options.keep);
  if (!server.Prepare("fleet", "fleet", options.storages) || !server.Start()) {
    std::fprintf(stderr, "load_bench: %s\n%s\n", server.error().c_str(),
                 server.Diagnostics().c_str());
    return 1;
  }
  const pid_t pid = server.server_pid();
  std::printf("server pid %d on 127.0.0.1:%u; %d appliances in %d storage(s), %d process(es), "
              "%d files of %.1f MiB each\n",
              static_cast<int>(pid), server.sync_port(), options.appliances, options.storages,
              options.processes, options.files, blocks.size() / 1048576.0);
  std::fflush(stdout);
  ProcessMemory before = ReadProcessMemory(pid);

  std::vector<Worker> workers;
  if (!StartWorkers(options, server, blocks, &workers)) {
    std::fprintf(stderr, "load_bench: cannot start the worker processes\n");
    for (const Worker& w : workers) ::kill(w.pid, SIGKILL);
    return 1;
  }
  bool workers_ok = true;
  auto send_all = [&](const char* what) {
    for (const Worker& w : workers) workers_ok = WriteAll(w.fd, what) && workers_ok;
  };
  ServerProbe probe(pid, 250, 4);
  auto tail = std::make_unique<LogTail>(server.DebugLogDir(), 100);

  const int64_t epoch = NowNs();
  send_all("L");
  for (const Worker& w : workers) workers_ok = ReadByte(w.fd, 'A') && workers_ok;
  // Every session is now connected and idle in its receive.
  ProcessMemory connected = ReadProcessMemory(pid);
  const Footprint idle = probe.Sample();
  auto upload_start = Clock::now();
  send_all("U");
  LoadStats stats;
  for (const Worker& w : workers) {
    if (!stats.Merge(ReadToEnd(w.fd))) workers_ok = false;
    ::close(w.fd);
    int status = 0;
    ::waitpid(w.pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) workers_ok = false;
  }
  const double upload_seconds = Seconds(upload_start, Clock::now());
  ProcessMemory after = ReadProcessMemory(pid);
  const Footprint peak = probe.Peak();
  const std::vector<ProcessingTimes> times = tail->Times();
  const std::vector<LoginTimes> server_logins = tail->Logins();
  tail.reset();
  const bool stopped = server.Stop();

  const std::vector<double> logins = stats.logins();
  const std::vector<double> relogins = stats.reconnect_logins();
  const double burst = (stats.last_login_ns() - epoch) / 1e9;
  char date[32];
  std::time_t now = std::time(nullptr);
  std::strftime(date, sizeof(date), "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
  double load[3] = {0, 0, 0};
  (void)::getloadavg(load, 3);
  std::printf("\nload: %d appliances at once in %d storage(s), %d log-table files of %.1f MiB "
              "each (%u KiB blocks, mixed stored/LZO1B/LZMA)%s%s; %s; %ld CPUs, load average "
              "%.2f %.2f %.2f\n",
              options.appliances, options.storages, options.files, blocks.size() / 1048576.0,
              blocks.block_size() / 1024,
              options.disconnect ? ", first file reset half way and resumed" : "",
              options.processing ? "" : ", processing skipped", date,
              ::sysconf(_SC_NPROCESSORS_ONLN), load[0], load[1], load[2]);
  std::printf("  files confirmed %-6d   %s\n", stats.files(),
              options.processing ? "(stored, processed, confirmed)" : "(stored)");
  std::printf("  file data        %9.1f MB in %.2f s = %.1f MB/s\n", stats.bytes() / 1e6,
              upload_seconds, stats.bytes() / 1e6 / upload_seconds);
  std::printf("  opening logins   %9zu in %.2f s = %.0f logins/s\n", logins.size(), burst,
              burst > 0 ? logins.size() / burst : 0.0);
  std::printf("  login latency    p50 %.1f ms, p99 %.1f ms, max %.1f ms\n",
              Percentile(logins, 0.5) * 1e3, Percentile(logins, 0.99) * 1e3,
              Percentile(logins, 1.0) * 1e3);
  if (!relogins.empty()) {
    std::printf("  reconnect logins %zu, p50 %.1f ms, p99 %.1f ms; %d retried after "
                "\"multiple login\" (old session still ending)\n",
                relogins.size(), Percentile(relogins, 0.5) * 1e3, Percentile(relogins, 0.99) * 1e3,
                stats.retries());
  }
  PrintLoginParts(stats, server_logins);
  const int errors = stats.errors() + (workers_ok ? 0 : 1);
  std::printf("  errors           %d%s; refused as busy: %d opening, %d reconnecting\n", errors,
              errors == 0 ? "" : " (must be 0)", stats.busy(false), stats.busy(true));
  if (!workers_ok) std::printf("    a worker process failed\n");
  for (const std::string& message : stats.first_errors()) {
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
  std::printf("  server holds     all connected: %" PRIu64 " threads, %" PRIu64
              " descriptors, %" PRIu64 " mappings; peak (sampled every 250 ms): %" PRIu64
              " threads, %" PRIu64 " descriptors, %" PRIu64 " mappings\n",
              idle.threads, idle.descriptors, idle.mappings, peak.threads, peak.descriptors,
              peak.mappings);
  if (options.processing && stats.files() > 0) {
    const double window = (stats.last_confirm_ns() - stats.first_file_end_ns()) / 1e9;
    const double processed = window > 0 ? stats.files() / window : 0;
    std::printf("  processing       %d files from the first file end to the last confirmation "
                "in %.2f s = %.1f files/s\n",
                stats.files(), window, processed);
    const double held = PrintBreakdown(times, stats.files());
    if (held > 0) {
      std::printf("  held per file    %.1f ms = %.1f files/s while the lock is busy\n", held,
                  1000.0 / held);
    }
    if (options.client_load) CompareWithClient(options, server, processed);
  }
  if (!stopped) {
    std::fprintf(stderr, "load_bench: the server did not stop cleanly\n%s\n",
                 server.Diagnostics().c_str());
  }
  return errors == 0 && stopped ? 0 : 1;
}

}  // namespace
}  // namespace zv::bench

int main(int argc, char** argv) {
  zv::bench::Options options;
  if (!zv::bench::ParseOptions(argc, argv, &options)) return zv::bench::Usage();
  zv::bench::KillChildrenOnInterrupt();
  return zv::bench::Run(options);
}
