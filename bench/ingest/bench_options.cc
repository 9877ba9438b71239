#include "bench_options.h"

#include <cerrno>
#include <cstdlib>

namespace zv::bench {

bool ParseByteSize(const std::string& text, uint64_t* out) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (end == text.c_str() || errno == ERANGE) return false;
  const std::string suffix(end);
  unsigned shift = 0;
  if (suffix == "K" || suffix == "k" || suffix == "KiB") {
    shift = 10;
  } else if (suffix == "M" || suffix == "m" || suffix == "MiB") {
    shift = 20;
  } else if (suffix == "G" || suffix == "g" || suffix == "GiB") {
    shift = 30;
  } else if (!suffix.empty()) {
    return false;
  }
  if (shift != 0 && value > (~0ull >> shift)) return false;
  *out = static_cast<uint64_t>(value) << shift;
  return true;
}

std::string DefaultScratchFolder() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

}  // namespace zv::bench
