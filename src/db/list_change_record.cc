#include "db/list_change_record.h"

#include <fcntl.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <sstream>

#include "platform/file_system.h"
#include "util/crc.h"

namespace zv {
namespace {

constexpr const char* kMagic = "zentrovane-loadlogtable-lists 1";
constexpr size_t kMaxBytes = 64u << 20;

// How far before the look a change time must lie to be trusted: more than
// the kernel's clock tick (time stamps come from its coarse clock, which
// may lag the clock read before the look by up to one tick), or, on a file
// system that keeps whole seconds only, more than two of its steps.
constexpr int64_t kFineMarginNs = 100'000'000;
constexpr int64_t kSecondsMarginNs = 2'000'000'000;

int64_t Ns(const struct timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// A storage name that can stand in a line of the record.
bool Writable(const std::string& name) {
  return !name.empty() && name.find_first_of(std::string("\t\n\r\0", 4)) == std::string::npos;
}

}  // namespace

ListChangeRecord::ListChangeRecord(std::string data_path) : data_path_(std::move(data_path)) {}

int64_t ListChangeRecord::Now() {
  struct timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return Ns(t);
}

ListChangeRecord::Stamp ListChangeRecord::StampOf(const struct stat& st) {
  Stamp s;
  s.device = static_cast<uint64_t>(st.st_dev);
  s.inode = static_cast<uint64_t>(st.st_ino);
  s.size = static_cast<int64_t>(st.st_size);
  s.modified_ns = Ns(st.st_mtim);
  s.changed_ns = Ns(st.st_ctim);
  return s;
}

bool ListChangeRecord::Load() {
  previous_.clear();
  read_ = false;
  std::string text;
  if (!ReadFileToString(data_path_ + "/" + kFileName, &text, kMaxBytes)) return false;
  // The last line is "crc XXXXXXXX" over everything before it.
  const size_t tail = text.rfind("crc ");
  if (tail == std::string::npos || (tail > 0 && text[tail - 1] != '\n')) return false;
  unsigned crc = 0;
  char end = 0;
  if (std::sscanf(text.c_str() + tail, "crc %8x%c", &crc, &end) != 2 || end != '\n' ||
      CCrc().Compute(text.data(), tail) != crc) {
    return false;
  }
  std::istringstream in(text.substr(0, tail));
  std::string line;
  if (!std::getline(in, line) || line != kMagic) return false;
  if (!std::getline(in, line) || line != data_path_) return false;
  std::map<std::string, Stamp> read;
  while (std::getline(in, line)) {
    const size_t tab = line.find('\t');
    Stamp s;
    if (tab == std::string::npos ||
        std::sscanf(line.c_str() + tab + 1,
                    "%" SCNu64 " %" SCNu64 " %" SCNd64 " %" SCNd64 " %" SCNd64, &s.device,
                    &s.inode, &s.size, &s.modified_ns, &s.changed_ns) != 5) {
      return false;
    }
    read[line.substr(0, tab)] = s;
  }
  previous_ = std::move(read);
  read_ = true;
  return true;
}

bool ListChangeRecord::Unchanged(const std::string& storage, const struct stat& st) const {
  const auto it = previous_.find(storage);
  return it != previous_.end() && it->second == StampOf(st);
}

void ListChangeRecord::Keep(const std::string& storage) {
  const auto it = previous_.find(storage);
  if (it != previous_.end()) next_[storage] = it->second;
}

void ListChangeRecord::Settled(const std::string& storage, const struct stat& st,
                               int64_t looked_at_ns) {
  if (!Writable(storage)) return;
  const Stamp s = StampOf(st);
  const bool whole_seconds = st.st_mtim.tv_nsec == 0 && st.st_ctim.tv_nsec == 0;
  const int64_t margin = whole_seconds ? kSecondsMarginNs : kFineMarginNs;
  if (s.changed_ns > looked_at_ns - margin) return;
  next_[storage] = s;
}

std::string ListChangeRecord::Serialize() const {
  std::string text = std::string(kMagic) + "\n" + data_path_ + "\n";
  for (const auto& [storage, s] : next_) {
    char line[160];
    std::snprintf(line, sizeof(line),
                  "\t%" PRIu64 " %" PRIu64 " %" PRId64 " %" PRId64 " %" PRId64 "\n", s.device,
                  s.inode, s.size, s.modified_ns, s.changed_ns);
    text += storage + line;
  }
  char crc[32];
  std::snprintf(crc, sizeof(crc), "crc %08x\n", CCrc().Compute(text.data(), text.size()));
  return text + crc;
}

bool ListChangeRecord::Save() const {
  if (read_ && next_ == previous_) return true;
  const std::string path = data_path_ + "/" + kFileName;
  const std::string temp = path + "." + std::to_string(getpid()) + ".tmp";
  const std::string text = Serialize();
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool written = WriteFull(fd, text.data(), text.size());
  if (close(fd) != 0 || !written || rename(temp.c_str(), path.c_str()) != 0) {
    unlink(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace zv
