#include "client/sample_files.h"

#include <archive.h>
#include <archive_entry.h>
#include <nettle/md5.h>

#include <cstdio>
#include <fstream>

#include "util/file_util.h"

namespace zv {
namespace {

std::string Md5Hex(const std::string& data) {
  md5_ctx ctx;
  md5_init(&ctx);
  md5_update(&ctx, data.size(), reinterpret_cast<const uint8_t*>(data.data()));
  uint8_t digest[MD5_DIGEST_SIZE];
  md5_digest(&ctx, sizeof(digest), digest);
  std::string hex;
  char two[3];
  for (uint8_t b : digest) {
    std::snprintf(two, sizeof(two), "%02x", b);
    hex += two;
  }
  return hex;
}

bool WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.close();
  return static_cast<bool>(out);
}

}  // namespace

SampleFiles::SampleFiles(std::string storage, uint32_t device_id, std::string date)
    : storage_(std::move(storage)), device_id_(device_id), date_(std::move(date)) {}

std::string SampleFiles::ConfigTable() const {
  char device[64];
  std::snprintf(device, sizeof(device), "%.31s:%08X", storage_.c_str(), device_id_);
  std::string text = "user_id\tuser_name\tgroup_name\tip_address\tcomment\n";
  static const char* const kNames[] = {"王伟", "alice", "bob", "李娜", "carol"};
  for (int i = 0; i < 5; ++i) {
    char row[256];
    std::snprintf(row, sizeof(row), "%d\t%s\t%s\t192.168.10.%d\t%s\n", 1001 + i, kNames[i],
                  i % 2 == 0 ? "office" : "lab", 20 + i, i == 3 ? "\\N" : device);
    text += row;
  }
  return text;
}

std::string SampleFiles::LogTableA() const {
  const std::string day = date_.substr(0, 4) + "-" + date_.substr(4, 2) + "-" + date_.substr(6, 2);
  std::string text = "access_time\tsrc_ip\tdst_ip\tdst_port\tprotocol\tbytes\n";
  for (int i = 0; i < 200; ++i) {
    char row[256];
    std::snprintf(row, sizeof(row), "%s %02d:%02d:%02d\t192.168.10.%d\t10.0.%d.%d\t%d\t%s\t%d\n",
                  day.c_str(), i / 60 % 24, i % 60, (i * 7) % 60, 20 + i % 5, i % 7, i % 250 + 1,
                  i % 3 == 0 ? 443 : 80, i % 4 == 0 ? "udp" : "tcp", 512 + i * 37);
    text += row;
  }
  return text;
}

std::string SampleFiles::LogTableU() const {
  const std::string day = date_.substr(0, 4) + "-" + date_.substr(4, 2) + "-" + date_.substr(6, 2);
  std::string text = "visit_time\tsrc_ip\thost\turl\n";
  for (int i = 0; i < 120; ++i) {
    char row[512];
    std::snprintf(row, sizeof(row),
                  "%s %02d:%02d:00\t192.168.10.%d\twww%d.example.com\t/path/%d?q=a\\tb\n",
                  day.c_str(), i / 60 % 24, i % 60, 20 + i % 5, i % 9, i);
    text += row;
  }
  return text;
}

std::string SampleFiles::OprLog() const {
  const std::string day = date_.substr(0, 4) + "-" + date_.substr(4, 2) + "-" + date_.substr(6, 2);
  std::string text = "record_time\toperator\taction\tdetail\n";
  static const char* const kActions[] = {"login", "change policy", "logout"};
  for (int i = 0; i < 30; ++i) {
    char row[256];
    std::snprintf(row, sizeof(row), "%s %02d:%02d:%02d\tadmin\t%s\t操作记录 %d\n", day.c_str(),
                  8 + i / 10, i * 2 % 60, i % 60, kActions[i % 3], i);
    text += row;
  }
  return text;
}

std::vector<std::pair<std::string, std::string>> SampleFiles::PackageEntries() const {
  return {
      {"actrace/" + date_ + "/trace_0001.txt",
       "GET /index.html HTTP/1.1\r\nHost: www0.example.com\r\n\r\n"},
      {"actrace/" + date_ + "/trace_0002.txt", std::string(4096, 'a')},
      {"ips/" + date_ + "/alert_0001.log", "alert: port scan from 10.0.3.4\n"},
  };
}

std::string SampleFiles::AttachmentPackage() const {
  archive* writer = archive_write_new();
  if (writer == nullptr) return std::string();
  archive_write_set_format_pax_restricted(writer);
  std::string package;
  // Memory output: a buffer big enough for the small package.
  std::vector<char> buffer(1 << 20);
  size_t used = 0;
  bool ok = archive_write_open_memory(writer, buffer.data(), buffer.size(), &used) == ARCHIVE_OK;
  for (const auto& [path, content] : PackageEntries()) {
    if (!ok) break;
    archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, path.c_str());
    archive_entry_set_filetype(entry, AE_IFREG);
    archive_entry_set_perm(entry, 0644);
    archive_entry_set_size(entry, static_cast<la_int64_t>(content.size()));
    archive_entry_set_mtime(entry, 1292513400, 0);
    ok = archive_write_header(writer, entry) == ARCHIVE_OK &&
         archive_write_data(writer, content.data(), content.size()) ==
             static_cast<la_ssize_t>(content.size());
    archive_entry_free(entry);
  }
  ok = archive_write_close(writer) == ARCHIVE_OK && ok;
  archive_write_free(writer);
  if (!ok) return std::string();
  return std::string(buffer.data(), used);
}

std::string SampleFiles::ConfigTableName() const {
  char name[96];
  std::snprintf(name, sizeof(name), "%s_%08X_users.dat", Md5Hex(ConfigTable()).c_str(), device_id_);
  return name;
}

std::string SampleFiles::LogTableName(const std::string& kind) const {
  char name[96];
  std::snprintf(name, sizeof(name), "%s_1530_%08X_%s.dat", date_.c_str(), device_id_, kind.c_str());
  return name;
}

std::string SampleFiles::PackageName() const { return LogTableName("X"); }

bool SampleFiles::WriteAll(const std::string& folder, std::vector<SampleFile>* files,
                           std::string* error) const {
  if (!CreateDirectoryTree(folder)) {
    *error = "cannot create " + folder;
    return false;
  }
  const std::string package = AttachmentPackage();
  if (package.empty()) {
    *error = "cannot build the attachment package";
    return false;
  }
  const std::vector<std::pair<SampleFile, std::string>> all = {
      {{ConfigTableName(), "", 1}, ConfigTable()}, {{LogTableName("A"), "", 0}, LogTableA()},
      {{LogTableName("U"), "", 0}, LogTableU()},   {{LogTableName("oprlog"), "", 0}, OprLog()},
      {{PackageName(), "", 2}, package},
  };
  files->clear();
  for (const auto& [file, content] : all) {
    SampleFile written = file;
    written.path = TrimPathSeparators(folder) + "/" + file.name;
    if (!WriteFile(written.path, content)) {
      *error = "cannot write " + written.path;
      return false;
    }
    files->push_back(written);
  }
  return true;
}

}  // namespace zv
