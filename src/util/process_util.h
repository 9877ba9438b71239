// Process helpers over the platform's ProcessHandle. A child is started
// from its argument vector: argv[0] is the program's path, every other
// element reaches the child as one argument, byte for byte (nothing is
// quoted or split on the way).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/process.h"

namespace zv {

// Starts argv without a terminal, stdin from /dev/null. Returns null when
// the start fails (also for an empty argv or an argument holding a NUL,
// errno EINVAL); errno tells why.
std::unique_ptr<ProcessHandle> StartProcess(const std::vector<std::string>& argv);

// Starts argv; with wait, waits without limit and returns the exit code;
// without, returns 0 once started. A failed start returns the errno of the
// failure.
uint32_t RunProcess(const std::vector<std::string>& argv, bool wait);

// Number of running processes whose image name (base name of the
// executable) equals image_name, compared without regard to case.
uint32_t CountProcessesByName(const std::string& image_name);

// Kills (SIGKILL) every process with that image name except the caller and
// waits up to 1000 ms for all of them; -1 when the wait timed out, else the
// number killed.
int KillProcessesByName(const std::string& image_name);

}  // namespace zv
