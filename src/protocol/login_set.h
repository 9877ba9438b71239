// LoginSet: the process-wide set of appliances logged in at this moment,
// keyed by session key ("<user>-<DEVICEID>") compared without regard to
// letter case. A session inserts its key at login and removes it when it
// ends, so that the same user and device cannot be logged in twice.
// Any thread; one lock guards the set and is never held across other calls.
#pragma once

#include <mutex>
#include <set>
#include <string>
#include <string_view>

namespace zv {

class LoginSet {
 public:
  static LoginSet& Instance();

  LoginSet() = default;
  LoginSet(const LoginSet&) = delete;
  LoginSet& operator=(const LoginSet&) = delete;

  // Inserts the key (lower-cased); false when it is present already.
  [[nodiscard]] bool Insert(std::string_view session_key);
  // Removes the key (lower-cased); nothing happens when it is absent.
  void Remove(std::string_view session_key);
  bool Contains(std::string_view session_key) const;
  size_t size() const;

  // ASCII lower case, as the set stores its keys.
  static std::string Normalize(std::string_view session_key);

 private:
  mutable std::mutex mu_;
  std::set<std::string> keys_;  // guarded by mu_
};

}  // namespace zv
