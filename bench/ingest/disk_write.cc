#include "disk_write.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace zv::bench {

bool DiskWrite::Run(const std::string& path, uint64_t bytes, double* seconds,
                    std::string* error) {
  const uint64_t pieces = (bytes + kPieceBytes - 1) / kPieceBytes;
  void* raw = nullptr;
  if (posix_memalign(&raw, 4096, kPieceBytes) != 0) {
    *error = "no memory for the write buffer";
    return false;
  }
  const std::unique_ptr<void, decltype(&std::free)> buffer(raw, &std::free);
  // Bytes the disk cannot shortcut (no zero pages).
  auto* bytes_out = static_cast<uint8_t*>(raw);
  for (uint32_t i = 0; i < kPieceBytes; ++i) bytes_out[i] = static_cast<uint8_t>(i * 131 + 7);

  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_DIRECT | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot open " + path + " for direct writes: " + std::strerror(errno);
    return false;
  }
  // Two passes over the file: the first lays it out (direct writes that
  // extend a file run one at a time), the second is timed.
  int failed = 0;
  std::chrono::steady_clock::time_point start;
  for (int pass = 0; pass < 2 && failed == 0; ++pass) {
    start = std::chrono::steady_clock::now();
    std::atomic<uint64_t> next{0};
    std::atomic<int> failed_errno{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < kInFlight; ++t) {
      writers.emplace_back([&] {
        for (uint64_t i = next++; i < pieces && failed_errno.load() == 0; i = next++) {
          const ssize_t n = ::pwrite(fd, raw, kPieceBytes, static_cast<off_t>(i * kPieceBytes));
          if (n != static_cast<ssize_t>(kPieceBytes)) failed_errno = n < 0 ? errno : EIO;
        }
      });
    }
    for (auto& writer : writers) writer.join();
    failed = failed_errno.load();
    if (failed == 0 && ::fdatasync(fd) != 0) failed = errno;
  }
  *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ::close(fd);
  ::unlink(path.c_str());
  if (failed != 0) {
    *error = "direct write to " + path + " failed: " + std::strerror(failed);
    return false;
  }
  return true;
}

}  // namespace zv::bench
