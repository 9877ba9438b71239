#include "protocol/sync_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <poll.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <new>
#include <thread>

#include "log/sync_log.h"
#include "platform/thread_priority.h"
#include "protocol/session_host.h"
#include "protocol/sync_client.h"
#include "util/loop_mailbox.h"
#include "util/system_util.h"

namespace zv {
namespace {

// The kernel's queue of connections waiting for accept. It must hold a
// whole burst of appliances: with a short queue Linux answers the excess
// with SYN cookies and then drops their final ACK while the queue is full,
// so an appliance believes it is connected and waits for a server version
// that never comes. The accept loop drains the queue at every wake-up.
constexpr int kListenBacklog = SOMAXCONN;

// Connections accepted per turn of the loop. Each starts a thread; a burst
// of hundreds taken in one turn would keep the loop from the logins that
// those sessions (and others) meanwhile wait to have admitted.
constexpr int kAcceptBatch = 16;

// The session starter's nice value, the controller loop's.
constexpr int kStarterNice = -10;

// With no descriptor left for a queued connection, the listening socket
// stays readable: the accepts pause this long instead of spinning, while
// the sessions' ends and uploads free descriptors. The connection waits in
// the kernel's queue meanwhile.
constexpr std::chrono::milliseconds kDescriptorPause{100};

}  // namespace

struct SyncListener::Impl {
  explicit Impl(asio::io_context& io) : descriptor(io), pause(io) {}

  // Waits for readiness of the listening socket; the accepts themselves are
  // plain accept4 calls, up to a batch per turn of the loop until none wait.
  asio::posix::stream_descriptor descriptor;
  uint16_t port = 0;
  // The pause after an accept found no descriptor; short_of_descriptors
  // keeps the log to one line per shortage.
  asio::steady_timer pause;
  bool short_of_descriptors = false;

  // Sessions are started on a thread of their own: creating a session's
  // thread maps its stack, which waits for the process's memory map lock,
  // at times for a second while hundreds of sessions come and go; the loop
  // (which admits every login within 500 ms) must not wait for that.
  std::unique_ptr<LoopMailbox> starts;
  std::thread starter;
  std::atomic<bool> closing{false};

  void StopStarter() {
    if (!starter.joinable()) return;
    closing.store(true);
    starts->Close();
    starts->Wake();
    starter.join();
    starts->Drain();  // connections accepted but not started are closed
    starts.reset();
  }
};

SyncListener::SyncListener(asio::io_context& io, SessionHost& host)
    : host_(host), impl_(std::make_unique<Impl>(io)) {}

SyncListener::~SyncListener() { Close(); }

bool SyncListener::Start(uint16_t port) {
  Close();
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    ZV_LOG_E("Create socket failed!errno=%u\n", static_cast<unsigned>(errno));
    return false;
  }
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    ZV_LOG_E("Create socket failed!errno=%u\n", static_cast<unsigned>(errno));
    ::close(fd);
    return false;
  }
  if (::listen(fd, kListenBacklog) != 0) {
    ZV_LOG_E("Listen failed!errno=%u\n", static_cast<unsigned>(errno));
    ::close(fd);
    return false;
  }
  socklen_t length = sizeof(address);
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    impl_->port = ntohs(address.sin_port);
  }
  asio::error_code ec;
  impl_->descriptor.assign(fd, ec);
  if (ec) {
    ZV_LOG_E("Listen failed!errno=%u\n", static_cast<unsigned>(ec.value()));
    ::close(fd);
    return false;
  }
  (void)StartStarter();
  ArmAccept();
  return true;
}

void SyncListener::Close() {
  impl_->pause.cancel();
  if (impl_->descriptor.is_open()) {
    asio::error_code ignored;
    impl_->descriptor.close(ignored);
  }
  impl_->StopStarter();
}

bool SyncListener::StartStarter() {
  if (impl_->starter.joinable()) return true;
  try {
    impl_->starts = std::make_unique<LoopMailbox>();
    impl_->closing.store(false);
    impl_->starter = std::thread([impl = impl_.get()] {
      SetThreadDebugName(GetCurrentThreadId32(), "SessionStarter");
      // A login waits for its session to start as it waits for the loop:
      // this thread runs at the loop's priority, or hundreds of busy
      // sessions would leave it a processor's share of one in hundreds.
      int nice_before = 0;
      if (!RaiseThreadPriority(kStarterNice, &nice_before)) {
        ZV_LOG_D("Raise starter thread priority failed!errno=%u\n",
                 static_cast<unsigned>(errno));
      }
      while (!impl->closing.load()) {
        pollfd p{impl->starts->wake_fd(), POLLIN, 0};
        if (::poll(&p, 1, -1) > 0) impl->starts->Drain();
      }
    });
  } catch (const std::exception&) {
    impl_->starts.reset();
    return false;  // sessions are then started on the loop
  }
  return true;
}

void SyncListener::StartSession(int fd, uint32_t address, uint16_t port) {
  std::unique_ptr<SyncClient> session;
  try {
    session = std::make_unique<SyncClient>(host_);
  } catch (const std::bad_alloc&) {
    ZV_LOG_E("Shit!\n");
    ::close(fd);
    return;
  }
  if (!session->Start(fd, address, port)) {
    ZV_LOG_E("Start client work procedure failed!\n");
    return;  // the session closed the connection
  }
  // A host that cannot take it stops and destroys it.
  (void)host_.NotifyConnected(std::move(session));
}

uint16_t SyncListener::port() const { return impl_->port; }

void SyncListener::ArmAccept() {
  impl_->descriptor.async_wait(asio::posix::stream_descriptor::wait_read,
                               [this](const asio::error_code& error) {
                                 if (error == asio::error::operation_aborted ||
                                     !impl_->descriptor.is_open()) {
                                   return;
                                 }
                                 if (error) {
                                   ZV_LOG_E("Accept error!errno=%u\n",
                                            static_cast<unsigned>(error.value()));
                                   ArmAccept();
                                 } else {
                                   ContinueAccepting();
                                 }
                               });
}

void SyncListener::ContinueAccepting() {
  if (!impl_->descriptor.is_open()) return;
  switch (AcceptPending()) {
    case AcceptOutcome::kDrained:
      ArmAccept();
      return;
    case AcceptOutcome::kBatchFull:
      // More may wait: go on at a later turn, after what is queued meanwhile.
      asio::post(impl_->descriptor.get_executor(), [this] { ContinueAccepting(); });
      return;
    case AcceptOutcome::kNoDescriptor:
      impl_->pause.expires_after(kDescriptorPause);
      impl_->pause.async_wait([this](const asio::error_code& error) {
        if (!error) ContinueAccepting();
      });
      return;
  }
}

SyncListener::AcceptOutcome SyncListener::AcceptPending() {
  const int listen_fd = impl_->descriptor.native_handle();
  for (int accepted = 0; accepted < kAcceptBatch; ++accepted) {
    sockaddr_in peer{};
    socklen_t length = sizeof(peer);
    int fd = ::accept4(listen_fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        impl_->short_of_descriptors = false;
        return AcceptOutcome::kDrained;
      }
      const bool shortage =
          errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM;
      if (!shortage || !impl_->short_of_descriptors) {
        ZV_LOG_E("Accept error!errno=%u\n", static_cast<unsigned>(errno));
      }
      if (!shortage) return AcceptOutcome::kDrained;  // a connection that died in the queue
      impl_->short_of_descriptors = true;
      return AcceptOutcome::kNoDescriptor;
    }
    impl_->short_of_descriptors = false;
    const uint32_t address = ntohl(peer.sin_addr.s_addr);
    const uint16_t port = ntohs(peer.sin_port);
    Impl* impl = impl_.get();
    const bool handed = impl->starts != nullptr &&
                        impl->starts->Post([this, impl, fd, address, port] {
                          if (impl->closing.load()) {
                            ::close(fd);  // the listener closes: not started
                          } else {
                            StartSession(fd, address, port);
                          }
                        });
    if (!handed) StartSession(fd, address, port);
  }
  return AcceptOutcome::kBatchFull;
}

}  // namespace zv
