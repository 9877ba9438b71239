#include "load_stats.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace zv::bench {

double Percentile(std::vector<double> samples, double q) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(samples.size())));
  if (rank == 0) rank = 1;
  return samples[std::min(rank, samples.size()) - 1];
}

void LoadStats::AddLogin(double seconds, bool reconnect, int64_t end_ns) {
  std::lock_guard<std::mutex> lock(mu_);
  (reconnect ? reconnect_logins_ : logins_).push_back(seconds);
  if (!reconnect) last_login_ns_ = std::max(last_login_ns_, end_ns);
}

void LoadStats::AddVersionWait(double seconds, bool reconnect) {
  std::lock_guard<std::mutex> lock(mu_);
  version_waits_[reconnect ? 1 : 0].push_back(seconds);
}

std::vector<double> LoadStats::version_waits(bool reconnect) const {
  std::lock_guard<std::mutex> lock(mu_);
  return version_waits_[reconnect ? 1 : 0];
}

int64_t LoadStats::last_login_ns() const {
  std::lock_guard<std::mutex> lock(mu_);
  return last_login_ns_;
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

void LoadStats::AddProcessing(int64_t from_ns, int64_t to_ns) {
  std::lock_guard<std::mutex> lock(mu_);
  if (first_end_ns_ == 0 || from_ns < first_end_ns_) first_end_ns_ = from_ns;
  last_confirm_ns_ = std::max(last_confirm_ns_, to_ns);
}

int64_t LoadStats::first_file_end_ns() const {
  std::lock_guard<std::mutex> lock(mu_);
  return first_end_ns_;
}

int64_t LoadStats::last_confirm_ns() const {
  std::lock_guard<std::mutex> lock(mu_);
  return last_confirm_ns_;
}

// One figure a line: a key, a blank, the value; error messages last, one a
// line with their line breaks made blanks.
std::string LoadStats::Serialize() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::ostringstream out;
  out.precision(17);
  for (double v : logins_) out << "login " << v << "\n";
  for (double v : reconnect_logins_) out << "relogin " << v << "\n";
  for (double v : version_waits_[0]) out << "version " << v << "\n";
  for (double v : version_waits_[1]) out << "reversion " << v << "\n";
  out << "bytes " << bytes_ << "\nfiles " << files_ << "\nretries " << retries_ << "\nbusy "
      << busy_[0] << "\nrebusy " << busy_[1] << "\nerrors " << errors_ << "\nprocessing "
      << first_end_ns_ << " " << last_confirm_ns_ << "\nlastlogin " << last_login_ns_ << "\n";
  for (std::string message : first_errors_) {
    std::replace(message.begin(), message.end(), '\n', ' ');
    out << "error " << message << "\n";
  }
  out << "end\n";
  return out.str();
}

bool LoadStats::Merge(const std::string& text) {
  LoadStats part;
  std::istringstream in(text);
  std::string key;
  bool ended = false;
  while (!ended && in >> key) {
    bool ok = true;
    if (key == "login" || key == "relogin" || key == "version" || key == "reversion") {
      double v;
      ok = static_cast<bool>(in >> v);
      std::vector<double>& to = key == "login"     ? part.logins_
                                : key == "relogin" ? part.reconnect_logins_
                                                   : part.version_waits_[key == "reversion"];
      to.push_back(v);
    } else if (key == "bytes") {
      ok = static_cast<bool>(in >> part.bytes_);
    } else if (key == "files") {
      ok = static_cast<bool>(in >> part.files_);
    } else if (key == "retries") {
      ok = static_cast<bool>(in >> part.retries_);
    } else if (key == "busy" || key == "rebusy") {
      ok = static_cast<bool>(in >> part.busy_[key == "busy" ? 0 : 1]);
    } else if (key == "errors") {
      ok = static_cast<bool>(in >> part.errors_);
    } else if (key == "processing") {
      ok = static_cast<bool>(in >> part.first_end_ns_ >> part.last_confirm_ns_);
    } else if (key == "lastlogin") {
      ok = static_cast<bool>(in >> part.last_login_ns_);
    } else if (key == "error") {
      std::string message;
      std::getline(in, message);
      part.first_errors_.push_back(message.empty() ? message : message.substr(1));
    } else if (key == "end") {
      ended = true;
    } else {
      ok = false;
    }
    if (!ok) return false;
  }
  if (!ended) return false;
  std::lock_guard<std::mutex> lock(mu_);
  logins_.insert(logins_.end(), part.logins_.begin(), part.logins_.end());
  reconnect_logins_.insert(reconnect_logins_.end(), part.reconnect_logins_.begin(),
                           part.reconnect_logins_.end());
  for (int r = 0; r < 2; ++r) {
    version_waits_[r].insert(version_waits_[r].end(), part.version_waits_[r].begin(),
                             part.version_waits_[r].end());
  }
  bytes_ += part.bytes_;
  files_ += part.files_;
  retries_ += part.retries_;
  busy_[0] += part.busy_[0];
  busy_[1] += part.busy_[1];
  errors_ += part.errors_;
  for (const std::string& message : part.first_errors_) {
    if (first_errors_.size() < kKeptErrors) first_errors_.push_back(message);
  }
  if (part.first_end_ns_ != 0 && (first_end_ns_ == 0 || part.first_end_ns_ < first_end_ns_)) {
    first_end_ns_ = part.first_end_ns_;
  }
  last_confirm_ns_ = std::max(last_confirm_ns_, part.last_confirm_ns_);
  last_login_ns_ = std::max(last_login_ns_, part.last_login_ns_);
  return true;
}

}  // namespace zv::bench
