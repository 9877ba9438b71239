// ServerMetrics: every metric the server exposes, in one place, registered
// in one process-wide registry in this order. The names follow Prometheus'
// conventions: the prefix zentrovane_, _total on counters, seconds and bytes
// as units.
//
//   zentrovane_build_info{version}                       gauge, always 1
//   zentrovane_sessions_connected                        gauge
//   zentrovane_logins_total{result}                      counter
//   zentrovane_file_announcements_total{result}          counter
//   zentrovane_received_bytes_total{compression}         counter
//   zentrovane_files_confirmed_total{kind}               counter
//   zentrovane_file_processing_seconds{kind}             histogram
//   zentrovane_importer_runs_total{exit_code}            counter
//   zentrovane_processing_lock_wait_seconds{waiter}      histogram
//   zentrovane_disk_available_bytes{disk}                gauge
//   zentrovane_disk_size_bytes{disk}                     gauge
//   zentrovane_retention_day_deletions_total             counter
//   zentrovane_retention_journal_entries                 gauge
//   zentrovane_crash_reports_written_total               counter
//
// Children whose label values this layer can name (compression methods,
// file kinds, disks, waiters) exist from the start and are held here, so
// that the code that counts never looks one up. The result codes and exit
// codes are looked up by the layers that know them (see Family::With).
//
// Owner: nobody; created on first use and never destroyed. Threads: any.
#pragma once

#include <array>
#include <cstddef>

#include "util/metrics.h"

namespace zv {

class ServerMetrics {
 public:
  // Indexed by the block's compression method (0 stored, 1 LZO1B, 2 LZMA)
  // and by the file type of an announcement (0 log table, 1 configuration
  // table, 2 attachment package).
  static constexpr size_t kCompressionMethods = 3;
  static constexpr size_t kFileKinds = 3;
  enum Disk { kDataDisk = 0, kAttachmentDisk = 1 };
  enum Waiter { kSessionWaiter = 0, kDiskMonitorWaiter = 1 };

  static ServerMetrics& Instance();

  ServerMetrics(const ServerMetrics&) = delete;
  ServerMetrics& operator=(const ServerMetrics&) = delete;

  const metrics::Registry& registry() const { return registry_; }

 private:
  ServerMetrics();
  metrics::Registry registry_;  // first: the members below live in it

 public:
  metrics::Gauge& build_info;
  metrics::Gauge& sessions_connected;
  // Label "result": the name of the result code the session answered with
  // (NoError for a login accepted or a file requested).
  metrics::Family<metrics::Counter>& logins;
  metrics::Family<metrics::Counter>& file_announcements;
  // Bytes of file data written, after decoding, by the method the blocks
  // came in.
  std::array<metrics::Counter*, kCompressionMethods> received_bytes;
  std::array<metrics::Counter*, kFileKinds> files_confirmed;
  std::array<metrics::Histogram*, kFileKinds> processing_seconds;
  // Label "exit_code": the importer's exit code, or "killed" for a run the
  // server ended because its session stopped.
  metrics::Family<metrics::Counter>& importer_runs;
  std::array<metrics::Histogram*, 2> lock_wait;  // by Waiter
  std::array<metrics::Gauge*, 2> disk_available_bytes;  // by Disk
  std::array<metrics::Gauge*, 2> disk_size_bytes;       // by Disk
  metrics::Counter& retention_day_deletions;
  metrics::Gauge& retention_journal_entries;
  metrics::Counter& crash_reports_written;
};

}  // namespace zv
