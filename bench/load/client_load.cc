#include "client_load.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "bench_child.h"
#include "bench_server.h"

namespace zv::bench {
namespace {

std::string Quoted(const std::string& qualified) {
  const size_t dot = qualified.find('.');
  return "`" + qualified.substr(0, dot) + "`.`" + qualified.substr(dot + 1) + "`";
}

// The column names of a table file's header line.
std::vector<std::string> HeaderColumns(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string header;
  std::getline(in, header);
  std::vector<std::string> columns;
  size_t start = 0;
  for (size_t tab; (tab = header.find('\t', start)) != std::string::npos; start = tab + 1) {
    columns.push_back(header.substr(start, tab - start));
  }
  if (start < header.size()) columns.push_back(header.substr(start));
  return columns;
}

void DropFromPageCache(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  ::close(fd);
}

}  // namespace

std::string RowCountSql(const std::vector<std::string>& tables) {
  std::string sql = "SELECT COALESCE(SUM(n), 0) FROM (";
  for (size_t i = 0; i < tables.size(); ++i) {
    sql += (i > 0 ? " UNION ALL " : "") + std::string("SELECT COUNT(*) AS n FROM ") +
           Quoted(tables[i]);
  }
  return sql + (tables.empty() ? "SELECT 0 AS n) AS counts" : ") AS counts");
}

ClientLoadResult RunClientLoad(const std::vector<ClientLoadFile>& files, int tables,
                               const std::string& database, const std::string& work_dir) {
  ClientLoadResult result;
  if (files.empty()) {
    result.error = "no files";
    return result;
  }
  const std::vector<std::string> columns = HeaderColumns(files.front().path);
  std::string layout = " (";
  for (size_t i = 0; i < columns.size(); ++i) {
    layout += (i > 0 ? ", `" : "`") + columns[i] + "` LONGTEXT";
  }
  layout += ") ENGINE=InnoDB DEFAULT CHARSET=utf8mb4";
  std::vector<std::string> setup = {"DROP DATABASE IF EXISTS `" + database + "`",
                                    "CREATE DATABASE `" + database + "` CHARACTER SET utf8mb4"};
  std::vector<std::string> names;
  for (int k = 0; k < tables; ++k) {
    names.push_back(database + ".t" + std::to_string(k));
    setup.push_back("CREATE TABLE " + Quoted(names.back()) + layout);
  }
  result.error = RootQueries(setup);
  if (!result.error.empty()) return result;

  const std::string script = work_dir + "/client-load.sql";
  {
    std::ofstream out(script, std::ios::trunc);
    for (const ClientLoadFile& file : files) {
      if (file.path.find_first_of("'\\") != std::string::npos) {
        result.error = "a path with a quote: " + file.path;
        return result;
      }
      out << "LOAD DATA LOCAL INFILE '" << file.path << "' INTO TABLE `t" << file.table
          << "` CHARACTER SET utf8mb4 FIELDS TERMINATED BY '\\t' ESCAPED BY '\\\\'"
             " LINES TERMINATED BY '\\n' IGNORE 1 LINES;\n";
    }
    if (!out) {
      result.error = "cannot write " + script;
      return result;
    }
  }
  for (const ClientLoadFile& file : files) DropFromPageCache(file.path);
  const std::string output = work_dir + "/client-load-output.txt";
  const auto start = std::chrono::steady_clock::now();
  const int rc = RunProgram("/usr/bin/mariadb",
                            {"--no-defaults", "--protocol=TCP", "-h127.0.0.1", "-P811", "-uroot",
                             "-pqormelt", "--local-infile=1", "-D", database, "-e",
                             "source " + script},
                            {}, output, std::chrono::hours(2));
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (rc != 0) {
    result.error = "mariadb exited with " + std::to_string(rc) + ": " + ReadWholeFile(output);
  } else if (!RootNumber(RowCountSql(names), &result.rows)) {
    result.error = "cannot count the client's rows";
  }
  (void)RootQueries({"DROP DATABASE IF EXISTS `" + database + "`"});
  return result;
}

}  // namespace zv::bench
