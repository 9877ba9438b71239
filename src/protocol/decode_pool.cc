#include "protocol/decode_pool.h"

#include <algorithm>
#include <mutex>
#include <semaphore>
#include <system_error>
#include <thread>

namespace zv {

// One thread and its decoder. The session that claimed it (busy false ->
// true) fills in the job before releasing submitted and reads the result
// after acquiring finished; it sets busy back to false last.
struct DecodePool::Worker {
  std::atomic<bool> busy{false};
  std::once_flag started;
  bool running = false;  // set once, under started
  std::thread thread;
  std::binary_semaphore submitted{0};
  std::binary_semaphore finished{0};
  bool quit = false;
  std::span<const uint8_t> content;
  std::span<uint8_t> output;
  DecodedBlock result;
  BlockDecoder decoder;

  void Loop() {
    for (;;) {
      submitted.acquire();
      if (quit) break;
      result = decoder.Decode(content, output);
      finished.release();
    }
    // The decoder's memory goes back on this thread.
    decoder.Release();
  }
};

DecodePool& DecodePool::Instance() {
  // Never destroyed: a session thread that ends while the process exits
  // may still wait for a block.
  static DecodePool* const pool =
      new DecodePool(std::max(1u, std::thread::hardware_concurrency()) - 1);
  return *pool;
}

DecodePool::DecodePool(unsigned threads) {
  threads = std::max(1u, threads);
  workers_.reserve(threads);
  for (unsigned i = 0; i < threads; ++i) workers_.push_back(std::make_unique<Worker>());
}

DecodePool::~DecodePool() {
  for (const auto& worker : workers_) {
    if (!worker->running) continue;
    worker->quit = true;
    worker->submitted.release();
    worker->thread.join();
  }
}

bool DecodePool::TryStart(Ticket* ticket, std::span<const uint8_t> content,
                          std::span<uint8_t> output) {
  for (size_t i = 0; i < workers_.size(); ++i) {
    Worker& worker = *workers_[i];
    bool idle = false;
    if (!worker.busy.compare_exchange_strong(idle, true, std::memory_order_acquire)) continue;
    std::call_once(worker.started, [&worker] {
      try {
        worker.thread = std::thread([&worker] { worker.Loop(); });
        worker.running = true;
      } catch (const std::system_error&) {
        // No thread to spare: this worker stays unused.
      }
    });
    if (!worker.running) {
      worker.busy.store(false, std::memory_order_release);
      continue;
    }
    worker.content = content;
    worker.output = output;
    worker.submitted.release();
    ticket->worker = static_cast<int>(i);
    return true;
  }
  return false;
}

DecodedBlock DecodePool::Wait(Ticket* ticket) {
  Worker& worker = *workers_.at(static_cast<size_t>(ticket->worker));
  worker.finished.acquire();
  const DecodedBlock result = worker.result;
  worker.content = {};
  worker.output = {};
  ticket->worker = -1;
  blocks_decoded_.fetch_add(1, std::memory_order_relaxed);
  worker.busy.store(false, std::memory_order_release);
  return result;
}

}  // namespace zv
