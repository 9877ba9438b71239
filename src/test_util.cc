#include "test_util.h"

#include <arpa/inet.h>
#include <iconv.h>
#include <netinet/in.h>
#include <sys/socket.h>
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

}  // namespace zv::testing
