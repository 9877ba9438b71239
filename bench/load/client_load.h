// ClientLoad: the database's own limit for the processing's work: the
// MariaDB command-line client loading log-table files one after another,
// one LOAD DATA LOCAL INFILE statement a file, over one connection, each
// statement its own transaction (autocommit), into tables made beforehand
// (one a storage, in a scratch database, the columns taken from the first
// file's header as the importer makes them: LONGTEXT, utf8mb4).
//
// The files are first dropped from the page cache, as the server leaves
// them after its last flush, so the client reads them from disk as the
// importer did.
//
// Used by the benchmark's main thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zv::bench {

struct ClientLoadFile {
  std::string path;
  int table = 0;  // 0 .. tables-1
};

struct ClientLoadResult {
  double seconds = 0;  // the client's run, connection included
  uint64_t rows = 0;   // rows in the tables afterwards
  std::string error;   // empty on success
};

// database: a name of ours ("zvbench..." and digits; made, then dropped);
// work_dir: where the statements' script goes.
ClientLoadResult RunClientLoad(const std::vector<ClientLoadFile>& files, int tables,
                               const std::string& database, const std::string& work_dir);

// One statement giving the sum of the exact row counts of the tables
// (each "db.table", names of ours).
std::string RowCountSql(const std::vector<std::string>& tables);

}  // namespace zv::bench
