#include "datafiles/file_list.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "log/sync_log.h"
#include "util/string_format.h"

namespace zv {

namespace {

constexpr int kBusyTimeoutMs = 60000;
constexpr const char* kCreateStatement =
    "CREATE TABLE IF NOT EXISTS filelist (path TEXT, tablename TEXT, crc INTEGER, time INTEGER, "
    "begin INTEGER, end INTEGER)";

// A failure of the list: the fixed line, then SQLite's own explanation
// when a connection exists, on standard error and in the debug log.
void ReportFailure(const std::string& line, sqlite3* db) {
  std::fputs(line.c_str(), stderr);
  ZV_LOG_E("%s", line.c_str());
  if (db != nullptr) {
    const char* reason = sqlite3_errmsg(db);
    std::fprintf(stderr, "sqlite: %s\n", reason);
    ZV_LOG_E("sqlite: %s\n", reason);
  }
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
    ReportFailure("oom\n", nullptr);
    return nullptr;
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
    ReportFailure(FormatString("sqlite3_open_v2_ansi() fails,ret=%d\n", rc), handle->db);
    (void)filelist_close(handle);
    return nullptr;
  }
  sqlite3_busy_timeout(handle->db, kBusyTimeoutMs);
  const int exec_rc = sqlite3_exec(handle->db, kCreateStatement, nullptr, nullptr, nullptr);
  if (exec_rc != SQLITE_OK) {
    ReportFailure(FormatString("sqlite3_exec() fails,ret=%d\n", exec_rc), handle->db);
    (void)filelist_close(handle);
    return nullptr;
  }
  return handle;
}

int filelist_write(const FileListEntry& entry, FileListHandle* handle) {
  if (handle == nullptr || handle->db == nullptr) throw 0;
  const std::string path(FieldText(entry.path, sizeof(entry.path)));
  const std::string table(FieldText(entry.tablename, sizeof(entry.tablename)));
  char* sql = sqlite3_mprintf("INSERT INTO filelist VALUES(%Q,%Q,%u,%u,%u,%u)", path.c_str(),
                              table.c_str(), entry.crc, entry.time, entry.begin, entry.end);
  if (sql == nullptr) {
    ReportFailure("filelist_write() fails:sqlite3_mprintf!\n", nullptr);
    return -1;
  }
  const int rc = sqlite3_exec(handle->db, sql, nullptr, nullptr, nullptr);
  sqlite3_free(sql);
  if (rc != SQLITE_OK) {
    ReportFailure(FormatString("filelist_write() fails:sqlite3_exec ret=%d\n", rc), handle->db);
    return rc;
  }
  return 0;
}

int filelist_close(FileListHandle* handle) {
  if (handle == nullptr) return 0;
  const int rc = sqlite3_close(handle->db);
  if (rc != SQLITE_OK) {
    ReportFailure("sqlite3_close() error\n", handle->db);
    // The connection goes once whatever still holds it is finished.
    (void)sqlite3_close_v2(handle->db);
  }
  delete handle;
  return rc;
}

}  // namespace zv
