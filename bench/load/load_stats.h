// LoadStats: what the load benchmark's appliance threads report: login
// latencies, bytes sent, errors with their first messages. Thread-safe;
// shared by all appliance threads and read by the main thread at the end.
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
  void AddLogin(double seconds, bool reconnect);
  void AddRetry();
  // A login refused as busy (also counted as an error by the caller).
  void AddBusy(bool reconnect);
  void AddBytes(uint64_t bytes);
  void AddFile();
  // Counts an error; the first few messages are kept.
  void AddError(const std::string& message);

  std::vector<double> logins() const;
  std::vector<double> reconnect_logins() const;
  uint64_t bytes() const;
  int files() const;
  int retries() const;
  int busy(bool reconnect) const;
  int errors() const;
  std::vector<std::string> first_errors() const;

 private:
  static constexpr size_t kKeptErrors = 10;
  mutable std::mutex mu_;
  std::vector<double> logins_;            // guarded by mu_
  std::vector<double> reconnect_logins_;  // guarded by mu_
  uint64_t bytes_ = 0;                    // guarded by mu_
  int files_ = 0;                         // guarded by mu_
  int retries_ = 0;                       // guarded by mu_
  int busy_[2] = {0, 0};                  // guarded by mu_; [reconnect]
  int errors_ = 0;                        // guarded by mu_
  std::vector<std::string> first_errors_; // guarded by mu_
};

}  // namespace zv::bench
