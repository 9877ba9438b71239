#include "protocol/login_set.h"

namespace zv {

LoginSet& LoginSet::Instance() {
  static LoginSet* instance = new LoginSet;  // never destroyed: sessions may end at exit
  return *instance;
}

std::string LoginSet::Normalize(std::string_view session_key) {
  std::string key(session_key);
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
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
