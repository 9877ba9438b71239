// EventLog: the system's log of service events. On this system it is the
// journal: each entry carries the event source as its identifier
// (SYSLOG_IDENTIFIER, what `journalctl -t` selects), the event id
// (EVENT_ID, "0x%08X") and the message text. Where no journal runs, the
// entry goes to syslog under the same identifier. Thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace zv {

enum class EventType : uint32_t {
  kError = 1,
  kWarning = 2,
  kInformation = 4,
};

class EventLog {
 public:
  virtual ~EventLog() = default;
  // Writes one entry. True once the journal took it, or once it was handed
  // to syslog (which tells nothing back); false only where neither exists.
  virtual bool Report(const std::string& source, EventType type, uint32_t event_id,
                      const std::string& text) = 0;
};

// The journal (or syslog) of this machine.
std::unique_ptr<EventLog> CreateSystemEventLog();

}  // namespace zv
