#include "log/sync_log.h"

#include <sys/types.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "config/zv_sync_config.h"
#include "util/file_util.h"
#include "util/string_format.h"
#include "util/system_util.h"

namespace zv {
namespace {

// A file that has grown past this size is emptied at the next line.
constexpr off_t kMaxFileBytes = 0x400000;
// Files kept when a new one is opened (the new one comes on top).
constexpr size_t kKeptFiles = 7;
constexpr char kFilePattern[] = "????????ZV.log";
constexpr char kTrailingBlanks[] = "\n\r\t ";

char LevelLetter(uint32_t level_bit) {
  switch (level_bit) {
    case kLogCritical: return 'C';
    case kLogError: return 'E';
    case kLogWarning: return 'W';
    case kLogInfo: return 'I';
    case kLogDebug: return 'D';
    case kLogProgress: return 'R';
    default: return ' ';
  }
}

// The file name part of a source path ("Unknown" without any separator).
const char* ModuleName(const char* source_file) {
  const char* slash = std::strrchr(source_file, '/');
  const char* backslash = std::strrchr(source_file, '\\');
  const char* last = std::max(slash, backslash);  // either may be null
  return last == nullptr ? "Unknown" : last + 1;
}

}  // namespace

struct ZVSyncLog::Impl {
  std::mutex mu;
  // Guarded by mu.
  FILE* file = nullptr;
  int last_year = 100;  // tm_year of the day the file was opened (2000)
  int last_yday = 0;    // tm_yday of that day (1 January)
  std::string directory;  // empty: home + "/debuglog", resolved on first use
  std::function<time_t()> clock;

  const std::string& Directory() {
    if (directory.empty()) directory = ZVSyncConfig::ResolveHomeDirectory() + "/debuglog";
    return directory;
  }

  void CloseFile() {
    if (file != nullptr) std::fclose(file);
    file = nullptr;
  }

  // Keeps the newest kKeptFiles log files of the folder; the names sort by
  // date. Failures are ignored: the log has no log of its own.
  void PurgeOldFiles(const std::string& folder) {
    std::vector<std::string> names;
    if (ListFiles(folder, kFilePattern, &names, false) <= kKeptFiles) return;
    std::sort(names.begin(), names.end());
    for (size_t i = 0; i + kKeptFiles < names.size(); ++i) {
      (void)DeletePath(folder + "/" + names[i]);
    }
  }

  void WriteLine(const char* module, unsigned line, char letter, uint32_t thread_id,
                 const char* message) {
    std::lock_guard<std::mutex> lock(mu);
    const time_t now = clock ? clock() : std::time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) == nullptr) std::memset(&local, 0, sizeof(local));

    bool truncate = false;
    if (file != nullptr) {
      const off_t size = ftello(file);
      if (size > kMaxFileBytes) truncate = true;
    }
    if (file == nullptr || truncate || local.tm_yday != last_yday || local.tm_year != last_year) {
      const std::string& folder = Directory();
      (void)CreateDirectoryTree(folder);
      char name[32];
      std::snprintf(name, sizeof(name), "/%04d%02d%02dZV.log", local.tm_year + 1900,
                    local.tm_mon + 1, local.tm_mday);
      PurgeOldFiles(folder);
      CloseFile();
      // "e": the descriptor is not inherited by the programs we start.
      file = std::fopen((folder + name).c_str(), truncate ? "we" : "ae");
      last_year = local.tm_year;
      last_yday = local.tm_yday;
    }
    if (file == nullptr) return;  // dropped; the next line tries again
    std::fprintf(file, "%02u:%02u:%02u %s:%u <%c> {%u} %s\n", static_cast<unsigned>(local.tm_hour),
                 static_cast<unsigned>(local.tm_min), static_cast<unsigned>(local.tm_sec), module,
                 line, letter, thread_id, message);
    std::fflush(file);
  }
};

ZVSyncLog& ZVSyncLog::Instance() {
  // Never destroyed: threads may log while the process exits.
  static ZVSyncLog* const instance = new ZVSyncLog();
  return *instance;
}

ZVSyncLog::ZVSyncLog() : impl_(new Impl) {}

void ZVSyncLog::Write(const char* source_file, unsigned line, uint32_t level_bit,
                      const char* format, ...) {
  if (source_file == nullptr || format == nullptr) throw 0;

  va_list args;
  va_start(args, format);
  std::string message = FormatStringV(format, args);
  va_end(args);

  // One call, one line, whatever the format ends with (a NUL ends the text).
  size_t end = std::strlen(message.c_str());
  while (end > 0 && std::strchr(kTrailingBlanks, message[end - 1]) != nullptr) --end;
  message.resize(end);

  impl_->WriteLine(ModuleName(source_file), line, LevelLetter(level_bit), GetCurrentThreadId32(),
                   message.c_str());
}

void ZVSyncLog::SetDirectoryForTesting(const std::string& directory) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->CloseFile();
  impl_->directory = directory;
}

void ZVSyncLog::SetClockForTesting(std::function<time_t()> clock) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->CloseFile();
  impl_->clock = std::move(clock);
}

}  // namespace zv
