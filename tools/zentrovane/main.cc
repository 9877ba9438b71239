// Zentrovane.exe: the synchronisation server.
#include <cstdio>
#include <unistd.h>

#include "service/app_entry.h"

int main(int argc, char** argv) {
  int code = zv::ZentrovaneMain(argc, argv);
  // Nothing is left to clean up: both logs write through, and the
  // controller has stopped every thread it started. Ending at once keeps
  // process-wide objects from being torn down under a late thread.
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(code);
}
