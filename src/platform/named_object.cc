#include "platform/named_object.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace zv {

namespace {

// The byte a signaller sends, and the byte the owner answers once the event
// is recorded as set.
constexpr char kSetByte = 'S';
constexpr char kAckByte = 'A';
// How long a signaller waits for the owner's answer.
constexpr int kSignalTimeoutMs = 2000;
// Open connections the owner serves at once; more are closed at once, so a
// local process cannot make the owner run out of descriptors.
constexpr size_t kMaxPeers = 64;

bool MakeAddress(const std::string& windows_name, sockaddr_un* addr, socklen_t* length) {
  std::string name = NamedObjectAddress(windows_name);
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (name.size() + 1 > sizeof addr->sun_path) {
    errno = ENAMETOOLONG;
    return false;
  }
  // Abstract namespace: a leading NUL, then the name without terminator;
  // the length is part of the name, so both sides compute it alike.
  std::memcpy(addr->sun_path + 1, name.data(), name.size());
  *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  return true;
}

// Connects to the owner of the name. -1 with errno when there is none.
int ConnectTo(const std::string& windows_name) {
  sockaddr_un addr;
  socklen_t length;
  if (!MakeAddress(windows_name, &addr, &length)) return -1;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  // Bounds the connect too when the owner's backlog is full.
  timeval tv{kSignalTimeoutMs / 1000, (kSignalTimeoutMs % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  while (connect(fd, reinterpret_cast<sockaddr*>(&addr), length) != 0) {
    if (errno == EINTR) continue;
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

}  // namespace

struct NamedEvent::State {
  int listen_fd = -1;
  int wake_fd = -1;
  bool manual_reset = false;
  std::thread thread;

  std::mutex mu;
  std::condition_variable cv;
  bool signaled = false;  // guarded by mu

  ~State() {
    if (thread.joinable()) {
      uint64_t one = 1;
      ssize_t ignored = write(wake_fd, &one, sizeof one);
      (void)ignored;
      thread.join();
    }
    if (listen_fd >= 0) close(listen_fd);
    if (wake_fd >= 0) close(wake_fd);
  }

  void MarkSet() {
    {
      std::lock_guard<std::mutex> lock(mu);
      signaled = true;
    }
    cv.notify_all();
  }

  // Accepts connections and serves "set" requests until stopped.
  void Run() {
    std::vector<int> peers;
    std::vector<pollfd> fds;
    for (;;) {
      fds.clear();
      fds.push_back({wake_fd, POLLIN, 0});
      fds.push_back({listen_fd, POLLIN, 0});
      for (int peer : peers) fds.push_back({peer, POLLIN, 0});
      if (poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (fds[0].revents != 0) break;
      std::vector<int> still_open;
      for (size_t i = 2; i < fds.size(); ++i) {
        int peer = fds[i].fd;
        if (fds[i].revents == 0) {
          still_open.push_back(peer);
          continue;
        }
        char buffer[16];
        ssize_t n = recv(peer, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
          still_open.push_back(peer);
          continue;
        }
        if (n > 0 && std::memchr(buffer, kSetByte, static_cast<size_t>(n)) != nullptr) {
          MarkSet();
          send(peer, &kAckByte, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
        }
        // One request per connection; an open test sends nothing.
        close(peer);
      }
      peers.swap(still_open);
      if (fds[1].revents != 0) {
        for (;;) {
          int peer = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
          if (peer < 0) break;
          if (peers.size() >= kMaxPeers) {
            close(peers.front());
            peers.erase(peers.begin());
          }
          peers.push_back(peer);
        }
      }
    }
    for (int peer : peers) close(peer);
  }
};

std::string NamedObjectAddress(const std::string& windows_name) {
  const char* ns = std::getenv("ZENTROVANE_OBJECT_NAMESPACE");
  return "zentrovane/" + std::string(ns != nullptr ? ns : "") + "/" + windows_name;
}

NamedEvent::NamedEvent(std::unique_ptr<State> state) : state_(std::move(state)) {}

NamedEvent::~NamedEvent() = default;

std::unique_ptr<NamedEvent> NamedEvent::Create(const std::string& windows_name,
                                               bool manual_reset, CreateResult* result) {
  CreateResult ignored_result;
  if (result == nullptr) result = &ignored_result;
  *result = CreateResult::kFailed;
  sockaddr_un addr;
  socklen_t length;
  if (!MakeAddress(windows_name, &addr, &length)) return nullptr;

  auto state = std::make_unique<State>();
  state->manual_reset = manual_reset;
  state->listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (state->listen_fd < 0) return nullptr;
  if (bind(state->listen_fd, reinterpret_cast<sockaddr*>(&addr), length) != 0) {
    if (errno == EADDRINUSE) *result = CreateResult::kAlreadyExists;
    return nullptr;
  }
  if (listen(state->listen_fd, 64) != 0) return nullptr;
  state->wake_fd = eventfd(0, EFD_CLOEXEC);
  if (state->wake_fd < 0) return nullptr;
  State* raw = state.get();
  try {
    state->thread = std::thread([raw] { raw->Run(); });
  } catch (...) {
    errno = EAGAIN;
    return nullptr;
  }
  *result = CreateResult::kCreated;
  return std::unique_ptr<NamedEvent>(new NamedEvent(std::move(state)));
}

bool NamedEvent::Wait(int timeout_ms) {
  State& s = *state_;
  std::unique_lock<std::mutex> lock(s.mu);
  if (timeout_ms < 0) {
    s.cv.wait(lock, [&s] { return s.signaled; });
  } else if (!s.cv.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                            [&s] { return s.signaled; })) {
    return false;
  }
  if (!s.manual_reset) s.signaled = false;
  return true;
}

void NamedEvent::Set() { state_->MarkSet(); }

void NamedEvent::Reset() {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->signaled = false;
}

bool NamedObjectExists(const std::string& windows_name) {
  int fd = ConnectTo(windows_name);
  if (fd < 0) return false;
  close(fd);
  return true;
}

bool SignalNamedEvent(const std::string& windows_name) {
  int fd = ConnectTo(windows_name);
  if (fd < 0) return false;
  bool ok = false;
  if (send(fd, &kSetByte, 1, MSG_NOSIGNAL) == 1) {
    // The owner answers once the event is set, so the caller may rely on it.
    pollfd pfd{fd, POLLIN, 0};
    int rc;
    do {
      rc = poll(&pfd, 1, kSignalTimeoutMs);
    } while (rc < 0 && errno == EINTR);
    char answer = 0;
    if (rc > 0 && recv(fd, &answer, 1, 0) == 1 && answer == kAckByte) {
      ok = true;
    } else {
      errno = rc == 0 ? ETIMEDOUT : ECONNRESET;
    }
  }
  int saved = errno;
  close(fd);
  errno = saved;
  return ok;
}

}  // namespace zv
