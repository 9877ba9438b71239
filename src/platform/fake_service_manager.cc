#include "platform/fake_service_manager.h"

#include "platform/process.h"

namespace zv {

uint32_t FakeServiceManager::Enter(const char* kind, const std::string& name) {
  calls.push_back(name.empty() ? std::string(kind) : std::string(kind) + " " + name);
  if (fail_with != 0 && (fail_only.empty() || fail_only == kind)) return fail_with;
  return 0;
}

FakeServiceManager::Service& FakeServiceManager::Add(const std::string& name, uint32_t state) {
  Service& service = services[name];
  service.definition.name = name;
  service.state = state;
  service.target = state;
  return service;
}

uint32_t FakeServiceManager::Install(const ServiceDefinition& service) {
  if (uint32_t failed = Enter("Install", service.name)) return failed;
  if (services.count(service.name) != 0) return kErrorServiceExists;
  Service& added = Add(service.name);
  added.definition = service;
  added.enabled = service.auto_start;
  return 0;
}

uint32_t FakeServiceManager::Remove(const std::string& name) {
  if (uint32_t failed = Enter("Remove", name)) return failed;
  return services.erase(name) != 0 ? 0 : kErrorServiceDoesNotExist;
}

uint32_t FakeServiceManager::Start(const std::string& name) {
  if (uint32_t failed = Enter("Start", name)) return failed;
  auto it = services.find(name);
  if (it == services.end()) return kErrorServiceDoesNotExist;
  Service& service = it->second;
  if (service.state == kServiceRunning) return 0;
  service.target = kServiceRunning;
  service.queries_left = pending_queries;
  service.state = pending_queries > 0 ? kServiceStartPending : kServiceRunning;
  return 0;
}

uint32_t FakeServiceManager::Stop(const std::string& name) {
  if (uint32_t failed = Enter("Stop", name)) return failed;
  auto it = services.find(name);
  if (it == services.end()) return kErrorServiceDoesNotExist;
  Service& service = it->second;
  if (service.state == kServiceStopped) return 0;
  service.target = kServiceStopped;
  service.queries_left = pending_queries;
  service.state =
      pending_queries > 0 || service.never_stops ? kServiceStopPending : kServiceStopped;
  return 0;
}

uint32_t FakeServiceManager::Control(const std::string& name, uint32_t control) {
  if (control == kServiceControlStop) return Stop(name);
  if (uint32_t failed = Enter("Control", name)) return failed;
  return services.count(name) != 0 ? kErrorInvalidServiceControl : kErrorServiceDoesNotExist;
}

uint32_t FakeServiceManager::QueryState(const std::string& name, uint32_t* state) {
  if (uint32_t failed = Enter("QueryState", name)) return failed;
  auto it = services.find(name);
  if (it == services.end()) return kErrorServiceDoesNotExist;
  Service& service = it->second;
  if (service.state != service.target && service.queries_left > 0) {
    --service.queries_left;
  } else if (service.state != service.target &&
             !(service.never_stops && service.target == kServiceStopped)) {
    service.state = service.target;
  }
  *state = service.state;
  return 0;
}

uint32_t FakeServiceManager::ListInstalled(std::vector<InstalledService>* out) {
  if (uint32_t failed = Enter("ListInstalled", "")) return failed;
  out->clear();
  for (const auto& [name, service] : services) {
    std::vector<std::string> words = SplitCommandLine(service.definition.command_line);
    out->push_back({name, words.empty() ? std::string() : words[0]});
  }
  return 0;
}

}  // namespace zv
