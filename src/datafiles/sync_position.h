// Sync positions: a client's position file holds one SyncAccountRecord
// whose log slots say how far each kind's current file has been stored and
// whose config slots remember imported configuration tables.
//
// The name helpers here are pure functions; LoadSyncPosition and
// UpdateConfigChecksum work on the position file object of one session and
// are called on that session's thread only.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "records/account_file.h"

namespace zv {

// The spellings of the position files of one folder, by their names in
// lower case, so that finding a file under a name in another letter case
// does not read the whole folder at every login (with thousands of
// appliances new at once, each first login would). The folder is read
// once, at the first look-up that does not find its name as given (and
// again when the folder changes); files the server makes are noted as they
// are looked up. A file made by hand under another spelling while the
// server runs is found after the next start. Shared by every session;
// thread-safe.
class PositionNames {
 public:
  // The path of the position file path names: path itself when it exists
  // or nothing of its name exists in another case, else that spelling; ""
  // when path is not there and its folder could not be read.
  std::string Resolve(const std::string& path);

 private:
  std::mutex mu_;
  std::string folder_;  // the folder read; guarded by mu_
  bool read_ = false;   // guarded by mu_
  // Lower-case stem -> the stem as spelt on disk; guarded by mu_.
  std::unordered_map<std::string, std::string> stems_;
};

// Loads or creates the position file at path and merges the account into
// it (slots kept, policy values and every other field from the account),
// then saves it. The account's deviceId is already the client's. A file of
// the same name in another letter case counts as the same file (the
// position file object then carries that spelling).
// False when a slot name of the account does not parse, the file (or its
// folder, to find another spelling) is there but cannot be read, or the
// save fails.
// names: the shared index of spellings; null reads the folder for this
// look-up alone when path is not there.
[[nodiscard]] bool LoadSyncPosition(CZvAccountFile* position_file, const std::string& path,
                                    const SyncAccountRecord& account,
                                    PositionNames* names = nullptr);

struct DataFileName {
  unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0;
  uint32_t device_id = 0;
  std::string kind;  // at most 23 characters, up to the first '.'
};

// "%04u%02u%02u_%02u%02u_%08X_%s.dat", cut to 63 characters.
std::string FormatDataFileName(unsigned year, unsigned month, unsigned day, unsigned hour,
                               unsigned minute, uint32_t device_id, std::string_view kind);
// Reads "%04u%02u%02u_%02u%02u_%08X_%23[^.]" with the scanf rules (so
// "%04u" takes up to four characters); false when fewer than seven fields
// parse. The name is read up to its first NUL.
bool ParseDataFileName(std::string_view name, DataFileName* out);
// Slot index of a kind by its first character; -1 when unknown.
int KindIndexOf(std::string_view kind);

// A config table file name: "%32s_%08X_%23[^.]".
struct ConfigTableName {
  std::string token;  // exactly 32 non-blank characters
  uint32_t device_id = 0;
  std::string table;  // up to 23 characters, up to the first '.'
};
bool ParseConfigTableName(std::string_view name, ConfigTableName* out);

// The config slot key of a table: CRC-32 over the name and its NUL.
uint32_t ConfigTableKey(std::string_view table);

// Records in the position file that the config table named by
// config_file_name ("<token>_<device id>_<table>.dat") was imported: the
// slot keyed by the table (or the first free one) takes the token, and the
// file is saved. False when the name does not parse, all 32 slots hold
// other tables, or the save fails.
[[nodiscard]] bool UpdateConfigChecksum(CZvAccountFile* position_file,
                                        const std::string& config_file_name);

// One or more letters, digits and '_' (a kind, a table name).
bool IsPlainIdentifier(std::string_view text);
// A copy for log lines: bytes outside printable ASCII become '?'; at most
// max_length bytes.
std::string PrintableName(std::string_view name, size_t max_length = 80);

}  // namespace zv
