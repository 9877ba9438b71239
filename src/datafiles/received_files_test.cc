// The three kinds of received file, processed for real: the importer
// Loader.exe against the test MariaDB on 127.0.0.1:811, the tar tool
// zvtar.exe, the file list and the position file, all in a temporary home.
#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config/zv_sync_config.h"
#include "datafiles/attachment_file.h"
#include "datafiles/config_table_file.h"
#include "datafiles/log_table_file.h"
#include "datafiles/sync_position.h"
#include "db/db_test_util.h"
#include "db/loader.h"
#include "records/account_file.h"
#include "test_util.h"
#include "util/crc.h"

namespace zv {
namespace {

namespace fs = std::filesystem;
using testing::DbTestDataDirectory;
using testing::DbTestHome;
using testing::DbTestRoot;
using testing::FileExists;
using testing::LogWatch;
using testing::ReadFileBytes;
using testing::WriteFileBytes;

const bool kHomeRegistered = testing::RegisterDbTestHome();

constexpr uint32_t kDevice = 0x00A1B2C3;
constexpr const char* kToken = "0123456789abcdef0123456789ABCDEF";  // 32 characters

std::string AttachmentFolder() { return DbTestRoot() + "/attach"; }

// Puts the real program of this build, a script, or nothing at home/name.
void InstallProgram(const std::string& name, const std::string& script, bool real = false) {
  const std::string path = DbTestHome() + "/" + name;
  unlink(path.c_str());
  if (real) {
    ASSERT_EQ(symlink((testing::ProgramDirectory() + "/" + name).c_str(), path.c_str()), 0);
  } else if (!script.empty()) {
    const std::string temp = path + ".tmp";
    WriteFileBytes(temp, script);
    ASSERT_EQ(chmod(temp.c_str(), 0755), 0);
    ASSERT_EQ(rename(temp.c_str(), path.c_str()), 0);
  }
}

void WriteTools(bool encode_attach) {
  WriteFileBytes(DbTestHome() + "/config/zvtools.ini",
                 std::string("[ZV_CONFIG]\nEncodeAttach=") + (encode_attach ? "1" : "0") + "\n");
}

std::vector<std::vector<std::string>> ListEntries(const std::string& db) {
  std::vector<std::vector<std::string>> rows;
  sqlite3* handle = nullptr;
  const std::string path = DbTestDataDirectory() + "/" + db + "/filelist/data.lst2";
  if (sqlite3_open_v2(path.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(handle);
    return rows;
  }
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(handle, "SELECT path, tablename, crc, begin, end FROM filelist ORDER BY rowid",
                     -1, &stmt, nullptr);
  while (stmt != nullptr && sqlite3_step(stmt) == SQLITE_ROW) {
    std::vector<std::string> row;
    for (int i = 0; i < 5; ++i) {
      const unsigned char* text = sqlite3_column_text(stmt, i);
      row.push_back(text != nullptr ? reinterpret_cast<const char*>(text) : "");
    }
    rows.push_back(row);
  }
  sqlite3_finalize(stmt);
  sqlite3_close(handle);
  return rows;
}

std::vector<std::string> Column(const DbRows& rows, const std::string& column) {
  std::vector<std::string> out;
  for (const DbRow& row : rows) out.push_back(row.at(column));
  std::sort(out.begin(), out.end());
  return out;
}

void WritePackage(const std::string& path, const std::vector<std::pair<std::string, std::string>>& files) {
  struct archive* a = archive_write_new();
  ASSERT_EQ(archive_write_set_format_pax_restricted(a), ARCHIVE_OK);
  ASSERT_EQ(archive_write_open_filename(a, path.c_str()), ARCHIVE_OK);
  for (const auto& [name, data] : files) {
    struct archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, name.c_str());
    archive_entry_set_filetype(entry, AE_IFREG);
    archive_entry_set_perm(entry, 0644);
    archive_entry_set_size(entry, static_cast<la_int64_t>(data.size()));
    ASSERT_EQ(archive_write_header(a, entry), ARCHIVE_OK);
    ASSERT_EQ(archive_write_data(a, data.data(), data.size()), static_cast<la_ssize_t>(data.size()));
    archive_entry_free(entry);
  }
  ASSERT_EQ(archive_write_close(a), ARCHIVE_OK);
  archive_write_free(a);
}

class ReceivedFilesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    WriteFileBytes(DbTestHome() + "/config/dbconf.ini",
                   "[DB_CONFIG]\nDbType=3\nSQLUser=\nSQLPWD=\nFilePath=" + AttachmentFolder() + "\n");
    ASSERT_TRUE(ZVSyncConfig::Instance().LoadDbConfig());
    ASSERT_TRUE(ZVSyncConfig::Instance().LoadMysqlPath());
    ASSERT_TRUE(Loader::Instance().Init());
  }

  void SetUp() override {
    ZV_REQUIRE_DATABASE();
    InstallProgram("Loader.exe", "", true);
    InstallProgram("zvtar.exe", "", true);
    WriteTools(false);
    db_ = names_.New();
    SyncAccountRecord record{};
    std::snprintf(record.userName, sizeof record.userName, "u");
    std::snprintf(record.storageName, sizeof record.storageName, "%s", db_.c_str());
    record.deviceId = kDevice;
    position_path_ = DbTestHome() + "/config/syncpos/u-00a1b2c3.dat";
    ASSERT_TRUE(CreateDirectoryTreeForTest(DbTestHome() + "/config/syncpos"));
    position_.SetPath(position_path_);
    position_.Records().assign(1, record);
    ASSERT_EQ(position_.Save(), 0);
  }

  static bool CreateDirectoryTreeForTest(const std::string& path) {
    std::error_code ec;
    fs::create_directories(path, ec);
    return !ec;
  }

  void SetStorage(const std::string& storage) {
    SyncAccountRecord& record = position_.Records().front();
    std::memset(record.storageName, 0, sizeof record.storageName);
    std::snprintf(record.storageName, sizeof record.storageName, "%s", storage.c_str());
    ASSERT_EQ(position_.Save(), 0);
  }

  // Receives content as an appliance would send it: announce at offset 0,
  // one block, the client's CRC.
  template <class T>
  std::unique_ptr<T> Receive(const std::string& name, uint32_t type, const std::string& content) {
    auto file = std::make_unique<T>(&position_);
    FileAnnouncement a;
    a.name = name;
    a.file_type = type;
    a.size = static_cast<uint32_t>(content.size());
    a.offset = 0;
    if (!file->OpenForTransfer(a)) return nullptr;
    EXPECT_TRUE(file->Write(content.data(), static_cast<uint32_t>(content.size()), 0));
    EXPECT_TRUE(file->IsComplete());
    EXPECT_TRUE(file->VerifyCrc(CCrc().Compute(content.data(), content.size())));
    return file;
  }

  // The position file as stored on disk.
  SyncAccountRecord StoredRecord() {
    CZvAccountFile reread;
    reread.SetPath(position_path_);
    EXPECT_EQ(reread.Load(), 0);
    EXPECT_EQ(reread.Records().size(), 1u);
    return reread.Records().empty() ? SyncAccountRecord{} : reread.Records().front();
  }

  static std::function<bool(unsigned)> Always(unsigned* calls) {
    return [calls](unsigned) {
      ++*calls;
      return true;
    };
  }

  testing::ScopedDatabaseNames names_;
  std::string db_;
  std::string position_path_;
  CZvAccountFile position_;
};

// ---- Config tables -------------------------------------------------------

TEST_F(ReceivedFilesTest, ConfigTableImportedDeletedAndTokenRecorded) {
  const std::string name = std::string(kToken) + "_00A1B2C3_users.dat";
  auto file = Receive<ConfigTableFile>(name, 1, "id\tname\n1\talice\n2\tbob\n");
  ASSERT_TRUE(file);
  const std::string stored = DbTestDataDirectory() + "/" + db_ + "/configtable/" + name;
  EXPECT_EQ(file->full_path(), stored);
  ASSERT_TRUE(FileExists(stored));
  LogWatch watch;
  unsigned calls = 0;
  EXPECT_TRUE(file->Process(Always(&calls)));

  EXPECT_FALSE(FileExists(stored));
  EXPECT_TRUE(watch.SawDebug("Load config table " + stored + " into " + db_ + ".users"));
  EXPECT_TRUE(watch.SawOplog("已启动导入器导入配置表文件!"));
  DbRows rows = testing::RootQuery("SELECT name FROM users ORDER BY id", db_);
  EXPECT_EQ(Column(rows, "name"), (std::vector<std::string>{"alice", "bob"}));

  // The slot keyed by CRC-32("users" + NUL) holds the token.
  const SyncAccountRecord record = StoredRecord();
  EXPECT_EQ(record.configSlots[0].nameKey, 0x0BC036F4u);
  EXPECT_EQ(std::string(record.configSlots[0].contentToken), kToken);
  EXPECT_EQ(record.configSlots[1].nameKey, 0u);
}

TEST_F(ReceivedFilesTest, ConfigTableReimportReusesItsSlot) {
  const std::string other = "ffffffffffffffffffffffffffffffff_00A1B2C3_groups.dat";
  auto first = Receive<ConfigTableFile>(other, 1, "g\nx\n");
  ASSERT_TRUE(first);
  unsigned calls = 0;
  ASSERT_TRUE(first->Process(Always(&calls)));
  const std::string name = std::string(kToken) + "_00A1B2C3_users.dat";
  auto second = Receive<ConfigTableFile>(name, 1, "id\n1\n");
  ASSERT_TRUE(second);
  ASSERT_TRUE(second->Process(Always(&calls)));
  const std::string newer = "00000000000000000000000000000000_00A1B2C3_users.dat";
  auto third = Receive<ConfigTableFile>(newer, 1, "id\n1\n2\n");
  ASSERT_TRUE(third);
  ASSERT_TRUE(third->Process(Always(&calls)));
  const SyncAccountRecord record = StoredRecord();
  EXPECT_EQ(std::string(record.configSlots[1].contentToken), "00000000000000000000000000000000");
  EXPECT_EQ(record.configSlots[1].nameKey, 0x0BC036F4u);
  EXPECT_EQ(record.configSlots[2].nameKey, 0u);
  EXPECT_EQ(testing::RootQuery("SELECT id FROM users", db_).size(), 2u);
}

TEST_F(ReceivedFilesTest, ConfigTableNameMustParse) {
  LogWatch watch;
  // A 31-character token: refused when the file is announced.
  EXPECT_FALSE(Receive<ConfigTableFile>("0123456789abcdef0123456789ABCDE_00A1B2C3_users.dat", 1, "a\n1\n"));
  EXPECT_FALSE(Receive<ConfigTableFile>(std::string(kToken) + "0_00A1B2C3_users.dat", 1, "a\n1\n"));
  EXPECT_FALSE(Receive<ConfigTableFile>(std::string(kToken) + "_00A1B2C3_.dat", 1, "a\n1\n"));
  EXPECT_TRUE(watch.SawDebug("CheckSyncPosition failed!"));
  EXPECT_FALSE(fs::exists(DbTestDataDirectory() + "/" + db_ + "/configtable/" +
                          "0123456789abcdef0123456789ABCDE_00A1B2C3_users.dat"));
}

TEST_F(ReceivedFilesTest, ConfigTableWithUnsafeTableNameRefused) {
  LogWatch watch;
  EXPECT_FALSE(Receive<ConfigTableFile>(std::string(kToken) + "_00A1B2C3_us-ers.dat", 1, "a\n1\n"));
  EXPECT_TRUE(watch.SawDebug("Refused unsafe config table"));
}

TEST_F(ReceivedFilesTest, ConfigTableForUnsafeDatabaseNotImported) {
  SetStorage("shop-1");
  const std::string name = std::string(kToken) + "_00A1B2C3_users.dat";
  auto file = Receive<ConfigTableFile>(name, 1, "id\n1\n");
  ASSERT_TRUE(file);
  LogWatch watch;
  unsigned calls = 0;
  EXPECT_FALSE(file->Process(Always(&calls)));
  EXPECT_TRUE(watch.SawDebug("Refused unsafe import target shop-1.users"));
  EXPECT_FALSE(watch.SawDebug("Load config table"));
  EXPECT_EQ(StoredRecord().configSlots[0].nameKey, 0u);
}

TEST_F(ReceivedFilesTest, ConfigTableImportFailureKeepsFileAndSlot) {
  InstallProgram("Loader.exe", "#!/bin/sh\nexit 3\n");
  const std::string name = std::string(kToken) + "_00A1B2C3_users.dat";
  auto file = Receive<ConfigTableFile>(name, 1, "id\n1\n");
  ASSERT_TRUE(file);
  LogWatch watch;
  unsigned calls = 0;
  EXPECT_FALSE(file->Process(Always(&calls)));
  EXPECT_TRUE(FileExists(file->full_path()));
  EXPECT_TRUE(watch.SawOplog("导入配置表users失败!"));
  EXPECT_TRUE(watch.SawDebug("Load config table " + file->full_path() + " failded,errno=3"));
  EXPECT_EQ(StoredRecord().configSlots[0].nameKey, 0u);
}

TEST_F(ReceivedFilesTest, ConfigTableImporterMissing) {
  InstallProgram("Loader.exe", "");
  const std::string name = std::string(kToken) + "_00A1B2C3_users.dat";
  auto file = Receive<ConfigTableFile>(name, 1, "id\n1\n");
  ASSERT_TRUE(file);
  LogWatch watch;
  unsigned calls = 0;
  EXPECT_FALSE(file->Process(Always(&calls)));
  EXPECT_TRUE(watch.SawDebug("Can't load config table!errno=-1"));
  EXPECT_TRUE(watch.SawOplog("启动导入器失败!"));
  EXPECT_TRUE(FileExists(file->full_path()));
}

TEST_F(ReceivedFilesTest, ConfigTableStopRequestTerminatesImporter) {
  InstallProgram("Loader.exe", "#!/bin/sh\nexec sleep 60\n");
  const std::string name = std::string(kToken) + "_00A1B2C3_users.dat";
  auto file = Receive<ConfigTableFile>(name, 1, "id\n1\n");
  ASSERT_TRUE(file);
  LogWatch watch;
  unsigned calls = 0;
  unsigned last = 0;
  EXPECT_FALSE(file->Process([&](unsigned n) {
    ++calls;
    last = n;
    return n < 20;
  }));
  EXPECT_EQ(calls, 20u);
  EXPECT_EQ(last, 20u);
  EXPECT_TRUE(watch.SawDebug("Stop required!"));
  EXPECT_EQ(StoredRecord().configSlots[0].nameKey, 0u);
  // No import is tracked any more: the next one starts.
  InstallProgram("Loader.exe", "", true);
  auto again = Receive<ConfigTableFile>(name, 1, "id\n1\n");
  ASSERT_TRUE(again);
  EXPECT_TRUE(again->Process(Always(&calls)));
}

TEST_F(ReceivedFilesTest, ConfigTableKeepsNoBytePosition) {
  const std::string name = std::string(kToken) + "_00A1B2C3_users.dat";
  const SyncAccountRecord before = StoredRecord();
  {
    auto file = std::make_unique<ConfigTableFile>(&position_);
    FileAnnouncement a;
    a.name = name;
    a.file_type = 1;
    a.size = 100;
    ASSERT_TRUE(file->OpenForTransfer(a));
    ASSERT_TRUE(file->Write("0123456789", 10, 0));
  }  // destroyed mid-transfer
  const SyncAccountRecord after = StoredRecord();
  EXPECT_EQ(0, std::memcmp(&before, &after, sizeof before));
}

// ---- Log tables ----------------------------------------------------------

TEST_F(ReceivedFilesTest, LogTableNames) {
  DataFileName name;
  ASSERT_TRUE(ParseDataFileName("20101216_1530_00A1B2C3_A.dat", &name));
  std::string table, list;
  LogTableFile::TableNamesOf(name, &table, &list);
  EXPECT_EQ(table, "A20101216");
  EXPECT_EQ(list, "A20101216");
  ASSERT_TRUE(ParseDataFileName("20101216_1530_00A1B2C3_OPRLOG.dat", &name));
  LogTableFile::TableNamesOf(name, &table, &list);
  EXPECT_EQ(table, "o20101216");
  EXPECT_EQ(list, "oprlog");
  EXPECT_EQ(LogTableFile::AttachTableNameOf("U20101216"), "O20101216");
  EXPECT_EQ(LogTableFile::AttachTableNameOf("P20101216"), "O20101216");
  EXPECT_EQ(LogTableFile::AttachTableNameOf("M20101216"), "M20101216");
  EXPECT_EQ(LogTableFile::AttachTableNameOf("I20101216"), "I20101216");
  EXPECT_EQ(LogTableFile::AttachTableNameOf("o20101216"), "X20101216");
  EXPECT_EQ(LogTableFile::AttachTableNameOf("A20101216"), "X20101216");
  EXPECT_EQ(LogTableFile::AttachTableNameOf("m20101216"), "X20101216");
}

TEST_F(ReceivedFilesTest, LogTableOfKindA) {
  const std::string name = "20101216_1530_00A1B2C3_A.dat";
  const std::string content = "src\tdst\n10.0.0.1\t10.0.0.2\n10.0.0.3\t10.0.0.4\n";
  auto file = Receive<LogTableFile>(name, 0, content);
  ASSERT_TRUE(file);
  const std::string stored = DbTestDataDirectory() + "/" + db_ + "/logtable/20101216/" + name;
  EXPECT_EQ(file->full_path(), stored);
  LogWatch watch;
  unsigned calls = 0;
  EXPECT_TRUE(file->Process(Always(&calls)));

  EXPECT_TRUE(FileExists(stored));  // kept until retention
  EXPECT_EQ(Column(testing::RootQuery("SELECT name, size FROM TableInfo", db_), "name"),
            std::vector<std::string>{"A20101216"});
  DbRows attach = testing::RootQuery("SELECT table_name, file_size, file_del FROM AttachInfo", db_);
  ASSERT_EQ(attach.size(), 1u);
  EXPECT_EQ(attach[0]["table_name"], "X20101216");
  EXPECT_EQ(attach[0]["file_size"], "0");
  EXPECT_EQ(attach[0]["file_del"], "0");

  auto entries = ListEntries(db_);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0][0], stored);
  EXPECT_EQ(entries[0][1], "A20101216");
  EXPECT_EQ(entries[0][2], std::to_string(CCrc().Compute(content.data(), content.size())));
  EXPECT_EQ(entries[0][3], "0");
  EXPECT_EQ(entries[0][4], std::to_string(content.size()));

  const LogTableSlot& slot = StoredRecord().logSlots[0];
  EXPECT_EQ(std::string(slot.name), name);
  EXPECT_EQ(slot.storedBytes, content.size());
  EXPECT_EQ(slot.announcedSize, content.size());
  EXPECT_EQ(slot.runningCrc, CCrc().Compute(content.data(), content.size()));

  EXPECT_TRUE(watch.SawOplog("已启动导入器导入日志表文件!"));
  // The importer loaded the rows into the day's table.
  EXPECT_EQ(testing::RootQuery("SELECT src FROM A20101216", db_).size(), 2u);
}

TEST_F(ReceivedFilesTest, LogTableOprlog) {
  const std::string name = "20101216_1530_00A1B2C3_oprlog.dat";
  auto file = Receive<LogTableFile>(name, 0, "record_time\tmsg\n2010-12-16 15:30:00\tlogin\n");
  ASSERT_TRUE(file);
  unsigned calls = 0;
  EXPECT_TRUE(file->Process(Always(&calls)));
  EXPECT_TRUE(testing::RootQuery("SELECT name FROM TableInfo", db_).empty());
  EXPECT_EQ(Column(testing::RootQuery("SELECT table_name FROM AttachInfo", db_), "table_name"),
            std::vector<std::string>{"X20101216"});
  auto entries = ListEntries(db_);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0][1], "oprlog");
  EXPECT_EQ(StoredRecord().logSlots[11].storedBytes, StoredRecord().logSlots[11].announcedSize);
}

TEST_F(ReceivedFilesTest, LogTableOfKindUAndSecondFileOfTheDay) {
  unsigned calls = 0;
  auto first = Receive<LogTableFile>("20101216_0900_00A1B2C3_U.dat", 0, "a\n1\n");
  ASSERT_TRUE(first);
  ASSERT_TRUE(first->Process(Always(&calls)));
  LogWatch watch;
  auto second = Receive<LogTableFile>("20101216_1000_00A1B2C3_U.dat", 0, "a\n2\n");
  ASSERT_TRUE(second);
  ASSERT_TRUE(second->Process(Always(&calls)));
  // Duplicate keys are silent.
  EXPECT_FALSE(watch.SawDebug("Execute")) << watch.NewDebug();
  EXPECT_EQ(Column(testing::RootQuery("SELECT name FROM TableInfo", db_), "name"),
            std::vector<std::string>{"U20101216"});
  EXPECT_EQ(Column(testing::RootQuery("SELECT table_name FROM AttachInfo", db_), "table_name"),
            std::vector<std::string>{"O20101216"});
  auto entries = ListEntries(db_);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0][1], "U20101216");
  EXPECT_EQ(entries[1][1], "U20101216");
}

TEST_F(ReceivedFilesTest, LogTableImportFailureStillCompletes) {
  InstallProgram("Loader.exe", "#!/bin/sh\n[ \"$1\" = CreateTable ] && exec \"" +
                                   testing::ProgramDirectory() + "/Loader.exe\" \"$@\"\nexit 2\n");
  const std::string name = "20101216_1530_00A1B2C3_A.dat";
  auto file = Receive<LogTableFile>(name, 0, "a\n1\n");
  ASSERT_TRUE(file);
  LogWatch watch;
  unsigned calls = 0;
  EXPECT_TRUE(file->Process(Always(&calls)));
  EXPECT_TRUE(watch.SawOplog("导入日志表A20101216失败!"));
  EXPECT_TRUE(watch.SawDebug("Load log table " + file->full_path() + " failded,errno=2"));
  const LogTableSlot& slot = StoredRecord().logSlots[0];
  EXPECT_EQ(slot.storedBytes, slot.announcedSize);
}

TEST_F(ReceivedFilesTest, LogTableStopRequestTerminatesImporter) {
  InstallProgram("Loader.exe", "#!/bin/sh\n[ \"$1\" = CreateTable ] && exec \"" +
                                   testing::ProgramDirectory() + "/Loader.exe\" \"$@\"\nexec sleep 60\n");
  auto file = Receive<LogTableFile>("20101216_1530_00A1B2C3_A.dat", 0, "a\n1\n");
  ASSERT_TRUE(file);
  LogWatch watch;
  unsigned calls = 0;
  EXPECT_FALSE(file->Process([&](unsigned n) {
    ++calls;
    return n < 3;
  }));
  EXPECT_EQ(calls, 3u);
  EXPECT_TRUE(watch.SawDebug("Stop required!"));
  // The slot was marked complete before the import started.
  const LogTableSlot& slot = StoredRecord().logSlots[0];
  EXPECT_EQ(slot.storedBytes, slot.announcedSize);
}

// A file list that cannot be written fails the processing of that one
// file: both logs say why, nothing ends the process, the importer is not
// started, and the same file is processed once the list is usable again.
TEST_F(ReceivedFilesTest, LogTableWithAnUnusableFileListFailsThatFileOnly) {
  const std::string list_folder = DbTestDataDirectory() + "/" + db_ + "/filelist";
  struct Case {
    const char* name;
    std::string blocker;  // made before the processing, removed after it
    bool folder;
    std::string reason;
  };
  const Case cases[] = {
      {"corrupted", list_folder + "/data.lst2", false, "sqlite3_exec() fails,ret=26"},
      {"unwritable", list_folder + "/data.lst2-journal", true, "sqlite3_exec() fails,ret=14"},
  };
  const std::string name = "20101216_1530_00A1B2C3_A.dat";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(list_folder);
    ASSERT_TRUE(CreateDirectoryTreeForTest(list_folder));
    if (c.folder) {
      // A list exists; its journal cannot be created beside it.
      WriteFileBytes(list_folder + "/data.lst2", "");
      ASSERT_TRUE(CreateDirectoryTreeForTest(c.blocker));
    } else {
      WriteFileBytes(c.blocker, std::string(4096, 'x'));
    }
    auto file = Receive<LogTableFile>(name, 0, "a\n1\n");
    ASSERT_TRUE(file);
    LogWatch watch;
    unsigned calls = 0;
    EXPECT_FALSE(file->Process(Always(&calls)));
    EXPECT_TRUE(watch.SawDebug(c.reason)) << watch.NewDebug();
    EXPECT_TRUE(watch.SawDebug("AppendFileList failed!"));
    EXPECT_TRUE(watch.SawOplog("附加文件列表失败!"));
    EXPECT_FALSE(watch.SawOplog("已启动导入器导入日志表文件!"));
    file.reset();

    fs::remove_all(c.blocker);
    auto again = Receive<LogTableFile>(name, 0, "a\n1\n");
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->Process(Always(&calls)));
    EXPECT_EQ(ListEntries(db_).size(), 1u);
  }
}

TEST_F(ReceivedFilesTest, LogTableForUnsafeDatabaseRefusedBeforeAnyStatement) {
  SetStorage("shop-1");
  auto file = Receive<LogTableFile>("20101216_1530_00A1B2C3_A.dat", 0, "a\n1\n");
  ASSERT_TRUE(file);
  LogWatch watch;
  unsigned calls = 0;
  EXPECT_FALSE(file->Process(Always(&calls)));
  EXPECT_TRUE(watch.SawDebug("CreateDBInfo failed!"));
  EXPECT_TRUE(watch.SawOplog("生成日志表统计信息失败!"));
  EXPECT_FALSE(watch.SawDebug("Connect mysql"));
  // The slot still shows the last flush, not a finished file.
  EXPECT_TRUE(ListEntries("shop-1").empty());
}

TEST_F(ReceivedFilesTest, LogTableUnparsableNameGivesNoPath) {
  LogTableFile file(&position_);
  LogWatch watch;
  EXPECT_EQ(file.GetFilePath("2010121_x.dat"), "");
  EXPECT_TRUE(watch.SawDebug("Can't parse table 2010121_x.dat"));
}

TEST_F(ReceivedFilesTest, CreateDBInfoRequiresNames) {
  LogTableFile file(&position_);
  EXPECT_THROW(file.CreateDBInfo("", "A20101216"), int);
  EXPECT_THROW(file.CreateDBInfo(db_, ""), int);
}

// ---- Attachment packages -------------------------------------------------

TEST_F(ReceivedFilesTest, AttachmentCommandLineExactly) {
  EXPECT_EQ(AttachmentFile::BuildCommandLine("/h/zvtar.exe", "/d/p.dat", "/a/s", "a"),
            "\"/h/zvtar.exe\" xvf \"/d/p.dat\" -C \"/a/s\" -e a ");
  EXPECT_EQ(AttachmentFile::BuildCommandLine("/h/zvtar.exe", "/d/p.dat", "/a/s", ""),
            "\"/h/zvtar.exe\" xvf \"/d/p.dat\" -C \"/a/s\" ");
  EXPECT_EQ(AttachmentFile::BuildCommandLine("/h/zvtar.exe", "/d/p.dat", "", ""),
            "\"/h/zvtar.exe\" xvf \"/d/p.dat\" ");
}

TEST_F(ReceivedFilesTest, AttachmentDayStatisticsPathsInOrder) {
  EXPECT_EQ(AttachmentFile::DayStatisticsPaths("/a/", "shop1", "20101216"),
            (std::vector<std::string>{"/a/shop1/actrace/20101216/dirstat",
                                      "/a/shop1/ips/20101216/dirstat",
                                      "/a/shop1/mailproxy/delaysnd/20101216/dirstat",
                                      "/a/shop1/mailproxy/smtplog/20101216/dirstat",
                                      "/a/shop1/mailproxy/pop3log/20101216/dirstat",
                                      "/a/shop1/mailproxy/20101216/dirstat"}));
}

TEST_F(ReceivedFilesTest, AttachmentUnpackedDeletedAndComplete) {
  const std::string base = AttachmentFolder() + "/" + db_;
  const std::vector<std::string> dirs = {"actrace", "ips", "mailproxy/delaysnd",
                                         "mailproxy/smtplog", "mailproxy/pop3log", "mailproxy"};
  for (const std::string& d : dirs) {
    WriteFileBytes(base + "/" + d + "/20101216/dirstat", "1 00000000");
    WriteFileBytes(base + "/" + d + "/20101215/dirstat", "2 00000000");
    WriteFileBytes(base + "/" + d + "/20101216/keep.txt", "keep");
  }
  const std::string name = "20101216_1530_00A1B2C3_X.dat";
  testing::ScopedTempDir scratch;
  WritePackage(scratch.Sub("p.tar"), {{"actrace/20101216/t1.txt", "trace"},
                                      {"mailproxy/smtplog/20101216/m1.eml", "mail"}});
  auto file = Receive<AttachmentFile>(name, 2, ReadFileBytes(scratch.Sub("p.tar")));
  ASSERT_TRUE(file);
  const std::string stored = DbTestDataDirectory() + "/" + db_ + "/attachment/" + name;
  EXPECT_EQ(file->full_path(), stored);
  LogWatch watch;
  unsigned calls = 0;
  EXPECT_TRUE(file->Process(Always(&calls)));

  EXPECT_EQ(ReadFileBytes(base + "/actrace/20101216/t1.txt"), "trace");
  EXPECT_EQ(ReadFileBytes(base + "/mailproxy/smtplog/20101216/m1.eml"), "mail");
  EXPECT_FALSE(FileExists(stored));
  for (const std::string& d : dirs) {
    EXPECT_FALSE(FileExists(base + "/" + d + "/20101216/dirstat")) << d;
    EXPECT_TRUE(FileExists(base + "/" + d + "/20101215/dirstat")) << d;
    EXPECT_TRUE(FileExists(base + "/" + d + "/20101216/keep.txt")) << d;
  }
  const LogTableSlot& slot = StoredRecord().logSlots[13];
  EXPECT_EQ(std::string(slot.name), name);
  EXPECT_EQ(slot.storedBytes, slot.announcedSize);
  EXPECT_TRUE(watch.SawOplog("附件包解压成功!"));
  EXPECT_TRUE(watch.SawDebug("\"" + DbTestHome() + "/zvtar.exe\" xvf \"" + stored + "\" -C \"" +
                             base + "\" =0"));
}

TEST_F(ReceivedFilesTest, AttachmentEncodeOptionOnCommandLine) {
  const std::string args_file = DbTestRoot() + "/zvtar-args.txt";
  InstallProgram("zvtar.exe", "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + args_file + "'\nexit 4\n");
  for (bool encode : {true, false}) {
    WriteTools(encode);
    unlink(args_file.c_str());
    const std::string name = "20101216_1530_00A1B2C3_X.dat";
    auto file = Receive<AttachmentFile>(name, 2, "not really a tar");
    ASSERT_TRUE(file);
    LogWatch watch;
    unsigned calls = 0;
    EXPECT_TRUE(file->Process(Always(&calls)));
    const std::string target = AttachmentFolder() + "/" + db_;
    std::string expected = "xvf\n" + file->full_path() + "\n-C\n" + target + "\n";
    if (encode) expected += "-e\na\n";
    EXPECT_EQ(ReadFileBytes(args_file), expected);
    // The exit code is logged, not judged.
    EXPECT_TRUE(watch.SawDebug(std::string(encode ? "-e a =4" : "\" =4")));
    EXPECT_TRUE(watch.SawOplog("附件包解压成功!"));
  }
}

TEST_F(ReceivedFilesTest, AttachmentWithoutTarToolStillDeletedAndComplete) {
  InstallProgram("zvtar.exe", "");
  const std::string name = "20101216_1530_00A1B2C3_X.dat";
  auto file = Receive<AttachmentFile>(name, 2, "package bytes");
  ASSERT_TRUE(file);
  LogWatch watch;
  unsigned calls = 0;
  EXPECT_TRUE(file->Process(Always(&calls)));
  EXPECT_TRUE(watch.SawDebug(DbTestHome() + "/zvtar.exe not found!"));
  EXPECT_TRUE(watch.SawDebug("UncompressFile " + file->full_path() + " to "));
  EXPECT_TRUE(watch.SawOplog("附件包解压失败!"));
  EXPECT_FALSE(FileExists(file->full_path()));
  const LogTableSlot& slot = StoredRecord().logSlots[13];
  EXPECT_EQ(slot.storedBytes, slot.announcedSize);
}

TEST_F(ReceivedFilesTest, AttachmentStopRequestKillsToolAndStillCompletes) {
  const std::string pid_file = DbTestRoot() + "/zvtar-pid.txt";
  InstallProgram("zvtar.exe", "#!/bin/sh\necho $$ > '" + pid_file + "'\nexec sleep 60\n");
  auto file = Receive<AttachmentFile>("20101216_1530_00A1B2C3_X.dat", 2, "package bytes");
  ASSERT_TRUE(file);
  LogWatch watch;
  unsigned calls = 0;
  EXPECT_TRUE(file->Process([&](unsigned n) {
    ++calls;
    return n < 5;
  }));
  EXPECT_EQ(calls, 5u);
  EXPECT_TRUE(watch.SawDebug("Stop required!"));
  EXPECT_TRUE(watch.SawOplog("附件包解压失败!"));
  EXPECT_FALSE(FileExists(file->full_path()));
  const LogTableSlot& slot = StoredRecord().logSlots[13];
  EXPECT_EQ(slot.storedBytes, slot.announcedSize);
  // The tool is gone (killed and reaped).
  const std::string pid = ReadFileBytes(pid_file);
  ASSERT_FALSE(pid.empty());
  EXPECT_FALSE(FileExists("/proc/" + pid.substr(0, pid.find('\n'))));
}

TEST_F(ReceivedFilesTest, AttachmentMissingPackage) {
  AttachmentFile file(&position_);
  LogWatch watch;
  EXPECT_FALSE(file.UncompressFile(DbTestRoot() + "/none.dat", DbTestRoot() + "/t", ""));
  EXPECT_TRUE(watch.SawDebug(DbTestRoot() + "/none.dat is not exist!"));
}

TEST_F(ReceivedFilesTest, AttachmentArgumentsReachTheToolUnchanged) {
  // A quote or a backslash in a path is no longer a command-line hazard:
  // each path is one argument, byte for byte.
  const std::string args_file = DbTestRoot() + "/zvtar-args.txt";
  InstallProgram("zvtar.exe", "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + args_file + "'\nexit 0\n");
  AttachmentFile file(&position_);
  const std::string package = DbTestRoot() + "/q\"x\\.dat";
  const std::string target = DbTestRoot() + "/t \"1\"\\";
  WriteFileBytes(package, "x");
  EXPECT_TRUE(file.UncompressFile(package, target, ""));
  EXPECT_EQ(ReadFileBytes(args_file), "xvf\n" + package + "\n-C\n" + target + "\n");
}

}  // namespace
}  // namespace zv
