// MetricsEndpoint: answers "GET /metrics" over HTTP with the exposition of a
// metrics registry, for Prometheus to scrape. HTTP is libmicrohttpd's: one
// thread of its own serves every connection, so a slow or stuck scraper
// never holds up the server's loop or its sessions.
//
// Owned by the controller, which starts it when the settings ask for it and
// stops it with its sockets. Start and Stop on the controller's thread; the
// collect function runs on the endpoint's thread before each exposition
// (the controller measures the disks there).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct MHD_Daemon;

namespace zv {

namespace metrics {
class Registry;
}

class MetricsEndpoint {
 public:
  // registry outlives the endpoint.
  MetricsEndpoint(const metrics::Registry& registry, std::function<void()> collect);
  ~MetricsEndpoint();  // Stop
  MetricsEndpoint(const MetricsEndpoint&) = delete;
  MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

  // Listens on address (an IPv4 or IPv6 literal) and port (0: any free
  // one). False when the address is no literal (errno EINVAL) or the port
  // cannot be bound (errno as the bind left it). A second Start throws 0.
  [[nodiscard]] bool Start(const std::string& address, uint16_t port);
  // Closes the socket and ends the thread once the answers in progress are
  // sent. Harmless when not started.
  void Stop();
  // The port bound; 0 when not running.
  uint16_t port() const { return port_; }

  // What GET /metrics answers: collect, then the exposition. Any thread.
  std::string Scrape() const;

 private:

  // Constant after construction.
  const metrics::Registry& registry_;
  const std::function<void()> collect_;

  MHD_Daemon* daemon_ = nullptr;
  uint16_t port_ = 0;
};

}  // namespace zv
