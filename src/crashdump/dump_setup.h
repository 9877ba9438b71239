// DumpSetup: everything a crash report needs that cannot be learnt safely
// once the process has crashed, gathered in advance: the folder reports go
// to, the program's version text, the executable's path and build id, the
// local time table, and the scratch memory the report is built in (mapped
// once, so that writing a report never allocates).
//
// Owner: the crash filter (one for the process) or a test. Prepare runs
// once on one thread and is not async-signal-safe; afterwards the object is
// only read, except its scratch memory, which one report at a time uses
// (the crash filter lets only one thread write).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "crashdump/local_time_table.h"

namespace zv {

// One line of /proc/self/maps, parsed; the path points into the maps text.
struct MapEntry {
  uint64_t start = 0;
  uint64_t end = 0;
  uint64_t offset = 0;  // file offset of start
  const char* path = nullptr;  // not NUL-terminated; empty for anonymous memory
  uint32_t path_length = 0;
  char perms[4] = {};  // "r-xp" and the like
};

// The memory a report is built in.
struct DumpScratch {
  static constexpr size_t kOutBytes = 64 * 1024;
  static constexpr size_t kMapsBytes = 4 * 1024 * 1024;
  static constexpr size_t kMaxMaps = 16384;
  static constexpr size_t kDirBytes = 32 * 1024;
  static constexpr size_t kChunkBytes = 4096;
  static constexpr size_t kNameBytes = 512;
  static constexpr size_t kPathBytes = 4096;

  char out[kOutBytes];
  char maps_text[kMapsBytes];
  MapEntry maps[kMaxMaps];
  alignas(8) char dir[kDirBytes];
  unsigned char chunk[kChunkBytes];
  char name[kNameBytes];
  char path[kPathBytes];
  char lowest[kNameBytes];
  char previous[kNameBytes];
};

class DumpSetup {
 public:
  static constexpr size_t kFolderBytes = 4096;

  DumpSetup() = default;
  ~DumpSetup();
  DumpSetup(const DumpSetup&) = delete;
  DumpSetup& operator=(const DumpSetup&) = delete;

  // folder: where reports are written and pruned (trailing '/' removed).
  // version_text: the program's version text (copied; its line break is
  // dropped). False when the folder path is too long or the scratch memory
  // cannot be mapped; the object is then not ready.
  bool Prepare(const std::string& folder, const char* version_text);
  bool ready() const { return scratch_ != nullptr; }

  const char* folder() const { return folder_; }
  const char* version_text() const { return version_text_; }
  const char* executable() const { return executable_; }
  // Lower-case hexadecimal; empty when the executable carries none.
  const char* build_id() const { return build_id_; }
  uint64_t page_size() const { return page_size_; }

  // Async-signal-safe.
  void ToLocal(time_t t, struct tm* out) const { clock_.ToLocal(t, out); }
  DumpScratch* scratch() const { return scratch_; }

 private:
  char folder_[kFolderBytes] = {};
  char version_text_[512] = {};
  char executable_[4096] = {};
  char build_id_[129] = {};
  uint64_t page_size_ = 4096;
  LocalTimeTable clock_;
  DumpScratch* scratch_ = nullptr;  // mapped by Prepare, unmapped by the destructor
};

// The build id of the running executable from its ELF note
// (.note.gnu.build-id), in lower-case hexadecimal; empty when it has none.
std::string ReadOwnBuildId();

}  // namespace zv
