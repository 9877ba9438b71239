#include "load_stats.h"

#include <algorithm>
#include <cmath>

namespace zv::bench {

double Percentile(std::vector<double> samples, double q) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(samples.size())));
  if (rank == 0) rank = 1;
  return samples[std::min(rank, samples.size()) - 1];
}

void LoadStats::AddLogin(double seconds, bool reconnect) {
  std::lock_guard<std::mutex> lock(mu_);
  (reconnect ? reconnect_logins_ : logins_).push_back(seconds);
}

void LoadStats::AddRetry() {
  std::lock_guard<std::mutex> lock(mu_);
  ++retries_;
}

void LoadStats::AddBusy(bool reconnect) {
  std::lock_guard<std::mutex> lock(mu_);
  ++busy_[reconnect ? 1 : 0];
}

int LoadStats::busy(bool reconnect) const {
  std::lock_guard<std::mutex> lock(mu_);
  return busy_[reconnect ? 1 : 0];
}

void LoadStats::AddBytes(uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  bytes_ += bytes;
}

void LoadStats::AddFile() {
  std::lock_guard<std::mutex> lock(mu_);
  ++files_;
}

void LoadStats::AddError(const std::string& message) {
  std::lock_guard<std::mutex> lock(mu_);
  ++errors_;
  if (first_errors_.size() < kKeptErrors) first_errors_.push_back(message);
}

std::vector<double> LoadStats::logins() const {
  std::lock_guard<std::mutex> lock(mu_);
  return logins_;
}

std::vector<double> LoadStats::reconnect_logins() const {
  std::lock_guard<std::mutex> lock(mu_);
  return reconnect_logins_;
}

uint64_t LoadStats::bytes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return bytes_;
}

int LoadStats::files() const {
  std::lock_guard<std::mutex> lock(mu_);
  return files_;
}

int LoadStats::retries() const {
  std::lock_guard<std::mutex> lock(mu_);
  return retries_;
}

int LoadStats::errors() const {
  std::lock_guard<std::mutex> lock(mu_);
  return errors_;
}

std::vector<std::string> LoadStats::first_errors() const {
  std::lock_guard<std::mutex> lock(mu_);
  return first_errors_;
}

}  // namespace zv::bench
