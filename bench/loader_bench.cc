// loader_bench: how fast Loader.exe loads a large log table, beside the
// MariaDB command-line client loading the same file with LOAD DATA LOCAL
// INFILE into a table of the same layout.
//
//   build/bench/loader_bench [--rows N] [--rounds R] [--loader PATH]
//
// Needs the test database (scripts/testdb.sh start). Makes a temporary home
// and data directory, writes an N-row (default 1,000,000) log table file,
// enters it in a storage's data.lst2 as the server does, then times
//   1. mariadb -e "LOAD DATA LOCAL INFILE ..." into database A, and
//   2. Loader.exe LoadLogTable (finds the entry, loads into database B),
// each as a whole program run, in R rounds (default 3) of alternating
// order, and prints rows per second of each round, the medians and their
// ratio. The databases are dropped after each round.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "datafiles/file_list.h"
#include "db/db_manager.h"
#include "db/sql_text.h"
#include "util/crc.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Runs the program to its end; *cpu_s receives its user + system time.
int Run(const std::vector<std::string>& args, double* cpu_s) {
  std::vector<std::string> copy = args;
  std::vector<char*> argv;
  for (std::string& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
    std::perror(argv[0]);
    return -1;
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  *cpu_s = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool RootExecute(const std::string& sql, const std::string& database = "") {
  zv::CDBManager db;
  db.SetConnection(std::string(zv::kDefaultDbUser), std::string(zv::kDefaultDbPassword),
                   database);
  if (!db.Execute(sql)) {
    std::fprintf(stderr, "%s: %s\n", sql.c_str(), db.GetLastErrorText().c_str());
    return false;
  }
  return true;
}

uint64_t CountRows(const std::string& database, const std::string& table) {
  zv::CDBManager db;
  db.SetConnection(std::string(zv::kDefaultDbUser), std::string(zv::kDefaultDbPassword),
                   database);
  zv::DbRows rows;
  if (!db.Query("SELECT COUNT(*) AS n FROM " + zv::QuoteIdentifier(table), &rows) ||
      rows.empty()) {
    return 0;
  }
  return std::strtoull(rows[0]["n"].c_str(), nullptr, 10);
}

// A log table file of n rows in the importer's table file format.
std::string WriteTableFile(const std::string& path, uint64_t n, uint32_t* crc, uint64_t* size) {
  static const char* kHeader = "record_time\tsrc\tdst\tsport\tdport\tproto\tbytes\tuser\turl\tnote\n";
  std::string buffer = kHeader;
  zv::CCrc engine;
  uint32_t c = 0;
  uint64_t total = 0;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  char row[512];
  for (uint64_t i = 0; i < n; ++i) {
    const unsigned s = static_cast<unsigned>(i % 86400);
    const int len = std::snprintf(
        row, sizeof(row),
        "2010-12-16 %02u:%02u:%02u\t10.%u.%u.%u\t192.168.%u.%u\t%u\t%u\t%s\t%" PRIu64
        "\t%s\thttp://example.com/path/%" PRIu64 "?q=1\t%s\n",
        s / 3600, s / 60 % 60, s % 60, static_cast<unsigned>(i >> 16 & 255),
        static_cast<unsigned>(i >> 8 & 255), static_cast<unsigned>(i & 255),
        static_cast<unsigned>(i % 7), static_cast<unsigned>(i % 251),
        static_cast<unsigned>(1024 + i % 60000), static_cast<unsigned>(i % 3 == 0 ? 80 : 443),
        i % 5 == 0 ? "udp" : "tcp", i * 37 % 1000000, i % 10 == 0 ? "\xe7\x94\xa8\xe6\x88\xb7" : "user",
        i, i % 100 == 0 ? "a\\tb\\\\c" : "\\N");
    buffer.append(row, static_cast<size_t>(len));
    if (buffer.size() > (1u << 20)) {
      c = engine.Update(c, buffer.data(), buffer.size());
      total += buffer.size();
      out.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
      buffer.clear();
    }
  }
  c = engine.Update(c, buffer.data(), buffer.size());
  total += buffer.size();
  out.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
  out.close();
  *crc = c;
  *size = total;
  return out ? std::string() : "cannot write " + path;
}

struct Timing {
  int rc = 0;
  uint64_t rows = 0;
  double seconds = 0;
  double cpu = 0;
  double rate() const { return seconds > 0 ? static_cast<double>(rows) / seconds : 0; }
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t rows = 1000000;
  int rounds = 3;
  std::string loader = ZV_LOADER_EXE;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--rows") == 0) rows = std::strtoull(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--loader") == 0) loader = argv[i + 1];
  }

  char templ[] = "/tmp/zvloaderbench-XXXXXX";
  if (mkdtemp(templ) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string root = templ;
  const std::string home = root + "/home";
  const std::string tag = std::to_string(getpid());
  const std::string data = root + "/mysql/log_data";
  std::filesystem::create_directories(home + "/config");
  std::filesystem::create_directories(data);
  std::ofstream(home + "/config/dbconf.ini") << "[DB_CONFIG]\nDbType=3\nSQLUser=\nSQLPWD=\n";
  std::ofstream(root + "/mysql_path.ini") << "[mysql]\npath=" << root << "/mysql\n";
  setenv("ZENTROVANE_HOME", home.c_str(), 1);
  setenv("ZENTROVANE_REGISTRY", (home + "/config/registry.reg").c_str(), 1);
  setenv("ZENTROVANE_OBJECT_NAMESPACE", ("loaderbench" + tag).c_str(), 1);

  const std::string file = root + "/20101216_0000_00A1B2C3_A.dat";
  uint32_t crc = 0;
  uint64_t size = 0;
  std::printf("writing %" PRIu64 " rows...\n", rows);
  std::fflush(stdout);
  const std::string error = WriteTableFile(file, rows, &crc, &size);
  if (!error.empty() || size > UINT32_MAX) {
    std::fprintf(stderr, "%s\n", error.empty() ? "file too large for a list entry" : error.c_str());
    std::filesystem::remove_all(root);
    return 1;
  }
  std::printf("file: %.1f MB, %d round(s), the order alternating\n",
              static_cast<double>(size) / 1e6, rounds);

  // The client's table: the layout the importer creates.
  const std::string columns[] = {"record_time", "src",   "dst",  "sport", "dport",
                                 "proto",       "bytes", "user", "url",   "note"};
  std::string create = "CREATE TABLE A20101216 (";
  for (size_t i = 0; i < std::size(columns); ++i) {
    create += (i ? ", `" : "`") + columns[i] + "` LONGTEXT";
  }
  create += ") ENGINE=InnoDB DEFAULT CHARSET=utf8mb4";

  int exit_code = 0;
  std::vector<double> client_rates, loader_rates;
  for (int round = 0; round < rounds && exit_code == 0; ++round) {
    const std::string storage = "zvbench_loader_" + tag + "_" + std::to_string(round);
    const std::string client_db = "zvbench_client_" + tag + "_" + std::to_string(round);
    // The received file lies in the storage's day folder and is listed in
    // its data.lst2, as the server leaves it.
    const std::string day = data + "/" + storage + "/logtable/20101216";
    const std::string received = day + "/20101216_0000_00A1B2C3_A.dat";
    std::filesystem::create_directories(day);
    std::filesystem::create_directories(data + "/" + storage + "/filelist");
    std::filesystem::create_hard_link(file, received);
    zv::FileListEntry entry;
    std::memset(&entry, 0, sizeof(entry));
    std::snprintf(entry.path, sizeof(entry.path), "%s", received.c_str());
    std::snprintf(entry.tablename, sizeof(entry.tablename), "A20101216");
    entry.crc = crc;
    entry.time = static_cast<uint32_t>(time(nullptr));
    entry.end = static_cast<uint32_t>(size);
    zv::FileListHandle* list = zv::filelist_open(data + "/" + storage + "/filelist", "d");
    const bool listed = list != nullptr && zv::filelist_write(entry, list) == 0;
    if (zv::filelist_close(list) != 0 || !listed) {
      std::fprintf(stderr, "loader_bench: the file list cannot be written\n");
      exit_code = 1;
      break;
    }
    if (!RootExecute("CREATE DATABASE " + client_db + " CHARACTER SET utf8mb4") ||
        !RootExecute(create, client_db)) {
      exit_code = 1;
      break;
    }

    const std::string load =
        "LOAD DATA LOCAL INFILE '" + file +
        "' INTO TABLE A20101216 CHARACTER SET utf8mb4 FIELDS TERMINATED BY '\\t' ESCAPED BY '\\\\'"
        " LINES TERMINATED BY '\\n' IGNORE 1 LINES";
    Timing client, importer;
    auto run_client = [&] {
      const auto start = Clock::now();
      client.rc = Run({"mariadb", "--no-defaults", "--protocol=TCP", "-h127.0.0.1", "-P811",
                       "-uroot", "-pqormelt", "--local-infile=1", "-D", client_db, "-e", load},
                      &client.cpu);
      client.seconds = std::chrono::duration<double>(Clock::now() - start).count();
      client.rows = CountRows(client_db, "A20101216");
    };
    auto run_loader = [&] {
      const auto start = Clock::now();
      importer.rc = Run({loader, "LoadLogTable"}, &importer.cpu);
      importer.seconds = std::chrono::duration<double>(Clock::now() - start).count();
      importer.rows = CountRows(storage, "A20101216");
    };
    if (round % 2 == 0) {
      run_client();
      run_loader();
    } else {
      run_loader();
      run_client();
    }
    std::printf("round %d: mariadb client %.2f s = %.0f rows/s (own CPU %.2f s); "
                "Loader.exe %.2f s = %.0f rows/s (own CPU %.2f s)\n",
                round + 1, client.seconds, client.rate(), client.cpu, importer.seconds,
                importer.rate(), importer.cpu);
    std::fflush(stdout);
    if (client.rc != 0 || importer.rc != 0 || client.rows != rows || importer.rows != rows) {
      std::fprintf(stderr, "a load failed or lost rows (client exit %d, %" PRIu64
                           " rows; Loader.exe exit %d, %" PRIu64 " rows)\n",
                   client.rc, client.rows, importer.rc, importer.rows);
      exit_code = 1;
    }
    client_rates.push_back(client.rate());
    loader_rates.push_back(importer.rate());
    (void)RootExecute("DROP DATABASE IF EXISTS " + client_db);
    (void)RootExecute("DROP DATABASE IF EXISTS " + storage);
    std::filesystem::remove_all(data + "/" + storage);
  }

  const double client_rate = Median(client_rates);
  const double loader_rate = Median(loader_rates);
  std::printf("median: mariadb client %.0f rows/s, Loader.exe %.0f rows/s\n", client_rate,
              loader_rate);
  std::printf("ratio Loader.exe / client: %.2f (target at least 0.80)\n",
              client_rate > 0 ? loader_rate / client_rate : 0);
  std::filesystem::remove_all(root);
  return exit_code;
}
