// StatusBoard: the status of the interactive view as the server's threads
// update it: the activity text, the transfer speed, the session count and
// the client list (a StatusModel), drawn by a view about once a second.
// Updates from other threads are handed to the loop; on the loop they take
// effect at once. Without an interactive view every update is dropped on
// the spot, so that a service pays nothing for a screen nobody sees.
//
// Owned by the controller. The model and the view are touched only on the
// loop thread; the update operations may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "server/status_model.h"

namespace zv {

class StatusBoard {
 public:
  // Runs a closure on the loop thread later; false once the loop has closed.
  using PostFn = std::function<bool(std::function<void()>)>;
  // Whether the calling thread is the loop's.
  using OnLoopFn = std::function<bool()>;

  StatusBoard(bool interactive, PostFn post, OnLoopFn on_loop);
  StatusBoard(const StatusBoard&) = delete;
  StatusBoard& operator=(const StatusBoard&) = delete;

  bool interactive() const { return interactive_; }

  // Any thread. Pane 1 (the activity).
  void SetStatusText(std::string text);
  // Any thread. Pane 2: "T:%uKB/s F:%uKB/s".
  void ShowSpeed(uint32_t received_kbps, uint32_t file_kbps);
  // Any thread. The row of session_key (none for an empty key); address in
  // host byte order.
  void ShowClientRow(const std::string& session_key, uint32_t address, std::string message);

  // Loop thread. Sets a pane directly (0: session count, 1: activity,
  // 2: speed).
  void SetPane(int index, std::string text);
  // Before the loop runs: the view that draws the model.
  void SetView(std::function<void(const StatusModel&)> view);
  bool has_view() const { return static_cast<bool>(view_); }
  // Loop thread: draws the model with the view, if any.
  void Draw() const;
  // Loop thread: the model, for the refresh before a draw.
  StatusModel& model() { return model_; }

 private:
  // Runs fn at once on the loop thread, else hands it to the loop.
  void OnLoop(std::function<void()> fn);

  // Constant after construction.
  const bool interactive_;
  const PostFn post_;
  const OnLoopFn on_loop_;

  // Loop thread only.
  StatusModel model_;
  std::function<void(const StatusModel&)> view_;
};

}  // namespace zv
