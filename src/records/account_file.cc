#include "records/account_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cstdio>
#include <cstring>

#include "log/sync_log.h"
#include "platform/ascii_case.h"
#include "platform/file_system.h"
#include "util/string_format.h"

namespace zv {

static_assert(std::endian::native == std::endian::little,
              "record files are little-endian and read by plain copies");

namespace {

// Version 0x3000 layout: 32 entries of 36 bytes from 0x09E; in each the
// u16 at +24 is an on/off word and the u16 at +26 a value.
constexpr size_t kV3000EntryBase = 0x09E;
constexpr size_t kV3000EntrySize = 36;
// Version 0x2000 layout: 32 entries of 24 bytes from 0x098.
constexpr size_t kV2000EntryBase = 0x098;
constexpr size_t kV2000EntrySize = 24;

uint16_t GetU16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
uint32_t GetU32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
void PutU16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, sizeof v); }
void PutU32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, sizeof v); }

// Record size of a format version (0x1000, 0x2000, 0x3000, else current).
size_t RecordSizeOf(uint32_t version) {
  switch (version) {
    case 0x1000:
      return kRecordSizeV1000;
    case 0x2000:
      return kRecordSizeV2000;
    case 0x3000:
      return kRecordSizeV3000;
    default:
      return kRecordSize;
  }
}

// Converts one raw record of the given version to the current layout.
void ConvertRecord(uint32_t version, const uint8_t* raw, SyncAccountRecord* out) {
  switch (version) {
    case 0x1000: {
      uint8_t v3000[kRecordSizeV3000];
      CZvAccountFile::UpgradeV1000ToV3000(raw, v3000);
      CZvAccountFile::UpgradeV3000ToCurrent(v3000, out);
      return;
    }
    case 0x2000: {
      uint8_t v3000[kRecordSizeV3000];
      CZvAccountFile::UpgradeV2000ToV3000(raw, v3000);
      CZvAccountFile::UpgradeV3000ToCurrent(v3000, out);
      return;
    }
    case 0x3000:
      CZvAccountFile::UpgradeV3000ToCurrent(raw, out);
      return;
    default:
      std::memcpy(out, raw, kRecordSize);
      return;
  }
}

// Last-modification time in nanoseconds; false when the file is not there.
bool ModificationTime(const std::string& path, int64_t* ns) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  *ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return true;
}

}  // namespace

void CZvAccountFile::SetPath(const std::string& path) { path_ = path; }

std::string CZvAccountFile::SidePath(const char* ext) const {
  size_t slash = path_.find_last_of('/');
  size_t dot = path_.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
    return path_ + ext;
  }
  return path_.substr(0, dot) + ext;
}

int CZvAccountFile::Load() {
  const int result = LoadFile();
  if (result == kRecordFileOk) return 0;
  if (result == kRecordFileCannotOpen && errno != ENOENT) {
    // A file that is there but cannot be opened (no descriptor left, no
    // access) is not a missing one: its records are not taken for none
    // (the caller would save a fresh record over them), and no older side
    // file is put in its place.
    ZV_LOG_E("Open file %s failed!errno=%d\n", path_.c_str(), errno);
    return kRecordFileCannotOpen;
  }
  for (const char* ext : kRecordSideExtensions) {
    if (RestoreFrom(SidePath(ext)) == kRecordFileOk) return 0;
  }
  return 0;
}

int CZvAccountFile::ReadRecords(const std::string& path, std::vector<SyncAccountRecord>* out,
                                uint32_t* version, bool log_errors) const {
  out->clear();
  int fd = OpenWaitingForDescriptor(path, O_RDONLY | O_CLOEXEC, 0, descriptor_wait_);
  if (fd < 0) return kRecordFileCannotOpen;

  uint8_t header[kRecordFileHeaderSize];
  if (ReadFull(fd, header, sizeof header) != sizeof header) {
    close(fd);
    return kRecordFileShort;
  }
  uint32_t magic = GetU32(header);
  int32_t count = static_cast<int32_t>(GetU32(header + 4));
  uint32_t v = GetU32(header + 8);
  switch (magic) {
    case kRecordMagicV1000:
      v = 0x1000;
      break;
    case kRecordMagicV2000:
      v = 0x2000;
      break;
    case kRecordMagicV3000:
      v = 0x3000;
      break;
    case kRecordMagic:
      break;
    default:
      if (log_errors) ZV_LOG_E("Read file header error!flag=%08X", magic);
      close(fd);
      return kRecordFileBadMagic;
  }
  *version = v;

  // The count comes from the file: it is never trusted for an allocation.
  // Records are read one by one until the count is reached or the file ends.
  const size_t size = RecordSizeOf(v);
  uint8_t raw[kRecordSize];
  for (int32_t i = 0; i < count; ++i) {
    errno = 0;
    if (ReadFull(fd, raw, size) != size) {
      if (log_errors && v != 0x2000) ZV_LOG_E("Read file error!errno=%d\n", errno);
      close(fd);
      return kRecordFileShort;
    }
    SyncAccountRecord record;
    ConvertRecord(v, raw, &record);
    out->push_back(record);
  }
  close(fd);
  return kRecordFileOk;
}

int CZvAccountFile::LoadFile() {
  records_.clear();
  uint32_t version = version_;
  int result = ReadRecords(path_, &records_, &version, /*log_errors=*/true);
  if (result != kRecordFileOk) return result;
  version_ = version;
  if (version_ != kRecordVersion) {
    // Rewrite an older format in the current one at once; a failure leaves
    // the old file, which reads again next time.
    (void)Save();
    version_ = kRecordVersion;
  }
  return kRecordFileOk;
}

int CZvAccountFile::RestoreFrom(const std::string& candidate) {
  // A candidate that is there but damaged must not replace the main file:
  // the main file may still hold more than the candidate.
  std::vector<SyncAccountRecord> probe;
  uint32_t probe_version = 0;
  int probe_result = ReadRecords(candidate, &probe, &probe_version, /*log_errors=*/false);
  if (probe_result == kRecordFileCannotOpen && errno != ENOENT) {
    ZV_LOG_E("can not copy %s to %s file last error No:%d", candidate.c_str(), path_.c_str(),
             errno);
    return kRecordFileShort;
  }
  if (probe_result != kRecordFileOk) {
    if (probe_result != kRecordFileCannotOpen) {
      ZV_LOG_E("Damaged side file %s not restored (%d)\n", candidate.c_str(), probe_result);
    }
    return LoadFile();
  }
  if (!CopyFileAtomically(candidate, path_, CopySync::kCopyAndRename, descriptor_wait_)) {
    int error = errno;
    if (error != ENOENT) {
      ZV_LOG_E("can not copy %s to %s file last error No:%d", candidate.c_str(), path_.c_str(),
               error);
      return kRecordFileShort;
    }
  }
  return LoadFile();
}

CZvAccountFile::Backup CZvAccountFile::PickBackupToReplace() const {
  int64_t t0 = 0, t1 = 0;
  if (!ModificationTime(SidePath(".bak0"), &t0)) return Backup::kBak0;
  if (!ModificationTime(SidePath(".bak1"), &t1)) return Backup::kBak1;
  constexpr int64_t kTenSeconds = 10LL * 1000000000;
  if (t0 > t1 + kTenSeconds) return Backup::kBak1;
  if (t1 > t0 + kTenSeconds) return Backup::kBak0;
  return Backup::kBak1;
}

int CZvAccountFile::Save(Durability durability) {
  const Backup backup = PickBackupToReplace();
  const std::string temp_path = SidePath(".tem");
  const std::string backup_path = SidePath(backup == Backup::kBak0 ? ".bak0" : ".bak1");

  int fd = OpenWaitingForDescriptor(temp_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644,
                                    descriptor_wait_);
  if (fd < 0) return kRecordFileCannotOpen;

  uint8_t header[kRecordFileHeaderSize];
  PutU32(header, kRecordMagic);
  PutU32(header + 4, static_cast<uint32_t>(records_.size()));
  PutU32(header + 8, kRecordVersion);
  PutU32(header + 12, 0);
  bool ok = WriteFull(fd, header, sizeof header);
  for (size_t i = 0; ok && i < records_.size(); ++i) {
    ok = WriteFull(fd, &records_[i], kRecordSize);
  }
  // The main file is replaced below by a synced copy of .tem through a
  // rename, so it is never torn and needs nothing of .tem on disk: .tem,
  // like the backups, only stands in for a main file damaged otherwise, and
  // is not synced on its own (each sync costs a journal commit, and a
  // session saves at every 10 MiB flush).
  if (!ok) {
    close(fd);
    return kRecordFileWriteFailed;
  }
  if (close(fd) != 0) return kRecordFileWriteFailed;

  // Without a main file (the first save) there is nothing to keep as a
  // backup, and the backups there are stay: each step below takes the
  // folder's lock, which every session saving its position waits for.
  struct stat main_stat;
  if (stat(path_.c_str(), &main_stat) == 0) {
    if (unlink(backup_path.c_str()) != 0 && errno != ENOENT) {
      ZV_LOG_E("error delete bak file  return %d last error no.:%d", 0, errno);
    }
    // The backup is the main file as it stands, under a second name: that
    // version is on disk already, and the main name moves to a new file
    // below, so nothing needs copying or syncing (where the file system has
    // no hard links, it is copied). The new name becomes durable with the
    // main file's rename below: changes to one folder reach the journal in
    // order.
    if (link(path_.c_str(), backup_path.c_str()) != 0 && errno != ENOENT &&
        !CopyFileAtomically(path_, backup_path, CopySync::kCopy, descriptor_wait_) &&
        errno != ENOENT) {
      ZV_LOG_E("error copy %s to %s file  return %d last error no.:%d", path_.c_str(),
               backup_path.c_str(), 0, errno);
    }
  }
  const CopySync sync = durability == Durability::kNow              ? CopySync::kCopyAndRename
                        : durability == Durability::kWithNextCommit ? CopySync::kCopy
                                                                    : CopySync::kNothing;
  if (!CopyFileAtomically(temp_path, path_, sync, descriptor_wait_) && errno != ENOENT) {
    ZV_LOG_E("error copy %s to %s file  return %d last error no.:%d", temp_path.c_str(),
             path_.c_str(), 0, errno);
  }
  return kRecordFileOk;
}

void CZvAccountFile::UpgradeV1000ToV3000(const uint8_t* src, uint8_t* dst) {
  std::memset(dst, 0, kRecordSizeV3000);
  // User name, password, storage name, the 40-byte block, u8 0x70, u8 0x71
  // and u16 0x72 keep their offsets.
  std::memcpy(dst, src, 0x074);
  PutU32(dst + 0x074, 0);
  std::memcpy(dst + 0x078, src + 0x074, 0x080 - 0x074);
  std::memcpy(dst + 0x09E, src + 0x080, kRecordSizeV1000 - 0x080);
}

void CZvAccountFile::UpgradeV2000ToV3000(const uint8_t* src, uint8_t* dst) {
  std::memset(dst, 0, kRecordSizeV3000);
  // Bytes 0x000..0x083 keep their offsets (names, the 40-byte block, the
  // small fields and the base date).
  std::memcpy(dst, src, 0x084);
  dst[0x084] = 0;
  dst[0x085] = 23;
  dst[0x086] = 0;
  dst[0x087] = 59;
  PutU16(dst + 0x088, 10);

  char smallest[8];
  std::memcpy(smallest, "99999999", 8);
  for (size_t i = 0; i < 32; ++i) {
    const uint8_t* s = src + kV2000EntryBase + kV2000EntrySize * i;
    uint8_t* d = dst + kV3000EntryBase + kV3000EntrySize * i;
    std::memcpy(d, s, 12);
    PutU16(d + 24, GetU16(s + 12));
    PutU16(d + 26, GetU16(s + 14));
    PutU32(d + 28, GetU32(s + 16));
    PutU32(d + 32, GetU32(s + 20));
    if (s[2] >= '0' && s[2] <= '9' && std::memcmp(s + 1, smallest, 8) < 0) {
      std::memcpy(smallest, s + 1, 8);
    }
  }
  uint8_t* q = dst + kV3000EntryBase + kV3000EntrySize * 12;
  q[0] = 'Q';
  std::memcpy(q + 1, smallest, 8);
  PutU16(q + 24, 0);
  PutU16(q + 26, 1);
  PutU32(q + 28, 1);
  PutU32(q + 32, 0xFFFFFFFF);
}

void CZvAccountFile::UpgradeV3000ToCurrent(const uint8_t* src, SyncAccountRecord* dst) {
  std::memset(dst, 0, sizeof *dst);
  auto* d = reinterpret_cast<uint8_t*>(dst);
  std::memcpy(dst->userName, src + 0x000, 20);
  std::memcpy(dst->password, src + 0x014, 20);
  std::memcpy(dst->storageName, src + 0x028, 32);
  std::memcpy(d + 0x04C, src + 0x048, 40);
  dst->byte74 = src[0x070];
  dst->inUse = src[0x071];
  dst->word76 = GetU16(src + 0x072);
  dst->dword78 = GetU32(src + 0x074);
  dst->deviceId = 0;
  dst->recordRevision = 2;
  dst->compressLevel = 0;
  dst->dword80 = GetU32(src + 0x078);
  std::memcpy(dst->bytes84, src + 0x07C, 4);
  dst->baseYear = GetU16(src + 0x080);
  dst->baseMonth = src[0x082];
  dst->baseDay = src[0x083];
  std::memcpy(dst->syncSchedule, src + 0x084, 6);
  std::memcpy(dst->dwords92, src + 0x08A, 20);
  std::memcpy(dst->tail, src + 0x61E, 64);

  for (int i = 0; i < kUsedLogSlots; ++i) {
    const uint8_t* entry = src + kV3000EntryBase + kV3000EntrySize * i;
    LogTableSlot& slot = dst->logSlots[i];
    // The data file name of the base date, time 00:00, device 0; cut to
    // 63 characters like every slot name.
    std::snprintf(slot.name, sizeof slot.name, "%04u%02u%02u_%02u%02u_%08X_%s.dat",
                  static_cast<unsigned>(dst->baseYear), static_cast<unsigned>(dst->baseMonth),
                  static_cast<unsigned>(dst->baseDay), 0u, 0u, 0u, kLogSlotKinds[i]);
    slot.policyValue = GetU16(entry + 26);
  }
  auto on = [src](unsigned i) {
    return GetU16(src + kV3000EntryBase + kV3000EntrySize * i + 24) != 0;
  };
  uint32_t mask = 0;
  if (on(8)) mask |= 0x8;
  if (on(1)) mask |= 0x1;
  if (on(2)) mask |= 0x2;
  if (on(4)) mask |= 0x4;
  dst->logSlots[13].policyValue = mask;
}

bool SameUserName(const char* a, const char* b) {
  constexpr size_t kWidth = sizeof(SyncAccountRecord::userName);
  return EqualsIgnoringCase(FieldText(a, kWidth), FieldText(b, kWidth));
}

}  // namespace zv
