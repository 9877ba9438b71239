// ingest_bench: how fast one appliance uploads one large log-table file to
// a real Zentrovane.exe, beside the physical baseline of this machine, the
// rsync daemon and the decoders' own speed, all measured in one run.
//
//   build/bench/ingest_bench [--size 1G] [--block 1M] [--distinct 8]
//       [--lzma-preset 6] [--dir DIR] [--methods stored,lzo1b,lzma]
//       [--rounds 1] [--skip-processing] [--no-rsync] [--no-sink] [--keep]
//
// Needs the test database (scripts/testdb.sh start); scripts/bench-ingest.sh
// starts it, runs this program and stops what it started.
//
// Order: the physical baseline (a TCP sink with the same flush cadence),
// the rsync daemon (plain, and with --fsync, so that its receiver syncs
// the file as a stored upload does), one upload per method, the disk's write ceiling
// (direct writes, no network; --no-sink leaves it out with the sink), then
// the processing of the uploaded files, then the decoders alone. Each
// upload is timed from the file announcement to the server's echo of a
// marker sent behind the last data block, which the server answers only
// after it decoded, wrote and fdatasync'ed every block: the file is stored. The processing that follows
// the file end (statistics rows, file list, importing the table into
// MariaDB) runs after all uploads, so that the database's work does not
// slow the next upload, and is timed up to the server's confirmation; the
// waiting sessions are kept alive with echo markers. --skip-processing
// leaves it out (the files are stored but not processed). The client sends
// prepared, pre-masked blocks from memory.
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench_server.h"
#include "client/appliance_client.h"
#include "decode_rate.h"
#include "flush_sink.h"
#include "disk_write.h"
#include "rsync_daemon.h"
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
  UploadOptions upload;
  std::string dir;
  std::vector<Method> methods = {Method::kStored, Method::kLzo1b, Method::kLzma};
  bool processing = true;
  bool rsync = true;
  bool sink = true;
  bool keep = false;
  int rounds = 1;
};

int Usage() {
  std::fprintf(stderr,
               "usage: ingest_bench [--size 1G] [--block 1M] [--distinct 8] [--lzma-preset 6]\n"
               "                    [--dir DIR] [--methods stored,lzo1b,lzma]\n"
               "                    [--rounds 1] [--skip-processing] [--no-rsync] [--no-sink]\n"
               "                    [--keep]\n");
  return 64;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  options->dir = DefaultScratchFolder();
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string text;
    uint64_t number = 0;
    if (name == "--size") {
      if (!value(&text) || !ParseByteSize(text, &options->upload.size)) return false;
    } else if (name == "--block") {
      if (!value(&text) || !ParseByteSize(text, &number) || number > 0xFFFFFFFFull) return false;
      options->upload.block_size = static_cast<uint32_t>(number);
    } else if (name == "--distinct") {
      if (!value(&text)) return false;
      options->upload.distinct = std::atoi(text.c_str());
    } else if (name == "--lzma-preset") {
      if (!value(&text)) return false;
      options->upload.lzma_preset = std::atoi(text.c_str());
    } else if (name == "--dir") {
      if (!value(&options->dir)) return false;
    } else if (name == "--methods") {
      if (!value(&text)) return false;
      options->methods.clear();
      size_t start = 0;
      while (start <= text.size()) {
        size_t comma = text.find(',', start);
        std::string one = text.substr(start, comma == std::string::npos ? std::string::npos
                                                                        : comma - start);
        if (one == "stored") options->methods.push_back(Method::kStored);
        else if (one == "lzo1b") options->methods.push_back(Method::kLzo1b);
        else if (one == "lzma") options->methods.push_back(Method::kLzma);
        else return false;
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
    } else if (name == "--rounds") {
      if (!value(&text)) return false;
      options->rounds = std::atoi(text.c_str());
      if (options->rounds < 1 || options->rounds > 15) return false;
    } else if (name == "--skip-processing") {
      options->processing = false;
    } else if (name == "--no-rsync") {
      options->rsync = false;
    } else if (name == "--no-sink") {
      options->sink = false;
    } else if (name == "--keep") {
      options->keep = true;
    } else {
      return false;
    }
  }
  return true;
}

// Keeps idle sessions alive while other uploads run: an echo marker every
// five seconds, far inside the server's receive time-out. A client belongs
// to this object between Add and Remove; the main thread does not touch it
// meanwhile.
class KeepAlive {
 public:
  KeepAlive() : thread_([this] { Loop(); }) {}
  ~KeepAlive() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  void Add(ApplianceClient* client) {
    std::lock_guard<std::mutex> lock(mu_);
    clients_.push_back(client);
  }
  // False when a keep-alive echo of this client failed.
  bool Remove(ApplianceClient* client) {
    std::lock_guard<std::mutex> lock(mu_);
    clients_.erase(std::remove(clients_.begin(), clients_.end(), client), clients_.end());
    return failed_.erase(client) == 0;
  }

 private:
  void Loop() {
    std::unique_lock<std::mutex> lock(mu_);
    while (!stop_) {
      cv_.wait_for(lock, std::chrono::seconds(5));
      if (stop_) break;
      for (ApplianceClient* client : clients_) {
        if (failed_.count(client) == 0 && !client->Ping()) failed_.insert(client);
      }
    }
  }

  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;                      // guarded by mu_
  std::vector<ApplianceClient*> clients_;  // guarded by mu_
  std::set<ApplianceClient*> failed_;      // guarded by mu_
  std::thread thread_;
};

// One appliance uploading the file with one method.
struct Upload {
  Method method = Method::kStored;
  uint32_t device = 0;
  ApplianceClient client;
  std::unique_ptr<Uploader> uploader;
  bool stored = false;
  double stored_seconds = 0;   // announce -> echo behind the last block
  double confirm_seconds = 0;  // file end -> confirmation
  double client_cpu_seconds = 0;  // this program's CPU while sending
  std::string error;
};

// CPU time of the calling thread, user and system.
double ThreadCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Logs in and sends the whole file; times it up to the echo.
void SendFile(const BenchServer& server, const UploadBlocks& blocks, Upload* upload) {
  ApplianceClient& client = upload->client;
  client.set_timeout_ms(120000);
  if (!client.Connect("127.0.0.1", server.sync_port()) || !client.Handshake("ingest_bench")) {
    upload->error = "connect: " + client.last_error();
    return;
  }
  const uint32_t device = upload->device;
  LoginRequest login;
  login.user = "bench";
  login.password = "bench";
  login.device_id = device;
  LoginAnswer answer = client.Login(login);
  if (answer.kind != LoginAnswer::Kind::kAccepted) {
    upload->error = "login not accepted (code " + std::to_string(answer.code) + ") " +
                    client.last_error();
    return;
  }
  char name[64];
  std::snprintf(name, sizeof(name), "20261208_1%03u_%08X_A.dat",
                static_cast<unsigned>(upload->method), device);
  upload->uploader = std::make_unique<Uploader>(&client, blocks, upload->method);
  Uploader& uploader = *upload->uploader;
  auto start = Clock::now();
  const double cpu_start = ThreadCpuSeconds();
  if (!uploader.Announce(name, 0, 0) || !uploader.SendData(0, blocks.size()) ||
      !uploader.WaitStored()) {
    upload->error = uploader.error();
    return;
  }
  upload->stored_seconds = Seconds(start, Clock::now());
  upload->client_cpu_seconds = ThreadCpuSeconds() - cpu_start;
  upload->stored = true;
}

// Sends the file end and times the processing up to the confirmation.
void FinishFile(Upload* upload) {
  auto start = Clock::now();
  if (!upload->uploader->Finish()) {
    upload->error = "file end: " + upload->uploader->error();
    upload->stored = false;
    return;
  }
  upload->confirm_seconds = Seconds(start, Clock::now());
  (void)upload->client.SendTaskFinished();
  upload->client.Close();
}

// Writes the file's bytes to path and forces them to disk.
bool WriteSource(const UploadBlocks& blocks, const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = true;
  for (size_t i = 0; ok && i < blocks.block_count(); ++i) {
    const std::string& plain = blocks.Plain(i);
    ok = std::fwrite(plain.data(), 1, plain.size(), file) == plain.size();
  }
  ok = std::fflush(file) == 0 && ok && ::fdatasync(fileno(file)) == 0;
  return std::fclose(file) == 0 && ok;
}

// The middle value (the mean of the two middle ones for an even count); 0
// for none.
double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Mbps(uint64_t bytes, double seconds) { return seconds > 0 ? bytes / seconds / 1e6 : 0; }

// "; rounds 300-360 MB/s" for more than one run, else "".
std::string RangeNote(const std::vector<double>& runs, uint64_t bytes) {
  if (runs.size() < 2) return "";
  auto [low, high] = std::minmax_element(runs.begin(), runs.end());
  char text[64];
  std::snprintf(text, sizeof(text), "; rounds %.0f-%.0f MB/s", Mbps(bytes, *high),
                Mbps(bytes, *low));
  return text;
}

void PrintRow(const char* what, double seconds, uint64_t bytes, std::string note) {
  if (note.rfind("; ", 0) == 0) note.erase(0, 2);
  std::printf("  %-38s %9.2f s %9.1f MB/s  %s\n", what, seconds, Mbps(bytes, seconds),
              note.c_str());
}

void PrintRatio(const std::string& what, double ours, double other, double target) {
  if (ours <= 0 || other <= 0) return;
  const double ratio = ours / other;
  std::printf("  %-40s %6.2f   (target >= %.2f: %s)\n", what.c_str(), ratio, target,
              ratio >= target ? "met" : "NOT met");
}

int Run(const Options& options) {
  std::string error;
  UploadBlocks blocks;
  std::printf("preparing a %.1f MiB log-table file in %u KiB blocks (%d distinct chunks)...\n",
              options.upload.size / 1048576.0,
              options.upload.block_size / 1024, options.upload.distinct);
  std::fflush(stdout);
  auto prepare_start = Clock::now();
  if (!blocks.Prepare(options.upload, &error)) {
    std::fprintf(stderr, "ingest_bench: %s\n", error.c_str());
    return 64;
  }
  std::printf("prepared in %.1f s; bytes on the wire: stored %" PRIu64 ", LZO1B %" PRIu64
              " (%.2fx), LZMA %" PRIu64 " (%.2fx, preset %d)\n",
              Seconds(prepare_start, Clock::now()), blocks.WireBytes(Method::kStored),
              blocks.WireBytes(Method::kLzo1b),
              double(blocks.size()) / blocks.WireBytes(Method::kLzo1b),
              blocks.WireBytes(Method::kLzma),
              double(blocks.size()) / blocks.WireBytes(Method::kLzma), options.upload.lzma_preset);

  BenchServer server(options.dir, options.keep);
  if (!server.Prepare("bench", "bench") || !server.Start()) {
    std::fprintf(stderr, "ingest_bench: %s\n%s\n", server.error().c_str(),
                 server.Diagnostics().c_str());
    return 1;
  }
  std::printf("server pid %d on 127.0.0.1:%u, data in %s\n", static_cast<int>(server.server_pid()),
              server.sync_port(), server.root().c_str());
  ProcessMemory idle = ReadProcessMemory(server.server_pid());
  int failures = 0;

  // Each round runs the baselines first and then one upload per method, on
  // a quiet machine; the database's import work comes only after the last
  // round, for the last round's uploads. Figures are the rounds' medians.
  std::vector<double> sink_runs, disk_runs, rsync_runs, rsync_fsync_runs, upload_runs[kMethodCount],
      cpu_runs[kMethodCount];
  double confirm[kMethodCount] = {};
  const std::string source = server.Scratch("source.dat");
  std::unique_ptr<RsyncDaemon> daemon;
  if (options.rsync) {
    std::filesystem::create_directories(server.Scratch("rsync"));
    daemon = std::make_unique<RsyncDaemon>(server.Scratch("rsync"));
    if (!WriteSource(blocks, source) || !daemon->Start(&error)) {
      std::fprintf(stderr, "ingest_bench: rsync: %s\n",
                   error.empty() ? ("cannot write " + source).c_str() : error.c_str());
      daemon.reset();
      ++failures;
    }
  }
  {
    KeepAlive keep_alive;
    std::vector<std::unique_ptr<Upload>> to_process;
    for (int round = 0; round < options.rounds; ++round) {
      if (options.rounds > 1) std::printf("round %d of %d\n", round + 1, options.rounds);
      if (options.sink) {
        ::sync();
        std::printf("physical baseline...\n");
        std::fflush(stdout);
        const std::string path = server.Scratch("sink.dat");
        double seconds = 0;
        if (FlushSink::Run(blocks, path, &seconds, &error)) {
          sink_runs.push_back(seconds);
        } else {
          std::fprintf(stderr, "ingest_bench: sink: %s\n", error.c_str());
          ++failures;
        }
        std::filesystem::remove(path);
      }
      // Plain rsync leaves its data in the page cache; with --fsync its
      // receiver syncs the file before the transfer ends, as a stored
      // upload does. The order alternates from round to round.
      for (int pass = 0; daemon && pass < 2; ++pass) {
        const bool fsync = (pass + round) % 2 == 1;
        ::sync();
        std::printf("rsync%s...\n", fsync ? " --fsync" : "");
        std::fflush(stdout);
        double seconds = 0;
        if (daemon->Push(source, fsync, &seconds, &error)) {
          (fsync ? rsync_fsync_runs : rsync_runs).push_back(seconds);
        } else {
          std::fprintf(stderr, "ingest_bench: rsync: %s\n", error.c_str());
          ++failures;
        }
        ::sync();
        std::filesystem::remove_all(daemon->DestinationDir());
        std::filesystem::create_directories(daemon->DestinationDir());
      }
      const bool last = round + 1 == options.rounds;
      for (Method method : options.methods) {
        ::sync();
        std::printf("uploading with %s...\n", MethodName(method));
        std::fflush(stdout);
        auto upload = std::make_unique<Upload>();
        upload->method = method;
        upload->device = 0x00BE0000u + static_cast<uint32_t>(round) * 0x10u +
                         static_cast<uint32_t>(method);
        SendFile(server, blocks, upload.get());
        if (!upload->stored) {
          std::fprintf(stderr, "ingest_bench: %s upload failed: %s\n%s\n", MethodName(method),
                       upload->error.c_str(), server.Diagnostics().c_str());
          ++failures;
          continue;
        }
        upload_runs[static_cast<int>(method)].push_back(upload->stored_seconds);
        cpu_runs[static_cast<int>(method)].push_back(upload->client_cpu_seconds);
        if (last && options.processing) {
          keep_alive.Add(&upload->client);
          to_process.push_back(std::move(upload));
        }
        // Otherwise the connection closes without a file end: the file
        // stays stored, unprocessed.
      }
      // Last in the round: it leaves the page cache cold (this VM hands
      // freed memory back to its host), which would slow whatever wrote
      // into new page-cache pages right after it, rsync above all.
      if (options.sink) {
        ::sync();
        std::printf("disk write ceiling...\n");
        std::fflush(stdout);
        double seconds = 0;
        if (DiskWrite::Run(server.Scratch("disk.dat"), blocks.size(), &seconds, &error)) {
          disk_runs.push_back(seconds);
        } else {
          std::fprintf(stderr, "ingest_bench: disk: %s\n", error.c_str());
        }
      }
    }
    for (auto& upload : to_process) {
      if (!keep_alive.Remove(&upload->client)) {
        upload->error = "the idle session did not answer its keep-alive";
      } else {
        std::printf("processing the %s upload...\n", MethodName(upload->method));
        std::fflush(stdout);
        FinishFile(upload.get());
      }
      if (!upload->error.empty()) {
        std::fprintf(stderr, "ingest_bench: %s upload: %s\n", MethodName(upload->method),
                     upload->error.c_str());
        ++failures;
      } else {
        confirm[static_cast<int>(upload->method)] = upload->confirm_seconds;
      }
    }
  }
  std::filesystem::remove(source);
  daemon.reset();
  const double sink_seconds = Median(sink_runs);
  const double rsync_seconds = Median(rsync_runs);
  const double rsync_fsync_seconds = Median(rsync_fsync_runs);
  const double disk_seconds = Median(disk_runs);
  double rate[kMethodCount] = {};
  double client_cpu[kMethodCount] = {};
  for (int m = 0; m < kMethodCount; ++m) {
    if (upload_runs[m].empty()) continue;
    rate[m] = Mbps(blocks.size(), Median(upload_runs[m]));
    client_cpu[m] = Median(cpu_runs[m]);
  }
  ProcessMemory after = ReadProcessMemory(server.server_pid());

  double decode_seconds[kMethodCount] = {};
  std::vector<double> decode_runs[kMethodCount];
  for (Method method : {Method::kLzo1b, Method::kLzma}) {
    for (int round = 0; round < options.rounds; ++round) {
      double seconds = 0;
      if (!MeasureDecode(blocks, method, &seconds, &error)) {
        std::fprintf(stderr, "ingest_bench: %s\n", error.c_str());
        ++failures;
        break;
      }
      decode_runs[static_cast<int>(method)].push_back(seconds);
    }
    decode_seconds[static_cast<int>(method)] = Median(decode_runs[static_cast<int>(method)]);
  }
  const bool stopped = server.Stop();

  char date[32];
  std::time_t now = std::time(nullptr);
  std::strftime(date, sizeof(date), "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
  utsname host{};
  ::uname(&host);
  std::printf("\ningest of one %.1f MiB log-table file, %u KiB blocks; %s; %ld CPUs, Linux %s"
              " (MB = 10^6 bytes of file data%s)\n",
              blocks.size() / 1048576.0, blocks.block_size() / 1024, date,
              ::sysconf(_SC_NPROCESSORS_ONLN), host.release,
              options.rounds > 1 ? ("; medians of " + std::to_string(options.rounds) +
                                    " rounds").c_str()
                                 : "");
  for (Method method : options.methods) {
    const int m = static_cast<int>(method);
    if (rate[m] <= 0) continue;
    char text[160];
    std::snprintf(text, sizeof(text), "client CPU %.2f s", client_cpu[m]);
    std::string note = text + RangeNote(upload_runs[m], blocks.size());
    if (options.processing && confirm[m] > 0) {
      std::snprintf(text, sizeof(text), "; then %.1f s to the confirmation (processing)",
                    confirm[m]);
      note += text;
    }
    PrintRow((std::string("Zentrovane, ") + MethodName(method) + " blocks").c_str(),
             blocks.size() / rate[m] / 1e6, blocks.size(), note);
  }
  if (sink_seconds > 0) {
    PrintRow("baseline: TCP sink, fdatasync/10 MiB", sink_seconds, blocks.size(),
             RangeNote(sink_runs, blocks.size()));
  }
  if (disk_seconds > 0) {
    char text[64];
    std::snprintf(text, sizeof(text), "(overwrite, O_DIRECT, %d x %u MiB in flight)",
                  DiskWrite::kInFlight, DiskWrite::kPieceBytes >> 20);
    PrintRow("disk write ceiling", disk_seconds, blocks.size(),
             text + RangeNote(disk_runs, blocks.size()));
  }
  if (rsync_seconds > 0) {
    PrintRow("rsync daemon on loopback", rsync_seconds, blocks.size(),
             "(no fsync)" + RangeNote(rsync_runs, blocks.size()));
  }
  if (rsync_fsync_seconds > 0) {
    PrintRow("rsync --fsync, daemon on loopback", rsync_fsync_seconds, blocks.size(),
             "(the receiver syncs the file)" + RangeNote(rsync_fsync_runs, blocks.size()));
  }
  for (Method method : {Method::kLzo1b, Method::kLzma}) {
    const int m = static_cast<int>(method);
    if (decode_seconds[m] > 0) {
      PrintRow((std::string(MethodName(method)) + " decode only, 1 thread").c_str(),
               decode_seconds[m], blocks.size(), RangeNote(decode_runs[m], blocks.size()));
    }
  }
  std::printf("  server resident memory: %" PRIu64 " KiB idle, %" PRIu64
              " KiB after the uploads, peak %" PRIu64 " KiB\n",
              idle.rss_kib, after.rss_kib, after.peak_kib);

  std::printf("\nratios (same run)\n");
  const double sink = Mbps(blocks.size(), sink_seconds);
  const double rsync = Mbps(blocks.size(), rsync_seconds);
  const double rsync_fsync = Mbps(blocks.size(), rsync_fsync_seconds);
  const double stored = rate[static_cast<int>(Method::kStored)];
  PrintRatio("stored / physical baseline", stored, sink, 0.85);
  const double disk = Mbps(blocks.size(), disk_seconds);
  if (stored > 0 && disk > 0) {
    std::printf("  %-40s %6.2f   (no target: the disk's own rate)\n", "stored / disk write ceiling",
                stored / disk);
  }
  if (rsync_fsync > 0 && disk > 0) {
    std::printf("  %-40s %6.2f   (above 1: out of this disk's reach)\n",
                "1.5 x rsync --fsync / disk write ceiling", 1.5 * rsync_fsync / disk);
  }
  PrintRatio("stored / rsync --fsync", stored, rsync_fsync, 1.5);
  for (Method method : options.methods) {
    if (rsync > 0 && rate[static_cast<int>(method)] > 0) {
      std::printf("  %-40s %6.2f   (no target: rsync does not sync)\n",
                  (std::string(MethodName(method)) + " / plain rsync").c_str(),
                  rate[static_cast<int>(method)] / rsync);
    }
  }
  // Compressed uploads decode two blocks at once when a processor is free.
  for (Method method : {Method::kLzo1b, Method::kLzma}) {
    const int m = static_cast<int>(method);
    if (decode_seconds[m] > 0) {
      PrintRatio(std::string(MethodName(method)) + " / " + MethodName(method) + " decode only",
                 rate[m], Mbps(blocks.size(), decode_seconds[m]),
                 method == Method::kLzo1b ? 1.25 : 1.3);
    }
  }
  if (!stopped) {
    std::fprintf(stderr, "ingest_bench: the server did not stop cleanly\n%s\n",
                 server.Diagnostics().c_str());
    ++failures;
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace
}  // namespace zv::bench

int main(int argc, char** argv) {
  zv::bench::Options options;
  if (!zv::bench::ParseOptions(argc, argv, &options)) return zv::bench::Usage();
  zv::bench::KillChildrenOnInterrupt();
  return zv::bench::Run(options);
}
