// The ini reader: a file's bytes read from disk and parsed from memory must
// give the same values, and no byte sequence may crash either way.
#include <cstddef>
#include <cstdint>
#include <string>

#include "config/ini_file.h"
#include "fuzz_util.h"

using zv::IniFile;
namespace fz = zv::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = fz::ScratchHome::Get().Scratch("ini") + "/dbconf.ini";
  const std::string text(reinterpret_cast<const char*>(data), size);
  IniFile parsed;
  parsed.Parse(text);
  fz::WriteFile(path, text);
  IniFile loaded;
  if (loaded.Load(path) != 0) fz::Finding("a readable file did not load");
  static const char* const kKeys[][2] = {{"db_config", "SQLUser"}, {"db_config", "SQLPWD"},
                                         {"db_config", "FilePath"}, {"mysql", "path"},
                                         {"S", "A"},                 {"", ""}};
  for (const auto& key : kKeys) {
    if (parsed.GetString(key[0], key[1], "-") != loaded.GetString(key[0], key[1], "-")) {
      fz::Finding("the file and its text give different values");
    }
    (void)parsed.GetUInt(key[0], key[1], 7);
  }
  return 0;
}
