#include "db/loader.h"

#include <cerrno>

#include "config/zv_sync_config.h"
#include "log/sync_log.h"
#include "platform/named_object.h"
#include "util/process_util.h"

namespace zv {

std::vector<std::string> ConfigTableArguments(const std::string& importer_path,
                                              const std::string& file, const std::string& target) {
  return {importer_path, "LoadConfigTable", target, file};
}

std::vector<std::string> LogTableArguments(const std::string& importer_path) {
  return {importer_path, "LoadLogTable"};
}

std::vector<std::string> CreateTableArguments(const std::string& importer_path,
                                              const std::string& database,
                                              const std::string& table) {
  return {importer_path, "CreateTable", database, table};
}

Loader& Loader::Instance() {
  static Loader* instance = new Loader();
  return *instance;
}

bool Loader::Init() {
  std::lock_guard<std::mutex> lock(mu_);
  importer_path_ = ZVSyncConfig::Instance().GetHomeDirectory() + "/Loader.exe";
  return true;
}

bool Loader::StartImporter(const std::vector<std::string>& argv) {
  // One tracked import at a time: the callers serialise imports through the
  // controller's processing lock, so a second start is a programming error.
  if (process_) throw 0;
  process_ = StartProcess(argv);
  if (!process_) {
    ZV_LOG_E("StartProcess failed!errno=%u\n", static_cast<unsigned>(errno));
    return false;
  }
  return true;
}

int Loader::LoadConfigTable(const std::string& file, const std::string& target) {
  std::lock_guard<std::mutex> lock(mu_);
  ZV_LOG_D("Load config table %s into %s\n", file.c_str(), target.c_str());
  return StartImporter(ConfigTableArguments(importer_path_, file, target)) ? 0 : -1;
}

int Loader::LoadLogTable(const std::string& file) {
  std::lock_guard<std::mutex> lock(mu_);
  ZV_LOG_D("Load log table %s\n", file.c_str());
  return StartImporter(LogTableArguments(importer_path_)) ? 0 : -1;
}

bool Loader::WaitImporter(int ms, uint32_t* exit_code) {
  std::lock_guard<std::mutex> lock(mu_);
  if (process_ && process_->Wait(ms) == ProcessHandle::WaitResult::kTimedOut) return false;
  if (exit_code != nullptr) {
    uint32_t code = 0;
    *exit_code = process_ && process_->GetExitCode(&code) ? code : kImporterExitCodeUnknown;
  }
  process_.reset();
  return true;
}

void Loader::TerminateImporter() {
  std::lock_guard<std::mutex> lock(mu_);
  if (!process_) return;
  if (!process_->Terminate(0)) {
    ZV_LOG_W("Force Terminating Loader failed!errno=%u\n", static_cast<unsigned>(errno));
  } else {
    // Reap the killed child so that it does not linger as a zombie.
    process_->Wait(-1);
  }
  process_.reset();
}

uint32_t Loader::CreateTable(const std::string& database, const std::string& table) {
  std::string path;
  {
    std::lock_guard<std::mutex> lock(mu_);
    path = importer_path_;
  }
  return RunProcess(CreateTableArguments(path, database, table), true);
}

bool Loader::IsExternalImporterRunning() {
  if (!check_mutex_.load()) return false;
  if (NamedObjectExists(kLoaderMutexName)) return true;
  check_mutex_.store(false);
  return false;
}

}  // namespace zv
