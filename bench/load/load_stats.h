// LoadStats: what the load benchmark's appliance threads report: login
// latencies, bytes sent, errors with their first messages, when the first
// file end went out and the last confirmation came. Thread-safe; shared by
// the appliance threads of one process and read by its main thread at the
// end. A worker process hands its figures to the main process as text
// (Serialize), which adds them to its own (Merge).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace zv::bench {

// The value below which fraction q (0..1) of the samples lie, by the
// nearest-rank method; 0 for no samples.
double Percentile(std::vector<double> samples, double q);

class LoadStats {
 public:
  // A login that took seconds and ended at end_ns (monotonic clock).
  void AddLogin(double seconds, bool reconnect, int64_t end_ns = 0);
  // Of a login's time, the part until the server's version came (the
  // connection accepted and its session started).
  void AddVersionWait(double seconds, bool reconnect);
  void AddRetry();
  // A login refused as busy (also counted as an error by the caller).
  void AddBusy(bool reconnect);
  void AddBytes(uint64_t bytes);
  void AddFile();
  // Counts an error; the first few messages are kept.
  void AddError(const std::string& message);
  // A file end sent at from_ns and confirmed at to_ns (monotonic clock).
  void AddProcessing(int64_t from_ns, int64_t to_ns);

  // Every figure as text, and the figures of such a text added to these;
  // false (nothing added) when the text is not one.
  std::string Serialize() const;
  [[nodiscard]] bool Merge(const std::string& text);

  std::vector<double> logins() const;
  std::vector<double> reconnect_logins() const;
  std::vector<double> version_waits(bool reconnect) const;
  uint64_t bytes() const;
  int files() const;
  int retries() const;
  int busy(bool reconnect) const;
  int errors() const;
  std::vector<std::string> first_errors() const;
  // The first file end and the last confirmation (0 when none).
  int64_t first_file_end_ns() const;
  int64_t last_confirm_ns() const;
  // The end of the last opening (not reconnecting) login.
  int64_t last_login_ns() const;

 private:
  static constexpr size_t kKeptErrors = 10;
  mutable std::mutex mu_;
  std::vector<double> logins_;            // guarded by mu_
  std::vector<double> reconnect_logins_;  // guarded by mu_
  std::vector<double> version_waits_[2];  // guarded by mu_; [reconnect]
  uint64_t bytes_ = 0;                    // guarded by mu_
  int files_ = 0;                         // guarded by mu_
  int retries_ = 0;                       // guarded by mu_
  int busy_[2] = {0, 0};                  // guarded by mu_; [reconnect]
  int errors_ = 0;                        // guarded by mu_
  std::vector<std::string> first_errors_; // guarded by mu_
  int64_t first_end_ns_ = 0;              // guarded by mu_
  int64_t last_confirm_ns_ = 0;           // guarded by mu_
  int64_t last_login_ns_ = 0;             // guarded by mu_
};

}  // namespace zv::bench
