#include "service/status_screen.h"

#include <langinfo.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>

// Functions only: ncurses' macros (erase, refresh, move, ...) would take
// over ordinary names.
#define NCURSES_NOMACROS
#include <curses.h>

namespace zv {
namespace {

// The rows need the whole screen below this height.
constexpr int kExtrasMinHeight = 16;
// Beyond this width, the list shows the rate and the progress columns.
constexpr int kTransferColumnsMinWidth = 100;
// The key and address columns; narrower on a terminal under 66 columns.
constexpr int kKeyWidth = 22;
constexpr int kAddressWidth = 16;
constexpr int kRateWidth = 10;
constexpr int kProgressWidth = 18;
constexpr int kBarWidth = 10;
constexpr size_t kMaxLogLines = 8;

// Decodes the UTF-8 sequence at text[*at] and advances *at; a stray byte
// is returned as itself.
uint32_t NextCodePoint(const std::string& text, size_t* at) {
  const auto c = static_cast<unsigned char>(text[*at]);
  size_t length = 1;
  uint32_t code = c;
  if ((c >> 5) == 0x6) {
    length = 2;
    code = c & 0x1F;
  } else if ((c >> 4) == 0xE) {
    length = 3;
    code = c & 0x0F;
  } else if ((c >> 3) == 0x1E) {
    length = 4;
    code = c & 0x07;
  }
  if (*at + length > text.size()) length = 1;
  for (size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[*at + i]);
    if ((next & 0xC0) != 0x80) {
      length = 1;
      code = c;
      break;
    }
    code = (code << 6) | (next & 0x3F);
  }
  *at += length;
  return code;
}

// Columns of one code point, as a terminal draws it: the East Asian wide
// and full-width ranges two, combining marks none.
int CodePointWidth(uint32_t c) {
  if ((c >= 0x0300 && c <= 0x036F) || (c >= 0x200B && c <= 0x200F)) return 0;
  if ((c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) ||
      (c >= 0x3041 && c <= 0x33FF) || (c >= 0x3400 && c <= 0x4DBF) ||
      (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
      (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
      (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
      (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
      (c >= 0x1F900 && c <= 0x1F9FF) || (c >= 0x20000 && c <= 0x3FFFD)) {
    return 2;
  }
  return 1;
}

// text cut or padded with blanks to exactly width columns; control
// characters become '?', so that none reaches the terminal.
std::string Fit(const std::string& text, int width) {
  std::string out;
  int used = 0;
  for (size_t at = 0; at < text.size();) {
    const size_t start = at;
    const uint32_t c = NextCodePoint(text, &at);
    const bool control = c < 0x20 || (c >= 0x7F && c < 0xA0);
    const int columns = control ? 1 : CodePointWidth(c);
    if (used + columns > width) break;
    if (control) {
      out.push_back('?');
    } else {
      out.append(text, start, at - start);
    }
    used += columns;
  }
  out.append(static_cast<size_t>(std::max(0, width - used)), ' ');
  return out;
}

std::string FormatBytes(uint64_t bytes) {
  char text[32];
  if (bytes < 1024) {
    std::snprintf(text, sizeof(text), "%uB", static_cast<unsigned>(bytes));
  } else if (bytes < (uint64_t{1} << 20)) {
    std::snprintf(text, sizeof(text), "%.1fKB", static_cast<double>(bytes) / 1024);
  } else if (bytes < (uint64_t{1} << 30)) {
    std::snprintf(text, sizeof(text), "%.1fMB", static_cast<double>(bytes) / (1 << 20));
  } else {
    std::snprintf(text, sizeof(text), "%.1fGB", static_cast<double>(bytes) / (1 << 30));
  }
  return text;
}

// "[#####     ]  52%"
std::string ProgressText(const StatusModel::Transfer& transfer) {
  const uint64_t size = transfer.file_size == 0 ? 1 : transfer.file_size;
  const auto percent =
      static_cast<unsigned>(std::min<uint64_t>(100, uint64_t{transfer.file_done} * 100 / size));
  const int filled = static_cast<int>(percent) * kBarWidth / 100;
  char text[32];
  std::snprintf(text, sizeof(text), "[%s%s] %3u%%", std::string(filled, '#').c_str(),
                std::string(kBarWidth - filled, ' ').c_str(), percent);
  return text;
}

ScreenStyle RowStyle(const std::string& message) {
  return message.rfind("Server error", 0) == 0 || message.rfind("Client error", 0) == 0
             ? ScreenStyle::kError
             : ScreenStyle::kNormal;
}

ScreenLine LockLine(const StatusModel::Processing& processing, int width) {
  std::string holder = processing.holder.empty() ? "Idle" : processing.holder;
  if (!processing.holder.empty()) holder += " (" + std::to_string(processing.held_seconds) + "s)";
  std::string waiting = "  等待(" + std::to_string(processing.waiting.size()) + ")";
  for (size_t i = 0; i < processing.waiting.size(); ++i) {
    waiting += (i == 0 ? ": " : "; ") + processing.waiting[i];
  }
  const std::string label = "处理锁: ";
  const int label_width = DisplayWidth(label);
  const int holder_width = std::min(DisplayWidth(holder), std::max(0, width - label_width));
  return {{Fit(label, label_width), ScreenStyle::kHeading},
          {Fit(holder, holder_width),
           processing.holder.empty() ? ScreenStyle::kNormal : ScreenStyle::kWarning},
          {Fit(waiting, std::max(0, width - label_width - holder_width)), ScreenStyle::kNormal}};
}

ScreenLine DiskLine(const std::vector<StatusModel::Disk>& disks, int width) {
  ScreenLine line;
  int left = width;
  auto add = [&line, &left](const std::string& text, ScreenStyle style) {
    const int columns = std::min(DisplayWidth(text), std::max(0, left));
    line.push_back({Fit(text, columns), style});
    left -= columns;
  };
  add("磁盘:", ScreenStyle::kHeading);
  for (const StatusModel::Disk& disk : disks) {
    const std::string space = disk.known ? FormatBytes(disk.available_bytes) + "可用/" +
                                               FormatBytes(disk.total_bytes)
                                         : std::string("?");
    add(" " + disk.name + " " + space,
        disk.known && !disk.low ? ScreenStyle::kNormal : ScreenStyle::kError);
  }
  add(std::string(static_cast<size_t>(std::max(0, left)), ' '), ScreenStyle::kNormal);
  return line;
}

}  // namespace

int DisplayWidth(const std::string& text) {
  int width = 0;
  for (size_t at = 0; at < text.size();) width += CodePointWidth(NextCodePoint(text, &at));
  return width;
}

std::vector<ScreenLine> LayoutStatusScreen(const StatusModel& model, int width, int height) {
  width = std::max(width, 40);
  height = std::max(height, 6);
  const bool extras = height >= kExtrasMinHeight;
  const bool transfer_columns = width >= kTransferColumnsMinWidth;
  const int key_width = std::min(kKeyWidth, width / 3);
  const int address_width = std::min(kAddressWidth, width / 4);
  const int message_width =
      transfer_columns
          ? width - key_width - address_width - kRateWidth - kProgressWidth - 4
          : width - key_width - address_width - 2;

  std::vector<ScreenLine> lines;
  lines.push_back({{Fit("Korvane Zentrovane", width), ScreenStyle::kTitle}});
  // Panes: 5 % of the width, the remainder, 25 % of the width.
  const int pane0 = std::max(6, width * 5 / 100);
  const int pane2 = std::max(18, width * 25 / 100);
  const int pane1 = std::max(8, width - pane0 - pane2 - 2);
  lines.push_back({{Fit(model.pane(0), pane0) + "|" + Fit(model.pane(1), pane1) + "|" +
                        Fit(model.pane(2), pane2),
                    ScreenStyle::kNormal}});

  const std::vector<StatusModel::LogLine>& log = model.recent_log();
  const size_t log_lines =
      extras ? std::min({log.size(), kMaxLogLines, static_cast<size_t>((height - 8) / 3)}) : 0;
  if (extras) {
    lines.push_back(LockLine(model.processing(), width));
    lines.push_back(DiskLine(model.disks(), width));
  }

  std::string heads = Fit("用户名", key_width) + " " + Fit("IP", address_width) + " ";
  if (transfer_columns) heads += Fit("速率", kRateWidth) + " " + Fit("进度", kProgressWidth) + " ";
  lines.push_back({{heads + Fit("详细信息", message_width), ScreenStyle::kHeading}});

  // The list: as many rows as fit, ending with the row updated last (or
  // the last row, when the list is shorter than the room).
  const auto& rows = model.rows();
  // The last line stays empty: the plain-text screen ends every line with
  // a newline, which on the last one would scroll the title away.
  const int room = height - 1 - static_cast<int>(lines.size()) -
                   (log_lines > 0 ? 1 + static_cast<int>(log_lines) : 0);
  int last = model.current_row();
  if (last >= 0) last = std::max(last, std::min<int>(static_cast<int>(rows.size()) - 1, room - 1));
  const int first = std::max(0, last - room + 1);
  for (int i = first; i <= last && i < static_cast<int>(rows.size()); ++i) {
    const StatusModel::Row& row = rows[static_cast<size_t>(i)];
    ScreenLine line = {{Fit(row.key, key_width) + " " + Fit(row.address, address_width) + " ",
                        ScreenStyle::kNormal}};
    if (transfer_columns) {
      const StatusModel::Transfer* transfer = model.transfer(row.key);
      const std::string rate = transfer ? FormatBytes(transfer->bytes_per_second) + "/s" : "";
      const std::string progress = transfer ? ProgressText(*transfer) : "";
      line.push_back({Fit(rate, kRateWidth) + " ", ScreenStyle::kNormal});
      line.push_back({Fit(progress, kProgressWidth) + " ", ScreenStyle::kGood});
    }
    line.push_back({Fit(row.message, message_width), RowStyle(row.message)});
    lines.push_back(std::move(line));
  }

  if (log_lines > 0) {
    lines.push_back({{Fit("操作日志", width), ScreenStyle::kHeading}});
    for (size_t i = log.size() - log_lines; i < log.size(); ++i) {
      const StatusModel::LogLine& entry = log[i];
      const ScreenStyle style = entry.code == kEventError     ? ScreenStyle::kError
                                : entry.code == kEventWarning ? ScreenStyle::kWarning
                                                              : ScreenStyle::kNormal;
      lines.push_back({{Fit(entry.time + " " + entry.module + " " + entry.text, width), style}});
    }
  }
  return lines;
}

std::string RenderStatusScreen(const StatusModel& model, int width, int height) {
  std::string screen;
  for (const ScreenLine& line : LayoutStatusScreen(model, width, height)) {
    for (const ScreenSegment& segment : line) screen += segment.text;
    screen += "\n";
  }
  return screen;
}

// ---------------------------------------------------------------------------
// Drawing

struct StatusScreen::Impl {
  std::mutex mu;
  std::condition_variable changed;
  // Guarded by mu.
  std::unique_ptr<StatusModel> next;
  bool stop = false;

  std::thread thread;

  // The drawing thread's own.
  SCREEN* screen = nullptr;  // null: plain text
  int width = 0;
  int height = 0;

  // The terminal's size now; false when it cannot be read.
  bool ReadSize(int* w, int* h) const {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0) {
      return false;
    }
    *w = size.ws_col;
    *h = size.ws_row;
    return true;
  }

  void SetUpCurses() {
    // ncurses draws UTF-8 only in a UTF-8 locale; a terminal whose
    // environment names none (LANG unset) is taken to be UTF-8 as well.
    std::setlocale(LC_CTYPE, "");
    if (std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0) std::setlocale(LC_CTYPE, "C.UTF-8");
    screen = newterm(nullptr, stdout, stdin);
    if (screen == nullptr) return;
    set_term(screen);
    noecho();
    (void)curs_set(0);
    leaveok(stdscr, TRUE);
    if (has_colors() && start_color() == OK) {
      const short background = use_default_colors() == OK ? -1 : COLOR_BLACK;
      init_pair(1, COLOR_BLACK, COLOR_CYAN);
      init_pair(2, COLOR_GREEN, background);
      init_pair(3, COLOR_YELLOW, background);
      init_pair(4, COLOR_RED, background);
    }
  }

  static attr_t Attribute(ScreenStyle style) {
    const bool colour = has_colors();
    switch (style) {
      case ScreenStyle::kTitle:
        return colour ? COLOR_PAIR(1) | A_BOLD : A_REVERSE;
      case ScreenStyle::kHeading:
        return A_BOLD;
      case ScreenStyle::kGood:
        return colour ? COLOR_PAIR(2) : A_NORMAL;
      case ScreenStyle::kWarning:
        return colour ? COLOR_PAIR(3) | A_BOLD : A_BOLD;
      case ScreenStyle::kError:
        return colour ? COLOR_PAIR(4) | A_BOLD : A_REVERSE;
      case ScreenStyle::kNormal:
        break;
    }
    return A_NORMAL;
  }

  void Draw(const StatusModel& model) {
    if (screen == nullptr) {
      const std::string text = "\x1b[H\x1b[2J" + RenderStatusScreen(model, width, height);
      std::fwrite(text.data(), 1, text.size(), stdout);
      std::fflush(stdout);
      return;
    }
    werase(stdscr);
    // Every line is sent again: what a child process writes to the
    // terminal (the importer's complaints on its standard error) must not
    // stay on the screen.
    (void)redrawwin(stdscr);
    const std::vector<ScreenLine> lines = LayoutStatusScreen(model, COLS, LINES);
    for (int y = 0; y < static_cast<int>(lines.size()) && y < LINES; ++y) {
      int x = 0;
      for (const ScreenSegment& segment : lines[static_cast<size_t>(y)]) {
        (void)wattrset(stdscr, static_cast<int>(Attribute(segment.style)));
        // The last cell of the screen cannot take the cursor after it:
        // the text is drawn all the same, the error is of no interest.
        (void)mvwaddstr(stdscr, y, x, segment.text.c_str());
        x += DisplayWidth(segment.text);
      }
    }
    (void)wattrset(stdscr, A_NORMAL);
    (void)wrefresh(stdscr);
  }

  void Run(std::promise<void>* ready) {
    if (!ReadSize(&width, &height)) {
      width = 100;
      height = 30;
    }
    SetUpCurses();
    ready->set_value();
    StatusModel current;
    bool have_model = false;
    for (;;) {
      bool redraw = false;
      bool stopping;
      {
        std::unique_lock<std::mutex> lock(mu);
        // A size change is looked for four times a second, whether or not
        // the signal reaches this thread.
        changed.wait_for(lock, std::chrono::milliseconds(250), [this] { return stop || next; });
        if (next) {
          current = std::move(*next);
          next.reset();
          have_model = redraw = true;
        }
        stopping = stop;
      }
      int w, h;
      if (ReadSize(&w, &h) && (w != width || h != height)) {
        width = w;
        height = h;
        if (screen != nullptr) (void)resizeterm(h, w);
        redraw = have_model;
      }
      if (redraw) Draw(current);
      if (stopping) break;
    }
    if (screen != nullptr) {
      endwin();
      delscreen(screen);
      screen = nullptr;
    }
  }
};

StatusScreen::StatusScreen() : impl_(std::make_unique<Impl>()) {}

StatusScreen::~StatusScreen() { Stop(); }

bool StatusScreen::Start() {
  if (impl_->thread.joinable()) throw 0;
  if (!isatty(STDOUT_FILENO)) return false;
  std::promise<void> ready;
  std::future<void> started = ready.get_future();
  impl_->thread = std::thread([this, &ready] { impl_->Run(&ready); });
  started.wait();
  return true;
}

void StatusScreen::Show(const StatusModel& model) {
  auto copy = std::make_unique<StatusModel>(model);
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->next = std::move(copy);
  }
  impl_->changed.notify_one();
}

void StatusScreen::Stop() {
  if (!impl_->thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->stop = true;
  }
  impl_->changed.notify_one();
  impl_->thread.join();
}

}  // namespace zv
