#include "datafiles/attachment_file.h"

#include <unistd.h>

#include <cerrno>
#include <memory>

#include "config/zv_sync_config.h"
#include "datafiles/sync_position.h"
#include "log/log_file.h"
#include "log/sync_log.h"
#include "platform/process.h"
#include "util/file_util.h"
#include "util/process_util.h"
#include "util/string_format.h"

namespace zv {

namespace {

constexpr const char* kTarToolName = "zvtar.exe";
constexpr int kWaitStepMs = 100;
constexpr uint32_t kExitCodeUnknown = 0xFFFFFFFF;
// How long a killed tool may take to be reaped.
constexpr int kReapAfterKillMs = 5000;

bool FileExistsAt(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

}  // namespace

std::string AttachmentFile::GetFilePath(const std::string& name) {
  const std::string storage_folder = StorageFolder();
  if (storage_folder.empty()) return std::string();
  return storage_folder + "/attachment/" + name;
}

std::vector<std::string> AttachmentFile::BuildArguments(const std::string& tool,
                                                       const std::string& package,
                                                       const std::string& target,
                                                       const std::string& option) {
  std::vector<std::string> argv = {tool, "xvf", package};
  if (!target.empty()) argv.insert(argv.end(), {"-C", target});
  if (!option.empty()) argv.insert(argv.end(), {"-e", option});
  return argv;
}

std::string AttachmentFile::BuildCommandLine(const std::string& tool, const std::string& package,
                                             const std::string& target,
                                             const std::string& option) {
  std::string line = "\"" + tool + "\" ";
  line += "xvf ";
  line += "\"" + package + "\" ";
  if (!target.empty()) line += "-C \"" + target + "\" ";
  if (!option.empty()) line += "-e " + option + " ";
  return line;
}

std::vector<std::string> AttachmentFile::DayStatisticsPaths(const std::string& attachment_folder,
                                                            const std::string& storage,
                                                            const std::string& day) {
  const std::string base = TrimPathSeparators(attachment_folder) + "/" + storage;
  return {
      base + "/actrace/" + day + "/dirstat",
      base + "/ips/" + day + "/dirstat",
      base + "/mailproxy/delaysnd/" + day + "/dirstat",
      base + "/mailproxy/smtplog/" + day + "/dirstat",
      base + "/mailproxy/pop3log/" + day + "/dirstat",
      base + "/mailproxy/" + day + "/dirstat",
  };
}

bool AttachmentFile::ProcessFile() {
  ZV_LOG_D("Process tar file!\n");
  ZVSyncConfig& config = ZVSyncConfig::Instance();
  (void)config.LoadToolsConfig();

  const SyncAccountRecord* record = PositionRecord();
  const std::string storage =
      record != nullptr ? std::string(FieldText(record->storageName, sizeof record->storageName))
                        : std::string();
  const std::string attachment_folder = TrimPathSeparators(config.GetAttachmentPath());
  const std::string target = attachment_folder + "/" + storage;
  const std::string option = config.GetEncodeAttach() ? "a" : "";

  bool unpacked = false;
  if (attachment_folder.empty()) {
    // Without a configured folder the target would hang from the root of
    // the file system.
    ZV_LOG_E("Attachment path is empty!\n");
  } else if (!IsSafeFileName(storage)) {
    ZV_LOG_E("Refused unsafe storage name %s!\n", PrintableName(storage).c_str());
  } else {
    unpacked = UncompressFile(full_path(), target, option);
  }
  if (unpacked) {
    ZV_OPLOG(kEventInfo, kModuleSync, "附件包解压成功!");
  } else {
    ZV_LOG_E("UncompressFile %s to %s failed!\n", full_path().c_str(), target.c_str());
    ZV_OPLOG(kEventError, kModuleSync, "附件包解压失败!");
  }

  DeleteDayStatistics(file_name().substr(0, 8), storage);

  ZV_LOG_D("Delete attachment tarfile %s\n", full_path().c_str());
  if (!DeletePath(full_path())) ZV_LOG_W("Delete attachment tarfile %s failed!\n", full_path().c_str());

  if (!UpdateSyncPosition(false)) {
    ZV_LOG_E("Update syncpos failed!\n");
    return false;
  }
  return true;
}

bool AttachmentFile::UncompressFile(const std::string& package, const std::string& target,
                                    const std::string& option) {
  const std::string tool =
      TrimPathSeparators(ZVSyncConfig::Instance().GetHomeDirectory()) + "/" + kTarToolName;
  if (!FileExistsAt(tool)) {
    ZV_LOG_E("%s not found!\n", tool.c_str());
    return false;
  }
  if (!FileExistsAt(package)) {
    ZV_LOG_E("%s is not exist!\n", package.c_str());
    return false;
  }
  if (!target.empty() && !CreateDirectoryTree(target)) {
    ZV_LOG_E("Can't create folder %s\n", target.c_str());
  }

  std::unique_ptr<ProcessHandle> process = StartProcess(BuildArguments(tool, package, target, option));
  if (!process) {
    ZV_LOG_E("StartProcess failed!errno=%u\n", static_cast<unsigned>(errno));
    return false;
  }

  unsigned waits = 0;
  for (;;) {
    const ProcessHandle::WaitResult result = process->Wait(kWaitStepMs);
    if (result != ProcessHandle::WaitResult::kTimedOut) break;
    ++waits;
    if (!KeepGoing(waits)) {
      ZV_LOG_W("Stop required!\n");
      if (!process->Terminate(kStoppedExitCode)) {
        ZV_LOG_W("Can't Terminate BsdTar!errno=%u\n", static_cast<unsigned>(errno));
      }
      // Reap the killed tool so that no zombie outlives the session.
      (void)process->Wait(kReapAfterKillMs);
      return false;
    }
  }
  uint32_t exit_code = kExitCodeUnknown;
  if (!process->GetExitCode(&exit_code)) exit_code = kExitCodeUnknown;
  ZV_LOG_D("%s=%d\n", BuildCommandLine(tool, package, target, option).c_str(),
           static_cast<int>(exit_code));
  return true;
}

void AttachmentFile::DeleteDayStatistics(const std::string& day, const std::string& storage) {
  const std::string attachment_folder = TrimPathSeparators(ZVSyncConfig::Instance().GetAttachmentPath());
  // The caches live in dated folders below A/storage; anything else would
  // point the deletions somewhere they do not belong.
  if (attachment_folder.empty() || !IsDateString(day) || !IsSafeFileName(storage)) {
    ZV_LOG_W("Skip day statistics of %s in %s!\n", PrintableName(day).c_str(),
             PrintableName(storage).c_str());
    return;
  }
  for (const std::string& path : DayStatisticsPaths(attachment_folder, storage, day)) {
    if (!DeletePath(path)) {
      ZV_LOG_W("delete %s failed!errno=%u\n", path.c_str(), static_cast<unsigned>(errno));
    }
  }
}

}  // namespace zv
