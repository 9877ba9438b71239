#include "crashdump/dump_setup.h"

#include <elf.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

namespace zv {
namespace {

// Copies text into a fixed field, cut to fit, NUL-terminated.
void CopyField(char* field, size_t size, std::string_view text) {
  const size_t n = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

int FindBuildId(struct dl_phdr_info* info, size_t, void* data) {
  // The first object is the executable itself.
  auto* out = static_cast<std::string*>(data);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& header = info->dlpi_phdr[i];
    if (header.p_type != PT_NOTE) continue;
    const auto* p = reinterpret_cast<const unsigned char*>(info->dlpi_addr + header.p_vaddr);
    const unsigned char* end = p + header.p_memsz;
    // Notes: name size, descriptor size, type, then name and descriptor,
    // each padded to four bytes.
    while (p + sizeof(ElfW(Nhdr)) <= end) {
      ElfW(Nhdr) note;
      std::memcpy(&note, p, sizeof(note));
      const unsigned char* name = p + sizeof(note);
      const unsigned char* desc = name + ((note.n_namesz + 3u) & ~3u);
      const unsigned char* next = desc + ((note.n_descsz + 3u) & ~3u);
      if (next > end) break;
      if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 &&
          std::memcmp(name, "GNU", 4) == 0) {
        static constexpr char kDigits[] = "0123456789abcdef";
        for (uint32_t k = 0; k < note.n_descsz; ++k) {
          out->push_back(kDigits[desc[k] >> 4]);
          out->push_back(kDigits[desc[k] & 0xF]);
        }
        return 1;
      }
      p = next;
    }
  }
  return 1;  // only the executable is looked at
}

}  // namespace

std::string ReadOwnBuildId() {
  std::string id;
  dl_iterate_phdr(FindBuildId, &id);
  return id;
}

DumpSetup::~DumpSetup() {
  if (scratch_ != nullptr) ::munmap(scratch_, sizeof(DumpScratch));
}

bool DumpSetup::Prepare(const std::string& folder, const char* version_text) {
  std::string trimmed = folder;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  if (trimmed.size() >= kFolderBytes) return false;
  CopyField(folder_, sizeof(folder_), trimmed);

  std::string_view version(version_text != nullptr ? version_text : "");
  while (!version.empty() && (version.back() == '\n' || version.back() == '\r')) {
    version.remove_suffix(1);
  }
  CopyField(version_text_, sizeof(version_text_), version);

  const ssize_t n = ::readlink("/proc/self/exe", executable_, sizeof(executable_) - 1);
  executable_[n > 0 ? n : 0] = '\0';
  CopyField(build_id_, sizeof(build_id_), ReadOwnBuildId());
  const long page = ::sysconf(_SC_PAGESIZE);
  if (page > 0) page_size_ = static_cast<uint64_t>(page);
  clock_.Prepare(std::time(nullptr));

  if (scratch_ == nullptr) {
    // Reserved, not committed: the pages cost nothing until a report is
    // written, and writing one then needs no allocator.
    void* memory = ::mmap(nullptr, sizeof(DumpScratch), PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (memory == MAP_FAILED) return false;
    scratch_ = static_cast<DumpScratch*>(memory);
  }
  return true;
}

}  // namespace zv
