#include "protocol/login_set.h"

#include "platform/ascii_case.h"

namespace zv {

LoginSet& LoginSet::Instance() {
  static LoginSet* instance = new LoginSet;  // never destroyed: sessions may end at exit
  return *instance;
}

std::string LoginSet::Normalize(std::string_view session_key) {
  return ToLowerAscii(session_key);
}

bool LoginSet::Insert(std::string_view session_key) {
  std::string key = Normalize(session_key);
  std::lock_guard<std::mutex> lock(mu_);
  return keys_.insert(std::move(key)).second;
}

void LoginSet::Remove(std::string_view session_key) {
  std::string key = Normalize(session_key);
  std::lock_guard<std::mutex> lock(mu_);
  keys_.erase(key);
}

bool LoginSet::Contains(std::string_view session_key) const {
  std::string key = Normalize(session_key);
  std::lock_guard<std::mutex> lock(mu_);
  return keys_.count(key) != 0;
}

size_t LoginSet::size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return keys_.size();
}

}  // namespace zv
