// CZvAccountFile: a file of SyncAccountRecords (a 16-byte header, then the
// records) saved so that a crash at any instant leaves a complete copy:
// through "<name>.tem" and two rotating backups "<name>.bak0"/".bak1".
// Reads the four historical formats and upgrades them to the current one.
// No locking: one object per path, used by one thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "records/sync_account_record.h"

namespace zv {

inline constexpr uint32_t kRecordMagic = 0x89156984;
inline constexpr uint32_t kRecordVersion = 0x3200;

class CZvAccountFile {
 public:
  enum class Backup { kBak0, kBak1 };

  CZvAccountFile() = default;
  CZvAccountFile(const CZvAccountFile&) = delete;
  CZvAccountFile& operator=(const CZvAccountFile&) = delete;

  // The path must end in a four-character extension such as ".dat".
  void SetPath(const std::string& path);
  const std::string& path() const { return path_; }

  // Fills Records() from the file, recovering from .tem, .bak0, .bak1.
  // Always 0; an empty Records() means nothing was stored.
  int Load();
  // 0; 10 the temporary file cannot be created; 12 a record cannot be written.
  int Save();

  std::vector<SyncAccountRecord>& Records() { return records_; }
  const std::vector<SyncAccountRecord>& Records() const { return records_; }
  uint32_t version() const { return version_; }

  // One attempt on the main path: 0, 10 cannot open, 11 short, 13 bad magic.
  int LoadFile();
  int RestoreFrom(const std::string& candidate);
  Backup PickBackupToReplace() const;
  // The path with its four-character extension replaced by ext (".tem").
  std::string SidePath(const char* ext) const;

 private:
  std::string path_;
  std::vector<SyncAccountRecord> records_;
  uint32_t version_ = kRecordVersion;
};

}  // namespace zv
