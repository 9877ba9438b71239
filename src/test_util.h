// Helpers shared by the tests: temporary folders, files, free ports and
// environment overrides. Linked only into test executables.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zv::testing {

// A fresh folder under $TMPDIR (or /tmp), removed with its content on
// destruction.
class ScopedTempDir {
 public:
  ScopedTempDir();
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + relative.
  std::string Sub(std::string_view relative) const;

 private:
  std::string path_;
};

// Sets an environment variable for the lifetime of the object and restores
// the previous value (or its absence) afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  bool had_old_ = false;
  std::string old_;
};

std::string ReadFileBytes(const std::string& path);
// Writes (creating parent folders) and aborts the test process on failure.
void WriteFileBytes(const std::string& path, std::string_view bytes);
bool FileExists(const std::string& path);

// The regular files of folder whose names end in suffix, in name order,
// concatenated (not recursive); empty when the folder is missing.
std::string ReadFolderText(const std::string& folder, std::string_view suffix = "");

// UTF-8 text in GBK, the operation log's encoding. A text that cannot be
// converted fails the running test and comes back unchanged.
std::string Utf8ToGbk(std::string_view utf8);

// The SQLPWD text of dbconf.ini for password, written out independently of
// the product's decoder: zero-padded to whole 8-byte blocks (one block when
// empty), DES with the key "qtz", lower-case hexadecimal.
std::string EncipherPassword(const std::string& password);

// A TCP port on 127.0.0.1 that was free a moment ago (bind to port 0).
uint16_t FreeTcpPort();
// A port number free for both TCP and UDP on 127.0.0.1.
uint16_t FreeTcpUdpPort();
// A listening TCP socket on 127.0.0.1 at a port the system picks (*port);
// -1 with the running test failed when it cannot be made.
int ListenOnLoopback(uint16_t* port);
// A TCP socket connected to port on 127.0.0.1 (blocking); -1 when the
// connection could not be made.
int ConnectToLoopback(uint16_t port);

// One HTTP/1.0 request (the method, the target) to 127.0.0.1:port: the
// status code (0 when no answer came within 10 s) and the body.
int HttpRequest(uint16_t port, const std::string& method, const std::string& target,
                std::string* body = nullptr);

// A name unique to this process and call, for object namespaces and
// database names ("t" + pid + counter).
std::string UniqueName(std::string_view prefix);

// Folder of the programs of this build (Zentrovane.exe, Loader.exe, ...).
std::string ProgramDirectory();

// Runs body in a child process whose descriptor limit is 64, every one of
// them taken (*held: the descriptors that fill it; closing one frees one),
// and gives the child's exit code: body's result, or 100 when the limit
// could not be set up. body must not return into the test framework.
int ExitCodeWithoutDescriptors(const std::function<int(std::vector<int>* held)>& body);

// A program started with its standard output in a pipe (args[0] is its
// path); the test talks to it, then collects what it printed.
class ProgramRun {
 public:
  explicit ProgramRun(std::vector<std::string> args);
  ~ProgramRun();  // waits for the program if Finish was not called
  ProgramRun(const ProgramRun&) = delete;
  ProgramRun& operator=(const ProgramRun&) = delete;

  // Reads the output until the program closes it and waits for its end;
  // the exit code, or -1 when it did not exit normally.
  int Finish(std::string* out);

 private:
  int pid_ = -1;
  int out_fd_ = -1;
};

}  // namespace zv::testing
