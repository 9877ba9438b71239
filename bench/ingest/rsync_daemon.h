// RsyncDaemon: Debian's rsync daemon on a free loopback port, with one
// writable module in a folder of the benchmark, and the timed push of a
// file to it with the plain rsync client: what an operator would otherwise
// use to collect files.
//
// Owned by the benchmark's main thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "bench_child.h"

namespace zv::bench {

class RsyncDaemon {
 public:
  // work_dir holds the configuration, logs and the module folder "dest".
  explicit RsyncDaemon(const std::string& work_dir) : work_dir_(work_dir) {}
  ~RsyncDaemon();

  // Starts "rsync --daemon --no-detach" and waits until it accepts
  // connections.
  [[nodiscard]] bool Start(std::string* error);
  // Pushes source to the module (the destination must not exist yet);
  // *seconds is the client's run time. With fsync the client passes
  // --fsync, and the daemon's receiver syncs the file before it reports
  // the transfer done.
  [[nodiscard]] bool Push(const std::string& source, bool fsync, double* seconds,
                          std::string* error);
  std::string DestinationDir() const { return work_dir_ + "/dest"; }

 private:
  std::string work_dir_;
  uint16_t port_ = 0;
  std::unique_ptr<BenchChild> daemon_;
};

}  // namespace zv::bench
