#include "util/server_metrics.h"

namespace zv {

const char* BuiltVersion();  // build_config.cc

namespace {

constexpr const char* kCompressionNames[ServerMetrics::kCompressionMethods] = {"stored", "lzo",
                                                                                "lzma"};
constexpr const char* kKindNames[ServerMetrics::kFileKinds] = {"log_table", "config_table",
                                                               "attachment_package"};
constexpr const char* kDiskNames[2] = {"data", "attachment"};
constexpr const char* kWaiterNames[2] = {"session", "disk_monitor"};

// Processing runs from a fraction of a second (a small configuration
// table) to many minutes (a large log table through the importer).
const std::vector<double> kProcessingBounds = {0.05, 0.1, 0.25, 0.5, 1,   2.5, 5,
                                               10,   30,  60,   120, 300, 600};
// A wait for the lock is nothing while the server is idle and as long as
// the longest processing when it is not.
const std::vector<double> kLockWaitBounds = {0.001, 0.01, 0.1, 0.5, 1,   2.5, 5,
                                             10,    30,   60,  120, 300, 600};

template <typename Metric, size_t N>
std::array<Metric*, N> Children(metrics::Family<Metric>& family, const char* const (&names)[N]) {
  std::array<Metric*, N> children{};
  for (size_t i = 0; i < N; ++i) children[i] = &family.With({names[i]});
  return children;
}

}  // namespace

ServerMetrics& ServerMetrics::Instance() {
  static ServerMetrics* const instance = new ServerMetrics();
  return *instance;
}

ServerMetrics::ServerMetrics()
    : build_info(registry_
                     .AddGauge("zentrovane_build_info",
                               "The version of the running server; the value is always 1.",
                               {"version"})
                     .With({BuiltVersion()})),
      sessions_connected(registry_
                             .AddGauge("zentrovane_sessions_connected",
                                       "Appliance sessions connected now, logged in or not.")
                             .With({})),
      logins(registry_.AddCounter("zentrovane_logins_total",
                                  "Login blocks answered, by the result code of the answer.",
                                  {"result"})),
      file_announcements(registry_.AddCounter(
          "zentrovane_file_announcements_total",
          "File announcements answered: NoError is a file request, any other result a refusal.",
          {"result"})),
      received_bytes(Children(
          registry_.AddCounter("zentrovane_received_bytes_total",
                               "Bytes of file data received and written, counted after "
                               "decoding, by the compression method of the blocks.",
                               {"compression"}),
          kCompressionNames)),
      files_confirmed(Children(
          registry_.AddCounter("zentrovane_files_confirmed_total",
                               "Files processed and confirmed to the appliance, by kind.",
                               {"kind"}),
          kKindNames)),
      processing_seconds(Children(
          registry_.AddHistogram("zentrovane_file_processing_seconds",
                                 "Time to process a received file once the processing lock "
                                 "was held (statistics, file list, importer or tar tool).",
                                 {"kind"}, kProcessingBounds),
          kKindNames)),
      importer_runs(registry_.AddCounter(
          "zentrovane_importer_runs_total",
          "Importer runs for received tables by exit code; killed: ended by the server.",
          {"exit_code"})),
      lock_wait(Children(
          registry_.AddHistogram("zentrovane_processing_lock_wait_seconds",
                                 "Time from the first try for the processing lock to holding it.",
                                 {"waiter"}, kLockWaitBounds),
          kWaiterNames)),
      disk_available_bytes(Children(
          registry_.AddGauge("zentrovane_disk_available_bytes",
                             "Bytes available to the server on the disk holding the received "
                             "data (data) and on the one holding the attachments (attachment).",
                             {"disk"}),
          kDiskNames)),
      disk_size_bytes(Children(registry_.AddGauge("zentrovane_disk_size_bytes",
                                                  "Size of each data disk in bytes.", {"disk"}),
                               kDiskNames)),
      retention_day_deletions(
          registry_
              .AddCounter("zentrovane_retention_day_deletions_total",
                          "Deletions of one day of one client's data by retention (its tables, "
                          "rows and folders).")
              .With({})),
      retention_journal_entries(
          registry_
              .AddGauge("zentrovane_retention_journal_entries",
                        "Days waiting in the deletion journal (PendingDeleteDate).")
              .With({})),
      crash_reports_written(
          registry_
              .AddCounter("zentrovane_crash_reports_written_total",
                          "Crash reports written by the server and its watchdog in this home "
                          "folder, counted when the server starts: the reports present and "
                          "those pruned since.")
              .With({})) {
  build_info.Set(1);
  // Exit code 0 is every importer's success.
  importer_runs.With({"0"});
}

}  // namespace zv
