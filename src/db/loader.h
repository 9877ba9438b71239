// Loader: control of the external importer Loader.exe (home/Loader.exe).
// Starts at most one tracked import at a time, waits for it in steps,
// kills it on request, runs CreateTable synchronously, and tells whether
// some importer holds the importer's named mutex. One instance per process;
// any thread may call it (the callers serialise imports through the
// controller's processing lock).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/process.h"

namespace zv {

inline constexpr const char* kLoaderMutexName = "Global\\KorvaneZentrovaneLoaderMutex";
// Exit code reported when the importer's exit code cannot be read.
inline constexpr uint32_t kImporterExitCodeUnknown = 1359;

// The importer's argument vectors, exactly as they are started: the
// program path, the command word, then the command's arguments, each one
// element that reaches the importer unchanged.
//   LoadConfigTable <target> <file>   (target: database, a dot, table)
//   LoadLogTable
//   CreateTable <database> <table>
std::vector<std::string> ConfigTableArguments(const std::string& importer_path,
                                              const std::string& file, const std::string& target);
std::vector<std::string> LogTableArguments(const std::string& importer_path);
std::vector<std::string> CreateTableArguments(const std::string& importer_path,
                                              const std::string& database,
                                              const std::string& table);

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
  // or none is tracked (exit code 1359 when unreadable or none).
  bool WaitImporter(int ms, uint32_t* exit_code);
  void TerminateImporter();
  // Runs "Loader.exe CreateTable db table" and waits; its exit code or the
  // start error.
  uint32_t CreateTable(const std::string& database, const std::string& table);
  // True while the importer's named mutex exists; once seen absent, never
  // looked for again.
  bool IsExternalImporterRunning();

  const std::string& importer_path() const { return importer_path_; }
  // Tests only: look for the importer's mutex again.
  void ResetMutexCheckForTesting() { check_mutex_ = true; }

 private:
  Loader() = default;
  // Starts the importer with argv and tracks the process.
  bool StartImporter(const std::vector<std::string>& argv);

  std::mutex mu_;  // held while an import is started, waited for or killed
  std::unique_ptr<ProcessHandle> process_;  // guarded by mu_
  std::string importer_path_;               // guarded by mu_
  std::atomic<bool> check_mutex_{true};
};

}  // namespace zv
