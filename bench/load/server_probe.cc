#include "server_probe.h"

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "bench_child.h"
#include "bench_server.h"

namespace zv::bench {

Footprint ReadFootprint(pid_t pid, bool with_maps) {
  Footprint f;
  const std::string proc = "/proc/" + std::to_string(pid);
  const std::string status = ReadWholeFile(proc + "/status");
  const int64_t rss = StatusFieldKib(status, "VmRSS");
  const int64_t threads = StatusFieldKib(status, "Threads");
  DIR* dir = ::opendir((proc + "/fd").c_str());
  if (rss < 0 || threads < 0 || dir == nullptr) {
    if (dir != nullptr) ::closedir(dir);
    return f;
  }
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++f.descriptors;
  }
  ::closedir(dir);
  f.rss_kib = static_cast<uint64_t>(rss);
  f.threads = static_cast<uint64_t>(threads);
  if (with_maps) {
    std::ifstream maps(proc + "/maps");
    std::string line;
    while (std::getline(maps, line)) ++f.mappings;
  }
  f.ok = true;
  return f;
}

ServerProbe::ServerProbe(pid_t pid, int period_ms, int maps_every)
    : pid_(pid), period_ms_(period_ms), maps_every_(std::max(1, maps_every)) {
  thread_ = std::thread([this] { Loop(); });
}

ServerProbe::~ServerProbe() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void ServerProbe::Keep(const Footprint& f) {
  if (!f.ok) return;
  std::lock_guard<std::mutex> lock(mu_);
  peak_.rss_kib = std::max(peak_.rss_kib, f.rss_kib);
  peak_.threads = std::max(peak_.threads, f.threads);
  peak_.descriptors = std::max(peak_.descriptors, f.descriptors);
  peak_.mappings = std::max(peak_.mappings, f.mappings);
  peak_.ok = true;
}

Footprint ServerProbe::Sample() {
  const Footprint f = ReadFootprint(pid_, true);
  Keep(f);
  return f;
}

Footprint ServerProbe::Peak() {
  std::lock_guard<std::mutex> lock(mu_);
  return peak_;
}

void ServerProbe::Loop() {
  for (int n = 0;; ++n) {
    {
      std::unique_lock<std::mutex> lock(mu_);
      if (wake_.wait_for(lock, std::chrono::milliseconds(period_ms_), [this] { return stop_; })) {
        return;
      }
    }
    Keep(ReadFootprint(pid_, n % maps_every_ == 0));
  }
}

}  // namespace zv::bench
