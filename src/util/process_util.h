// Process helpers over the platform's ProcessHandle. Command lines are
// written the Windows way (program path and arguments in double quotes,
// separated by blanks) and split by the Windows rules before the start.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/process.h"

namespace zv {

// Starts the command line without a terminal, stdin from /dev/null. Returns
// null when the start fails; errno tells why.
std::unique_ptr<ProcessHandle> StartProcess(const std::string& command_line);

// Starts the command line; with wait, waits without limit and returns the
// exit code; without, returns 0 once started. A failed start returns the
// errno of the failure.
uint32_t RunProcess(const std::string& command_line, bool wait);

// Number of running processes whose image name (base name of the
// executable) equals image_name, compared without regard to case.
uint32_t CountProcessesByName(const std::string& image_name);

// Kills (SIGKILL) every process with that image name except the caller and
// waits up to 1000 ms for all of them; -1 when the wait timed out, else the
// number killed.
int KillProcessesByName(const std::string& image_name);

}  // namespace zv
