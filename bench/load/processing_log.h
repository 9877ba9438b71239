// ProcessingLog: where the server's time went for each processed log-table
// file, read from its debug log. At the debug level the server writes two
// lines a processed file:
//   "Processing <file> after <ms>ms"   (the wait for the processing lock)
//   "Processed <file>: info <ms>ms, filelist <ms>ms, syncpos <ms>ms,
//    loader <ms>ms"                     (the steps under the lock)
// and for each login
//   "Login <user>-<device>: auth <ms>ms, syncpos <ms>ms"
// (the wait for the admission check, then loading and saving the position
// file). Feed takes the log's text in pieces of any size (a line may be cut
// anywhere); a file counts once both its lines were seen.
//
// LogTail follows the log's files in a folder while the server writes them
// (the server empties a file that grew past 4 MiB: a file that got shorter
// is read again from its start, so lines written between the last look and
// the emptying are missed).
//
// ProcessingLog: one thread. LogTail: owned by the main thread, reads on a
// thread of its own; Times may be called while it runs.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <condition_variable>
#include <vector>

namespace zv::bench {

struct ProcessingTimes {
  double wait_ms = 0;      // for the processing lock
  double info_ms = 0;      // statistics rows
  double list_ms = 0;      // the file list
  double position_ms = 0;  // the position save
  double loader_ms = 0;    // the importer's run
  double held_ms() const { return info_ms + list_ms + position_ms + loader_ms; }
};

struct LoginTimes {
  double auth_ms = 0;      // the admission check, waited for
  double position_ms = 0;  // the position file loaded and saved
};

class ProcessingLog {
 public:
  void Feed(std::string_view text);
  // Files of which both lines were seen, in the order their last line came.
  const std::vector<ProcessingTimes>& files() const { return done_; }
  const std::vector<LoginTimes>& logins() const { return logins_; }

 private:
  void Line(std::string_view line);

  std::string partial_;
  std::map<std::string, ProcessingTimes> waits_;  // file -> its wait, until processed
  std::vector<ProcessingTimes> done_;
  std::vector<LoginTimes> logins_;
};

class LogTail {
 public:
  LogTail(std::string folder, int period_ms);
  ~LogTail();  // reads what is left, then stops
  LogTail(const LogTail&) = delete;
  LogTail& operator=(const LogTail&) = delete;

  // Reads what is new now and returns the files (logins) so far.
  std::vector<ProcessingTimes> Times();
  std::vector<LoginTimes> Logins();

 private:
  void Loop();
  void ReadNew();  // REQUIRES: mu_ held

  const std::string folder_;
  const int period_ms_;
  std::mutex mu_;
  std::condition_variable wake_;
  bool stop_ = false;                       // guarded by mu_
  std::map<std::string, long long> offsets_;  // guarded by mu_; file -> bytes read
  ProcessingLog log_;                        // guarded by mu_
  std::thread thread_;
};

}  // namespace zv::bench
