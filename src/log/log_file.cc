// Record layout of the operation log (256 bytes, GBK text, zero filled):
//   0   20  module name, NUL-padded, not terminated when it fills 20 bytes
//   20   1  event code ('1' information, '2' warning, '3' error)
//   24   9  "hh:mm:ss" and NUL
//   36 217  message, NUL-padded, cut to 217 bytes
//   253  1  0
//   254  2  CR LF, so that the file also reads as lines
// A day's file is a ring of 16,384 records: after the last one the next
// record goes to offset 0 again.
#include "log/log_file.h"

#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <deque>

#include "platform/process.h"
#include "util/file_util.h"
#include "util/string_format.h"

namespace zv {
namespace {

constexpr size_t kRecordBytes = 256;
constexpr off_t kFileBytes = 4194304;  // 16,384 records
constexpr size_t kModuleOffset = 0;
constexpr size_t kModuleBytes = 20;
constexpr size_t kCodeOffset = 20;
constexpr size_t kTimeOffset = 24;
constexpr size_t kMessageOffset = 36;
constexpr size_t kMessageBytes = 217;

// Length of the valid UTF-8 sequence at text, or 0 when it is not one.
size_t Utf8SequenceLength(const unsigned char* text, size_t available) {
  const unsigned char lead = text[0];
  size_t length;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
  } else {
    return 0;
  }
  if (length > available) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((text[i] & 0xC0) != 0x80) return 0;
  }
  return length;
}

// Module name and event code into a zeroed record.
void FillRecordHead(unsigned char* record, const std::string& module_gbk, uint8_t code) {
  std::memcpy(record + kModuleOffset, module_gbk.data(), std::min(kModuleBytes, module_gbk.size()));
  record[kCodeOffset] = code;
  record[253] = 0;
  record[254] = 0x0D;
  record[255] = 0x0A;
}

// "hh:mm:ss" at its place; the NUL after it is already there. Formatted by
// hand: the crash handler's entry stamps records with it too.
void StampTime(unsigned char* record, const struct tm& local) {
  const int parts[3] = {local.tm_hour, local.tm_min, local.tm_sec};
  unsigned char* p = record + kTimeOffset;
  for (int i = 0; i < 3; ++i) {
    const int value = parts[i] < 0 ? 0 : parts[i] % 100;
    *p++ = static_cast<unsigned char>('0' + value / 10);
    *p++ = static_cast<unsigned char>('0' + value % 10);
    if (i < 2) *p++ = ':';
  }
}

// Writes n as exactly width decimal digits.
char* PutDigits(char* out, int n, int width) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + n % 10);
    n /= 10;
  }
  return out + width;
}

}  // namespace

std::string ConvertUtf8ToGbk(std::string_view utf8) {
  std::string out;
  iconv_t cd = iconv_open("GBK", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    // No converter: ASCII passes, everything else is unknown.
    out.reserve(utf8.size());
    for (char c : utf8) out.push_back(static_cast<unsigned char>(c) < 0x80 ? c : '?');
    return out;
  }
  // GBK never needs more bytes than UTF-8 for the same text, and '?' stands
  // for at least one input byte.
  out.resize(utf8.size() + 4);
  char* in = const_cast<char*>(utf8.data());
  size_t in_left = utf8.size();
  char* dst = out.data();
  size_t out_left = out.size();
  while (in_left > 0) {
    if (iconv(cd, &in, &in_left, &dst, &out_left) != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {
      const size_t used = static_cast<size_t>(dst - out.data());
      out.resize(out.size() * 2);
      dst = out.data() + used;
      out_left = out.size() - used;
      continue;
    }
    // EILSEQ or EINVAL: a character GBK lacks (one '?' for the whole
    // character) or a byte that is not UTF-8 (one '?' for the byte).
    const size_t skip =
        std::max<size_t>(1, Utf8SequenceLength(reinterpret_cast<unsigned char*>(in), in_left));
    if (out_left == 0) {
      const size_t used = static_cast<size_t>(dst - out.data());
      out.resize(out.size() * 2);
      dst = out.data() + used;
      out_left = out.size() - used;
    }
    *dst++ = '?';
    --out_left;
    in += skip;
    in_left -= skip;
  }
  iconv_close(cd);
  out.resize(static_cast<size_t>(dst - out.data()));
  return out;
}

struct CZvLogFile::Impl {
  std::mutex mu;
  // Guarded by mu.
  FILE* file = nullptr;
  int year = 0;   // local date on which the file was opened
  int month = 0;
  int day = 0;
  off_t position = 0;  // next record; a multiple of 256 below kFileBytes
  std::string directory;  // empty: home + "/log", resolved on first use
  std::function<time_t()> clock;
  size_t keep_recent = 0;
  std::deque<RecentEntry> recent;  // at most keep_recent

  time_t Now() const { return clock ? clock() : std::time(nullptr); }

  const std::string& Directory() {
    if (directory.empty()) directory = HomeDirectory() + "/log";
    return directory;
  }

  void CloseFile() {
    if (file != nullptr) std::fclose(file);
    file = nullptr;
  }

  // REQUIRES: mu held.
  int OpenLocked(const struct tm& local) {
    CloseFile();
    year = local.tm_year;
    month = local.tm_mon;
    day = local.tm_mday;
    const std::string& folder = Directory();
    (void)CreateDirectoryTree(folder);  // a failure shows in the open below
    char name[32];
    std::snprintf(name, sizeof(name), "/%04d%02d%02d.log", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday);
    // Continue an existing file (other processes may have it open too), or
    // create it; never truncate.
    const int fd = ::open((folder + name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return 10;
    file = ::fdopen(fd, "r+b");
    if (file == nullptr) {
      ::close(fd);
      return 10;
    }
    off_t size = 0;
    if (fseeko(file, 0, SEEK_END) == 0) size = ftello(file);
    if (size < 0) size = 0;
    // A half record at the end is overwritten by the next record.
    position = size - size % static_cast<off_t>(kRecordBytes);
    if (position >= kFileBytes) position = 0;
    return 0;
  }
};

CZvLogFile& CZvLogFile::Instance() {
  static CZvLogFile* const instance = new CZvLogFile();
  return *instance;
}

CZvLogFile::CZvLogFile() : impl_(new Impl) {}

int CZvLogFile::Open() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  const time_t now = impl_->Now();
  struct tm local;
  if (localtime_r(&now, &local) == nullptr) std::memset(&local, 0, sizeof(local));
  return impl_->OpenLocked(local);
}

int CZvLogFile::Write(uint8_t code, const char* module, const char* format, ...) {
  if (format == nullptr) throw 0;
  va_list args;
  va_start(args, format);
  const std::string text = FormatStringV(format, args);
  va_end(args);
  // Converted before cutting, so that the cut counts GBK bytes.
  const std::string message = ConvertUtf8ToGbk(text);
  const std::string module_name = ConvertUtf8ToGbk(module != nullptr ? module : "");

  std::lock_guard<std::mutex> lock(impl_->mu);
  const time_t now = impl_->Now();
  struct tm local;
  if (localtime_r(&now, &local) == nullptr) std::memset(&local, 0, sizeof(local));
  if (impl_->keep_recent > 0) {
    char time_text[16];
    std::snprintf(time_text, sizeof(time_text), "%02d:%02d:%02d", local.tm_hour, local.tm_min,
                  local.tm_sec);
    impl_->recent.push_back(RecentEntry{time_text, code, module != nullptr ? module : "", text});
    while (impl_->recent.size() > impl_->keep_recent) impl_->recent.pop_front();
  }

  // The whole date is compared, so a file of the same day of another month
  // is never continued by mistake.
  if (impl_->file != nullptr &&
      (local.tm_mday != impl_->day || local.tm_mon != impl_->month || local.tm_year != impl_->year)) {
    impl_->CloseFile();
  }
  if (impl_->file == nullptr && impl_->OpenLocked(local) != 0) return -1;

  unsigned char record[kRecordBytes] = {};
  FillRecordHead(record, module_name, code);
  StampTime(record, local);
  std::memcpy(record + kMessageOffset, message.data(), std::min(kMessageBytes, message.size()));

  FILE* file = impl_->file;
  if (fseeko(file, impl_->position, SEEK_SET) != 0 ||
      std::fwrite(record, 1, kRecordBytes, file) != kRecordBytes) {
    impl_->CloseFile();
    return 12;
  }
  impl_->position += static_cast<off_t>(kRecordBytes);
  if (impl_->position >= kFileBytes) impl_->position = 0;
  // A record that did not reach the system is a failed write.
  if (std::fflush(file) != 0) {
    impl_->CloseFile();
    return 12;
  }
  return 0;
}

void CZvLogFile::PrepareEntry(uint8_t code, const char* module, const char* message_start,
                              PreparedLogEntry* entry) {
  if (entry == nullptr) throw 0;
  const std::string module_name = ConvertUtf8ToGbk(module != nullptr ? module : "");
  const std::string message = ConvertUtf8ToGbk(message_start != nullptr ? message_start : "");
  std::lock_guard<std::mutex> lock(impl_->mu);
  const std::string& folder = impl_->Directory();
  entry->ready_ = folder.size() < PreparedLogEntry::kFolderBytes;
  if (!entry->ready_) return;
  std::memset(entry->folder_, 0, sizeof(entry->folder_));
  std::memcpy(entry->folder_, folder.data(), folder.size());
  std::memset(entry->record_, 0, sizeof(entry->record_));
  FillRecordHead(entry->record_, module_name, code);
  entry->message_bytes_ = std::min(kMessageBytes, message.size());
  std::memcpy(entry->record_ + kMessageOffset, message.data(), entry->message_bytes_);
}

int PreparedLogEntry::Write(const struct tm& local, const char* tail) const {
  if (!ready_) return -1;
  unsigned char record[kRecordBytes];
  std::memcpy(record, record_, kRecordBytes);
  StampTime(record, local);
  size_t at = message_bytes_;
  for (const char* p = tail; p != nullptr && *p != '\0' && at < kMessageBytes; ++p) {
    record[kMessageOffset + at++] = static_cast<unsigned char>(*p);
  }

  // folder + "/YYYYMMDD.log"
  char path[kFolderBytes + 16];
  const size_t folder_length = std::strlen(folder_);
  std::memcpy(path, folder_, folder_length);
  char* p = path + folder_length;
  *p++ = '/';
  p = PutDigits(p, local.tm_year + 1900, 4);
  p = PutDigits(p, local.tm_mon + 1, 2);
  p = PutDigits(p, local.tm_mday, 2);
  std::memcpy(p, ".log", 5);

  (void)::mkdir(folder_, 0755);  // a failure shows in the open below
  const int fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  off_t position = ::lseek(fd, 0, SEEK_END);
  if (position < 0) position = 0;
  position -= position % static_cast<off_t>(kRecordBytes);
  if (position >= kFileBytes) position = 0;
  const bool written =
      ::pwrite(fd, record, kRecordBytes, position) == static_cast<ssize_t>(kRecordBytes);
  ::close(fd);
  return written ? 0 : 12;
}

void CZvLogFile::KeepRecent(size_t count) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->keep_recent = count;
  while (impl_->recent.size() > count) impl_->recent.pop_front();
}

std::vector<CZvLogFile::RecentEntry> CZvLogFile::Recent() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return std::vector<RecentEntry>(impl_->recent.begin(), impl_->recent.end());
}

void CZvLogFile::SetDirectoryForTesting(const std::string& directory) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->CloseFile();
  impl_->directory = directory;
}

void CZvLogFile::SetClockForTesting(std::function<time_t()> clock) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->CloseFile();
  impl_->clock = std::move(clock);
}

}  // namespace zv
