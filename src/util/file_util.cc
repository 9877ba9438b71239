#include "util/file_util.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "platform/ascii_case.h"

namespace zv {

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool HasWildcard(std::string_view text) {
  return text.find_first_of("*?") != std::string_view::npos;
}

void SetErrnoFrom(const std::error_code& ec) {
  errno = ec.value() != 0 ? ec.value() : EIO;
}

// Splits "folder/last" at the last '/'. A path without '/' lies in ".".
void SplitLastComponent(const std::string& path, std::string* folder, std::string* last) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    *folder = ".";
    *last = path;
  } else {
    *folder = slash == 0 ? "/" : path.substr(0, slash);
    *last = path.substr(slash + 1);
  }
}

enum class EntryKind { kMissing, kFolder, kOther };

// Kind of the entry name inside the open folder dir_fd. Symbolic links are
// classified by their target; a dangling link is a non-folder entry.
EntryKind KindOf(int dir_fd, const char* name, unsigned char d_type) {
  if (d_type == DT_DIR) return EntryKind::kFolder;
  if (d_type != DT_UNKNOWN && d_type != DT_LNK) return EntryKind::kOther;
  struct stat st;
  if (fstatat(dir_fd, name, &st, 0) == 0) {
    return S_ISDIR(st.st_mode) ? EntryKind::kFolder : EntryKind::kOther;
  }
  if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) return EntryKind::kOther;
  return EntryKind::kMissing;
}

size_t ListEntries(const std::string& folder, const std::string& pattern,
                   std::vector<std::string>* out, bool full_path, bool want_folders) {
  out->clear();
  std::string base = TrimPathSeparators(folder);
  std::string open_path = base.empty() ? (folder.empty() ? "." : "/") : base;
  DIR* dir = opendir(open_path.c_str());
  if (dir == nullptr) return 0;
  int dir_fd = dirfd(dir);
  while (dirent* entry = readdir(dir)) {
    std::string_view name(entry->d_name);
    if (name == "." || name == "..") continue;
    if (!WildcardMatch(pattern, name)) continue;
    EntryKind kind = KindOf(dir_fd, entry->d_name, entry->d_type);
    if (kind == EntryKind::kMissing) continue;
    if ((kind == EntryKind::kFolder) != want_folders) continue;
    out->push_back(full_path ? base + "/" + std::string(name) : std::string(name));
  }
  closedir(dir);
  errno = 0;  // read, whatever the entries' look-ups left there
  return out->size();
}

uint64_t DirectorySizeAt(int dir_fd) {
  DIR* dir = fdopendir(dir_fd);
  if (dir == nullptr) {
    close(dir_fd);
    return 0;
  }
  uint64_t total = 0;
  while (dirent* entry = readdir(dir)) {
    std::string_view name(entry->d_name);
    if (name == "." || name == "..") continue;
    struct stat st;
    if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      // Folders are entered without following links, so a link cycle
      // cannot make the walk endless.
      int child = openat(dirfd(dir), entry->d_name,
                         O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child >= 0) total += DirectorySizeAt(child);
    } else if (S_ISLNK(st.st_mode)) {
      // A link to a file counts with the file's length; links to folders
      // are not entered.
      if (fstatat(dirfd(dir), entry->d_name, &st, 0) == 0 && S_ISREG(st.st_mode)) {
        total += static_cast<uint64_t>(st.st_size);
      }
    } else if (S_ISREG(st.st_mode)) {
      total += static_cast<uint64_t>(st.st_size);
    }
  }
  closedir(dir);
  return total;
}

// Removes one file or folder tree; a missing one counts as removed.
bool RemoveTree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
  if (ec) {
    SetErrnoFrom(ec);
    return false;
  }
  return true;
}

}  // namespace

bool CreateDirectoryTree(const std::string& path) {
  std::string trimmed = TrimPathSeparators(path);
  if (trimmed.empty()) {
    if (!path.empty()) return true;  // "/" always exists
    errno = ENOENT;
    return false;
  }
  std::error_code ec;
  std::filesystem::create_directories(trimmed, ec);
  if (ec && ec != std::errc::file_exists) {
    SetErrnoFrom(ec);
    return false;
  }
  // An existing folder counts as created; a file of that name does not.
  struct stat st;
  if (stat(trimmed.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  return true;
}

bool DeletePath(const std::string& path) {
  std::string trimmed = TrimPathSeparators(path);
  if (trimmed.empty()) {
    // Never the root folder, never "nothing".
    errno = EINVAL;
    return false;
  }
  std::string folder;
  std::string last;
  SplitLastComponent(trimmed, &folder, &last);
  if (last == "." || last == "..") {
    errno = EINVAL;
    return false;
  }
  if (!HasWildcard(last)) return RemoveTree(trimmed);

  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) {
    if (errno == ENOENT || errno == ENOTDIR) return true;  // nothing there to delete
    return false;
  }
  std::vector<std::string> matches;
  while (dirent* entry = readdir(dir)) {
    std::string_view name(entry->d_name);
    if (name == "." || name == "..") continue;
    if (WildcardMatch(last, name)) matches.emplace_back(name);
  }
  closedir(dir);
  bool ok = true;
  int first_error = 0;
  std::string prefix = folder == "/" ? "/" : folder + "/";
  for (const std::string& name : matches) {
    if (!RemoveTree(prefix + name) && ok) {
      ok = false;
      first_error = errno;
    }
  }
  if (!ok) errno = first_error;
  return ok;
}

std::string TrimPathSeparators(std::string_view path) {
  size_t end = path.size();
  while (end > 0 && IsSeparator(path[end - 1])) --end;
  return std::string(path.substr(0, end));
}

size_t ListSubdirectories(const std::string& folder, const std::string& pattern,
                          std::vector<std::string>* out, bool full_path) {
  return ListEntries(folder, pattern, out, full_path, true);
}

size_t ListFiles(const std::string& folder, const std::string& pattern,
                 std::vector<std::string>* out, bool full_path) {
  return ListEntries(folder, pattern, out, full_path, false);
}

uint64_t GetDirectorySize(const std::string& folder) {
  std::string trimmed = TrimPathSeparators(folder);
  if (trimmed.empty()) trimmed = folder.empty() ? "." : "/";
  int fd = open(trimmed.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return 0;
  return DirectorySizeAt(fd);
}

bool IsDateString(std::string_view text) {
  if (text.size() != 8) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool IsSafeFileName(std::string_view name) {
  if (name.empty() || name.size() > 255) return false;
  if (name == "." || name.find("..") != std::string_view::npos) return false;
  for (unsigned char c : name) {
    if (c <= 0x20 || c >= 0x7F) return false;
    switch (c) {
      case '/':
      case '\\':
      case '"':
      case '\'':
      case '`':
      case '*':
      case '?':
      case '<':
      case '>':
      case '|':
      case ';':
      case ':':
      case '$':
        return false;
      default:
        break;
    }
  }
  return true;
}

bool WildcardMatch(std::string_view pattern, std::string_view name) {
  // Iterative matcher with one back-tracking point for the latest '*':
  // linear in practice, never exponential.
  size_t p = 0;
  size_t n = 0;
  size_t star = std::string_view::npos;
  size_t star_n = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      star_n = n;
    } else if (p < pattern.size() &&
               (pattern[p] == '?' || ToLowerAscii(pattern[p]) == ToLowerAscii(name[n]))) {
      ++p;
      ++n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++star_n;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace zv
