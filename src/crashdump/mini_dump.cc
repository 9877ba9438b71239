#include "crashdump/mini_dump.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "crashdump/safe_text.h"

namespace quennlib {
namespace {

using zv::DumpScratch;
using zv::DumpSetup;
using zv::SafeText;

constexpr size_t kKeptReports = 4;
constexpr const char* kRecordName = "/deleted_dumps.lst";

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// "*_????????_??????.dmp", letter case ignored: the name ends in twenty
// characters '_', eight any, '_', six any, ".dmp". Hand-made, because the
// general matcher consults the locale.
bool IsReportName(const char* name) {
  const size_t length = std::strlen(name);
  if (length < 20) return false;
  const char* tail = name + length - 20;
  if (tail[0] != '_' || tail[9] != '_') return false;
  static constexpr char kExtension[] = ".dmp";
  for (int i = 0; i < 4; ++i) {
    if (Lower(tail[16 + i]) != kExtension[i]) return false;
  }
  return true;
}

// A folder (or a link to one) is never a report.
bool IsFolder(int folder_fd, const struct dirent64* entry) {
  if (entry->d_type == DT_DIR) return true;
  if (entry->d_type != DT_UNKNOWN && entry->d_type != DT_LNK) return false;
  struct stat st;
  return ::fstatat(folder_fd, entry->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

int MiniDump::WriteDump(const char* name, const zv::CrashInfo* crash, zv::ModuleFilter filter,
                        int kind) {
  if (name == nullptr || *name == '\0' || !setup_.ready()) return kInvalidParameter;
  if (kind != zv::kDumpSmall && kind != zv::kDumpData && kind != zv::kDumpFull) {
    return kInvalidParameter;
  }
  if (path_[0] == '\0') {
    const int error = MakeDumpPath(name, path_, sizeof(path_));
    if (error != 0) {
      path_[0] = '\0';
      return error;
    }
  }
  const int fd = ::open(path_, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  SafeText out(setup_.scratch()->out, DumpScratch::kOutBytes, fd);
  zv::WriteCrashReport(setup_, crash, kind, filter, ::time(nullptr), out);
  out.Flush();
  int error = out.error();
  // On the disk before the process goes: a restart loop must not find half
  // a report after a power cut either.
  if (error == 0 && ::fsync(fd) != 0 && errno != EINVAL) error = errno;
  if (::close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
  return error;
}

int MiniDump::MakeDumpPath(const char* name, char* buffer, size_t length) {
  if (name == nullptr || *name == '\0' || buffer == nullptr || length == 0 || !setup_.ready()) {
    return kInvalidParameter;
  }
  struct tm local;
  setup_.ToLocal(::time(nullptr), &local);

  SafeText path(buffer, length);
  path.Add(setup_.folder()).Add('/').Add(name).Add('_');
  path.DateTime(local, /*compact=*/true);
  path.Add(".dmp");
  if (path.Overflowed() || length < 2) {
    buffer[0] = '\0';
    return ENAMETOOLONG;
  }
  path.c_str();
  Prune(local);
  return 0;
}

template <typename Each>
void MiniDump::ForEachReport(Each each) {
  DumpScratch* scratch = setup_.scratch();
  const int fd = ::open(setup_.folder(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  for (;;) {
    const ssize_t n = ::getdents64(fd, scratch->dir, DumpScratch::kDirBytes);
    if (n <= 0) break;
    for (ssize_t at = 0; at < n;) {
      const auto* entry = reinterpret_cast<const struct dirent64*>(scratch->dir + at);
      at += entry->d_reclen;
      if (std::strlen(entry->d_name) >= DumpScratch::kNameBytes || !IsReportName(entry->d_name) ||
          IsFolder(fd, entry)) {
        continue;
      }
      each(entry->d_name);
    }
  }
  ::close(fd);
}

void MiniDump::Prune(const struct tm& local) {
  DumpScratch* scratch = setup_.scratch();
  size_t count = 0;
  ForEachReport([&count](const char*) { ++count; });
  if (count <= kKeptReports) return;

  // The oldest first, one walk of the folder each: there are rarely more
  // than a few, and no list of names has to be kept.
  char* previous = scratch->previous;
  char* lowest = scratch->lowest;
  previous[0] = '\0';
  for (size_t deleted = 0; deleted < count - kKeptReports; ++deleted) {
    bool found = false;
    ForEachReport([&](const char* name) {
      // strcmp orders as unsigned bytes.
      if (previous[0] != '\0' && std::strcmp(name, previous) <= 0) return;
      if (found && std::strcmp(name, lowest) >= 0) return;
      std::strcpy(lowest, name);
      found = true;
    });
    if (!found) break;
    SafeText path(scratch->path, DumpScratch::kPathBytes);
    path.Add(setup_.folder()).Add('/').Add(lowest);
    if (!path.Overflowed()) {
      (void)::unlink(path.c_str());  // a report that stays is still recorded
      RecordDeletion(local, path.c_str());
    }
    std::strcpy(previous, lowest);
  }
}

void MiniDump::RecordDeletion(const struct tm& local, const char* path) {
  char line_buffer[DumpScratch::kPathBytes + 32];
  SafeText line(line_buffer, sizeof(line_buffer));
  line.DateTime(local);
  line.Add(' ').Add(path).Add('\n');

  char record_buffer[DumpSetup::kFolderBytes + 32];
  SafeText record(record_buffer, sizeof(record_buffer));
  record.Add(setup_.folder()).Add(kRecordName);
  if (record.Overflowed()) return;
  // Opened and closed for each line; a record that cannot be opened is
  // skipped, the deletion stands.
  const int fd = ::open(record.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  (void)::write(fd, line.c_str(), line.size());
  ::close(fd);
}

size_t CountWrittenReports(const char* folder) {
  size_t count = 0;
  if (DIR* dir = ::opendir(folder)) {
    const int fd = ::dirfd(dir);
    while (const struct dirent64* entry = ::readdir64(dir)) {
      if (IsReportName(entry->d_name) && !IsFolder(fd, entry)) ++count;
    }
    ::closedir(dir);
  }
  const std::string record = std::string(folder) + kRecordName;
  if (FILE* file = std::fopen(record.c_str(), "rbe")) {
    for (int c; (c = std::fgetc(file)) != EOF;) count += c == '\n';
    std::fclose(file);
  }
  return count;
}

}  // namespace quennlib
