// DiskWrite: the disk's own write rate beside the uploads: a file of the
// same size, laid out first, overwritten with O_DIRECT in 4 MiB pieces, 16
// in flight at once (where this VM's disk was fastest), then one
// fdatasync. No network, page cache, file growth or checksums: about the
// most that an upload that must be on disk when it is timed can reach.
#pragma once

#include <cstdint>
#include <string>

namespace zv::bench {

class DiskWrite {
 public:
  static constexpr uint32_t kPieceBytes = 4u << 20;
  static constexpr int kInFlight = 16;

  // Writes bytes (rounded up to whole pieces) into a new file at path,
  // twice, and removes it again. On success *seconds is the time of the
  // second pass, up to the end of its fdatasync. False with *error when the file system refuses
  // O_DIRECT or a write fails.
  [[nodiscard]] static bool Run(const std::string& path, uint64_t bytes, double* seconds,
                                std::string* error);
};

}  // namespace zv::bench
