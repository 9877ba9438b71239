#include "service/foreground.h"

#include <unistd.h>

#include <csignal>

#include "server/sync_srv_dlg.h"
#include "service/status_screen.h"

namespace zv {

int RunServerInForeground(bool interactive) {
  // A peer that closes while the server writes must cost one session, not
  // the process.
  std::signal(SIGPIPE, SIG_IGN);
  CZVSyncSrvDlg controller(interactive);
  if (interactive && isatty(STDOUT_FILENO)) controller.SetStatusView(&DrawStatusScreen);
  return controller.RunModal(/*stop_on_signals=*/true) ? 0 : 1;
}

}  // namespace zv
