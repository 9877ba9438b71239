#include "platform/event_log.h"

#include <syslog.h>
#include <systemd/sd-journal.h>

#include <mutex>

namespace zv {
namespace {

int Priority(EventType type) {
  switch (type) {
    case EventType::kError:
      return LOG_ERR;
    case EventType::kWarning:
      return LOG_WARNING;
    default:
      return LOG_INFO;
  }
}

class JournalEventLog final : public EventLog {
 public:
  bool Report(const std::string& source, EventType type, uint32_t event_id,
              const std::string& text) override {
    const int priority = Priority(type);
    int rc = sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%d", priority,
                             "SYSLOG_IDENTIFIER=%s", source.c_str(), "EVENT_ID=0x%08X", event_id,
                             nullptr);
    if (rc == 0) return true;
    // No journal: syslog, whose identifier is process-wide state, so the
    // source is registered, used and dropped again under the lock.
    std::lock_guard<std::mutex> lock(syslog_mu_);
    openlog(source.c_str(), LOG_PID, LOG_DAEMON);
    syslog(priority, "%s (event 0x%08X)", text.c_str(), event_id);
    closelog();
    return true;
  }

 private:
  std::mutex syslog_mu_;
};

}  // namespace

std::unique_ptr<EventLog> CreateSystemEventLog() { return std::make_unique<JournalEventLog>(); }

}  // namespace zv
