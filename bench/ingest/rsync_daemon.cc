#include "rsync_daemon.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "bench_server.h"

namespace zv::bench {
namespace {

bool Listening(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

RsyncDaemon::~RsyncDaemon() {
  if (daemon_) {
    daemon_->Signal(SIGTERM);
    daemon_->Wait(std::chrono::seconds(10));
  }
}

bool RsyncDaemon::Start(std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(DestinationDir(), ec);
  port_ = FreeLoopbackPort();
  const std::string config = work_dir_ + "/rsyncd.conf";
  {
    std::ofstream out(config, std::ios::trunc);
    out << "use chroot = no\n"
        << "uid = " << ::getuid() << "\n"
        << "gid = " << ::getgid() << "\n"
        << "pid file = " << work_dir_ << "/rsyncd.pid\n"
        << "log file = " << work_dir_ << "/rsyncd.log\n"
        << "[bench]\n"
        << "path = " << DestinationDir() << "\n"
        << "read only = no\n";
    if (!out) {
      *error = "cannot write " + config;
      return false;
    }
  }
  daemon_ = BenchChild::Start("/usr/bin/rsync",
                              {"--daemon", "--no-detach", "--config=" + config,
                               "--address=127.0.0.1", "--port=" + std::to_string(port_)},
                              {}, work_dir_ + "/rsyncd-output.txt");
  if (!daemon_) {
    *error = "cannot start /usr/bin/rsync (apt-get install rsync)";
    return false;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!daemon_->Running()) break;
    if (Listening(port_)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  *error = "the rsync daemon did not start: " + ReadWholeFile(work_dir_ + "/rsyncd-output.txt");
  return false;
}

bool RsyncDaemon::Push(const std::string& source, bool fsync, double* seconds,
                       std::string* error) {
  const std::string name = std::filesystem::path(source).filename().string();
  std::error_code ec;
  std::filesystem::remove(DestinationDir() + "/" + name, ec);
  const std::string output = work_dir_ + "/rsync-client-output.txt";
  auto start = std::chrono::steady_clock::now();
  std::vector<std::string> args = {source, "rsync://127.0.0.1:" + std::to_string(port_) + "/bench/"};
  if (fsync) args.insert(args.begin(), "--fsync");
  int rc = RunProgram("/usr/bin/rsync", args, {}, output, std::chrono::minutes(30));
  *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (rc != 0) {
    *error = "rsync exited with " + std::to_string(rc) + ": " + ReadWholeFile(output);
    return false;
  }
  if (std::filesystem::file_size(DestinationDir() + "/" + name, ec) !=
      std::filesystem::file_size(source, ec)) {
    *error = "rsync left a file of another size";
    return false;
  }
  return true;
}

}  // namespace zv::bench
