#include "server/metrics_endpoint.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "log/sync_log.h"
#include "util/metrics.h"
#include "util/string_format.h"

namespace zv {
namespace {

constexpr const char kContentType[] = "text/plain; version=0.0.4; charset=utf-8";
// A scraper or two, and a person with curl; nobody else has business here.
constexpr unsigned kConnectionLimit = 16;
constexpr unsigned kConnectionTimeoutSeconds = 10;

void LogLibraryMessage(void*, const char* format, va_list args) {
  const std::string text = FormatStringV(format, args);
  ZV_LOG_W("Metrics endpoint:%s", text.c_str());
}

MHD_Result Answer(MHD_Connection* connection, unsigned status, const std::string& body,
                  const char* content_type) {
  MHD_Response* response = MHD_create_response_from_buffer(
      body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  (void)MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, content_type);
  if (status == MHD_HTTP_METHOD_NOT_ALLOWED) {
    (void)MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
  }
  const MHD_Result result = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return result;
}

MHD_Result HandleRequest(void* cls, MHD_Connection* connection, const char* url,
                         const char* method, const char*, const char*, size_t*, void**) {
  const auto* self = static_cast<const MetricsEndpoint*>(cls);
  const bool get = std::strcmp(method, MHD_HTTP_METHOD_GET) == 0 ||
                   std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
  if (!get) {
    return Answer(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "Method not allowed\n", "text/plain");
  }
  if (std::strcmp(url, "/metrics") != 0) {
    return Answer(connection, MHD_HTTP_NOT_FOUND, "Not found: the metrics are at /metrics\n",
                  "text/plain");
  }
  return Answer(connection, MHD_HTTP_OK, self->Scrape(), kContentType);
}

}  // namespace

MetricsEndpoint::MetricsEndpoint(const metrics::Registry& registry, std::function<void()> collect)
    : registry_(registry), collect_(std::move(collect)) {}

MetricsEndpoint::~MetricsEndpoint() { Stop(); }

std::string MetricsEndpoint::Scrape() const {
  if (collect_) collect_();
  return registry_.Exposition();
}

bool MetricsEndpoint::Start(const std::string& address, uint16_t port) {
  if (daemon_ != nullptr) throw 0;
  sockaddr_in v4{};
  sockaddr_in6 v6{};
  const sockaddr* bind_address = nullptr;
  unsigned int flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO | MHD_USE_ERROR_LOG;
  if (inet_pton(AF_INET, address.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    bind_address = reinterpret_cast<const sockaddr*>(&v4);
  } else if (inet_pton(AF_INET6, address.c_str(), &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    bind_address = reinterpret_cast<const sockaddr*>(&v6);
    flags |= MHD_USE_IPv6;
  } else {
    errno = EINVAL;
    return false;
  }
  errno = 0;
  daemon_ = MHD_start_daemon(
      flags, port, nullptr, nullptr, &HandleRequest, const_cast<MetricsEndpoint*>(this),
      MHD_OPTION_EXTERNAL_LOGGER, &LogLibraryMessage, nullptr, MHD_OPTION_SOCK_ADDR, bind_address,
      MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit, MHD_OPTION_CONNECTION_TIMEOUT,
      kConnectionTimeoutSeconds, MHD_OPTION_END);
  if (daemon_ == nullptr) {
    if (errno == 0) errno = EADDRNOTAVAIL;
    return false;
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
  port_ = info != nullptr && info->port != 0 ? info->port : port;
  return true;
}

void MetricsEndpoint::Stop() {
  if (daemon_ == nullptr) return;
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
  port_ = 0;
}

}  // namespace zv
