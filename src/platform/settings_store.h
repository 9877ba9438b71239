// SettingsStore: the typed key-value store that stands in for the registry
// key "HKEY_LOCAL_MACHINE\Software\Korvane\Zentrovane".
//
// It is one text file in the .reg export format:
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\Software\Korvane\Zentrovane]
//   "SyncPort"=dword:0000032a
//   "PendingDeleteDate"="20101115 $ALL$ $ALL$;"
//   "DependOnService"=hex(7):...   (multi-string, UTF-16LE bytes)
//   "Blob"=hex:01,02               (binary)
// Other keys of the same file (the service framework keeps its parameters
// under "...\Services\<name>\Parameters\<section>") are opened with a key
// name of their own; every key is one "[...]" section and keeps its values
// apart from the others'.
// Values are never cached: every read parses the file afresh. Every write
// takes an exclusive flock on "<file>.lock", re-reads the file, changes the
// one value, writes a temporary file, fsyncs it and renames it over the
// file, so that the server and its watchdog can share it and a reader sees
// the old or the new file, never half of one. Thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zv {

// The key of the server's own settings.
inline constexpr const char* kSettingsKeyName = "HKEY_LOCAL_MACHINE\\Software\\Korvane\\Zentrovane";

class SettingsStore {
 public:
  // The store's file: $ZENTROVANE_REGISTRY when set, else
  // home + "/config/registry.reg".
  static std::string DefaultPath(const std::string& home);

  // Opens the store, creating the file (with its folder and the key header)
  // when missing. Null when it can neither be opened nor created; errno
  // tells why.
  static std::unique_ptr<SettingsStore> Open(const std::string& path);
  // The same for another key of the file (a full key name, compared
  // without regard to case). The file is created when missing; the key's
  // section only with its first value.
  static std::unique_ptr<SettingsStore> Open(const std::string& path, const std::string& key);

  virtual ~SettingsStore() = default;

  // Absent values and values of another type read as nullopt.
  virtual std::optional<uint32_t> ReadDword(const std::string& name) = 0;
  virtual std::optional<std::string> ReadString(const std::string& name) = 0;
  virtual std::optional<std::vector<std::string>> ReadMultiString(const std::string& name) = 0;
  virtual std::optional<std::vector<uint8_t>> ReadBinary(const std::string& name) = 0;

  // Replace the value (of any type) under name. False when the file could
  // not be written.
  virtual bool WriteDword(const std::string& name, uint32_t value) = 0;
  virtual bool WriteString(const std::string& name, const std::string& value) = 0;
  virtual bool WriteMultiString(const std::string& name, const std::vector<std::string>& value) = 0;
  virtual bool WriteBinary(const std::string& name, const std::vector<uint8_t>& value) = 0;
  virtual bool DeleteValue(const std::string& name) = 0;
  // Removes the key's section with every value in it (true when it was not
  // there).
  virtual bool DeleteKey() = 0;

  virtual const std::string& path() const = 0;
  virtual const std::string& key() const = 0;
};

}  // namespace zv
