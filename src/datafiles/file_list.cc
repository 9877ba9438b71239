#include "datafiles/file_list.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>

namespace zv {

namespace {

constexpr int kBusyTimeoutMs = 60000;
constexpr const char* kCreateStatement =
    "CREATE TABLE IF NOT EXISTS filelist (path TEXT, tablename TEXT, crc INTEGER, time INTEGER, "
    "begin INTEGER, end INTEGER)";

// Ends the process after a failure of the list: flushes what the streams
// hold and leaves without running destructors under other threads' feet.
[[noreturn]] void EndProcess() {
  std::fflush(nullptr);
  _exit(1);
}

// SQLite's own explanation, printed after the fixed line.
void PrintSqliteError(sqlite3* db) {
  if (db != nullptr) std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
}

// Length of a NUL-terminated field that may fill its array.
std::string FieldText(const char* field, size_t capacity) {
  return std::string(field, strnlen(field, capacity));
}

bool IsValidUtf8(const std::string& text) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    int need;
    unsigned char low = 0x80, high = 0xBF;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2;
      if (c == 0xE0) low = 0xA0;
      if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3;
      if (c == 0xF0) low = 0x90;
      if (c == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    ++i;
    for (int k = 0; k < need; ++k, ++i) {
      if (i >= n) return false;
      const unsigned char d = static_cast<unsigned char>(text[i]);
      if (d < low || d > high) return false;
      low = 0x80;
      high = 0xBF;
    }
  }
  return true;
}

}  // namespace

std::string ToUtf8(const std::string& text) { return IsValidUtf8(text) ? text : std::string(); }

FileListHandle* filelist_open(const std::string& folder, const std::string& mode) {
  auto* handle = new (std::nothrow) FileListHandle;
  if (handle == nullptr) {
    std::fputs("oom\n", stderr);
    EndProcess();
  }
  for (char c : mode) {
    if (c == 'a') handle->mode |= kFileListModeA;
    if (c == 'd') handle->mode |= kFileListModeD;
    if (c == 'r') handle->mode |= kFileListModeR;
  }
  // The whole path, however long: a path cut short would put the list
  // somewhere else.
  const std::string path =
      folder + "/" + ((handle->mode & kFileListModeD) ? "data" : "attach") + ".lst2";
  std::string utf8 = ToUtf8(path);
  // File names on this system are bytes; a name that is not UTF-8 is used
  // as it is rather than handing SQLite an empty name (a temporary database).
  if (utf8.empty()) utf8 = path;
  const int rc = sqlite3_open_v2(utf8.c_str(), &handle->db,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (rc != SQLITE_OK) {
    std::fprintf(stderr, "sqlite3_open_v2_ansi() fails,ret=%d\n", rc);
    PrintSqliteError(handle->db);
    EndProcess();
  }
  sqlite3_busy_timeout(handle->db, kBusyTimeoutMs);
  const int exec_rc = sqlite3_exec(handle->db, kCreateStatement, nullptr, nullptr, nullptr);
  if (exec_rc != SQLITE_OK) {
    std::fprintf(stderr, "sqlite3_exec() fails,ret=%d\n", exec_rc);
    PrintSqliteError(handle->db);
    EndProcess();
  }
  return handle;
}

int filelist_write(const FileListEntry& entry, FileListHandle* handle) {
  if (handle == nullptr || handle->db == nullptr) throw 0;
  const std::string path = FieldText(entry.path, sizeof(entry.path));
  const std::string table = FieldText(entry.tablename, sizeof(entry.tablename));
  char* sql = sqlite3_mprintf("INSERT INTO filelist VALUES(%Q,%Q,%u,%u,%u,%u)", path.c_str(),
                              table.c_str(), entry.crc, entry.time, entry.begin, entry.end);
  if (sql == nullptr) {
    std::fputs("filelist_write() fails:sqlite3_mprintf!\n", stderr);
    EndProcess();
  }
  const int rc = sqlite3_exec(handle->db, sql, nullptr, nullptr, nullptr);
  sqlite3_free(sql);
  if (rc != SQLITE_OK) {
    std::fprintf(stderr, "filelist_write() fails:sqlite3_exec ret=%d\n", rc);
    PrintSqliteError(handle->db);
    EndProcess();
  }
  return 0;
}

void filelist_close(FileListHandle* handle) {
  if (handle == nullptr) return;
  const int rc = sqlite3_close(handle->db);
  if (rc != SQLITE_OK) {
    std::fputs("sqlite3_close() error\n", stderr);
    PrintSqliteError(handle->db);
    EndProcess();
  }
  delete handle;
}

}  // namespace zv
