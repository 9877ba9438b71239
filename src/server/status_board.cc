#include "server/status_board.h"

#include <cstdio>
#include <utility>

namespace zv {

StatusBoard::StatusBoard(bool interactive, PostFn post, OnLoopFn on_loop)
    : interactive_(interactive), post_(std::move(post)), on_loop_(std::move(on_loop)) {}

void StatusBoard::OnLoop(std::function<void()> fn) {
  if (on_loop_()) {
    fn();
  } else {
    (void)post_(std::move(fn));  // a loop that has closed shows nothing more
  }
}

void StatusBoard::SetStatusText(std::string text) {
  if (!interactive_) return;
  OnLoop([this, text = std::move(text)]() mutable { SetPane(1, std::move(text)); });
}

void StatusBoard::ShowSpeed(uint32_t received_kbps, uint32_t file_kbps) {
  if (!interactive_) return;
  char text[64];
  std::snprintf(text, sizeof(text), "T:%uKB/s F:%uKB/s", received_kbps, file_kbps);
  OnLoop([this, pane = std::string(text)]() mutable { SetPane(2, std::move(pane)); });
}

void StatusBoard::ShowClientRow(const std::string& session_key, uint32_t address,
                                std::string message) {
  if (!interactive_ || session_key.empty()) return;
  OnLoop([this, key = session_key, address, message = std::move(message)] {
    model_.ShowRow(key, FormatAddress(address), message);
  });
}

void StatusBoard::SetPane(int index, std::string text) {
  if (!interactive_) return;
  model_.SetPane(index, std::move(text));
}

void StatusBoard::SetView(std::function<void(const StatusModel&)> view) {
  view_ = std::move(view);
}

void StatusBoard::Draw() const {
  if (view_) view_(model_);
}

}  // namespace zv
