// What the benchmark programs share in reading their command lines.
#pragma once

#include <cstdint>
#include <string>

namespace zv::bench {

// A byte count as "1048576", "512K", "64M" or "1G" (also "KiB", "MiB",
// "GiB", and lower-case k, m, g). False for anything else, and for a count
// beyond 64 bits.
bool ParseByteSize(const std::string& text, uint64_t* out);

// $TMPDIR when set and not empty, else "/tmp".
std::string DefaultScratchFolder();

}  // namespace zv::bench
