#include "datafiles/file_list.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "records/test_home.h"
#include "test_util.h"

namespace zv {
namespace {

// A home of its own: failures are written to the debug log.
const bool kHomeRegistered = ::zv::testing::RegisterTestHome();

using ::zv::testing::FileExists;
using ::zv::testing::ScopedTempDir;
using ::zv::testing::WriteFileBytes;

FileListEntry MakeEntry(const std::string& path, const std::string& table, uint32_t crc,
                        uint32_t time, uint32_t end) {
  FileListEntry entry;
  std::memset(&entry, 0, sizeof(entry));
  std::snprintf(entry.path, sizeof(entry.path), "%s", path.c_str());
  std::snprintf(entry.tablename, sizeof(entry.tablename), "%s", table.c_str());
  entry.crc = crc;
  entry.time = time;
  entry.begin = 0;
  entry.end = end;
  return entry;
}

// Reads the list back with SQLite directly, one text line per row.
std::vector<std::string> ReadRows(const std::string& file) {
  sqlite3* db = nullptr;
  EXPECT_EQ(SQLITE_OK, sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr));
  std::vector<std::string> rows;
  sqlite3_stmt* stmt = nullptr;
  EXPECT_EQ(SQLITE_OK,
            sqlite3_prepare_v2(db,
                               "SELECT path, tablename, crc, time, begin, end, typeof(crc) "
                               "FROM filelist ORDER BY rowid",
                               -1, &stmt, nullptr));
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    std::string row;
    for (int i = 0; i < 7; ++i) {
      if (i > 0) row += "|";
      row += reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
    }
    rows.push_back(row);
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return rows;
}

std::string SchemaOf(const std::string& file) {
  sqlite3* db = nullptr;
  EXPECT_EQ(SQLITE_OK, sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr));
  sqlite3_stmt* stmt = nullptr;
  EXPECT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, "SELECT sql FROM sqlite_master WHERE name='filelist'",
                                          -1, &stmt, nullptr));
  std::string sql;
  if (sqlite3_step(stmt) == SQLITE_ROW) {
    sql = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return sql;
}

TEST(FileListTest, FirstEntryCreatesListWithOneRow) {
  ScopedTempDir dir;
  const std::string file = dir.Sub("data.lst2");
  ASSERT_FALSE(FileExists(file));
  FileListHandle* handle = filelist_open(dir.path(), "d");
  EXPECT_EQ(kFileListModeD, handle->mode);
  EXPECT_EQ(0, filelist_write(MakeEntry("/d/shop1/logtable/20101216/20101216_1530_00A1B2C3_A.dat",
                                        "A20101216", 0xFFFFFFF0u, 1292513400u, 12345),
                              handle));
  filelist_close(handle);
  ASSERT_TRUE(FileExists(file));
  EXPECT_EQ(
      "CREATE TABLE filelist (path TEXT, tablename TEXT, crc INTEGER, time INTEGER, "
      "begin INTEGER, end INTEGER)",
      SchemaOf(file));
  // The CRC is stored as the unsigned number, not as a negative one.
  EXPECT_EQ(std::vector<std::string>({"/d/shop1/logtable/20101216/20101216_1530_00A1B2C3_A.dat|"
                                      "A20101216|4294967280|1292513400|0|12345|integer"}),
            ReadRows(file));
}

TEST(FileListTest, PathWithSingleQuoteIsStoredUnchanged) {
  ScopedTempDir dir;
  FileListHandle* handle = filelist_open(dir.path(), "d");
  EXPECT_EQ(0, filelist_write(MakeEntry("/d/o'neil's shop/x.dat", "oprlog", 1, 2, 3), handle));
  filelist_close(handle);
  EXPECT_EQ(std::vector<std::string>({"/d/o'neil's shop/x.dat|oprlog|1|2|0|3|integer"}),
            ReadRows(dir.Sub("data.lst2")));
}

TEST(FileListTest, SameFileTwiceGivesTwoRows) {
  ScopedTempDir dir;
  for (int i = 0; i < 2; ++i) {
    FileListHandle* handle = filelist_open(dir.path(), "d");
    EXPECT_EQ(0, filelist_write(MakeEntry("/d/x.dat", "A20101216", 7, 100, 9), handle));
    filelist_close(handle);
  }
  EXPECT_EQ(std::vector<std::string>(2, "/d/x.dat|A20101216|7|100|0|9|integer"),
            ReadRows(dir.Sub("data.lst2")));
}

TEST(FileListTest, ModeWithoutDUsesAttachList) {
  ScopedTempDir dir;
  FileListHandle* handle = filelist_open(dir.path(), "ar");
  EXPECT_EQ(kFileListModeA | kFileListModeR, handle->mode);
  EXPECT_EQ(0, filelist_write(MakeEntry("/p", "t", 1, 1, 1), handle));
  filelist_close(handle);
  EXPECT_TRUE(FileExists(dir.Sub("attach.lst2")));
  EXPECT_FALSE(FileExists(dir.Sub("data.lst2")));
}

TEST(FileListTest, LongFolderPathIsNotCut) {
  ScopedTempDir dir;
  std::string folder = dir.path();
  while (folder.size() < 300) folder += "/abcdefghijklmnopqrstuvwxyz0123456789";
  WriteFileBytes(folder + "/placeholder", "");
  FileListHandle* handle = filelist_open(folder, "d");
  EXPECT_EQ(0, filelist_write(MakeEntry("/p", "t", 1, 1, 1), handle));
  filelist_close(handle);
  EXPECT_TRUE(FileExists(folder + "/data.lst2"));
}

TEST(FileListTest, UnterminatedFieldsAreReadWithinTheirArrays) {
  ScopedTempDir dir;
  FileListEntry entry = MakeEntry("", "", 1, 2, 3);
  std::memset(entry.path, 'p', sizeof(entry.path));
  std::memset(entry.tablename, 't', sizeof(entry.tablename));
  FileListHandle* handle = filelist_open(dir.path(), "d");
  EXPECT_EQ(0, filelist_write(entry, handle));
  filelist_close(handle);
  EXPECT_EQ(std::vector<std::string>({std::string(256, 'p') + "|" + std::string(64, 't') +
                                      "|1|2|0|3|integer"}),
            ReadRows(dir.Sub("data.lst2")));
}

// A list that cannot be opened or written is reported, not fatal: the one
// file fails and the process (the server) goes on. Each case damages the
// list its own way before the open.
TEST(FileListTest, FailuresAreReportedAndTheProcessGoesOn) {
  struct Case {
    const char* name;
    std::function<void(const std::string& folder)> damage;
    bool open_fails;
    std::string line;  // the fixed line, in the debug log (and on stderr)
    std::string reason;
  };
  const Case cases[] = {
      {"missing folder",
       [](const std::string& folder) { ASSERT_EQ(0, rmdir(folder.c_str())); }, true,
       "sqlite3_open_v2_ansi() fails,ret=14\n", "sqlite: unable to open database file"},
      {"not a database",
       [](const std::string& folder) { WriteFileBytes(folder + "/data.lst2", std::string(4096, 'x')); },
       true, "sqlite3_exec() fails,ret=26\n", "sqlite: file is not a database"},
      {"folder in place of the list",
       [](const std::string& folder) { ASSERT_EQ(0, mkdir((folder + "/data.lst2").c_str(), 0700)); },
       true, "sqlite3_open_v2_ansi() fails,ret=14\n", "sqlite: unable to open database file"},
      {"journal cannot be written",
       [](const std::string& folder) {
         FileListHandle* made = filelist_open(folder, "d");
         ASSERT_NE(made, nullptr);
         ASSERT_EQ(0, filelist_close(made));
         ASSERT_EQ(0, mkdir((folder + "/data.lst2-journal").c_str(), 0700));
       },
       true, "sqlite3_exec() fails,ret=10\n", "sqlite: disk I/O error"},
      {"table dropped under the writer", [](const std::string&) {}, false,
       "filelist_write() fails:sqlite3_exec ret=1\n", "sqlite: no such table: filelist"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedTempDir dir;
    const std::string folder = dir.Sub("filelist");
    ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
    c.damage(folder);
    ::zv::testing::DebugLogWatch log;
    FileListHandle* handle = filelist_open(folder, "d");
    if (c.open_fails) {
      EXPECT_EQ(handle, nullptr);
    } else {
      ASSERT_NE(handle, nullptr);
      // Another connection removes the table under the writer.
      sqlite3* other = nullptr;
      sqlite3_open((folder + "/data.lst2").c_str(), &other);
      sqlite3_exec(other, "DROP TABLE filelist", nullptr, nullptr, nullptr);
      sqlite3_close(other);
      EXPECT_EQ(SQLITE_ERROR, filelist_write(MakeEntry("/p", "t", 1, 1, 1), handle));
      EXPECT_EQ(0, filelist_close(handle));
    }
    EXPECT_TRUE(log.Saw(c.line)) << log.NewText();
    EXPECT_TRUE(log.Saw(c.reason)) << log.NewText();
  }
}

TEST(FileListTest, ToUtf8KeepsUtf8AndRefusesOtherBytes) {
  EXPECT_EQ("", ToUtf8(""));
  EXPECT_EQ("/data/shop1", ToUtf8("/data/shop1"));
  EXPECT_EQ("/数据/商店", ToUtf8("/数据/商店"));
  EXPECT_EQ("", ToUtf8("/\xca\xfd\xbe\xdd"));   // GBK bytes
  EXPECT_EQ("", ToUtf8("\xc0\xaf"));           // overlong '/'
  EXPECT_EQ("", ToUtf8("\xed\xa0\x80"));       // surrogate
  EXPECT_EQ("", ToUtf8("abc\xe4\xb8"));        // cut short
}

}  // namespace
}  // namespace zv
