// The file list store: a small SQLite database per storage folder
// (<data>/<storage>/filelist/data.lst2) listing the log table files the
// server received, with their CRC and size. The importer reads it to find
// the files waiting to be loaded. Writers are session threads under the
// controller's processing lock; other processes (the importer) are waited
// for through SQLite's busy time-out.
//
// Every SQLite or memory failure writes its fixed line and SQLite's own
// explanation to standard error and to the debug log, and the call reports
// the failure: the processing of that one file fails (the appliance retries
// it later), while the server goes on serving every other storage. A
// damaged or unwritable list of one storage, or a full disk, must never
// stop the whole server.
#pragma once

#include <cstdint>
#include <string>

struct sqlite3;

namespace zv {

// One entry, as the caller hands it to filelist_write.
struct FileListEntry {
  char path[256];      // full path of the received file, NUL-terminated
  char tablename[64];  // the MySQL table the file belongs to
  uint32_t crc;        // CRC-32 of the whole file
  uint32_t time;       // seconds since 1970-01-01 UTC when the entry was made
  uint32_t begin;      // 0
  uint32_t end;        // the file's size in bytes
};

inline constexpr uint32_t kFileListModeA = 0x1;
inline constexpr uint32_t kFileListModeD = 0x2;
inline constexpr uint32_t kFileListModeR = 0x4;

struct FileListHandle {
  uint32_t mode = 0;  // kFileListMode* bits from the mode letters
  sqlite3* db = nullptr;
};

// Opens (creating when missing) folder/data.lst2 when mode contains 'd',
// folder/attach.lst2 otherwise, and makes sure the filelist table exists.
// Null on failure.
[[nodiscard]] FileListHandle* filelist_open(const std::string& folder, const std::string& mode);
// Appends one row. 0; SQLite's result code on failure (-1 when the
// statement could not be built). REQUIRES: an open handle (else throws 0).
[[nodiscard]] int filelist_write(const FileListEntry& entry, FileListHandle* handle);
// Closes the connection and frees the handle (also when the close fails).
// 0; SQLite's result code on failure. Null is harmless.
int filelist_close(FileListHandle* handle);

// Text in the system's code page to UTF-8. Our text is UTF-8 already, so
// this returns valid UTF-8 unchanged and "" for anything else.
std::string ToUtf8(const std::string& text);

}  // namespace zv
