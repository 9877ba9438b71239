#include "test_util.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <netinet/in.h>
#include <nettle/des.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

extern char** environ;

namespace zv {
const char* BuiltProgramDirectory();
}

namespace zv::testing {

ScopedTempDir::ScopedTempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/zvtest-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  path_ = buf.data();
}

ScopedTempDir::~ScopedTempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string ScopedTempDir::Sub(std::string_view relative) const {
  return path_ + "/" + std::string(relative);
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
  if (const char* old = std::getenv(name)) {
    had_old_ = true;
    old_ = old;
  }
  setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  if (had_old_) {
    setenv(name_.c_str(), old_.c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

ProgramRun::ProgramRun(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2: " << std::strerror(errno);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    ADD_FAILURE() << "cannot start " << args[0] << ": " << std::strerror(rc);
    close(fds[0]);
    return;
  }
  pid_ = pid;
  out_fd_ = fds[0];
}

ProgramRun::~ProgramRun() {
  std::string ignored;
  Finish(&ignored);
}

int ProgramRun::Finish(std::string* out) {
  out->clear();
  if (out_fd_ >= 0) {
    char chunk[256];
    for (ssize_t n; (n = read(out_fd_, chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR);) {
      if (n > 0) out->append(chunk, static_cast<size_t>(n));
    }
    close(out_fd_);
    out_fd_ = -1;
  }
  if (pid_ < 0) return -1;
  int status = 0;
  pid_t reaped;
  do {
    reaped = waitpid(pid_, &status, 0);
  } while (reaped < 0 && errno == EINTR);
  pid_ = -1;
  if (reaped < 0 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

std::string EncipherPassword(const std::string& password) {
  uint8_t key[8] = {0};
  const char* key_text = "qtz";
  for (size_t i = 0; key_text[i] != '\0'; ++i) key[i % 8] ^= static_cast<uint8_t>(key_text[i]);
  des_ctx ctx;
  des_set_key(&ctx, key);
  std::string padded = password;
  while (padded.size() % 8 != 0 || padded.empty()) padded.push_back('\0');
  std::string out;
  for (size_t i = 0; i < padded.size(); i += 8) {
    uint8_t cipher[8];
    des_encrypt(&ctx, 8, cipher, reinterpret_cast<const uint8_t*>(padded.data() + i));
    for (uint8_t b : cipher) {
      char hex[3];
      std::snprintf(hex, sizeof(hex), "%02x", b);
      out += hex;
    }
  }
  return out;
}

std::string ReadFolderText(const std::string& folder, std::string_view suffix) {
  std::vector<std::string> files;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_regular_file(ec) && name.size() >= suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      files.push_back(entry.path().string());
    }
  }
  std::sort(files.begin(), files.end());
  std::string all;
  for (const std::string& file : files) all += ReadFileBytes(file);
  return all;
}

std::string Utf8ToGbk(std::string_view utf8) {
  iconv_t cd = iconv_open("GBK", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    ADD_FAILURE() << "no UTF-8 to GBK conversion";
    return std::string(utf8);
  }
  std::string in(utf8);
  std::string out(in.size() * 2 + 8, '\0');
  char* src = in.data();
  size_t src_left = in.size();
  char* dst = out.data();
  size_t dst_left = out.size();
  const size_t converted = iconv(cd, &src, &src_left, &dst, &dst_left);
  iconv_close(cd);
  if (converted == static_cast<size_t>(-1)) {
    ADD_FAILURE() << "not convertible to GBK: " << in;
    return in;
  }
  out.resize(out.size() - dst_left);
  return out;
}

void WriteFileBytes(const std::string& path, std::string_view bytes) {
  std::error_code ec;
  auto parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::abort();
  }
}

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

namespace {

uint16_t BoundPort(int type, uint16_t port) {
  int fd = socket(AF_INET, type, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  uint16_t result = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    socklen_t len = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) result = ntohs(addr.sin_port);
  }
  close(fd);
  return result;
}

}  // namespace

uint16_t FreeTcpPort() { return BoundPort(SOCK_STREAM, 0); }

int ListenOnLoopback(uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(fd, 16) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ADD_FAILURE() << "cannot listen on 127.0.0.1: " << std::strerror(errno);
    if (fd >= 0) close(fd);
    return -1;
  }
  *port = ntohs(addr.sin_port);
  return fd;
}

int ConnectToLoopback(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int HttpRequest(uint16_t port, const std::string& method, const std::string& target,
                std::string* body) {
  const int fd = ConnectToLoopback(port);
  if (fd < 0) return 0;
  const std::string request = method + " " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  std::string answer;
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
      static_cast<ssize_t>(request.size())) {
    char buffer[65536];
    pollfd ready{fd, POLLIN, 0};
    while (poll(&ready, 1, 10000) == 1) {
      const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
      if (n <= 0) break;
      answer.append(buffer, static_cast<size_t>(n));
    }
  }
  close(fd);
  const size_t head_end = answer.find("\r\n\r\n");
  if (answer.rfind("HTTP/1.", 0) != 0 || head_end == std::string::npos) return 0;
  if (body != nullptr) *body = answer.substr(head_end + 4);
  return std::atoi(answer.c_str() + answer.find(' ') + 1);
}

uint16_t FreeTcpUdpPort() {
  for (int attempt = 0; attempt < 100; ++attempt) {
    uint16_t port = BoundPort(SOCK_STREAM, 0);
    if (port != 0 && BoundPort(SOCK_DGRAM, port) == port) return port;
  }
  std::fprintf(stderr, "no free port\n");
  std::abort();
}

std::string UniqueName(std::string_view prefix) {
  static std::atomic<unsigned> counter{0};
  return std::string(prefix) + std::to_string(getpid()) + "_" + std::to_string(counter++);
}

std::string ProgramDirectory() { return BuiltProgramDirectory(); }

int ExitCodeWithoutDescriptors(const std::function<int(std::vector<int>* held)>& body) {
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    const rlimit low{64, 64};
    if (setrlimit(RLIMIT_NOFILE, &low) != 0) _exit(100);
    std::vector<int> held;
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) held.push_back(fd);
    if (errno != EMFILE || held.empty()) _exit(100);
    _exit(body(&held));
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace zv::testing
