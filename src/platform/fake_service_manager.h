// FakeServiceManager: an in-memory service manager for tests, with fault
// switches: a manager that fails every call, a service that never stops,
// state changes that take a number of status queries. Linked into test
// programs only. One thread at a time.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/service_manager.h"

namespace zv {

class FakeServiceManager final : public ServiceManager {
 public:
  struct Service {
    ServiceDefinition definition;
    uint32_t state = kServiceStopped;
    bool enabled = false;
    bool never_stops = false;  // a stop request leaves it stop pending
    uint32_t target = kServiceStopped;
    int queries_left = 0;      // status queries until the pending state ends
  };

  uint32_t Install(const ServiceDefinition& service) override;
  uint32_t Remove(const std::string& name) override;
  uint32_t Start(const std::string& name) override;
  uint32_t Stop(const std::string& name) override;
  uint32_t Control(const std::string& name, uint32_t control) override;
  uint32_t QueryState(const std::string& name, uint32_t* state) override;
  uint32_t ListInstalled(std::vector<InstalledService>* services) override;
  std::string LastFailureText() const override { return fail_with != 0 ? "fake failure" : ""; }

  // Adds an installed service in a state.
  Service& Add(const std::string& name, uint32_t state = kServiceStopped);

  std::map<std::string, Service> services;
  // Every call fails with this code while it is not 0.
  uint32_t fail_with = 0;
  // Only calls of this kind fail ("Start", "Stop", "QueryState", ...).
  std::string fail_only;
  // A start or stop is pending for this many status queries first.
  int pending_queries = 0;
  // "Install Zentrovane", "QueryState Zentrovane", ... in order.
  std::vector<std::string> calls;

 private:
  // Records the call; the failure code when it is to fail.
  uint32_t Enter(const char* kind, const std::string& name);
};

}  // namespace zv
