// The record-file reader: any main file, with any temporary file beside
// it, loads without a crash, and what loads survives a save and a reload
// unchanged.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_util.h"
#include "records/account_file.h"

using zv::CZvAccountFile;
namespace fz = zv::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string folder = fz::ScratchHome::Get().Scratch("records");
  fz::ScratchHome::Get().TrimLogs();
  fz::EmptyFolder(folder);
  // The first byte chooses the side files; the rest is the main file, and
  // with bit 0 set also the temporary one (a save cut off before its rename).
  const uint8_t choice = size > 0 ? data[0] : 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + (size > 0 ? 1 : 0),
                               size > 0 ? size - 1 : 0);
  const std::string path = folder + "/syncaccount.dat";
  fz::WriteFile(path, bytes);
  if (choice & 1) fz::WriteFile(folder + "/syncaccount.tem", bytes.substr(bytes.size() / 2));
  if (choice & 2) fz::WriteFile(folder + "/syncaccount.bak0", bytes.substr(0, bytes.size() / 2));

  CZvAccountFile file;
  file.SetPath(path);
  (void)file.Load();
  if (file.Records().empty() || (choice & 4) == 0) return 0;
  if (file.Save(CZvAccountFile::Durability::kWithNextCommit) != 0) return 0;
  CZvAccountFile again;
  again.SetPath(path);
  (void)again.Load();
  if (again.Records().size() != file.Records().size() ||
      std::memcmp(again.Records().data(), file.Records().data(),
                  file.Records().size() * sizeof(file.Records()[0])) != 0) {
    fz::Finding("saved records read back differently");
  }
  return 0;
}
