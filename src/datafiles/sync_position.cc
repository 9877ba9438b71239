#include "datafiles/sync_position.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "log/log_file.h"
#include "log/sync_log.h"
#include "platform/ascii_case.h"
#include "util/crc.h"
#include "util/file_util.h"
#include "util/string_format.h"

namespace zv {

namespace {

// The name up to its first NUL, as a C string for sscanf.
std::string Terminated(std::string_view name) {
  size_t nul = name.find('\0');
  return std::string(name.substr(0, nul));
}

// File names on the appliances' side ignore letter case: a user name that
// arrives in another case than at its first login names the same position
// file. When path itself is not there, the folder is searched for the same
// name (or one of its side files) in another case, and that spelling is
// used for the main file and its side files alike.
struct PositionPathParts {
  std::string folder;     // "." for a bare name
  std::string prefix;     // the folder and its slash, or "" for a bare name
  std::string stem;       // the name before its last dot
  std::string extension;  // from the last dot on
};

bool SplitPositionPath(const std::string& path, PositionPathParts* parts) {
  const size_t slash = path.find_last_of('/');
  parts->folder = slash == std::string::npos ? "." : path.substr(0, slash);
  parts->prefix = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.find_last_of('.');
  if (dot == std::string::npos || dot == 0) return false;
  parts->stem = name.substr(0, dot);
  parts->extension = name.substr(dot);
  return true;
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// The main file or one of its side files under this stem exists.
bool AnyOfExists(const PositionPathParts& parts, const std::string& stem) {
  if (Exists(parts.prefix + stem + parts.extension)) return true;
  for (const char* side : kRecordSideExtensions) {
    if (Exists(parts.prefix + stem + side)) return true;
  }
  return false;
}

bool IsSideExtension(std::string_view extension) {
  for (const char* side : kRecordSideExtensions) {
    if (EqualsIgnoringCase(extension, side)) return true;
  }
  return false;
}

// Reads the folder: every stem that has the main file's extension or a
// side file's, the main file's spelling first. False when the folder is
// there but could not be read (no descriptor left).
bool ReadStems(const PositionPathParts& parts,
               std::unordered_map<std::string, std::string>* stems) {
  std::vector<std::string> entries;
  if (ListFiles(parts.folder, "*", &entries, false) == 0 && errno != 0 && errno != ENOENT) {
    return false;
  }
  std::unordered_map<std::string, std::string> sides;
  for (const std::string& entry : entries) {
    const size_t dot = entry.find_last_of('.');
    if (dot == std::string::npos || dot == 0) continue;
    const std::string_view extension(entry.data() + dot, entry.size() - dot);
    std::string stem = entry.substr(0, dot);
    std::string key = ToLowerAscii(stem);
    if (EqualsIgnoringCase(extension, parts.extension)) {
      (*stems)[key] = std::move(stem);
    } else if (IsSideExtension(extension)) {
      sides.emplace(std::move(key), std::move(stem));
    }
  }
  for (auto& [key, stem] : sides) stems->emplace(key, std::move(stem));
  return true;
}

}  // namespace

std::string FormatDataFileName(unsigned year, unsigned month, unsigned day, unsigned hour,
                               unsigned minute, uint32_t device_id, std::string_view kind) {
  char buffer[64];
  // snprintf cuts the name to 63 characters and terminates it.
  std::snprintf(buffer, sizeof buffer, "%04u%02u%02u_%02u%02u_%08X_%.*s.dat", year, month, day,
                hour, minute, device_id, static_cast<int>(kind.size()), kind.data());
  return buffer;
}

bool ParseDataFileName(std::string_view name, DataFileName* out) {
  const std::string text = Terminated(name);
  unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, device = 0;
  char kind[24] = {};
  // Field widths 4, 2, 2, 2, 2 and 8 are the widths of "%04u%02u..."; scanf
  // reads up to that many characters for each.
  int fields = std::sscanf(text.c_str(), "%4u%2u%2u_%2u%2u_%8X_%23[^.]", &year, &month, &day, &hour,
                           &minute, &device, kind);
  if (fields < 7) return false;
  out->year = year;
  out->month = month;
  out->day = day;
  out->hour = hour;
  out->minute = minute;
  out->device_id = device;
  out->kind = kind;
  return true;
}

int KindIndexOf(std::string_view kind) {
  // The first letters of the kinds in slot order.
  constexpr std::string_view kKindLetters = "AUMCPOFSIWToQX";
  if (kind.empty()) return -1;
  const size_t index = kKindLetters.find(kind[0]);
  return index == std::string_view::npos ? -1 : static_cast<int>(index);
}

bool ParseConfigTableName(std::string_view name, ConfigTableName* out) {
  const std::string text = Terminated(name);
  char token[33] = {};
  unsigned device = 0;
  char table[24] = {};
  if (std::sscanf(text.c_str(), "%32s_%8X_%23[^.]", token, &device, table) < 3) return false;
  out->token = token;
  out->device_id = device;
  out->table = table;
  return true;
}

uint32_t ConfigTableKey(std::string_view table) {
  CCrc crc;
  uint32_t key = crc.Update(0, table.data(), table.size());
  const char nul = '\0';
  return crc.Update(key, &nul, 1);
}

bool IsPlainIdentifier(std::string_view text) {
  if (text.empty()) return false;
  for (unsigned char c : text) {
    bool ok =
        (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
    if (!ok) return false;
  }
  return true;
}

std::string PrintableName(std::string_view name, size_t max_length) {
  std::string out(name.substr(0, max_length));
  for (char& c : out) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x7F) c = '?';
  }
  return out;
}

std::string PositionNames::Resolve(const std::string& path) {
  PositionPathParts parts;
  if (!SplitPositionPath(path, &parts)) return path;
  const std::string key = ToLowerAscii(parts.stem);
  const bool exists = Exists(path);
  std::lock_guard<std::mutex> lock(mu_);
  if (folder_ != parts.folder) {
    folder_ = parts.folder;
    read_ = false;
    stems_.clear();
  }
  if (exists) {
    stems_[key] = parts.stem;
    return path;
  }
  if (!read_) {
    // Unread, the folder may hold the file under another spelling: no name
    // can be given, and the next look-up reads it again.
    if (!ReadStems(parts, &stems_)) return std::string();
    read_ = true;
  }
  auto it = stems_.find(key);
  if (it != stems_.end() && it->second != parts.stem && AnyOfExists(parts, it->second)) {
    return parts.prefix + it->second + parts.extension;
  }
  // Nothing under another spelling (or only what was since removed): the
  // caller makes the file under this one.
  stems_[key] = parts.stem;
  return path;
}

bool LoadSyncPosition(CZvAccountFile* position_file, const std::string& path,
                      const SyncAccountRecord& account, PositionNames* names) {
  if (position_file == nullptr) throw 0;
  SyncAccountRecord copy = account;
  // Without a shared index, one for this look-up only: the folder is read
  // when path is not there.
  PositionNames own;
  const std::string resolved = (names != nullptr ? names : &own)->Resolve(path);
  if (resolved.empty()) {
    ZV_LOG_E("Can't read synpos folder of %s!errno=%u\n", path.c_str(),
             static_cast<unsigned>(errno));
    return false;
  }
  position_file->SetPath(resolved);
  if (position_file->Load() != 0) {
    // The record stays as it is on disk; the appliance tries again later.
    ZV_LOG_E("Can't load synpos file!\n");
    ZV_OPLOG(kEventWarning, kModuleSync, "解析用户同步位置信息失败,文件路径:%s!", path.c_str());
    return false;
  }

  if (position_file->Records().empty()) {
    ZV_LOG_D("No syncpos found, create new one!\n");
    for (int i = 0; i < kUsedLogSlots; ++i) {
      LogTableSlot& slot = copy.logSlots[i];
      const std::string_view name = FieldText(slot.name, sizeof slot.name);
      DataFileName parsed;
      if (!ParseDataFileName(name, &parsed)) {
        ZV_LOG_E("Can't parse table name %s!\n", PrintableName(name).c_str());
        ZV_OPLOG(kEventWarning, kModuleSync, "解析用户同步位置信息失败,文件路径:%s!", path.c_str());
        return false;
      }
      const std::string rebuilt =
          FormatDataFileName(parsed.year, parsed.month, parsed.day, parsed.hour, parsed.minute,
                             copy.deviceId, parsed.kind);
      std::memset(slot.name, 0, sizeof slot.name);
      std::memcpy(slot.name, rebuilt.data(), rebuilt.size());
    }
  } else {
    ZV_LOG_D("Use existing synpos file!\n");
    const SyncAccountRecord& stored = position_file->Records().front();
    std::memcpy(copy.logSlots, stored.logSlots, sizeof copy.logSlots);
    std::memcpy(copy.configSlots, stored.configSlots, sizeof copy.configSlots);
    for (int i = 0; i < 32; ++i) copy.logSlots[i].policyValue = account.logSlots[i].policyValue;
  }

  // An appliance back under its file's own name with nothing changed (as
  // every day) finds its record as it left it: the file is left alone. A
  // changed record is saved with the next commit of the file system: a
  // login moves no position, and a power cut can only bring back the
  // record before, which the next login writes again. A first record holds
  // nothing but the account's values, which the next login takes again:
  // it waits for no disk at all (a thousand appliances new at once would
  // otherwise queue a thousand syncs).
  const std::vector<SyncAccountRecord>& stored = position_file->Records();
  const bool first = stored.empty();
  if (position_file->path() == path && stored.size() == 1 &&
      std::memcmp(&stored.front(), &copy, sizeof copy) == 0) {
    return true;
  }
  position_file->Records().assign(1, copy);
  if (position_file->Save(first ? CZvAccountFile::Durability::kWhenWrittenBack
                                : CZvAccountFile::Durability::kWithNextCommit) != 0) {
    ZV_LOG_E("Can't save synpos file!\n");
    ZV_OPLOG(kEventError, kModuleSync, "保存同步位置信息失败!");
    return false;
  }
  return true;
}

bool UpdateConfigChecksum(CZvAccountFile* position_file, const std::string& config_file_name) {
  if (position_file == nullptr) throw 0;
  ConfigTableName parsed;
  if (!ParseConfigTableName(config_file_name, &parsed)) {
    ZV_LOG_E("Can't parse configtable %s\n", PrintableName(config_file_name).c_str());
    return false;
  }
  if (position_file->Records().empty()) {
    ZV_LOG_E("Sync position not loaded!\n");
    return false;
  }
  SyncAccountRecord& record = position_file->Records().front();
  const uint32_t key = ConfigTableKey(parsed.table);

  ConfigTableSlot* free_slot = nullptr;
  ConfigTableSlot* slot = nullptr;
  for (ConfigTableSlot& candidate : record.configSlots) {
    if (candidate.nameKey == 0 && free_slot == nullptr) free_slot = &candidate;
    if (candidate.nameKey == key) {
      slot = &candidate;
      break;
    }
  }
  if (slot == nullptr) slot = free_slot;
  if (slot == nullptr) {
    ZV_LOG_E("Config table checksums is full!\n");
    return false;
  }
  slot->nameKey = key;
  std::memset(slot->contentToken, 0, sizeof slot->contentToken);
  std::memcpy(slot->contentToken, parsed.token.data(), parsed.token.size());  // <= 32

  if (position_file->Save() != 0) {
    ZV_LOG_E("Save sync position failed!\n");
    return false;
  }
  ZV_LOG_R("Config table %s(%08X) updated!\n", PrintableName(config_file_name).c_str(), key);
  return true;
}

}  // namespace zv
