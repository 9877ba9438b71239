// ServerProbe: how much of the machine a running server holds — resident
// memory, threads, open descriptors and memory mappings — read from /proc
// now and then by a thread of its own, keeping the largest value of each.
//
// Reading /proc/<pid>/maps takes the process's memory-map lock for reading
// (its mmap and munmap wait meanwhile), so the mappings are counted less
// often than the rest.
//
// Owned by the benchmark's main thread; Sample and Peak may be called from
// it while the thread runs.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace zv::bench {

struct Footprint {
  uint64_t rss_kib = 0;
  uint64_t threads = 0;
  uint64_t descriptors = 0;
  uint64_t mappings = 0;  // 0 when not counted
  bool ok = false;
};

// Reads the footprint of pid now; the mappings only when with_maps.
Footprint ReadFootprint(pid_t pid, bool with_maps);

class ServerProbe {
 public:
  // Samples every period_ms, the mappings every maps_every-th time.
  ServerProbe(pid_t pid, int period_ms, int maps_every);
  ~ServerProbe();  // stops the thread
  ServerProbe(const ServerProbe&) = delete;
  ServerProbe& operator=(const ServerProbe&) = delete;

  // One sample now (mappings included), counted into the peak; returned.
  Footprint Sample();
  // The largest value of each field over all samples so far.
  Footprint Peak();

 private:
  void Loop();
  void Keep(const Footprint& f);

  const pid_t pid_;
  const int period_ms_;
  const int maps_every_;
  std::mutex mu_;
  std::condition_variable wake_;
  bool stop_ = false;  // guarded by mu_
  Footprint peak_;     // guarded by mu_
  std::thread thread_;
};

}  // namespace zv::bench
