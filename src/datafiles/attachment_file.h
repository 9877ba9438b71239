// AttachmentFile: a tar package of captured content (traces, mail copies)
// an appliance uploads, named like a log table of kind X and stored in
// D/S/attachment. Once complete and verified it is unpacked by the tar tool
// zvtar.exe into A/S (A = the attachment folder), the cached folder sizes of
// the package's day are dropped so they are counted again, the package is
// deleted and its slot marked complete. A package that cannot be unpacked
// is still deleted and counted as received.
//
// Owned by one client session and used on that session's thread; processing
// runs while the session holds the controller's processing lock. The tar
// tool runs as a process of its own and is killed when the session's
// keep-going callback asks to stop.
#pragma once

#include <string>
#include <vector>

#include "datafiles/sync_data_file.h"

namespace zv {

class AttachmentFile final : public SyncDataFile {
 public:
  // Exit code the tar tool is killed with when a stop is requested.
  static constexpr uint32_t kStoppedExitCode = 995;

  explicit AttachmentFile(CZvAccountFile* position_file) : SyncDataFile(position_file) {}

  // D/S/attachment/name; empty when the storage folder is not known.
  std::string GetFilePath(const std::string& name) override;
  // Unpacks, drops the day's size caches, deletes the package and marks
  // the slot complete. False only when the slot cannot be saved.
  bool ProcessFile() override;

  // Runs the tar tool on package into target (empty: none) with the extra
  // option (empty: none) and waits for it in 100 ms steps while KeepGoing
  // says so. True once the tool ended, whatever its exit code.
  bool UncompressFile(const std::string& package, const std::string& target,
                      const std::string& option);
  // Deletes the six "dirstat" caches of day (YYYYMMDD) below A/storage.
  void DeleteDayStatistics(const std::string& day, const std::string& storage);

  // The tool's argument vector: tool xvf package [-C target] [-e option].
  static std::vector<std::string> BuildArguments(const std::string& tool,
                                                 const std::string& package,
                                                 const std::string& target,
                                                 const std::string& option);
  // The same as the command line the debug log shows with the tool's exit
  // code, exactly: "tool" xvf "package" [-C "target" ][-e option ] (ends
  // with a blank). Only for that line: the tool is started from the vector.
  static std::string BuildCommandLine(const std::string& tool, const std::string& package,
                                      const std::string& target, const std::string& option);
  // The six cache files of a day, in deletion order.
  static std::vector<std::string> DayStatisticsPaths(const std::string& attachment_folder,
                                                     const std::string& storage,
                                                     const std::string& day);
};

}  // namespace zv
