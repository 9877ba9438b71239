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

namespace zv {

inline constexpr uint8_t kEventInfo = 0x31;
inline constexpr uint8_t kEventWarning = 0x32;
inline constexpr uint8_t kEventError = 0x33;
inline constexpr const char* kModuleSync = "同步器";
inline constexpr const char* kModuleDisk = "磁盘预警";

class CZvLogFile {
 public:
  static CZvLogFile& Instance();

  // 0 written; -1 no file could be opened; 12 the write failed.
  // Text from outside (client names) goes in through "%s", never as format.
  int Write(uint8_t code, const char* module, const char* format, ...)
      __attribute__((format(printf, 4, 5)));
  // 0, or 10 when no file could be opened or created.
  int Open();

  // For tests: the folder (default home + "/log") and the clock. Closes
  // the open file.
  void SetDirectoryForTesting(const std::string& directory);
  void SetClockForTesting(std::function<time_t()> clock);

 private:
  CZvLogFile();
  struct Impl;
  Impl* impl_;
};

}  // namespace zv

// Shorthands for the operation log.
#define ZV_OPLOG(code, module, ...) ::zv::CZvLogFile::Instance().Write((code), (module), __VA_ARGS__)
