// The settings-store reader: any file content is read without a crash, and
// a value written into it reads back as written while the other values
// stay as they were.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "fuzz_util.h"
#include "platform/settings_store.h"

using zv::SettingsStore;
namespace fz = zv::fuzz;

namespace {

const char* const kNames[] = {"SyncPort", "PendingDeleteDate", "DependOnService", "Blob",
                              "UIAllowedAddresses", ""};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = fz::ScratchHome::Get().Scratch("settings") + "/registry.reg";
  fz::WriteFile(path, std::string_view(reinterpret_cast<const char*>(data), size));
  std::unique_ptr<SettingsStore> store = SettingsStore::Open(path);
  if (!store) return 0;
  for (const char* name : kNames) {
    (void)store->ReadDword(name);
    (void)store->ReadString(name);
    (void)store->ReadMultiString(name);
    (void)store->ReadBinary(name);
  }
  std::unique_ptr<SettingsStore> other =
      SettingsStore::Open(path, "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zentrovane");
  if (other) (void)other->ReadMultiString("DependOnService");

  const std::optional<std::string> before = store->ReadString("PendingDeleteDate");
  if (!store->WriteDword("FuzzValue", 0x12345678)) return 0;
  if (store->ReadDword("FuzzValue") != std::optional<uint32_t>(0x12345678)) {
    fz::Finding("a written value does not read back");
  }
  if (store->ReadString("PendingDeleteDate") != before) {
    fz::Finding("writing one value changed another");
  }
  return 0;
}
