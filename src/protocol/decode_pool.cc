#include "protocol/decode_pool.h"

#include <algorithm>
#include <mutex>
#include <system_error>
#include <thread>

#include "crashdump/crash_filter.h"

namespace zv {

// One thread and its decoder. The session that claims it (busy false ->
// true) sets job before releasing submitted; the thread clears busy once
// the block is decoded and releases the job's done semaphore last, after
// which it touches the job no more.
struct DecodePool::Worker {
  std::atomic<bool> busy{false};
  std::once_flag started;
  bool running = false;  // set once, under started
  std::thread thread;
  std::binary_semaphore submitted{0};
  bool quit = false;
  Job* job = nullptr;
  BlockDecoder decoder;

  void Loop(std::atomic<uint64_t>* decoded) {
    (void)AddCrashStackToThisThread();
    for (;;) {
      submitted.acquire();
      if (quit) break;
      Job* const current = job;
      job = nullptr;
      current->result_ = decoder.Decode(current->content_, current->output_);
      decoded->fetch_add(1, std::memory_order_relaxed);
      busy.store(false, std::memory_order_release);
      current->done_.release();
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

bool DecodePool::TryStart(Job* job, std::span<const uint8_t> content,
                          std::span<uint8_t> output) {
  for (const auto& entry : workers_) {
    Worker& worker = *entry;
    bool idle = false;
    if (!worker.busy.compare_exchange_strong(idle, true, std::memory_order_acquire)) continue;
    std::call_once(worker.started, [this, &worker] {
      try {
        worker.thread = std::thread([this, &worker] { worker.Loop(&blocks_decoded_); });
        worker.running = true;
      } catch (const std::system_error&) {
        // No thread to spare: this worker stays unused.
      }
    });
    if (!worker.running) {
      worker.busy.store(false, std::memory_order_release);
      continue;
    }
    job->content_ = content;
    job->output_ = output;
    worker.job = job;
    worker.submitted.release();
    return true;
  }
  return false;
}

DecodedBlock DecodePool::Wait(Job* job) {
  job->done_.acquire();
  return job->result_;
}

}  // namespace zv
