// CZvLogFile: the operation log for the operator, in Chinese: one file a day
// (home/log/YYYYMMDD.log) of 256-byte GBK records, a ring of 16,384 records.
// One instance per process; every write is one record followed by a flush.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace zv {

inline constexpr uint8_t kEventInfo = 0x31;
inline constexpr uint8_t kEventWarning = 0x32;
inline constexpr uint8_t kEventError = 0x33;
inline constexpr const char* kModuleSync = "同步器";
inline constexpr const char* kModuleDisk = "磁盘预警";

// Role: the operation log of the whole process. Owner: nobody; the instance
// is created on first use and never destroyed (every record is flushed, so
// nothing waits for a destructor). Threads: any; one lock covers Open and
// the whole of Write.
class CZvLogFile {
 public:
  static CZvLogFile& Instance();

  CZvLogFile(const CZvLogFile&) = delete;
  CZvLogFile& operator=(const CZvLogFile&) = delete;

  // 0 written; -1 no file could be opened; 12 the write failed.
  // Text from outside (client names) goes in through "%s", never as format.
  // REQUIRES: format not null (else throws 0).
  int Write(uint8_t code, const char* module, const char* format, ...)
      __attribute__((format(printf, 4, 5)));
  // 0, or 10 when no file could be opened or created.
  int Open();

  // For tests: the folder (default home + "/log") and the clock (null
  // restores the system clock). Both close the open file.
  void SetDirectoryForTesting(const std::string& directory);
  void SetClockForTesting(std::function<time_t()> clock);

 private:
  CZvLogFile();
  struct Impl;
  Impl* const impl_;  // owned, never freed (see Instance())
};

// UTF-8 text converted to GBK; a character GBK lacks, or a byte that is not
// valid UTF-8, becomes '?'.
std::string ConvertUtf8ToGbk(std::string_view utf8);

}  // namespace zv

// Shorthands for the operation log.
#define ZV_OPLOG(code, module, ...) ::zv::CZvLogFile::Instance().Write((code), (module), __VA_ARGS__)
