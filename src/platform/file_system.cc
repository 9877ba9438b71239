#include "platform/file_system.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <thread>

namespace zv {

namespace {

std::string ParentOf(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;  // "a/b/" names "a/b"
  size_t slash = path.find_last_of('/', end - 1);
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Closes fd keeping errno of an earlier failure.
void CloseKeepingErrno(int fd) {
  int saved = errno;
  close(fd);
  errno = saved;
}

// Removes a temporary file keeping errno of an earlier failure.
void UnlinkKeepingErrno(const std::string& path) {
  int saved = errno;
  unlink(path.c_str());
  errno = saved;
}

// Gives up a temporary file that is still open.
void AbandonTemp(int fd, const std::string& temp_path) {
  CloseKeepingErrno(fd);
  UnlinkKeepingErrno(temp_path);
}

// Creates a fresh temporary file beside path; its name goes to *temp_path.
// The mode is that of the file it will replace, else 0666 less the umask.
int CreateTempBeside(const std::string& path, mode_t keep_mode, std::string* temp_path,
                     std::chrono::milliseconds descriptor_wait = {}) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".tmp%d_%u", static_cast<int>(getpid()),
                  counter.fetch_add(1));
    *temp_path = path + suffix;
    int fd = OpenWaitingForDescriptor(*temp_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666,
                                      descriptor_wait);
    if (fd >= 0) {
      if (keep_mode != 0) fchmod(fd, keep_mode);
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  errno = EEXIST;
  return -1;
}

mode_t ExistingMode(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return st.st_mode & 07777;
  return 0;
}

// Makes the temporary file durable and puts it in place of path.
bool FinishTemp(int fd, const std::string& temp_path, const std::string& path,
                CopySync sync = CopySync::kCopyAndRename,
                std::chrono::milliseconds descriptor_wait = {}) {
  if (sync != CopySync::kNothing && fsync(fd) != 0) {
    AbandonTemp(fd, temp_path);
    return false;
  }
  if (close(fd) != 0 || rename(temp_path.c_str(), path.c_str()) != 0) {
    UnlinkKeepingErrno(temp_path);
    return false;
  }
  return sync != CopySync::kCopyAndRename || SyncParentDirectory(path, descriptor_wait);
}

}  // namespace

int OpenWaitingForDescriptor(const std::string& path, int flags, mode_t mode,
                             std::chrono::milliseconds wait) {
  // Short naps at first (a descriptor is usually freed within
  // milliseconds), longer ones later, so that a long shortage costs the
  // waiters little.
  constexpr std::chrono::milliseconds kLongestNap{64};
  const auto deadline = std::chrono::steady_clock::now() + wait;
  std::chrono::milliseconds nap{1};
  for (;;) {
    const int fd = open(path.c_str(), flags, mode);
    if (fd >= 0 || (errno != EINTR && errno != EMFILE && errno != ENFILE)) return fd;
    if (errno == EINTR) continue;
    const int error = errno;
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) {
      errno = error;
      return -1;
    }
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(nap, left));
    nap = std::min(nap * 2, kLongestNap);
  }
}

bool GetVolumeSpace(const std::string& path, VolumeSpace* out) {
  std::string probe = path.empty() ? "." : path;
  struct statvfs vfs;
  for (;;) {
    if (statvfs(probe.c_str(), &vfs) == 0) break;
    if (errno != ENOENT || probe == "/" || probe == ".") return false;
    probe = ParentOf(probe);
  }
  uint64_t unit = vfs.f_frsize != 0 ? vfs.f_frsize : vfs.f_bsize;
  out->available_bytes = static_cast<uint64_t>(vfs.f_bavail) * unit;
  out->free_bytes = static_cast<uint64_t>(vfs.f_bfree) * unit;
  out->total_bytes = static_cast<uint64_t>(vfs.f_blocks) * unit;
  return true;
}

bool WriteFileAtomically(const std::string& path, const void* data, size_t length) {
  std::string temp_path;
  int fd = CreateTempBeside(path, ExistingMode(path), &temp_path);
  if (fd < 0) return false;
  if (!WriteFull(fd, data, length)) {
    AbandonTemp(fd, temp_path);
    return false;
  }
  return FinishTemp(fd, temp_path, path);
}

bool CopyFileAtomically(const std::string& source, const std::string& destination,
                        CopySync sync, std::chrono::milliseconds descriptor_wait) {
  int in = OpenWaitingForDescriptor(source, O_RDONLY | O_CLOEXEC, 0, descriptor_wait);
  if (in < 0) return false;
  struct stat st;
  if (fstat(in, &st) != 0) {
    CloseKeepingErrno(in);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    close(in);
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return false;
  }
  std::string temp_path;
  int out = CreateTempBeside(destination, st.st_mode & 07777, &temp_path, descriptor_wait);
  if (out < 0) {
    CloseKeepingErrno(in);
    return false;
  }
  char buffer[64 * 1024];
  bool ok = true;
  for (;;) {
    ssize_t n = read(in, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    if (n == 0) break;
    if (!WriteFull(out, buffer, static_cast<size_t>(n))) {
      ok = false;
      break;
    }
  }
  CloseKeepingErrno(in);
  if (!ok) {
    AbandonTemp(out, temp_path);
    return false;
  }
  return FinishTemp(out, temp_path, destination, sync, descriptor_wait);
}

namespace {

// The loops behind WriteFull and ReadFull: at the file position when
// offset is negative, else from offset on.
bool WriteLoop(int fd, const uint8_t* p, size_t length, int64_t offset) {
  while (length > 0) {
    ssize_t n = offset < 0 ? write(fd, p, length) : pwrite(fd, p, length, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    p += n;
    length -= static_cast<size_t>(n);
    if (offset >= 0) offset += n;
  }
  return true;
}

size_t ReadLoop(int fd, uint8_t* p, size_t length, int64_t offset) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = offset < 0 ? read(fd, p + done, length - done)
                           : pread(fd, p + done, length - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

}  // namespace

bool WriteFull(int fd, const void* data, size_t length) {
  return WriteLoop(fd, static_cast<const uint8_t*>(data), length, -1);
}

bool WriteFullAt(int fd, const void* data, size_t length, uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) {
    errno = EINVAL;
    return false;
  }
  return WriteLoop(fd, static_cast<const uint8_t*>(data), length, static_cast<int64_t>(offset));
}

size_t ReadFull(int fd, void* buffer, size_t length) {
  return ReadLoop(fd, static_cast<uint8_t*>(buffer), length, -1);
}

size_t ReadFullAt(int fd, void* buffer, size_t length, uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) {
    errno = EINVAL;
    return 0;
  }
  return ReadLoop(fd, static_cast<uint8_t*>(buffer), length, static_cast<int64_t>(offset));
}

bool ReadFileToString(const std::string& path, std::string* out, size_t max_bytes) {
  int fd = OpenWaitingForDescriptor(path, O_RDONLY | O_CLOEXEC, 0, {});
  if (fd < 0) return false;
  out->clear();
  char buffer[16384];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      CloseKeepingErrno(fd);
      return false;
    }
    if (n == 0) break;
    out->append(buffer, static_cast<size_t>(n));
    if (out->size() > max_bytes) {
      close(fd);
      errno = EFBIG;
      return false;
    }
  }
  close(fd);
  return true;
}

bool SyncParentDirectory(const std::string& path, std::chrono::milliseconds descriptor_wait) {
  std::string parent = ParentOf(path);
  int fd =
      OpenWaitingForDescriptor(parent, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0, descriptor_wait);
  if (fd < 0) return false;
  int rc = fsync(fd);
  if (rc != 0 && errno == EINVAL) rc = 0;  // file systems that cannot sync folders
  CloseKeepingErrno(fd);
  return rc == 0;
}

}  // namespace zv
