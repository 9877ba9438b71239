// SampleFiles: realistic files of one appliance and day, as an appliance
// would upload them: a configuration table, log tables of the kinds A, U
// and oprlog, and an attachment package. zvclient's "generate" and "trial"
// commands write them; the end-to-end tests upload them.
//
// Tables are in the importer's table file format: UTF-8, a header line of
// column names, one row per line, fields separated by tabs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zv {

struct SampleFile {
  std::string name;   // the name the appliance announces
  std::string path;   // where it was written
  uint32_t type = 0;  // 0 log table, 1 config table, 2 attachment package
};

class SampleFiles {
 public:
  // date: YYYYMMDD; storage: only used inside the rows.
  SampleFiles(std::string storage, uint32_t device_id, std::string date);

  // Contents, each a complete file.
  std::string ConfigTable() const;  // table "users"
  std::string LogTableA() const;    // kind A: access records
  std::string LogTableU() const;    // kind U: URL records
  std::string OprLog() const;       // kind oprlog: with record_time
  // A tar package with actrace/<date>/... and ips/<date>/... files; empty
  // on failure.
  std::string AttachmentPackage() const;

  // Names: "<32 hex token>_<DEVICE>_users.dat" (the token is the MD5 of
  // the content), "<date>_1530_<DEVICE>_<kind>.dat", "<date>_1530_<DEVICE>_X.dat".
  std::string ConfigTableName() const;
  std::string LogTableName(const std::string& kind) const;
  std::string PackageName() const;

  // Writes all five files into folder (created when missing), config table
  // first and package last, and lists them in upload order. False (with
  // *error) when a file cannot be written.
  bool WriteAll(const std::string& folder, std::vector<SampleFile>* files,
                std::string* error) const;

  // The files of the package, path inside the package and content.
  std::vector<std::pair<std::string, std::string>> PackageEntries() const;

 private:
  std::string storage_;
  uint32_t device_id_;
  std::string date_;  // YYYYMMDD
};

}  // namespace zv
