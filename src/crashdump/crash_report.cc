#include "crashdump/crash_report.h"

#define UNW_LOCAL_ONLY
#include <dirent.h>
#include <elf.h>
#include <fcntl.h>
#include <libunwind.h>
#include <link.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace zv {
namespace {

constexpr int kMaxFrames = 128;
constexpr uint64_t kStackBytes = 16 * 1024;
constexpr uint64_t kAroundRegister = 128;  // bytes on each side

// ---- small safe helpers --------------------------------------------------

// Reads a whole /proc file into buffer (NUL-terminated); its length.
size_t ReadProcFile(const char* path, char* buffer, size_t capacity) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  size_t length = 0;
  while (length + 1 < capacity) {
    const ssize_t n = ::read(fd, buffer + length, capacity - 1 - length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    length += static_cast<size_t>(n);
  }
  ::close(fd);
  buffer[length] = '\0';
  return length;
}

// Parses hexadecimal digits at *p; advances past them.
uint64_t ParseHex(const char** p, const char* end) {
  uint64_t value = 0;
  for (; *p < end; ++*p) {
    const char c = **p;
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      break;
    }
    value = value * 16 + static_cast<uint64_t>(digit);
  }
  return value;
}

// Copies text into buffer, cut to fit and NUL-terminated.
void CopyName(char* buffer, size_t capacity, const char* text, size_t length) {
  if (length >= capacity) length = capacity - 1;
  std::memcpy(buffer, text, length);
  buffer[length] = '\0';
}

// ---- the process's mappings ---------------------------------------------

class ProcessMaps {
 public:
  explicit ProcessMaps(DumpScratch* scratch) : scratch_(scratch) {
    length_ = ReadProcFile("/proc/self/maps", scratch->maps_text, DumpScratch::kMapsBytes);
    truncated_ = length_ + 1 >= DumpScratch::kMapsBytes;
    Parse();
  }

  std::string_view text() const { return std::string_view(scratch_->maps_text, length_); }
  bool truncated() const { return truncated_; }
  size_t count() const { return count_; }
  const MapEntry& at(size_t i) const { return scratch_->maps[i]; }

  const MapEntry* Find(uint64_t address) const {
    for (size_t i = 0; i < count_; ++i) {
      const MapEntry& entry = scratch_->maps[i];
      if (address >= entry.start && address < entry.end) return &entry;
    }
    return nullptr;
  }

  // The first mapping of the same file, at file offset 0: where the
  // module's ELF header is.
  const MapEntry* ModuleBase(const MapEntry& entry) const {
    if (entry.path_length == 0) return nullptr;
    for (size_t i = 0; i < count_; ++i) {
      const MapEntry& candidate = scratch_->maps[i];
      if (candidate.offset == 0 && candidate.path_length == entry.path_length &&
          std::memcmp(candidate.path, entry.path, entry.path_length) == 0) {
        return &candidate;
      }
    }
    return nullptr;
  }

 private:
  // "start-end perms offset dev inode   path"
  void Parse() {
    const char* p = scratch_->maps_text;
    const char* const end = p + length_;
    while (p < end && count_ < DumpScratch::kMaxMaps) {
      const char* line_end = static_cast<const char*>(std::memchr(p, '\n', end - p));
      if (line_end == nullptr) line_end = end;
      MapEntry entry;
      entry.start = ParseHex(&p, line_end);
      if (p < line_end && *p == '-') ++p;
      entry.end = ParseHex(&p, line_end);
      if (p < line_end) ++p;
      for (int i = 0; i < 4 && p < line_end; ++i) entry.perms[i] = *p++;
      if (p < line_end) ++p;
      entry.offset = ParseHex(&p, line_end);
      // dev and inode, then blanks, then the path (may contain blanks).
      for (int field = 0; field < 2; ++field) {
        while (p < line_end && *p == ' ') ++p;
        while (p < line_end && *p != ' ') ++p;
      }
      while (p < line_end && *p == ' ') ++p;
      entry.path = p;
      entry.path_length = static_cast<uint32_t>(line_end - p);
      if (entry.end > entry.start) scratch_->maps[count_++] = entry;
      p = line_end + 1;
    }
  }

  DumpScratch* scratch_;
  size_t length_ = 0;
  size_t count_ = 0;
  bool truncated_ = false;
};

// Reads this process's memory through /proc/self/mem: an address that is
// not readable gives an error instead of a second fault.
class MemoryReader {
 public:
  MemoryReader() : fd_(::open("/proc/self/mem", O_RDONLY | O_CLOEXEC)) {}
  ~MemoryReader() {
    if (fd_ >= 0) ::close(fd_);
  }
  MemoryReader(const MemoryReader&) = delete;
  MemoryReader& operator=(const MemoryReader&) = delete;

  // True when all length bytes at address were read.
  bool Read(uint64_t address, void* buffer, size_t length) const {
    if (fd_ < 0 || address > static_cast<uint64_t>(INT64_MAX) - length) return false;
    size_t done = 0;
    while (done < length) {
      const ssize_t n = ::pread(fd_, static_cast<char*>(buffer) + done, length - done,
                                static_cast<off_t>(address + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

 private:
  int fd_;
};

// Where a module was loaded relative to its own addresses (the load bias):
// the mapping at file offset 0 minus the page of its first PT_LOAD
// segment's address. 0 for a fixed-address executable, the load address
// for a shared object or position-independent executable.
bool LoadBias(const MapEntry& base, const MemoryReader& memory, uint64_t page_size,
              uint64_t* bias) {
  ElfW(Ehdr) header;
  if (!memory.Read(base.start, &header, sizeof(header))) return false;
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_phentsize != sizeof(ElfW(Phdr))) {
    return false;
  }
  uint64_t lowest = UINT64_MAX;
  for (unsigned i = 0; i < header.e_phnum; ++i) {
    ElfW(Phdr) segment;
    const uint64_t at = base.start + header.e_phoff + i * sizeof(segment);
    if (!memory.Read(at, &segment, sizeof(segment))) {
      return false;
    }
    if (segment.p_type == PT_LOAD && segment.p_vaddr < lowest) lowest = segment.p_vaddr;
  }
  if (lowest == UINT64_MAX) return false;
  *bias = base.start - (lowest & ~(page_size - 1));
  return true;
}

// ---- names ---------------------------------------------------------------

const char* CodeName(int signal_number, int code) {
  switch (code) {
    case SI_USER: return "SI_USER (sent by kill)";
    case SI_KERNEL: return "SI_KERNEL";
    case SI_QUEUE: return "SI_QUEUE (sent by sigqueue)";
    case SI_TKILL: return "SI_TKILL (sent by tgkill, raise or abort)";
    default: break;
  }
  static constexpr const char* kSegv[] = {nullptr, "SEGV_MAPERR (address not mapped)",
                                          "SEGV_ACCERR (access not permitted)", "SEGV_BNDERR",
                                          "SEGV_PKUERR"};
  static constexpr const char* kBus[] = {nullptr, "BUS_ADRALN (misaligned address)",
                                         "BUS_ADRERR (no such physical address)",
                                         "BUS_OBJERR (object error, e.g. past the end of a file)",
                                         "BUS_MCEERR_AR", "BUS_MCEERR_AO"};
  static constexpr const char* kIll[] = {nullptr,      "ILL_ILLOPC", "ILL_ILLOPN", "ILL_ILLADR",
                                         "ILL_ILLTRP", "ILL_PRVOPC", "ILL_PRVREG", "ILL_COPROC",
                                         "ILL_BADSTK"};
  static constexpr const char* kFpe[] = {nullptr,      "FPE_INTDIV (integer divide by zero)",
                                         "FPE_INTOVF", "FPE_FLTDIV", "FPE_FLTOVF",
                                         "FPE_FLTUND", "FPE_FLTRES", "FPE_FLTINV",
                                         "FPE_FLTSUB"};
  auto pick = [code](const char* const* names, int count) -> const char* {
    return code > 0 && code < count ? names[code] : nullptr;
  };
  const char* name = nullptr;
  switch (signal_number) {
    case SIGSEGV: name = pick(kSegv, 5); break;
    case SIGBUS: name = pick(kBus, 6); break;
    case SIGILL: name = pick(kIll, 9); break;
    case SIGFPE: name = pick(kFpe, 9); break;
    default: break;
  }
  return name != nullptr ? name : "";
}

// True when the code says the kernel raised the signal for a faulting
// instruction, so si_addr is meaningful.
bool IsFault(int signal_number, int code) {
  return code > 0 && code != SI_KERNEL &&
         (signal_number == SIGSEGV || signal_number == SIGBUS || signal_number == SIGILL ||
          signal_number == SIGFPE);
}

// ---- sections ------------------------------------------------------------

struct Register {
  const char* name;
  uint64_t value;
};

// The faulting thread's general registers; the count.
int CollectRegisters(const CrashInfo* crash, Register* out) {
#if defined(__x86_64__)
  if (crash == nullptr || crash->context == nullptr) return 0;
  const auto* uc = static_cast<const ucontext_t*>(crash->context);
  static constexpr struct {
    const char* name;
    int index;
  } kOrder[] = {{"rax", REG_RAX}, {"rbx", REG_RBX}, {"rcx", REG_RCX},    {"rdx", REG_RDX},
                {"rsi", REG_RSI}, {"rdi", REG_RDI}, {"rbp", REG_RBP},    {"rsp", REG_RSP},
                {"r8", REG_R8},   {"r9", REG_R9},   {"r10", REG_R10},    {"r11", REG_R11},
                {"r12", REG_R12}, {"r13", REG_R13}, {"r14", REG_R14},    {"r15", REG_R15},
                {"rip", REG_RIP}, {"eflags", REG_EFL}, {"trapno", REG_TRAPNO},
                {"err", REG_ERR}, {"cr2", REG_CR2}};
  int n = 0;
  for (const auto& r : kOrder) {
    out[n++] = {r.name, static_cast<uint64_t>(uc->uc_mcontext.gregs[r.index])};
  }
  return n;
#else
  (void)crash;
  (void)out;
  return 0;
#endif
}

// The general registers worth looking around in memory: the first 17.
constexpr int kAddressRegisters = 17;

uint64_t StackPointer(const CrashInfo* crash) {
#if defined(__x86_64__)
  if (crash != nullptr && crash->context != nullptr) {
    return static_cast<uint64_t>(
        static_cast<const ucontext_t*>(crash->context)->uc_mcontext.gregs[REG_RSP]);
  }
#endif
  // Without a crash (or registers): about where the caller's stack is.
  return reinterpret_cast<uint64_t>(__builtin_frame_address(0));
}

void WriteHeader(const DumpSetup& setup, int kind, time_t now, SafeText& out) {
  struct tm local;
  setup.ToLocal(now, &local);
  out.Add("Zentrovane crash report\n");
  out.Add("Version: ").Add(setup.version_text()).Add('\n');
  out.Add("Build id: ").Add(*setup.build_id() != '\0' ? setup.build_id() : "(none)").Add('\n');
  out.Add("Executable: ").Add(setup.executable()).Add('\n');
  out.Add("Process: ").Dec(static_cast<uint64_t>(::getpid())).Add('\n');
  out.Add("Time: ").DateTime(local).Add(" local (");
  out.SignedDec(local.tm_gmtoff / 60).Add(" min from UTC), ");
  out.SignedDec(static_cast<int64_t>(now)).Add(" s since 1970\n");
  out.Add("Dump kind: ").Dec(static_cast<uint64_t>(kind)).Add('\n');
}

void WriteSignal(const CrashInfo* crash, uint32_t thread_id, SafeText& out) {
  char name[17] = {};
  ::prctl(PR_GET_NAME, name, 0, 0, 0);  // the calling (faulting) thread's
  out.Add('\n');
  if (crash == nullptr) {
    out.Add("Signal: none (report written on request)\n");
  } else {
    const int signo = crash->signal_number;
    out.Add("Signal: ").Dec(static_cast<uint64_t>(signo)).Add(' ').Add(SignalName(signo)).Add('\n');
    if (crash->info != nullptr) {
      const siginfo_t& info = *crash->info;
      out.Add("Code: ").SignedDec(info.si_code).Add(' ');
      out.Add(CodeName(signo, info.si_code)).Add('\n');
      if (IsFault(signo, info.si_code)) {
        out.Add("Address: ").Address(reinterpret_cast<uint64_t>(info.si_addr)).Add('\n');
      } else if (info.si_code == SI_USER || info.si_code == SI_TKILL ||
                 info.si_code == SI_QUEUE) {
        out.Add("Sent by: process ").Dec(static_cast<uint64_t>(info.si_pid));
        out.Add(", user ").Dec(static_cast<uint64_t>(info.si_uid)).Add('\n');
      }
    }
  }
  out.Add("Thread: ").Dec(thread_id).Add(' ').Add(name).Add('\n');
  if (crash != nullptr && crash->terminate_reason != nullptr) {
    out.Add("Terminate: ").Add(crash->terminate_reason).Add('\n');
  }
}

void WriteRegisters(const Register* registers, int count, SafeText& out) {
  out.Add("\nRegisters:\n");
  if (count == 0) {
    out.Add("  (not recorded on this machine, or no crash)\n");
    return;
  }
  for (int i = 0; i < count; ++i) {
    out.Add("  ");
    const size_t name_length = std::strlen(registers[i].name);
    out.Add(registers[i].name);
    for (size_t pad = name_length; pad < 7; ++pad) out.Add(' ');
    out.Address(registers[i].value);
    out.Add(i % 3 == 2 || i + 1 == count ? '\n' : ' ');
  }
}

// One backtrace line: "#N  0xADDRESS  module+0xOFFSET  function+0xOFFSET".
void WriteFrame(int index, uint64_t pc, bool exact, unw_cursor_t* cursor, const ProcessMaps& maps,
                const MemoryReader& memory, const DumpSetup& setup, SafeText& out) {
  // A caller frame's address is where the call returns to; one byte back
  // is inside the call instruction, the line addr2line should name.
  const uint64_t address = exact || pc == 0 ? pc : pc - 1;
  out.Add("  #").Dec(static_cast<uint64_t>(index));
  out.Add(index < 10 ? "   " : index < 100 ? "  " : " ");
  out.Address(address).Add("  ");
  const MapEntry* entry = maps.Find(address);
  const MapEntry* base = entry != nullptr ? maps.ModuleBase(*entry) : nullptr;
  uint64_t bias = 0;
  if (base != nullptr && LoadBias(*base, memory, setup.page_size(), &bias)) {
    out.Add(std::string_view(entry->path, entry->path_length)).Add("+0x");
    out.Hex(address - bias);
  } else if (entry != nullptr && entry->path_length > 0) {
    // No ELF header to go by: the offset within the file.
    out.Add(std::string_view(entry->path, entry->path_length)).Add(" file offset 0x");
    out.Hex(address - entry->start + entry->offset);
  } else {
    out.Add("??");
  }
  char* name = setup.scratch()->name;
  unw_word_t offset = 0;
  const int found = unw_get_proc_name(cursor, name, DumpScratch::kNameBytes, &offset);
  if (found == 0 || found == -UNW_ENOMEM) {
    name[DumpScratch::kNameBytes - 1] = '\0';
    out.Add("  ").Add(name).Add("+0x").Hex(offset);
  }
  out.Add('\n');
}

void WriteBacktrace(const CrashInfo* crash, const ProcessMaps& maps, const MemoryReader& memory,
                    const DumpSetup& setup, SafeText& out) {
  out.Add("\nBacktrace (faulting thread; module+offset is what addr2line -e module takes):\n");
  unw_context_t context;
  unw_cursor_t cursor;
  int started = -1;
#if defined(__x86_64__)
  if (crash != nullptr && crash->context != nullptr) {
    // Here the unwinder's context is the ucontext_t the kernel handed the
    // handler: the walk starts at the interrupted instruction itself, and
    // the frames of the handler and of this writer never show.
    started = unw_init_local2(
        &cursor, static_cast<unw_context_t*>(const_cast<void*>(crash->context)),
        UNW_INIT_SIGNAL_FRAME);
  }
#endif
  if (started != 0) {
    // Elsewhere, or without a crash: from here, this writer's frames first.
    started = unw_getcontext(&context) == 0 ? unw_init_local(&cursor, &context) : -1;
  }
  if (started != 0) {
    out.Add("  (the unwinder could not start)\n");
    return;
  }
  for (int index = 0; index < kMaxFrames; ++index) {
    unw_word_t pc = 0;
    unw_get_reg(&cursor, UNW_REG_IP, &pc);
    // The first frame, and one a signal interrupted, stand at the
    // instruction itself rather than at a return address.
    const bool exact = index == 0 || unw_is_signal_frame(&cursor) > 0;
    WriteFrame(index, pc, exact, &cursor, maps, memory, setup, out);
    if (unw_step(&cursor) <= 0) return;
  }
  out.Add("  (more frames not shown)\n");
}

// Lists the entries of a /proc folder; calls each(name) for every entry
// but "." and "..".
template <typename Each>
void ForEachEntry(const char* folder, char* buffer, size_t capacity, Each each) {
  const int fd = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  for (;;) {
    const ssize_t n = ::getdents64(fd, buffer, capacity);
    if (n <= 0) break;
    for (ssize_t at = 0; at < n;) {
      const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
      at += entry->d_reclen;
      if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
      each(fd, entry);
    }
  }
  ::close(fd);
}

void WriteThreads(const DumpSetup& setup, uint32_t faulting, SafeText& out) {
  DumpScratch* scratch = setup.scratch();
  out.Add("\nThreads (* faulting):\n");
  ForEachEntry("/proc/self/task", scratch->dir, DumpScratch::kDirBytes,
               [&](int folder, const struct dirent64* entry) {
                 char path[64] = {};
                 SafeText name_path(path, sizeof(path));
                 name_path.Add(entry->d_name).Add("/comm");
                 char comm[64] = {};
                 const int fd = ::openat(folder, path, O_RDONLY | O_CLOEXEC);
                 ssize_t n = fd >= 0 ? ::read(fd, comm, sizeof(comm) - 1) : 0;
                 if (fd >= 0) ::close(fd);
                 if (n < 0) n = 0;
                 while (n > 0 && comm[n - 1] == '\n') --n;
                 comm[n] = '\0';
                 SafeText id(scratch->name, DumpScratch::kNameBytes);
                 id.Dec(faulting);
                 out.Add(std::strcmp(id.c_str(), entry->d_name) == 0 ? "  * " : "    ");
                 out.Add(entry->d_name).Add(' ').Add(comm).Add('\n');
               });
}

void WriteOpenFiles(const DumpSetup& setup, SafeText& out) {
  DumpScratch* scratch = setup.scratch();
  out.Add("\nOpen files:\n");
  ForEachEntry("/proc/self/fd", scratch->dir, DumpScratch::kDirBytes,
               [&](int folder, const struct dirent64* entry) {
                 const ssize_t n = ::readlinkat(folder, entry->d_name, scratch->path,
                                                DumpScratch::kPathBytes - 1);
                 scratch->path[n > 0 ? n : 0] = '\0';
                 out.Add("  ").Add(entry->d_name).Add(" -> ").Add(scratch->path).Add('\n');
               });
}

// "  ADDRESS  16 bytes in hex  |printable|", lines equal to the one before
// folded into one "  *" line.
void HexDump(uint64_t start, uint64_t length, const MemoryReader& memory, const DumpSetup& setup,
             SafeText& out) {
  static constexpr char kDigits[] = "0123456789abcdef";
  unsigned char* chunk = setup.scratch()->chunk;
  unsigned char previous[16];
  bool have_previous = false;
  bool folded = false;
  const uint64_t end = start + length;
  uint64_t at = start;
  while (at < end) {
    // Chunks end on page edges, so one unreadable page costs one line.
    uint64_t chunk_end = (at / DumpScratch::kChunkBytes + 1) * DumpScratch::kChunkBytes;
    if (chunk_end > end) chunk_end = end;
    const size_t size = static_cast<size_t>(chunk_end - at);
    if (!memory.Read(at, chunk, size)) {
      out.Add("  ").Address(at).Add("  (unreadable, ").Dec(size).Add(" bytes)\n");
      have_previous = false;
      folded = false;
      at = chunk_end;
      continue;
    }
    for (size_t line = 0; line < size; line += 16) {
      const size_t n = size - line < 16 ? size - line : 16;
      const unsigned char* bytes = chunk + line;
      if (n == 16 && have_previous && std::memcmp(previous, bytes, 16) == 0) {
        if (!folded) out.Add("  *\n");
        folded = true;
        continue;
      }
      folded = false;
      have_previous = n == 16;
      if (have_previous) std::memcpy(previous, bytes, 16);
      char text[96];
      size_t t = 0;
      text[t++] = ' ';
      text[t++] = ' ';
      out.Add(std::string_view(text, t)).Address(at + line);
      t = 0;
      text[t++] = ' ';
      for (size_t i = 0; i < 16; ++i) {
        if (i == 8) text[t++] = ' ';
        text[t++] = ' ';
        text[t++] = i < n ? kDigits[bytes[i] >> 4] : ' ';
        text[t++] = i < n ? kDigits[bytes[i] & 0xF] : ' ';
      }
      text[t++] = ' ';
      text[t++] = ' ';
      text[t++] = '|';
      for (size_t i = 0; i < n; ++i) {
        text[t++] = bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
      }
      text[t++] = '|';
      text[t++] = '\n';
      out.Add(std::string_view(text, t));
    }
    at = chunk_end;
  }
  if (folded) out.Add("  ").Address(end).Add("  (end)\n");
}

void WriteMapping(const MapEntry& entry, const MemoryReader& memory, const DumpSetup& setup,
                  SafeText& out) {
  out.Add("\nMemory ").Address(entry.start).Add('-').Address(entry.end).Add(' ');
  out.Add(std::string_view(entry.perms, 4)).Add(' ');
  out.Add(std::string_view(entry.path, entry.path_length)).Add(":\n");
  HexDump(entry.start, entry.end - entry.start, memory, setup, out);
}

bool PathIs(const MapEntry& entry, std::string_view name) {
  return std::string_view(entry.path, entry.path_length) == name;
}

void WriteMemory(const CrashInfo* crash, int kind, ModuleFilter filter, const Register* registers,
                 int register_count, const ProcessMaps& maps, const MemoryReader& memory,
                 const DumpSetup& setup, SafeText& out) {
  // Every kind: the stack and what the registers point at.
  const uint64_t sp = StackPointer(crash);
  if (const MapEntry* stack = maps.Find(sp)) {
    const uint64_t end = stack->end - sp < kStackBytes ? stack->end : sp + kStackBytes;
    out.Add("\nMemory: stack from ").Address(sp).Add(":\n");
    HexDump(sp, end - sp, memory, setup, out);
  }
  for (int i = 0; i < register_count && i < kAddressRegisters; ++i) {
    const uint64_t value = registers[i].value;
    const MapEntry* entry = maps.Find(value);
    if (entry == nullptr || entry->perms[0] != 'r') continue;
    const uint64_t from =
        value - entry->start < kAroundRegister ? entry->start : value - kAroundRegister;
    const uint64_t to = entry->end - value < kAroundRegister ? entry->end : value + kAroundRegister;
    out.Add("\nMemory: around ").Add(registers[i].name).Add(" = ").Address(value).Add(":\n");
    HexDump(from, to - from, memory, setup, out);
  }
  if (kind == kDumpSmall) return;

  for (size_t i = 0; i < maps.count(); ++i) {
    const MapEntry& entry = maps.at(i);
    if (entry.perms[0] != 'r' || PathIs(entry, "[vvar]") || PathIs(entry, "[vsyscall]")) continue;
    bool wanted = kind == kDumpFull;
    if (kind == kDumpData && entry.perms[1] == 'w' && entry.perms[3] == 'p') {
      if (entry.path_length == 0 || entry.path[0] == '[') {
        wanted = true;  // heap, stacks, anonymous memory
      } else if (filter != nullptr) {
        char* path = setup.scratch()->path;
        CopyName(path, DumpScratch::kPathBytes, entry.path, entry.path_length);
        wanted = filter(path);
      }
    }
    if (wanted) WriteMapping(entry, memory, setup, out);
  }
}

}  // namespace

void PrepareBacktraces() {
  unw_set_caching_policy(unw_local_addr_space, UNW_CACHE_NONE);
  unw_context_t context;
  unw_cursor_t cursor;
  if (unw_getcontext(&context) != 0 || unw_init_local(&cursor, &context) != 0) return;
  char name[256];
  unw_word_t offset = 0;
  (void)unw_get_proc_name(&cursor, name, sizeof(name), &offset);
  (void)unw_step(&cursor);
}

const char* SignalName(int signal_number) {
  switch (signal_number) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGILL: return "SIGILL";
    case SIGFPE: return "SIGFPE";
    case SIGABRT: return "SIGABRT";
    case SIGTRAP: return "SIGTRAP";
    case SIGSYS: return "SIGSYS";
    default: return "signal";
  }
}

void WriteCrashReport(const DumpSetup& setup, const CrashInfo* crash, int kind,
                      ModuleFilter filter, time_t now, SafeText& out) {
  const ProcessMaps maps(setup.scratch());
  const MemoryReader memory;
  Register registers[32];
  const int register_count = CollectRegisters(crash, registers);
  const uint32_t thread_id = crash != nullptr && crash->thread_id != 0
                                 ? crash->thread_id
                                 : static_cast<uint32_t>(::syscall(SYS_gettid));

  WriteHeader(setup, kind, now, out);
  WriteSignal(crash, thread_id, out);
  WriteRegisters(registers, register_count, out);
  WriteBacktrace(crash, maps, memory, setup, out);
  WriteThreads(setup, thread_id, out);
  WriteOpenFiles(setup, out);
  out.Add("\nMemory maps:\n").Add(maps.text());
  if (maps.truncated()) out.Add("(maps cut short)\n");
  WriteMemory(crash, kind, filter, registers, register_count, maps, memory, setup, out);
  out.Add("\nEnd of report\n");
}

}  // namespace zv
