// Sync positions: a client's position file holds one SyncAccountRecord
// whose log slots say how far each kind's current file has been stored and
// whose config slots remember imported configuration tables.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "records/account_file.h"

namespace zv {

// Loads or creates the position file at path and merges the account into
// it (slots kept, policy values and every other field from the account),
// then saves it. The account's deviceId is already the client's.
bool LoadSyncPosition(CZvAccountFile* position_file, const std::string& path,
                      const SyncAccountRecord& account);

struct DataFileName {
  unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0;
  uint32_t device_id = 0;
  std::string kind;  // at most 23 characters, up to the first '.'
};

// "%04u%02u%02u_%02u%02u_%08X_%s.dat", cut to 63 characters.
std::string FormatDataFileName(unsigned year, unsigned month, unsigned day, unsigned hour,
                               unsigned minute, uint32_t device_id, std::string_view kind);
// Reads "%04u%02u%02u_%02u%02u_%08X_%23[^.]"; false when fewer than seven
// fields parse.
bool ParseDataFileName(std::string_view name, DataFileName* out);
// Slot index of a kind by its first character; -1 when unknown.
int KindIndexOf(std::string_view kind);

}  // namespace zv
