// DiskWrite: the disk's own write ceiling beside the uploads: the same
// number of bytes written with O_DIRECT in 4 MiB pieces, 16 in flight at
// once (where this VM's disk was fastest), then one fdatasync. No network, page cache or checksums: what
// an upload that must be on disk when it is timed can reach at most here.
#pragma once

#include <cstdint>
#include <string>

namespace zv::bench {

class DiskWrite {
 public:
  static constexpr uint32_t kPieceBytes = 4u << 20;
  static constexpr int kInFlight = 16;

  // Writes bytes (rounded up to whole pieces) into a new file at path and
  // removes it again. On success *seconds is the time from the open to the
  // end of the fdatasync. False with *error when the file system refuses
  // O_DIRECT or a write fails.
  [[nodiscard]] static bool Run(const std::string& path, uint64_t bytes, double* seconds,
                                std::string* error);
};

}  // namespace zv::bench
