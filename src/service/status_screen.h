// The interactive status view on a terminal: the three status panes and the
// client list ("用户名", "IP", "详细信息"), redrawn in place. Called on the
// controller's loop thread with its status model.
#pragma once

#include <string>

#include "server/status_model.h"

namespace zv {

// The screen as text for a terminal of width x height characters: a
// title, the pane line, the column heads and as many rows as fit, ending
// with the row most recently updated. No control sequences.
std::string RenderStatusScreen(const StatusModel& model, int width, int height);

// Clears the terminal on standard output and draws the screen.
void DrawStatusScreen(const StatusModel& model);

}  // namespace zv
