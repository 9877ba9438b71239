// What the fuzz targets share: a scratch installation of their own below
// /dev/shm or /tmp (home, settings file, data directory, logs), made once per process
// before the first input and removed at exit, and a few file helpers.
//
// Every target runs single-threaded under libFuzzer except where it starts
// a session, whose worker the target joins before it returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zv::fuzz {

class ScratchHome {
 public:
  // Creates the installation and points ZENTROVANE_HOME, ZENTROVANE_REGISTRY,
  // ZENTROVANE_OBJECT_NAMESPACE, the logs and the data directory at it.
  static ScratchHome& Get();

  const std::string& root() const { return root_; }
  std::string home() const { return root_ + "/home"; }
  std::string data_directory() const { return root_ + "/mysql/log_data"; }
  // A folder for the target's own files.
  std::string Scratch(const std::string& name) const;

  // Deletes the logs every so many calls, so that a long run does not fill
  // the disk with them.
  void TrimLogs();

 private:
  ScratchHome();
  std::string root_;
  unsigned calls_ = 0;
};

void WriteFile(const std::string& path, std::string_view bytes);
void RemoveTree(const std::string& path);
// Removes what a folder holds, keeping the folder.
void EmptyFolder(const std::string& path);

// Ends the run as a finding: libFuzzer keeps the input that got here.
[[noreturn]] void Finding(const char* what);

}  // namespace zv::fuzz
