// The interactive status view on a terminal: the three status panes, the
// processing lock's holder and waiters, the space of both data disks, the
// client list ("用户名", "IP", and on a wide terminal the transfer rate and
// the progress of the current file, then "详细信息") and the latest
// operation-log entries. A small terminal shows the panes and the list
// only.
//
// The layout is plain text in styled pieces (LayoutStatusScreen); the
// StatusScreen draws it with ncurses on a thread of its own, so that a
// terminal that stops reading (a stalled connection, Ctrl+S) holds up the
// view and never the controller's loop.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "server/status_model.h"

namespace zv {

enum class ScreenStyle { kNormal, kTitle, kHeading, kGood, kWarning, kError };

struct ScreenSegment {
  std::string text;  // printable, exactly as many columns as planned
  ScreenStyle style = ScreenStyle::kNormal;
};
using ScreenLine = std::vector<ScreenSegment>;

// The screen for a terminal of width x height characters, top line first:
// the title, the panes, (on 16 lines or more) the processing lock and the
// disks, the column heads and as many rows as fit, ending with the row
// most recently updated, then (on 16 lines or more) the latest
// operation-log entries. Control characters never pass.
std::vector<ScreenLine> LayoutStatusScreen(const StatusModel& model, int width, int height);

// The layout as text: each line's segments, a newline after each line.
std::string RenderStatusScreen(const StatusModel& model, int width, int height);

// Columns the UTF-8 text takes on a terminal (wide East Asian characters
// two, combining marks none), whatever the locale.
int DisplayWidth(const std::string& text);

// Draws on the terminal of standard output. Owner: the service's run
// routine. Show may be called from any thread; Start and Stop from the
// owner's.
class StatusScreen {
 public:
  StatusScreen();
  ~StatusScreen();  // Stop
  StatusScreen(const StatusScreen&) = delete;
  StatusScreen& operator=(const StatusScreen&) = delete;

  // Starts the drawing thread: ncurses on the terminal, or, where ncurses
  // does not know the terminal, plain text redrawn in place. False when
  // standard output is no terminal (nothing is ever drawn then).
  bool Start();
  // The model to draw next; returns at once.
  void Show(const StatusModel& model);
  // Draws the last model shown, gives the terminal back and ends the thread.
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zv
