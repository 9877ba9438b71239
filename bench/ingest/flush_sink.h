// FlushSink: the physical baseline of this machine for an upload: a plain
// loopback TCP connection whose receiver writes the bytes into a file and
// forces them to disk with fdatasync every 10 MiB and at the end, as the
// server's data files do, then answers one byte. No framing, masking,
// decoding or checksums: what is left is the network stack and the disk.
//
// The receiver runs on a thread of its own; Run is called from one thread.
#pragma once

#include <cstdint>
#include <string>

#include "upload_blocks.h"

namespace zv::bench {

class FlushSink {
 public:
  static constexpr uint64_t kFlushBytes = 10ull << 20;

  // Sends the plain bytes of blocks through a new sink writing to path (the
  // file is created afresh). On success *seconds is the time from the
  // connect to the receiver's answer after its last fdatasync.
  [[nodiscard]] static bool Run(const UploadBlocks& blocks, const std::string& path,
                                double* seconds, std::string* error);
};

}  // namespace zv::bench
