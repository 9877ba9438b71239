#include "log/sync_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <poll.h>

#include "platform/process.h"
#include "util/file_util.h"
#include "util/loop_mailbox.h"
#include "util/string_format.h"
#include "util/system_util.h"

namespace zv {
namespace {

thread_local bool t_deferred = false;

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

// One open log file. Writers take a reference under the lock and write
// outside it, so a line that waits for the disk holds up no other thread;
// the descriptor is closed when the last writer lets go of it.
struct LogSink {
  int fd = -1;
  off_t size = 0;  // bytes in the file, counting lines handed out; guarded by Impl::mu

  ~LogSink() {
    if (fd >= 0) close(fd);
  }
};

// Appends the whole line in one call where the system allows: with
// O_APPEND each call lands at the end at once, so lines never interleave.
void AppendLine(int fd, const std::string& line) {
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = write(fd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the log has no log of its own
    done += static_cast<size_t>(n);
  }
}

struct ZVSyncLog::Impl {
  std::mutex mu;
  // Guarded by mu.
  std::shared_ptr<LogSink> file;
  int last_year = 100;  // tm_year of the day the file was opened (2000)
  int last_yday = 0;    // tm_yday of that day (1 January)
  std::string directory;  // empty: home + "/debuglog", resolved on first use
  std::function<time_t()> clock;

  const std::string& Directory() {
    if (directory.empty()) directory = HomeDirectory() + "/debuglog";
    return directory;
  }

  void CloseFile() { file.reset(); }

  // The writer of deferred lines, started on first use; never stopped (the
  // log outlives every thread that logs).
  std::once_flag writer_started;
  std::unique_ptr<LoopMailbox> deferred;  // null when no thread could start
  std::atomic<LoopMailbox*> started{nullptr};  // deferred, once its writer runs

  LoopMailbox* DeferredMailbox() {
    std::call_once(writer_started, [this] {
      try {
        auto mailbox = std::make_unique<LoopMailbox>();
        std::thread([box = mailbox.get()] {
          for (;;) {
            pollfd p{box->wake_fd(), POLLIN, 0};
            if (poll(&p, 1, -1) > 0) box->Drain();
          }
        }).detach();
        deferred = std::move(mailbox);
        started.store(deferred.get(), std::memory_order_release);
      } catch (const std::exception&) {
        deferred.reset();  // lines are then written by their own thread
      }
    });
    return deferred.get();
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
    std::shared_ptr<LogSink> sink;
    std::string text;
    {
      std::lock_guard<std::mutex> lock(mu);
      const time_t now = clock ? clock() : std::time(nullptr);
      struct tm local;
      if (localtime_r(&now, &local) == nullptr) std::memset(&local, 0, sizeof(local));
      if (!OpenFor(local)) return;  // dropped; the next line tries again
      text = FormatString("%02u:%02u:%02u %s:%u <%c> {%u} %s\n",
                          static_cast<unsigned>(local.tm_hour), static_cast<unsigned>(local.tm_min),
                          static_cast<unsigned>(local.tm_sec), module, line, letter, thread_id,
                          message);
      file->size += static_cast<off_t>(text.size());
      sink = file;
    }
    AppendLine(sink->fd, text);
  }

  // Makes file the right one for a line of the day local: a new day, or a
  // file grown past the limit (emptied), opens another. False when none can
  // be opened.
  bool OpenFor(const struct tm& local) {
    const bool truncate = file != nullptr && file->size > kMaxFileBytes;
    if (file == nullptr || truncate || local.tm_yday != last_yday || local.tm_year != last_year) {
      const std::string& folder = Directory();
      (void)CreateDirectoryTree(folder);
      char name[32];
      std::snprintf(name, sizeof(name), "/%04d%02d%02dZV.log", local.tm_year + 1900,
                    local.tm_mon + 1, local.tm_mday);
      PurgeOldFiles(folder);
      CloseFile();
      // O_CLOEXEC: the descriptor is not inherited by the programs we start.
      const int fd = open((folder + name).c_str(),
                          O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (truncate ? O_TRUNC : 0), 0644);
      last_year = local.tm_year;
      last_yday = local.tm_yday;
      if (fd < 0) return false;
      auto sink = std::make_shared<LogSink>();
      sink->fd = fd;
      struct stat st;
      sink->size = fstat(fd, &st) == 0 ? st.st_size : 0;
      file = std::move(sink);
    }
    return true;
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

  const char* module = ModuleName(source_file);
  const char letter = LevelLetter(level_bit);
  const uint32_t thread_id = GetCurrentThreadId32();
  if (t_deferred) {
    LoopMailbox* mailbox = impl_->DeferredMailbox();
    if (mailbox != nullptr &&
        mailbox->Post([impl = impl_, name = std::string(module), line, letter, thread_id,
                       text = std::move(message)] {
          impl->WriteLine(name.c_str(), line, letter, thread_id, text.c_str());
        })) {
      return;
    }
  }
  impl_->WriteLine(module, line, letter, thread_id, message.c_str());
}

void ZVSyncLog::DeferForThisThread(bool on) { t_deferred = on; }

bool ZVSyncLog::Flush(int timeout_ms) {
  LoopMailbox* mailbox = impl_->started.load(std::memory_order_acquire);
  if (mailbox == nullptr) return true;  // nothing was ever deferred
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> written = done->get_future();
  if (!mailbox->Post([done] { done->set_value(); })) return true;
  if (timeout_ms < 0) {
    written.wait();
    return true;
  }
  return written.wait_for(std::chrono::milliseconds(timeout_ms)) == std::future_status::ready;
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
