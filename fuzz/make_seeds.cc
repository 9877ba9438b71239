// Writes the seed corpora of the fuzz targets: make_fuzz_seeds DIR creates
// DIR/<target>/ for each target with a few inputs made from the byte
// images the tests use (a day's log table, a config table, a package, the
// datagrams of both services, an account file, the settings file).
#include <archive.h>
#include <archive_entry.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "protocol/sync_info_socket.h"
#include "protocol/ui_socket.h"
#include "records/account_file.h"
#include "util/crc.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

std::string g_root;

void Seed(const std::string& target, const std::string& name, const Bytes& bytes) {
  fs::create_directories(g_root + "/" + target);
  std::ofstream out(g_root + "/" + target + "/" + name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes B(const std::string& text) { return Bytes(text.begin(), text.end()); }

void Put32(Bytes* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// One record of the session target's input.
void Record(Bytes* out, uint8_t command, uint8_t flags, const Bytes& content) {
  out->push_back(command);
  out->push_back(flags);
  out->push_back(static_cast<uint8_t>(content.size()));
  out->push_back(static_cast<uint8_t>(content.size() >> 8));
  out->insert(out->end(), content.begin(), content.end());
}

Bytes Announce(uint8_t type, const std::string& name, uint16_t size) {
  Bytes content{type, static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8)};
  content.insert(content.end(), name.begin(), name.end());
  return content;
}

struct TarEntry {
  std::string path;
  unsigned type;  // AE_IFREG, AE_IFDIR, AE_IFLNK
  std::string data;
};

Bytes Tar(const std::vector<TarEntry>& entries, bool gzip) {
  const std::string path = g_root + "/.package";
  archive* a = archive_write_new();
  archive_write_set_format_pax_restricted(a);
  if (gzip) archive_write_add_filter_gzip(a);
  archive_write_open_filename(a, path.c_str());
  for (const TarEntry& e : entries) {
    archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, e.path.c_str());
    archive_entry_set_filetype(entry, e.type);
    archive_entry_set_perm(entry, 0644);
    if (e.type == AE_IFLNK) {
      archive_entry_set_symlink(entry, e.data.c_str());
    } else {
      archive_entry_set_size(entry, static_cast<la_int64_t>(e.data.size()));
    }
    archive_write_header(a, entry);
    if (e.type == AE_IFREG) archive_write_data(a, e.data.data(), e.data.size());
    archive_entry_free(entry);
  }
  archive_write_close(a);
  archive_write_free(a);
  std::ifstream in(path, std::ios::binary);
  Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  fs::remove(path);
  return bytes;
}

const std::string kLogTable = "src\tdst\tbytes\n10.0.0.1\t10.0.0.2\t100\n10.0.0.3\t\\N\t7\n";
const std::string kOprlog = "record_time\tuser\taction\n2010-12-16 15:31:00\tadmin\tlogin\n";

void SessionSeeds() {
  for (uint8_t method : {0, 1, 2}) {
    Bytes in;
    Record(&in, 2, 1, Announce(0, "20101216_1530_00A1B2C3_A.dat", kLogTable.size()));
    Record(&in, 5, static_cast<uint8_t>(1 | (method << 1)), B(kLogTable));
    Record(&in, 9, 1, {});
    Record(&in, 10, 0, {});
    Seed("session", "log_table_method" + std::to_string(method), in);
  }
  Bytes config;
  Record(&config, 2, 1, Announce(1, std::string(32, 'a') + "_00A1B2C3_users.dat", 16));
  Record(&config, 5, 1, B("id\tname\n1\tbob\n\n"));
  Record(&config, 9, 1, {});
  Seed("session", "config_table", config);
  Bytes package;
  const Bytes tar = Tar({{"actrace/20101216/a.txt", AE_IFREG, "hello"}}, false);
  Record(&package, 2, 1, Announce(2, "20101216_1530_00A1B2C3_X.dat", tar.size()));
  for (size_t at = 0; at < tar.size(); at += 1024) {
    Record(&package, 5, 1, Bytes(tar.begin() + at, tar.begin() + std::min(at + 1024, tar.size())));
  }
  Record(&package, 9, 1, {});
  Seed("session", "package", package);
  Bytes misc;
  Record(&misc, 3, 0, B("jjjj"));
  Bytes error;
  Put32(&error, 6);
  error.insert(error.end(), {'b', 'a', 'd', 0});
  Record(&misc, 8, 0, error);
  Record(&misc, 9, 0, B("\x01\x02\x03\x04"));
  Record(&misc, 5, 0, Bytes(20, 0));
  Record(&misc, 0x80, 0x80, Bytes{0xA7 ^ 0xFF, 0xA7 ^ 0xFF, 0xA7 ^ 0xFF, 0xA7 ^ 0x7F});
  Seed("session", "misc", misc);
}

void TextSeeds() {
  Seed("ini", "dbconf", B("[db_config]\r\nDBType=1\r\nSQLUser=admin\r\nSQLPWD=0123456789ABCDEF5\r\n"
                          "FilePath=/var/lib/zentrovane/attach/\r\n"));
  Seed("ini", "tools", B("[Tools]\nAlarmValue=10\nAutoDelOneDay = 1  \n# x=1\n ;y=2\n[a]b]\r\nK=v"));
  Seed("ini", "mysql_path", B("A=early\n[mysql]\npath=/opt/mysql\n=5\nnovalue\n[S] ; c\nA=b=c\n"));
  Seed("settings_store",
       "registry", B("Windows Registry Editor Version 5.00\r\n\r\n"
                     "[HKEY_LOCAL_MACHINE\\Software\\Korvane\\Zentrovane]\r\n"
                     "\"SyncPort\"=dword:0000032a\r\n"
                     "\"PendingDeleteDate\"=\"20101115 $ALL$ $ALL$;\"\r\n"
                     "\"DependOnService\"=hex(7):4d,00,79,00,00,00,00,00\r\n"
                     "\"Blob\"=hex:01,02\r\n"
                     "\"UIAllowedAddresses\"=\"127.0.0.1\"\r\n\r\n"
                     "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zentrovane]\r\n"
                     "\"DependOnService\"=hex(7):00,00\r\n"));
  Seed("table_file", "log_table", B("\x05" + kLogTable));
  Seed("table_file", "oprlog", B("\x01" + kOprlog));
  Seed("table_file", "malformed", B("\x03" "a\tb\n1\t2\n3\t4\t5\n\\x\r\n"));
  Seed("table_file", "utf8", B("\x10" "名\tb\n\xe4\xb8\xad\t\\t\\n\\\\\n"));
}

void RecordSeeds() {
  const std::string path = g_root + "/.records.dat";
  zv::CZvAccountFile file;
  file.SetPath(path);
  zv::SyncAccountRecord record{};
  std::strcpy(record.userName, "demo");
  std::strcpy(record.password, "demo");
  std::strcpy(record.storageName, "shop1");
  record.deviceId = 0x00A1B2C3;
  std::snprintf(record.logSlots[0].name, sizeof(record.logSlots[0].name),
                "20101216_1530_00A1B2C3_A.dat");
  file.Records().push_back(record);
  file.Records().push_back(record);
  if (file.Save() != 0) return;
  std::ifstream in(path, std::ios::binary);
  Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (const char* ext : {".dat", ".tem", ".bak0", ".bak1"}) {
    fs::remove(g_root + "/.records" + ext);
  }
  for (uint8_t choice : {0, 1, 4}) {
    Bytes seed{choice};
    seed.insert(seed.end(), bytes.begin(), bytes.end());
    Seed("record_file", "two_records_" + std::to_string(choice), seed);
  }
  Seed("record_file", "short", Bytes(bytes.begin(), bytes.begin() + 20));
}

void TarSeeds() {
  Seed("tar", "plain", Tar({{"actrace", AE_IFDIR, ""},
                            {"actrace/20101216/a.txt", AE_IFREG, "hello"},
                            {"ips/20101216/b.bin", AE_IFREG, std::string(600, 'x')}},
                           false));
  Seed("tar", "gzip", Tar({{"a/b.txt", AE_IFREG, "gz"}}, true));
  Seed("tar", "hostile", Tar({{"../escape.txt", AE_IFREG, "x"},
                              {"/tmp/absolute.txt", AE_IFREG, "x"},
                              {"link", AE_IFLNK, "/etc"},
                              {"link/passwd", AE_IFREG, "x"},
                              {"ok.txt", AE_IFREG, "fine"}},
                             false));
}

void DatagramSeeds() {
  // Sync info: a query for "demo" with the fix-up flag, the same fully
  // made, and a text.
  Bytes query{1};
  Put32(&query, 32);
  Put32(&query, zv::kSyncInfoCmdQueryPolicy);
  Put32(&query, 0);
  std::string name = "demo";
  name.resize(20, '\0');
  query.insert(query.end(), name.begin(), name.end());
  Seed("sync_info", "query_fixed_up", query);
  Bytes made(query.begin() + 1, query.end());
  const uint32_t check = zv::SyncInfoSocket::ComputeCheck(made.data(), 32, 0);
  std::memcpy(made.data() + 8, &check, 4);
  for (uint8_t& b : made) b ^= zv::kSyncInfoMask;
  made.insert(made.begin(), 0);
  Seed("sync_info", "query_masked", made);
  Seed("sync_info", "text", B(std::string("\0hello", 6)));

  // UI channel: [list length][list][sender octet][datagram].
  const auto command = [](uint32_t cmd, const std::string& text) {
    Bytes d;
    Put32(&d, zv::kUiCommandFlag);
    Put32(&d, 0xABCD0123);
    Put32(&d, cmd);
    Put32(&d, static_cast<uint32_t>(16 + text.size()));
    d.insert(d.end(), text.begin(), text.end());
    return d;
  };
  const auto ui = [&](const std::string& list, uint8_t octet, const Bytes& datagram) {
    Bytes in{static_cast<uint8_t>(list.size())};
    in.insert(in.end(), list.begin(), list.end());
    in.push_back(octet);
    in.insert(in.end(), datagram.begin(), datagram.end());
    return in;
  };
  Seed("ui_channel", "delete_user", ui("", 1, command(2, std::string("demo\0", 5))));
  Seed("ui_channel", "update_accounts", ui("127.0.0.1", 1, command(3, "$UPDATE_ACCOUNT$")));
  Seed("ui_channel", "state_query", ui("10.0.0.5;127.0.0.1", 1, command(4, "")));
  Seed("ui_channel", "not_allowed", ui("127.0.0.2", 1, command(4, "")));
  Seed("ui_channel", "short", ui("", 1, command(2, "")));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_fuzz_seeds DIR\n");
    return 2;
  }
  g_root = argv[1];
  fs::create_directories(g_root);
  SessionSeeds();
  TextSeeds();
  RecordSeeds();
  TarSeeds();
  DatagramSeeds();
  return 0;
}
