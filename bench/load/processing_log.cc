#include "processing_log.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

namespace zv::bench {
namespace {

// The message of a debug-log line: what follows "} " after the thread id.
std::string_view MessageOf(std::string_view line) {
  const size_t brace = line.find("} ");
  return brace == std::string_view::npos ? std::string_view() : line.substr(brace + 2);
}

}  // namespace

void ProcessingLog::Feed(std::string_view text) {
  partial_.append(text);
  size_t start = 0;
  for (size_t end; (end = partial_.find('\n', start)) != std::string::npos; start = end + 1) {
    Line(std::string_view(partial_).substr(start, end - start));
  }
  partial_.erase(0, start);
}

void ProcessingLog::Line(std::string_view line) {
  const std::string message(MessageOf(line));
  char name[96];
  LoginTimes login;
  if (std::sscanf(message.c_str(), "Login %95[^:]: auth %lfms, syncpos %lfms", name,
                  &login.auth_ms, &login.position_ms) == 3) {
    logins_.push_back(login);
    return;
  }
  ProcessingTimes t;
  if (std::sscanf(message.c_str(), "Processing %95s after %lfms", name, &t.wait_ms) == 2) {
    waits_[name] = t;
    return;
  }
  if (std::sscanf(message.c_str(),
                  "Processed %95[^:]: info %lfms, filelist %lfms, syncpos %lfms, loader %lfms",
                  name, &t.info_ms, &t.list_ms, &t.position_ms, &t.loader_ms) == 5) {
    auto it = waits_.find(name);
    if (it == waits_.end()) return;  // its first line was missed
    t.wait_ms = it->second.wait_ms;
    waits_.erase(it);
    done_.push_back(t);
  }
}

LogTail::LogTail(std::string folder, int period_ms)
    : folder_(std::move(folder)), period_ms_(period_ms) {
  thread_ = std::thread([this] { Loop(); });
}

LogTail::~LogTail() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

std::vector<ProcessingTimes> LogTail::Times() {
  std::lock_guard<std::mutex> lock(mu_);
  ReadNew();
  return log_.files();
}

std::vector<LoginTimes> LogTail::Logins() {
  std::lock_guard<std::mutex> lock(mu_);
  ReadNew();
  return log_.logins();
}

void LogTail::Loop() {
  std::unique_lock<std::mutex> lock(mu_);
  while (!wake_.wait_for(lock, std::chrono::milliseconds(period_ms_), [this] { return stop_; })) {
    ReadNew();
  }
  ReadNew();
}

void LogTail::ReadNew() {
  DIR* dir = ::opendir(folder_.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() > 6 && name.compare(name.size() - 6, 6, "ZV.log") == 0) names.push_back(name);
  }
  ::closedir(dir);
  char buffer[1 << 16];
  for (const std::string& name : names) {
    const int fd = ::open((folder_ + "/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st;
    long long& offset = offsets_[name];
    if (::fstat(fd, &st) == 0 && st.st_size < offset) offset = 0;  // emptied
    ssize_t n;
    while ((n = ::pread(fd, buffer, sizeof(buffer), offset)) > 0) {
      log_.Feed(std::string_view(buffer, static_cast<size_t>(n)));
      offset += n;
    }
    ::close(fd);
  }
}

}  // namespace zv::bench
