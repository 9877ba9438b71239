// Loader: control of the external importer Loader.exe (home/Loader.exe).
// Starts at most one tracked import at a time, waits for it in steps,
// kills it on request, runs CreateTable synchronously, and tells whether
// some importer holds the importer's named mutex. One instance per process.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/process.h"

namespace zv {

inline constexpr const char* kLoaderMutexName = "Global\\KorvaneZentrovaneLoaderMutex";

class Loader {
 public:
  static Loader& Instance();
  virtual ~Loader() = default;

  // importerPath = home + "/Loader.exe". Always true.
  bool Init();
  // 0 started, -1 not started. REQUIRES: no tracked import (else throws 0).
  int LoadConfigTable(const std::string& file, const std::string& target);
  int LoadLogTable(const std::string& file);
  // False while the tracked import still runs after ms; true when it ended
  // (exit code 1359 when unreadable).
  bool WaitImporter(int ms, uint32_t* exit_code);
  void TerminateImporter();
  // Runs "Loader.exe CreateTable "db" "table"" and waits; its exit code or
  // the start error.
  uint32_t CreateTable(const std::string& database, const std::string& table);
  // True while the importer's named mutex exists; once seen absent, never
  // looked for again.
  bool IsExternalImporterRunning();

  const std::string& importer_path() const { return importer_path_; }

 private:
  Loader() = default;
  bool StartImporter(const std::string& command);

  std::mutex mu_;  // held while an import is being started
  std::unique_ptr<ProcessHandle> process_;
  std::string importer_path_;
  bool check_mutex_ = true;
};

}  // namespace zv
