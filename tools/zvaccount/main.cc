// zvaccount: a small tool for account files (config/syncaccount.dat).
//
//   zvaccount add FILE --user U --password P --storage S
//                 [--base-date YYYYMMDD] [--schedule 12HEX]
//   zvaccount list FILE
//
// "add" appends one account as the management console creates it: the
// slot names 0 to 13 made from the base date and device id 0, everything
// else zero. The file is saved crash-safely through CZvAccountFile.
#include <cstdio>

#include <cstring>
#include <string>

#include "datafiles/sync_position.h"
#include "records/account_file.h"
#include "records/sync_account_record.h"

namespace {

int Usage(FILE* out, int code) {
  std::fprintf(out,
               "usage: zvaccount add FILE --user U --password P --storage S\n"
               "                     [--base-date YYYYMMDD] [--schedule 12HEXDIGITS]\n"
               "       zvaccount list FILE\n");
  return code;
}

bool CopyField(char* field, size_t width, const std::string& value, const char* what) {
  if (value.empty() || value.size() >= width) {
    std::fprintf(stderr, "zvaccount: %s must have 1 to %zu characters\n", what, width - 1);
    return false;
  }
  std::memcpy(field, value.data(), value.size());
  return true;
}

bool ParseDate(const std::string& text, unsigned* year, unsigned* month, unsigned* day) {
  if (text.size() != 8) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  *year = static_cast<unsigned>(std::stoul(text.substr(0, 4)));
  *month = static_cast<unsigned>(std::stoul(text.substr(4, 2)));
  *day = static_cast<unsigned>(std::stoul(text.substr(6, 2)));
  return *month >= 1 && *month <= 12 && *day >= 1 && *day <= 31;
}

bool ParseHex(const std::string& text, uint8_t* out, size_t bytes) {
  if (text.size() != bytes * 2) return false;
  for (size_t i = 0; i < bytes; ++i) {
    unsigned value = 0;
    if (std::sscanf(text.c_str() + 2 * i, "%2x", &value) != 1) return false;
    out[i] = static_cast<uint8_t>(value);
  }
  return true;
}

int Add(int argc, char** argv) {
  if (argc < 3) return Usage(stderr, 2);
  const std::string path = argv[2];
  std::string user, password, storage, base_date = "20101216", schedule;
  for (int i = 3; i < argc; ++i) {
    std::string option = argv[i];
    if (i + 1 >= argc) return Usage(stderr, 2);
    std::string value = argv[++i];
    if (option == "--user") {
      user = value;
    } else if (option == "--password") {
      password = value;
    } else if (option == "--storage") {
      storage = value;
    } else if (option == "--base-date") {
      base_date = value;
    } else if (option == "--schedule") {
      schedule = value;
    } else {
      return Usage(stderr, 2);
    }
  }
  zv::SyncAccountRecord record;
  std::memset(&record, 0, sizeof(record));
  if (!CopyField(record.userName, sizeof(record.userName), user, "--user") ||
      !CopyField(record.password, sizeof(record.password), password, "--password") ||
      !CopyField(record.storageName, sizeof(record.storageName), storage, "--storage")) {
    return 2;
  }
  unsigned year = 0, month = 0, day = 0;
  if (!ParseDate(base_date, &year, &month, &day)) {
    std::fprintf(stderr, "zvaccount: --base-date must be YYYYMMDD\n");
    return 2;
  }
  if (!schedule.empty() &&
      !ParseHex(schedule, record.syncSchedule, sizeof(record.syncSchedule))) {
    std::fprintf(stderr, "zvaccount: --schedule must be 12 hexadecimal digits\n");
    return 2;
  }
  record.baseYear = static_cast<uint16_t>(year);
  record.baseMonth = static_cast<uint8_t>(month);
  record.baseDay = static_cast<uint8_t>(day);
  for (int slot = 0; slot < zv::kUsedLogSlots; ++slot) {
    // At most 63 characters: the field keeps its terminating zero.
    const std::string name =
        zv::FormatDataFileName(year, month, day, 0, 0, 0, zv::kLogSlotKinds[slot]);
    std::memcpy(record.logSlots[slot].name, name.data(), name.size());
  }

  zv::CZvAccountFile file;
  file.SetPath(path);
  if (file.Load() != 0) {
    std::fprintf(stderr, "zvaccount: cannot read %s\n", path.c_str());
    return 1;
  }
  for (const zv::SyncAccountRecord& existing : file.Records()) {
    if (zv::SameUserName(existing.userName, record.userName)) {
      std::fprintf(stderr, "zvaccount: user %s exists already\n", user.c_str());
      return 1;
    }
  }
  file.Records().push_back(record);
  int saved = file.Save();
  if (saved != 0) {
    std::fprintf(stderr, "zvaccount: cannot save %s (%d)\n", path.c_str(), saved);
    return 1;
  }
  std::printf("added user %s (storage %s) to %s\n", user.c_str(), storage.c_str(), path.c_str());
  return 0;
}

int List(int argc, char** argv) {
  if (argc != 3) return Usage(stderr, 2);
  zv::CZvAccountFile file;
  file.SetPath(argv[2]);
  if (file.Load() != 0) {
    std::fprintf(stderr, "zvaccount: cannot read %s\n", argv[2]);
    return 1;
  }
  for (const zv::SyncAccountRecord& record : file.Records()) {
    std::printf("user %.20s storage %.32s device %08X base %04u%02u%02u\n", record.userName,
                record.storageName, record.deviceId, record.baseYear, record.baseMonth,
                record.baseDay);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage(stderr, 2);
  std::string command = argv[1];
  if (command == "add") return Add(argc, argv);
  if (command == "list") return List(argc, argv);
  if (command == "--help" || command == "-h" || command == "help") return Usage(stdout, 0);
  return Usage(stderr, 2);
}
