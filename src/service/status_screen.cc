#include "service/status_screen.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace zv {
namespace {

// Bytes of the UTF-8 sequence that starts with c (1 for a stray byte).
size_t SequenceLength(unsigned char c) {
  if (c < 0x80) return 1;
  if ((c >> 5) == 0x6) return 2;
  if ((c >> 4) == 0xE) return 3;
  if ((c >> 3) == 0x1E) return 4;
  return 1;
}

// text cut or padded with blanks to exactly width display columns.
std::string Fit(const std::string& text, int width) {
  std::string out;
  int used = 0;
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t length = SequenceLength(c);
    // CJK characters (three-byte sequences and up) take two columns.
    int columns = length >= 3 ? 2 : 1;
    if (used + columns > width || i + length > text.size()) break;
    if (c < 0x20 || c == 0x7F) {
      out.push_back('?');  // never let a control character reach the terminal
    } else {
      out.append(text, i, length);
    }
    used += columns;
    i += length;
  }
  out.append(static_cast<size_t>(std::max(0, width - used)), ' ');
  return out;
}

}  // namespace

std::string RenderStatusScreen(const StatusModel& model, int width, int height) {
  width = std::max(width, 40);
  height = std::max(height, 6);
  const int key_width = 22;
  const int address_width = 16;
  const int message_width = std::max(10, width - key_width - address_width - 2);

  std::string screen;
  screen += Fit("Korvane Zentrovane", width) + "\n";
  // Panes: 5 % of the width, the remainder, 25 % of the width.
  int pane0 = std::max(6, width * 5 / 100);
  int pane2 = std::max(18, width * 25 / 100);
  int pane1 = std::max(8, width - pane0 - pane2 - 2);
  screen += Fit(model.pane(0), pane0) + "|" + Fit(model.pane(1), pane1) + "|" +
            Fit(model.pane(2), pane2) + "\n";
  screen += Fit("用户名", key_width) + " " + Fit("IP", address_width) + " " +
            Fit("详细信息", message_width) + "\n";

  const auto& rows = model.rows();
  const int room = height - 4;
  int last = model.current_row() < 0 ? -1 : model.current_row();
  if (last >= 0) last = std::max(last, std::min<int>(static_cast<int>(rows.size()) - 1, room - 1));
  int first = std::max(0, last - room + 1);
  for (int i = first; i <= last && i < static_cast<int>(rows.size()); ++i) {
    const StatusModel::Row& row = rows[static_cast<size_t>(i)];
    screen += Fit(row.key, key_width) + " " + Fit(row.address, address_width) + " " +
              Fit(row.message, message_width) + "\n";
  }
  return screen;
}

void DrawStatusScreen(const StatusModel& model) {
  winsize size{};
  int width = 100;
  int height = 30;
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0) {
    width = size.ws_col;
    height = size.ws_row;
  }
  std::string screen = "\x1b[H\x1b[2J" + RenderStatusScreen(model, width, height);
  std::fwrite(screen.data(), 1, screen.size(), stdout);
  std::fflush(stdout);
}

}  // namespace zv
