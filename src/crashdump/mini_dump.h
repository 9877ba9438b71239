// quennlib::MiniDump: writes one crash report file, NAME_YYYYMMDD_hhmmss.dmp
// in the report folder (the home folder), after pruning the folder to the
// four newest old reports; every deletion is recorded in deleted_dumps.lst.
// Reports sort by name in the order they were written, since all share the
// name prefix and the time stamp reads from the year down.
//
// Everything it does is async-signal-safe (open, write, unlink, getdents64
// and the setup's scratch memory), so the crash handler runs it on the
// faulting thread. Owner: the caller; an object lives for one report (the
// crash filter makes one per crash). One object at a time per DumpSetup,
// because they share its scratch memory.
#pragma once

#include <cstddef>
#include <ctime>

#include "crashdump/crash_report.h"
#include "crashdump/dump_setup.h"

namespace quennlib {

// The result for an empty name, an unknown kind or a setup not prepared.
inline constexpr int kInvalidParameter = 87;

class MiniDump {
 public:
  static constexpr size_t kPathChars = 4096;

  // REQUIRES: setup outlives the object.
  explicit MiniDump(const zv::DumpSetup& setup) : setup_(setup) {}
  virtual ~MiniDump() = default;
  MiniDump(const MiniDump&) = delete;
  MiniDump& operator=(const MiniDump&) = delete;

  // Writes one report of the given kind (zv::DumpKind). crash: what the
  // handler knows, or null for a report of the calling thread now. filter:
  // the modules whose data segments kind 1 adds. The first call picks the
  // path (MakeDumpPath); later calls of the same object rewrite that file.
  // 0, kInvalidParameter, or the errno of the create or write that failed.
  virtual int WriteDump(const char* name, const zv::CrashInfo* crash, zv::ModuleFilter filter,
                        int kind);

  // Formats folder/NAME_YYYYMMDD_hhmmss.dmp (local time, taken once) into
  // buffer, then prunes the folder: when more than four files match
  // "*_????????_??????.dmp" (letter case ignored), the ones whose names sort
  // first (byte-wise) are deleted until four are left, each with one line
  // "YYYY-MM-DD hh:mm:ss PATH" appended to deleted_dumps.lst (a line is
  // appended even when the deletion failed). 0, kInvalidParameter (empty
  // name, zero length, setup not prepared) or ENAMETOOLONG (buffer too
  // small: nothing is pruned).
  virtual int MakeDumpPath(const char* name, char* buffer, size_t length);

  const char* path() const { return path_; }

 private:
  void Prune(const struct tm& local);
  // Calls each(name) for every report-like file in the folder.
  template <typename Each>
  void ForEachReport(Each each);
  void RecordDeletion(const struct tm& local, const char* path);

  const zv::DumpSetup& setup_;
  char path_[kPathChars] = {};  // empty until the first write picks it
};

// Crash reports ever written to folder, as far as it shows: the
// report-named files in it and the lines of its deletion record (one per
// report pruned). A report is counted once the process that wrote it is
// gone, so the server counts at its start. Not for the crash handler.
size_t CountWrittenReports(const char* folder);

}  // namespace quennlib
