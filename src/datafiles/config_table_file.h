// ConfigTableFile: a configuration table an appliance uploads whenever the
// table changed, named "<32-character token>_<device id>_<table>.dat" and
// stored in D/S/configtable. Once complete and verified it is loaded into
// table <table> of the client's database S by the importer, deleted, and
// its token is remembered in the client's position file (a config slot
// keyed by the CRC-32 of the table name).
//
// Config tables keep no byte position: an interrupted upload starts over.
// Owned by one client session and used on that session's thread; processing
// runs while the session holds the controller's processing lock.
#pragma once

#include <string>

#include "datafiles/sync_data_file.h"

namespace zv {

class ConfigTableFile final : public SyncDataFile {
 public:
  explicit ConfigTableFile(CZvAccountFile* position_file) : SyncDataFile(position_file) {}

  // Does nothing: config tables are never resumed from the position file.
  bool UpdateSyncPosition(bool full) override { return true; }
  // True when the name is a config table name whose table part is a plain
  // identifier; no offset or size test.
  bool CheckSyncPosition() override;
  // D/S/configtable/name; empty when the storage folder is not known.
  std::string GetFilePath(const std::string& name) override;
  // Imports the file (waiting in 100 ms steps while KeepGoing says so),
  // deletes it and records its token. False leaves the config slots as
  // they were, so the client sends the table again later.
  bool ProcessFile() override;

  // Records the imported file's token in the position file.
  bool UpdateConfigChecksum();
};

}  // namespace zv
