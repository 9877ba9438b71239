// Tar extraction into a scratch folder: whatever the package holds,
// nothing appears beside the target folder, and inside it there are only
// plain files and folders (no links, devices, FIFOs or sockets).
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "datafiles/tar_extractor.h"
#include "fuzz_util.h"

using zv::TarExtractor;
namespace fs = std::filesystem;
namespace fz = zv::fuzz;

namespace {

struct Place {
  std::string root;
  std::string target;
  std::string package;
  FILE* sink;
};

const Place& Setup() {
  static const Place place = [] {
    Place p;
    p.root = fz::ScratchHome::Get().Scratch("tar");
    p.target = p.root + "/target";
    p.package = p.root + "/package.tar";
    fs::create_directories(p.target);
    // The tool's own process changes into its target; so does this one.
    if (chdir(p.target.c_str()) != 0) fz::Finding("cannot enter the target folder");
    p.sink = std::fopen("/dev/null", "w");
    return p;
  }();
  return place;
}

void CheckTree(const std::string& folder) {
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    struct stat st;
    if (lstat(it->path().c_str(), &st) != 0) continue;
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
      fz::Finding("the package left something that is no plain file or folder");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Place& place = Setup();
  fz::ScratchHome::Get().TrimLogs();
  fz::WriteFile(place.package, std::string_view(reinterpret_cast<const char*>(data), size));
  TarExtractor extractor(place.sink, place.sink);
  (void)extractor.ExtractHere(place.package, true);
  // Beside the target only the package may lie.
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(place.root, ec)) {
    if (entry.path() != place.target && entry.path() != place.package) {
      fz::Finding("the package wrote beside the target folder");
    }
  }
  CheckTree(place.target);
  // Folders may have been made without write permission for the owner.
  for (auto it = fs::recursive_directory_iterator(place.target, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec)) fs::permissions(it->path(), fs::perms::owner_all,
                                              fs::perm_options::add, ec);
  }
  fz::EmptyFolder(place.target);
  return 0;
}
