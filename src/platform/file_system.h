// Volume and file facts the rest of the code needs without seeing statvfs
// or fsync.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace zv {

struct VolumeSpace {
  uint64_t available_bytes = 0;  // available to this process (f_bavail)
  uint64_t free_bytes = 0;       // free in total (f_bfree)
  uint64_t total_bytes = 0;      // size of the volume (f_blocks)
};

// Space of the volume that holds path (the nearest existing ancestor when
// path itself does not exist yet). False with errno on failure.
bool GetVolumeSpace(const std::string& path, VolumeSpace* out);

// How long a session's thread waits for a descriptor at the most: inside
// the 30 s an appliance waits for an answer. Waiters are not served in
// order, so the bound is generous.
inline constexpr std::chrono::milliseconds kDescriptorWait{20000};

// open(2) that, when this process or the system has no descriptor left
// (EMFILE, ENFILE), waits for one to be closed and tries again, for up to
// wait: thousands of sessions that each hold a socket and a data file can
// reach the limit for a moment, and each frees its file when its upload
// ends. Only a thread that may block waits (a session's, not the event
// loop's, whose wait would stall every session); a wait of 0 fails at
// once. EINTR is retried. The descriptor, or -1 with open's errno.
int OpenWaitingForDescriptor(const std::string& path, int flags, mode_t mode,
                             std::chrono::milliseconds wait);

// Writes bytes to path crash-safely: a temporary file beside it, fsync,
// rename over path, fsync of the folder. False with errno on failure.
bool WriteFileAtomically(const std::string& path, const void* data, size_t length);

// How far CopyFileAtomically waits for the disk. kCopyAndRename: the copy
// and its rename are durable on return. kCopy: the copy is, and the rename
// is left for a later fsync of the same folder to make durable (journaling
// file systems commit renames in order, so a later one that is durable
// implies this one). kNothing: the file system writes both back in its own
// time, and a power cut may leave the destination as it was, or empty.
enum class CopySync { kCopyAndRename, kCopy, kNothing };

// Copies source over destination atomically (temporary copy, rename): a
// reader sees the old file or the whole new one. False with errno (ENOENT
// when source is missing).
// Its opens wait up to descriptor_wait for a descriptor
// (OpenWaitingForDescriptor).
bool CopyFileAtomically(const std::string& source, const std::string& destination,
                        CopySync sync = CopySync::kCopyAndRename,
                        std::chrono::milliseconds descriptor_wait = {});

// fsync of the folder that holds path (makes a rename durable); the open
// waits up to descriptor_wait for a descriptor.
bool SyncParentDirectory(const std::string& path, std::chrono::milliseconds descriptor_wait = {});

// Writes all length bytes, resuming after partial writes and EINTR. False
// with errno on failure (EIO when the file takes no byte at all).
[[nodiscard]] bool WriteFull(int fd, const void* data, size_t length);

// The same at a file offset (pwrite); the file position is not used.
[[nodiscard]] bool WriteFullAt(int fd, const void* data, size_t length, uint64_t offset);

// Reads the whole file into *out. False with errno on failure, EFBIG when
// it holds more than max_bytes (*out then holds a part of it).
[[nodiscard]] bool ReadFileToString(const std::string& path, std::string* out, size_t max_bytes);

// Reads until length bytes are in, the file ends or a read fails (errno
// tells which); returns the bytes read.
[[nodiscard]] size_t ReadFull(int fd, void* buffer, size_t length);

// The same from a file offset (pread); the file position is not used.
[[nodiscard]] size_t ReadFullAt(int fd, void* buffer, size_t length, uint64_t offset);

}  // namespace zv
