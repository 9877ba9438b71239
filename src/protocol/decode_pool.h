// DecodePool: a few threads, shared by every session, that decode a
// compressed data block while the session's own thread receives and
// decodes the next one, so that one appliance's compressed upload is not
// bound by one processor.
//
// A session only hands a block to a thread that is idle at that moment
// (TryStart); when every thread is busy, as with many appliances uploading
// at once, the session decodes on its own thread as before. A thread is
// free again as soon as its block is decoded, whenever the session takes
// the result. The pool has one thread fewer than the machine has
// processors (at least one), each with its own decoder, so its memory is
// bounded by its threads, not by the sessions. Decoding is a function of
// the block's bytes alone: a block decodes to the same result, with the
// same debug line on failure, on either thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <semaphore>
#include <span>
#include <vector>

#include "protocol/block_decoder.h"

namespace zv {

class DecodePool {
 public:
  // One block handed to the pool, owned by the session that hands it.
  class Job {
   public:
    Job() = default;
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

   private:
    friend class DecodePool;
    std::span<const uint8_t> content_;
    std::span<uint8_t> output_;
    DecodedBlock result_;
    std::binary_semaphore done_{0};
  };

  // The process's pool; its threads start on first use.
  static DecodePool& Instance();

  explicit DecodePool(unsigned threads);
  ~DecodePool();
  DecodePool(const DecodePool&) = delete;
  DecodePool& operator=(const DecodePool&) = delete;

  // Starts decoding content into output (kMaxOriginSize bytes, as for
  // BlockDecoder::Decode) on an idle thread. False when none is idle or
  // none can be started; the caller then decodes itself. The job and both
  // spans must stay valid and untouched until Wait returns.
  [[nodiscard]] bool TryStart(Job* job, std::span<const uint8_t> content,
                              std::span<uint8_t> output);
  // Waits for a started job's block and gives its result.
  DecodedBlock Wait(Job* job);

  unsigned thread_count() const { return static_cast<unsigned>(workers_.size()); }
  // Blocks decoded by the pool since it started.
  uint64_t blocks_decoded() const { return blocks_decoded_.load(std::memory_order_relaxed); }

 private:
  struct Worker;

  std::vector<std::unique_ptr<Worker>> workers_;
  std::atomic<uint64_t> blocks_decoded_{0};
};

}  // namespace zv
