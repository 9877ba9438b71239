#include "fuzz_util.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "config/zv_sync_config.h"
#include "log/log_file.h"
#include "log/sync_log.h"

namespace zv::fuzz {

namespace fs = std::filesystem;

namespace {

constexpr unsigned kTrimEvery = 2000;

}  // namespace

ScratchHome& ScratchHome::Get() {
  static ScratchHome* home = new ScratchHome();
  return *home;
}

ScratchHome::ScratchHome() {
  // In memory where there is a tmpfs: the stores under test sync their
  // files to disk at every save.
  std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm/zv-fuzz-XXXXXX"
                                                      : "/tmp/zv-fuzz-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) Finding("cannot create the scratch folder");
  root_ = pattern;
  fs::create_directories(home() + "/config/syncpos");
  fs::create_directories(data_directory());
  setenv("ZENTROVANE_HOME", home().c_str(), 1);
  setenv("ZENTROVANE_REGISTRY", (home() + "/config/registry.reg").c_str(), 1);
  setenv("ZENTROVANE_OBJECT_NAMESPACE", ("fuzz" + std::to_string(getpid())).c_str(), 1);
  WriteFile(root_ + "/mysql_path.ini", "[mysql]\r\npath=" + root_ + "/mysql\r\n");
  ZVSyncLog::Instance().SetDirectoryForTesting(home() + "/debuglog");
  CZvLogFile::Instance().SetDirectoryForTesting(home() + "/log");
  if (!ZVSyncConfig::Instance().LoadMysqlPath()) Finding("cannot load mysql_path.ini");
  static const std::string removed_at_exit = root_;
  std::atexit([] { RemoveTree(removed_at_exit); });
}

std::string ScratchHome::Scratch(const std::string& name) const {
  const std::string path = root_ + "/" + name;
  fs::create_directories(path);
  return path;
}

void ScratchHome::TrimLogs() {
  if (++calls_ % kTrimEvery != 0) return;
  EmptyFolder(home() + "/debuglog");
  EmptyFolder(home() + "/log");
}

void WriteFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void RemoveTree(const std::string& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
}

void EmptyFolder(const std::string& path) {
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(path, ec)) {
    fs::remove_all(entry.path(), ec);
  }
}

void Finding(const char* what) {
  std::fprintf(stderr, "FUZZ FINDING: %s\n", what);
  std::abort();
}

}  // namespace zv::fuzz
