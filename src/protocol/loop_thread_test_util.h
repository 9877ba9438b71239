// An io_context served by a thread of its own, for the tests of the
// datagram services: the service is used on the loop as in the server.
// Test-only; needs the asio build definitions of the test target.
#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include <future>
#include <thread>

namespace zv::testing {

class LoopThread {
 public:
  LoopThread() = default;
  ~LoopThread() { Stop(); }
  LoopThread(const LoopThread&) = delete;
  LoopThread& operator=(const LoopThread&) = delete;

  asio::io_context& io() { return io_; }

  void Start() {
    thread_ = std::thread([this] { io_.run(); });
  }

  // Runs fn on the loop thread and returns its result once it has run.
  template <typename Fn>
  auto Run(Fn fn) -> decltype(fn()) {
    std::packaged_task<decltype(fn())()> task(std::move(fn));
    auto result = task.get_future();
    asio::post(io_, [&task] { task(); });
    return result.get();
  }

  // Lets the loop run out and joins its thread.
  void Stop() {
    if (!thread_.joinable()) return;
    work_.reset();
    thread_.join();
  }

 private:
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_ = asio::make_work_guard(io_);
  std::thread thread_;
};

}  // namespace zv::testing
