// CZvAccountFile: a file of SyncAccountRecords (a 16-byte header, then the
// records) saved so that a crash at any instant leaves a complete copy:
// through "<name>.tem" and two rotating backups "<name>.bak0"/".bak1".
// Reads the four historical formats and upgrades them to the current one.
//
// Durability: every file the save writes reaches the disk (fsync) before a
// later step depends on it, and every copy over an existing file goes to a
// temporary name first and is renamed into place, so a reader (or a load
// after a power cut or kill -9) sees either the old or the new bytes of a
// file, never a mix.
//
// No locking: one object per path, used by one thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "records/sync_account_record.h"

namespace zv {

inline constexpr uint32_t kRecordMagic = 0x89156984;

// The side files a record file is saved through and restored from, in the
// order a load tries them: "<name>.tem", "<name>.bak0", "<name>.bak1".
inline constexpr const char* kRecordSideExtensions[] = {".tem", ".bak0", ".bak1"};
inline constexpr uint32_t kRecordVersion = 0x3200;

// Magics of the older formats (the version field is ignored with these).
inline constexpr uint32_t kRecordMagicV1000 = 0x26581946;
inline constexpr uint32_t kRecordMagicV2000 = 0x46195826;
inline constexpr uint32_t kRecordMagicV3000 = 0x65610639;

// Record sizes of the older formats.
inline constexpr size_t kRecordSizeV1000 = 320;
inline constexpr size_t kRecordSizeV2000 = 984;
inline constexpr size_t kRecordSizeV3000 = 1630;

inline constexpr size_t kRecordFileHeaderSize = 16;

// Results of LoadFile / Save.
inline constexpr int kRecordFileOk = 0;
inline constexpr int kRecordFileCannotOpen = 10;
inline constexpr int kRecordFileShort = 11;
inline constexpr int kRecordFileWriteFailed = 12;
inline constexpr int kRecordFileBadMagic = 13;

class CZvAccountFile {
 public:
  enum class Backup { kBak0, kBak1 };

  CZvAccountFile() = default;
  CZvAccountFile(const CZvAccountFile&) = delete;
  CZvAccountFile& operator=(const CZvAccountFile&) = delete;

  // The path should end in a four-character extension such as ".dat"; the
  // side files replace it. A path whose last component has no '.' gets the
  // side extensions appended instead.
  void SetPath(const std::string& path);
  const std::string& path() const { return path_; }
  // How long Load and Save wait for a descriptor when the process has none
  // left (OpenWaitingForDescriptor); 0 (the default) fails at once, as the
  // event loop's files must.
  void SetDescriptorWait(std::chrono::milliseconds wait) { descriptor_wait_ = wait; }

  // Fills Records() from the file, recovering from .tem, .bak0, .bak1.
  // 0, with an empty Records() when nothing was stored; kRecordFileCannotOpen
  // (Records() empty) when the file is there but could not be opened.
  int Load();
  // How far Save waits for the disk. kNow: the new version is on disk under
  // the main name when Save returns. kWithNextCommit: the new main file's
  // bytes are on disk before the rename that puts them in place, but the
  // rename is left to the file system's next commit (any later sync by
  // anyone, or its commit interval), so a power cut may bring back the
  // version before, never a torn one. One journal commit instead of two.
  // kWhenWrittenBack: nothing waits for the disk; a power cut may bring
  // back the version before or leave no readable record (Load then finds
  // none), so it serves only a record the next login makes again the same
  // way, such as an appliance's first.
  enum class Durability { kNow, kWithNextCommit, kWhenWrittenBack };

  // 0; 10 the temporary file cannot be created; 12 a record cannot be
  // written (or made durable). The main file and the backups are untouched
  // unless the temporary file is complete on disk.
  [[nodiscard]] int Save(Durability durability = Durability::kNow);

  std::vector<SyncAccountRecord>& Records() { return records_; }
  const std::vector<SyncAccountRecord>& Records() const { return records_; }
  uint32_t version() const { return version_; }

  // One attempt on the main path: 0, 10 cannot open, 11 short, 13 bad magic.
  // An older format is upgraded and saved in the current one at once.
  int LoadFile();
  // Puts candidate in place of the main file (atomically) and loads it.
  // A candidate that exists but does not read completely is not copied: the
  // main file is then loaded as it is. Returns LoadFile's result, or 11.
  int RestoreFrom(const std::string& candidate);
  Backup PickBackupToReplace() const;
  // The path with its extension replaced by ext (".tem", ".bak0", ".bak1").
  std::string SidePath(const char* ext) const;

  // Converts one record of an older format (raw bytes, size of that
  // format) to the current layout. Exposed for the upgrade tests.
  static void UpgradeV1000ToV3000(const uint8_t* src, uint8_t* dst);
  static void UpgradeV2000ToV3000(const uint8_t* src, uint8_t* dst);
  static void UpgradeV3000ToCurrent(const uint8_t* src, SyncAccountRecord* dst);

 private:
  // Reads the file at path into *out; the version it was written in goes to
  // *version. Same results as LoadFile; logs like it when log_errors.
  int ReadRecords(const std::string& path, std::vector<SyncAccountRecord>* out, uint32_t* version,
                  bool log_errors) const;

  std::string path_;
  std::vector<SyncAccountRecord> records_;
  uint32_t version_ = kRecordVersion;
  std::chrono::milliseconds descriptor_wait_{0};
};

// Whether two user names (fields of SyncAccountRecord or of a login block,
// or any NUL-terminated text) name the same account: their first 20
// characters at most, ASCII letter case ignored.
bool SameUserName(const char* a, const char* b);

}  // namespace zv
