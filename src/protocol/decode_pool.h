// DecodePool: a few threads, shared by every session, that decode a
// compressed data block while the session's own thread receives and
// decodes the next one, so that one appliance's compressed upload is not
// bound by one processor.
//
// A session only borrows a thread that is idle at that moment (TryStart);
// when every thread is busy, as with many appliances uploading at once,
// the session decodes on its own thread as before. The pool has one thread
// fewer than the machine has processors (at least one), each with its own
// decoder, so its memory is bounded by its threads, not by the sessions.
// Decoding is a function of the block's bytes alone: a block decodes to
// the same result, with the same debug line on failure, on either thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "protocol/block_decoder.h"

namespace zv {

class DecodePool {
 public:
  // The process's pool; its threads start on first use.
  static DecodePool& Instance();

  explicit DecodePool(unsigned threads);
  ~DecodePool();
  DecodePool(const DecodePool&) = delete;
  DecodePool& operator=(const DecodePool&) = delete;

  // A block handed to one of the threads; Wait gives its result.
  struct Ticket {
    int worker = -1;
  };

  // Starts decoding content into output (kMaxOriginSize bytes, as for
  // BlockDecoder::Decode) on an idle thread. False when none is idle or
  // none can be started; the caller then decodes itself. Both spans must
  // stay valid and untouched until Wait returns.
  [[nodiscard]] bool TryStart(Ticket* ticket, std::span<const uint8_t> content,
                              std::span<uint8_t> output);
  // Waits for the block and frees its thread. REQUIRES: a started ticket.
  DecodedBlock Wait(Ticket* ticket);

  unsigned thread_count() const { return static_cast<unsigned>(workers_.size()); }
  // Blocks decoded by the pool since the process started.
  uint64_t blocks_decoded() const { return blocks_decoded_.load(std::memory_order_relaxed); }

 private:
  struct Worker;

  std::vector<std::unique_ptr<Worker>> workers_;
  std::atomic<uint64_t> blocks_decoded_{0};
};

}  // namespace zv
