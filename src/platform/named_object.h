// Named kernel objects ("Global\..." events and mutexes) shared between
// processes.
//
// A named object is a Unix-domain socket in the abstract namespace, bound
// and listened on by its owner: create = bind (EADDRINUSE means "already
// exists"); open = a connect that succeeds; set = connect and send one
// byte, which the owner records (manual reset: stays set until Reset). The
// object vanishes the moment its owner exits or is killed. The abstract
// name is "zentrovane/" + $ZENTROVANE_OBJECT_NAMESPACE + "/" + the Windows
// name, so tests can run servers side by side.
#pragma once

#include <memory>
#include <string>

namespace zv {

// The abstract socket name (without the leading NUL) of a Windows name.
std::string NamedObjectAddress(const std::string& windows_name);

// The owner's side. Owns a small thread that accepts connections and
// records "set" bytes. Thread-safe.
class NamedEvent {
 public:
  enum class CreateResult { kCreated, kAlreadyExists, kFailed };

  // Creates the object. kAlreadyExists when another owner holds the name
  // (then null is returned), kFailed with errno on other errors.
  static std::unique_ptr<NamedEvent> Create(const std::string& windows_name, bool manual_reset,
                                            CreateResult* result);

  ~NamedEvent();  // removes the name
  NamedEvent(const NamedEvent&) = delete;
  NamedEvent& operator=(const NamedEvent&) = delete;

  // Waits up to timeout_ms (0: test only, negative: without limit) for the
  // event to be set. An auto-reset event is reset by a successful wait.
  bool Wait(int timeout_ms);
  void Set();
  void Reset();

 private:
  struct State;
  explicit NamedEvent(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// A named mutex held for the life of the object (the owner "holds" it).
// Created by the importer while it runs; others only test for it.
using NamedMutexHolder = NamedEvent;

// True when an owner of the name exists right now ("open succeeds").
bool NamedObjectExists(const std::string& windows_name);

// Opens the object of that name and sets it. False when no owner exists.
bool SignalNamedEvent(const std::string& windows_name);

}  // namespace zv
