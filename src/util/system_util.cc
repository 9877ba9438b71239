#include "util/system_util.h"

#include <pthread.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string_view>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace zv {

namespace {

bool IsWhite(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string BrandFromCpuinfo() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, 10, "model name") != 0) continue;
    size_t colon = line.find(':');
    if (colon != std::string::npos) return line.substr(colon + 1);
  }
  return std::string();
}

std::string BrandFromCpuid() {
#if defined(__x86_64__) || defined(__i386__)
  unsigned int regs[4];
  if (__get_cpuid(0x80000000u, &regs[0], &regs[1], &regs[2], &regs[3]) == 0 ||
      regs[0] < 0x80000004u) {
    return std::string();
  }
  char brand[49] = {};
  for (unsigned int leaf = 0; leaf < 3; ++leaf) {
    __get_cpuid(0x80000002u + leaf, &regs[0], &regs[1], &regs[2], &regs[3]);
    std::memcpy(brand + leaf * 16, regs, 16);
  }
  return std::string(brand);
#else
  return std::string();
#endif
}

}  // namespace

std::string FormatSystemError(uint32_t code) {
  char buffer[256];
  // GNU strerror_r: returns the text, which may or may not be in buffer.
  const char* text = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
  if (text == nullptr || *text == '\0') return std::string();
  std::string_view view(text);
  if (view.compare(0, 14, "Unknown error ") == 0) return std::string();  // no text for it
  return std::string(view) + "\n";
}

uint32_t GetTickCount32() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

uint32_t GetElapsedTicks() {
  thread_local uint32_t previous = 0;
  uint32_t now = GetTickCount32();
  uint32_t elapsed = now - previous;
  previous = now;
  return elapsed;
}

uint32_t GetCurrentThreadId32() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

int SetThreadDebugName(uint32_t thread_id, const char* format, ...) {
  if (format == nullptr) return 87;
  char name[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(name, sizeof name, format, args);
  va_end(args);
  // The kernel keeps 15 bytes of a thread's name.
  name[15] = '\0';
  if (thread_id == 0 || thread_id == GetCurrentThreadId32()) {
    pthread_setname_np(pthread_self(), name);
  } else {
    // Another thread of this process, by its kernel id.
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%u/comm", thread_id);
    if (FILE* f = std::fopen(path, "we")) {
      std::fputs(name, f);
      std::fclose(f);
    }
  }
  return 0;
}

bool IsDebuggerAttached() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, 10, "TracerPid:") == 0) {
      return std::strtol(line.c_str() + 10, nullptr, 10) != 0;
    }
  }
  return false;
}

std::string TidyBrandString(std::string_view raw) {
  std::string out;
  for (char c : raw) {
    if (c == '\0') break;
    bool blank = c == ' ' || c == '\t';
    if (blank && !out.empty() && out.back() == ' ') continue;
    out.push_back(blank ? ' ' : c);
  }
  size_t begin = 0;
  while (begin < out.size() && IsWhite(out[begin])) ++begin;
  size_t end = out.size();
  while (end > begin && IsWhite(out[end - 1])) --end;
  return out.substr(begin, end - begin);
}

std::string GetProcessorName() {
  std::string brand = TidyBrandString(BrandFromCpuinfo());
  if (brand.empty()) brand = TidyBrandString(BrandFromCpuid());
  return brand;
}

uint64_t GetPhysicalMemoryMiB() {
  long pages = sysconf(_SC_PHYS_PAGES);
  long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0) return 0;
  return (static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size)) >> 20;
}

void XorBuffer(void* buffer, uint8_t mask, size_t length) {
  // Every received byte passes here: eight bytes a word (memcpy keeps any
  // alignment legal and compiles to plain loads and stores), four words a
  // round, then the tail byte by byte.
  uint8_t* p = static_cast<uint8_t*>(buffer);
  const uint64_t wide = 0x0101010101010101ull * mask;
  size_t i = 0;
  for (; i + 32 <= length; i += 32) {
    uint64_t words[4];
    std::memcpy(words, p + i, sizeof words);
    for (uint64_t& word : words) word ^= wide;
    std::memcpy(p + i, words, sizeof words);
  }
  for (; i + 8 <= length; i += 8) {
    uint64_t word;
    std::memcpy(&word, p + i, sizeof word);
    word ^= wide;
    std::memcpy(p + i, &word, sizeof word);
  }
  for (; i < length; ++i) p[i] ^= mask;
}

}  // namespace zv
