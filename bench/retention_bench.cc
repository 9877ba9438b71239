// retention_bench: how long deleting one day of every client takes, and
// how long the disk monitor holds the processing lock for it.
//
//   build/bench/retention_bench [--storages 200] [--tables 50] [--files 1000] [--threads 4]
//
// Needs the test database (scripts/testdb.sh start). Makes a temporary
// installation (home, settings file, data directory, attachment folder) and
// N storages, each a database with T InnoDB tables of one day (log tables
// and intermediate tables, as the importer makes them) plus TableInfo,
// AttachInfo and oprlog rows of that day, and F small files in that day's
// folders (the log-table folder and the six attachment day folders). Then
// it writes the day to the journal as one "$ALL$" item and runs the real
// disk monitor thread for one check cycle, through a processing lock that
// records when it was taken and given back. Every policy is off, so the
// cycle is: the journal (the deletion), the policies' checks, and the
// statistics of every storage.
//
// Before the run the files and the database's pages are written out (a
// day deleted is days old in real use). Printed: the set-up time, the time the lock was held, the deletion within
// it (from the journal pass's first look at the storage names to the
// statistics' first look: the cycle asks for them at both points) and the
// rest; that every table and file of the day is gone; and, as a baseline
// taken right after on the same machine, how fast it removes files and
// drops tables by itself. The databases and the folder are removed
// afterwards.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "config/zv_sync_config.h"
#include "db/db_manager.h"
#include "db/processing_lock.h"
#include "db/sql_text.h"
#include "monitor/disk_monitor.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kDay = "20101216";
constexpr const char* kAttachmentSubFolders[] = {
    "actrace", "ips", "mailproxy/delaysnd", "mailproxy/smtplog", "mailproxy/pop3log", "mailproxy"};
// Kinds of the day's tables, in turn: log tables and intermediate tables.
constexpr const char* kTableKinds[] = {"A", "U", "O", "I", "M", "P", "S", "MIDABCDE", "LOGMID"};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

bool RootExecute(zv::CDBManager* db, const std::string& sql) {
  if (db->Execute(sql)) return true;
  std::fprintf(stderr, "%s: %s\n", sql.c_str(), db->GetLastErrorText().c_str());
  return false;
}

std::unique_ptr<zv::CDBManager> Connect(const std::string& database) {
  auto db = std::make_unique<zv::CDBManager>();
  db->SetConnection(std::string(zv::kDefaultDbUser), std::string(zv::kDefaultDbPassword), database);
  return db;
}

// The names of the day's tables of one storage: kind + date, and for a
// kind met again a suffix, so there are exactly `count`.
std::vector<std::string> DayTables(int count) {
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) {
    const std::string kind = kTableKinds[i % std::size(kTableKinds)];
    const int round = i / static_cast<int>(std::size(kTableKinds));
    names.push_back(kind + kDay + (round == 0 ? "" : "_" + std::to_string(round)));
  }
  return names;
}

bool SeedStorage(const std::string& storage, int tables, int files, const std::string& data,
                 const std::string& attach) {
  auto db = Connect("");
  if (!RootExecute(db.get(), "CREATE DATABASE " + zv::QuoteIdentifier(storage))) return false;
  db = Connect(storage);
  std::vector<std::string> sql = {
      "CREATE TABLE TableInfo (name VARCHAR(64) NOT NULL PRIMARY KEY, size BIGINT NOT NULL "
      "DEFAULT 0)",
      "CREATE TABLE AttachInfo (table_name VARCHAR(64) NOT NULL PRIMARY KEY, file_size BIGINT "
      "NOT NULL DEFAULT 0, file_del INT NOT NULL DEFAULT 0)",
      "CREATE TABLE oprlog (record_time LONGTEXT, action LONGTEXT)",
      "INSERT INTO AttachInfo VALUES ('I" + std::string(kDay) + "',0,0),('M" + kDay + "',0,0)",
      "INSERT INTO oprlog VALUES ('2010-12-16 08:00:00','login'),('2010-12-16 18:00:00','out')",
  };
  for (const std::string& table : DayTables(tables)) {
    sql.push_back("CREATE TABLE " + zv::QuoteIdentifier(table) +
                  " (record_time LONGTEXT, src LONGTEXT, dst LONGTEXT, bytes LONGTEXT) "
                  "ENGINE=InnoDB DEFAULT CHARSET=utf8mb4");
    sql.push_back("INSERT INTO " + zv::QuoteIdentifier(table) +
                  " VALUES ('2010-12-16 08:00:00','10.0.0.1','192.168.0.1','1500')");
    sql.push_back("INSERT INTO TableInfo VALUES ('" + table + "', 16384)");
  }
  for (const std::string& statement : sql) {
    if (!RootExecute(db.get(), statement)) return false;
  }
  // 40 % of the files in the log-table folder, the rest spread over the
  // six attachment folders.
  const std::string content(1024, 'x');
  std::vector<std::string> folders = {data + "/" + storage + "/logtable/" + kDay};
  for (const char* sub : kAttachmentSubFolders) {
    folders.push_back(attach + "/" + storage + "/" + sub + "/" + kDay);
  }
  for (const std::string& folder : folders) std::filesystem::create_directories(folder);
  const int in_logtable = files * 2 / 5;
  for (int i = 0; i < files; ++i) {
    const std::string& folder =
        i < in_logtable ? folders[0]
                        : folders[1 + static_cast<size_t>(i - in_logtable) % (folders.size() - 1)];
    std::ofstream(folder + "/f" + std::to_string(i)) << content;
  }
  return true;
}

// The processing lock, recording when the monitor held it.
class TimedLock final : public zv::ProcessingLock {
 public:
  bool Acquire(uint32_t timeout_ms, const std::string&) override {
    std::unique_lock<std::mutex> guard(mu_);
    if (held_) {
      changed_.wait_for(guard, std::chrono::milliseconds(timeout_ms), [this] { return !held_; });
      if (held_) return false;
    }
    held_ = true;
    acquired_ = Clock::now();
    return true;
  }
  void Release() override {
    std::lock_guard<std::mutex> guard(mu_);
    held_ = false;
    released_ = Clock::now();
    ++releases_;
    changed_.notify_all();
  }
  void WaitForRelease() {
    std::unique_lock<std::mutex> guard(mu_);
    changed_.wait(guard, [this] { return releases_ > 0; });
  }
  Clock::time_point acquired_;
  Clock::time_point released_;

 private:
  std::mutex mu_;
  std::condition_variable changed_;
  bool held_ = false;
  int releases_ = 0;
};

// The machine's own rates right after the run, for comparison: 20,000
// files of the same size removed with one remove_all per folder of 1,000,
// and 500 tables of the same layout dropped 50 to a statement (files/s,
// tables/s).
void MeasureBaseline(const std::string& root, const std::string& database, double* files_per_s,
                     double* tables_per_s) {
  const std::string content(1024, 'x');
  const std::string base = root + "/baseline";
  for (int f = 0; f < 20; ++f) {
    std::filesystem::create_directories(base + "/" + std::to_string(f));
    for (int i = 0; i < 1000; ++i) {
      std::ofstream(base + "/" + std::to_string(f) + "/f" + std::to_string(i)) << content;
    }
  }
  auto start = Clock::now();
  for (int f = 0; f < 20; ++f) std::filesystem::remove_all(base + "/" + std::to_string(f));
  *files_per_s = 20000 / Seconds(Clock::now() - start);

  auto db = Connect("");
  (void)RootExecute(db.get(), "CREATE DATABASE " + zv::QuoteIdentifier(database));
  db = Connect(database);
  std::vector<std::string> names;
  for (int i = 0; i < 500; ++i) {
    names.push_back("A" + std::string(kDay) + "_" + std::to_string(i));
    (void)RootExecute(db.get(), "CREATE TABLE " + names.back() +
                                    " (record_time LONGTEXT, src LONGTEXT, dst LONGTEXT, bytes "
                                    "LONGTEXT) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4");
  }
  start = Clock::now();
  for (size_t i = 0; i < names.size(); i += 50) {
    std::string sql = "DROP TABLE IF EXISTS ";
    for (size_t j = i; j < i + 50; ++j) sql += (j > i ? "," : "") + names[j];
    (void)RootExecute(db.get(), sql);
  }
  *tables_per_s = 500 / Seconds(Clock::now() - start);
  (void)RootExecute(db.get(), "DROP DATABASE " + zv::QuoteIdentifier(database));
}

size_t CountEntries(const std::string& folder) {
  std::error_code ec;
  size_t n = 0;
  for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file()) ++n;
  }
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  int storages = 200;
  int tables = 50;
  int files = 1000;
  int threads = 4;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--storages") == 0) storages = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--tables") == 0) tables = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--files") == 0) files = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--threads") == 0) threads = std::max(1, std::atoi(argv[i + 1]));
  }

  char templ[] = "/tmp/zvretentionbench-XXXXXX";
  if (mkdtemp(templ) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string root = templ;
  const std::string home = root + "/home";
  const std::string data = root + "/mysql/log_data";
  const std::string attach = root + "/attach";
  const std::string tag = std::to_string(getpid());
  std::filesystem::create_directories(home + "/config");
  std::filesystem::create_directories(data);
  std::filesystem::create_directories(attach);
  std::ofstream(home + "/config/dbconf.ini")
      << "[DB_CONFIG]\nDbType=3\nSQLUser=\nSQLPWD=\nFilePath=" << attach << "\n";
  std::ofstream(home + "/config/zvtools.ini")
      << "[ZV_CONFIG]\nDelMethod=2\nAlarmValue=0\nAutoDelOneDay=0\nDelMid=0\n";
  std::ofstream(root + "/mysql_path.ini") << "[mysql]\npath=" << root << "/mysql\n";
  setenv("ZENTROVANE_HOME", home.c_str(), 1);
  setenv("ZENTROVANE_REGISTRY", (home + "/config/registry.reg").c_str(), 1);
  setenv("ZENTROVANE_OBJECT_NAMESPACE", ("retentionbench" + tag).c_str(), 1);

  std::vector<std::string> names;
  for (int i = 0; i < storages; ++i) names.push_back("zvbench" + tag + "_" + std::to_string(i));

  std::printf("set-up: %d storages, %d tables and %d files of %s each (%d threads)...\n", storages,
              tables, files, kDay, threads);
  std::fflush(stdout);
  const auto setup_start = Clock::now();
  std::atomic<int> next{0};
  std::atomic<bool> failed{false};
  std::vector<std::thread> seeders;
  for (int t = 0; t < threads; ++t) {
    seeders.emplace_back([&] {
      for (int i = next++; i < storages && !failed; i = next++) {
        if (!SeedStorage(names[static_cast<size_t>(i)], tables, files, data, attach)) {
          failed = true;
        }
      }
    });
  }
  for (std::thread& t : seeders) t.join();
  const double setup_s = Seconds(Clock::now() - setup_start);
  // The day deleted is days old in real use: its files and tables are on
  // disk long before. So the run starts once the file system has written
  // the new files and the database its dirty pages (bounded).
  sync();
  const auto settle_end = Clock::now() + std::chrono::seconds(120);
  while (!failed && Clock::now() < settle_end) {
    auto db = Connect("");
    zv::DbRows rows;
    if (!db->Query("SHOW GLOBAL STATUS LIKE 'Innodb_buffer_pool_pages_dirty'", &rows) ||
        rows.empty() || std::strtoull(rows[0]["Value"].c_str(), nullptr, 10) < 100) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  const double settle_s = Seconds(Clock::now() - setup_start) - setup_s;

  int exit_code = 0;
  if (failed) {
    exit_code = 1;
  } else {
    std::printf("set-up took %.1f s, then %.1f s until written out\n", setup_s, settle_s);
    zv::ZVSyncConfig& config = zv::ZVSyncConfig::Instance();
    (void)config.store().WriteDword("DiskSpaceCheckInterval", 14400);
    (void)config.SetPendingDeleteDate(std::string(kDay) + " $ALL$ $ALL$;");

    // The cycle asks for the storage names when it looks for marked
    // attachment days, when it starts the journal and when it starts the
    // statistics (the thread asks once before the cycle, for its clean-up).
    std::mutex calls_mu;
    std::vector<Clock::time_point> calls;
    const std::set<std::string> name_set(names.begin(), names.end());
    TimedLock lock;
    {
      zv::DiskMonitor monitor;
      const bool started = monitor.Start(&lock, [&] {
        std::lock_guard<std::mutex> guard(calls_mu);
        calls.push_back(Clock::now());
        return name_set;
      });
      if (!started) {
        std::fprintf(stderr, "the disk monitor did not start\n");
        exit_code = 1;
      } else {
        lock.WaitForRelease();
        monitor.Stop();
      }
    }
    if (exit_code == 0 && calls.size() >= 4) {
      const double held = Seconds(lock.released_ - lock.acquired_);
      const double deletion = Seconds(calls[3] - calls[2]);
      size_t tables_left = 0;
      for (const std::string& name : names) {
        auto db = Connect(name);
        for (const std::string& table : db->ListTables()) {
          if (table.find(kDay) != std::string::npos) ++tables_left;
        }
      }
      const size_t files_left = CountEntries(data) + CountEntries(attach);
      const double total_tables = static_cast<double>(storages) * tables;
      const double total_files = static_cast<double>(storages) * files;
      std::printf("processing lock held:    %8.1f s\n", held);
      std::printf("  deletion of the day:   %8.1f s  (%.0f tables/s, %.0f files/s)\n", deletion,
                  total_tables / deletion, total_files / deletion);
      std::printf("  checks and statistics: %8.1f s\n", held - deletion);
      std::printf("left of the day: %zu tables, %zu files; journal \"%s\"\n", tables_left,
                  files_left, config.GetPendingDeleteDate().c_str());
      if (tables_left != 0 || files_left != 0 || !config.GetPendingDeleteDate().empty()) {
        exit_code = 1;
      }
      double files_per_s = 0;
      double tables_per_s = 0;
      MeasureBaseline(root, "zvbench" + tag + "_baseline", &files_per_s, &tables_per_s);
      std::printf("baseline right after (same machine): remove_all %.0f files/s; DROP TABLE "
                  "50 a statement %.0f tables/s\n",
                  files_per_s, tables_per_s);
    } else if (exit_code == 0) {
      std::fprintf(stderr, "the cycle asked for the storage names %zu times\n", calls.size());
      exit_code = 1;
    }
  }

  auto db = Connect("");
  for (const std::string& name : names) {
    (void)db->Execute("DROP DATABASE IF EXISTS " + zv::QuoteIdentifier(name));
  }
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  return exit_code;
}
