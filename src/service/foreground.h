// Running the server in the foreground: the controller on the calling
// thread until a stop (the stop event, SIGINT or SIGTERM) or a failed
// start.
#pragma once

namespace zv {

// Creates the controller, runs it on the calling thread and returns after
// its shut-down: 0 after a clean stop, 1 when the start failed.
// interactive: the status view is drawn when standard output is a
// terminal, and the controller keeps its status model.
int RunServerInForeground(bool interactive);

}  // namespace zv
