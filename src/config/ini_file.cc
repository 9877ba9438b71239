// The ini reader keeps the exact rules the writers of dbconf.ini,
// zvtools.ini and mysql_path.ini have always relied on:
//
// - a line holds at most 65,534 characters; a longer one is read as
//   several lines;
// - leading white space is skipped; "#" and ";" start a comment line;
// - "[" opens a section named up to the first "]" that is directly followed
//   by CR or LF; without such a "]" the name is the whole rest of the line,
//   line end included (so "[A] ; note" opens a section nobody looks up);
// - an entry needs "=" after its first character; one blank on each side of
//   the first "=" is removed, trailing CR and LF are removed from the value,
//   every other blank stays; lines before the first section are ignored;
// - sections and keys compare without regard to ASCII case on their first
//   96 characters; a repeated section is the same section, a repeated key
//   keeps its first value;
// - integers: the first 31 characters of the value, strtoul rules on a
//   32-bit unsigned long; a missing or empty value gives the default.
#include "config/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/ascii_case.h"

namespace zv {
namespace {

constexpr size_t kMaxLineChars = 65534;
constexpr size_t kMaxNameChars = 96;
constexpr size_t kMaxNumberChars = 31;
// The ini files are a few hundred bytes; anything beyond this is refused as
// if memory had run out, before it is read into memory.
constexpr off_t kMaxFileBytes = 64 << 20;

std::string NormalizeName(std::string_view name) {
  return ToLowerAscii(name.substr(0, kMaxNameChars));
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// strtoul of a 32-bit unsigned long: leading white space, an optional sign,
// decimal digits up to the first non-digit; no digits give 0; a value out of
// range gives 0xFFFFFFFF; a minus sign negates modulo 2^32.
uint32_t StrToUl32(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  uint64_t value = 0;
  bool overflow = false;
  bool any_digit = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    any_digit = true;
    if (!overflow) {
      value = value * 10 + static_cast<uint64_t>(text[i] - '0');
      if (value > 0xFFFFFFFFull) overflow = true;
    }
  }
  if (!any_digit) return 0;
  if (overflow) return 0xFFFFFFFFu;
  uint32_t result = static_cast<uint32_t>(value);
  return negative ? static_cast<uint32_t>(0u - result) : result;
}

}  // namespace

int IniFile::Load(const std::string& path) {
  sections_.clear();
  // Only a regular file counts as readable: a folder or a FIFO put in the
  // place of an ini file must neither read as empty nor block the caller.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  if (st.st_size > kMaxFileBytes) {
    ::close(fd);
    return -2;
  }
  FILE* file = ::fdopen(fd, "rb");
  if (file == nullptr) {
    ::close(fd);
    return -1;
  }
  int result = 0;
  try {
    std::string text;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), file)) > 0) {
      text.append(buffer, n);
      if (text.size() > static_cast<size_t>(kMaxFileBytes)) throw std::bad_alloc();
    }
    if (std::ferror(file)) {
      result = -1;
    } else {
      Parse(text);
    }
  } catch (const std::bad_alloc&) {
    sections_.clear();
    result = -2;
  }
  std::fclose(file);
  return result;
}

void IniFile::Parse(const std::string& text) {
  sections_.clear();
  std::unordered_map<std::string, std::string>* current = nullptr;

  size_t pos = 0;
  while (pos < text.size()) {
    // One line as a line reader with a 65,535-byte buffer returns it: up to
    // and including "\n", at most 65,534 characters.
    size_t end = text.find('\n', pos);
    size_t length = (end == std::string::npos ? text.size() : end + 1) - pos;
    if (length > kMaxLineChars) length = kMaxLineChars;
    std::string_view line(text.data() + pos, length);
    pos += length;

    // A NUL ends the line's text, as it would for a C string.
    size_t nul = line.find('\0');
    if (nul != std::string_view::npos) line = line.substr(0, nul);

    size_t start = 0;
    while (start < line.size() && IsSpace(line[start])) ++start;
    line.remove_prefix(start);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;

    if (line[0] == '[') {
      std::string_view rest = line.substr(1);
      std::string_view name = rest;  // no qualifying "]": the whole rest
      for (size_t i = 0; i + 1 < rest.size(); ++i) {
        if (rest[i] == ']' && (rest[i + 1] == '\r' || rest[i + 1] == '\n')) {
          name = rest.substr(0, i);
          break;
        }
      }
      current = &sections_[NormalizeName(name)];
      continue;
    }

    if (current == nullptr) continue;  // before the first section
    size_t eq = line.find('=');
    if (eq == std::string_view::npos || eq == 0) continue;

    std::string_view key = line.substr(0, eq);
    std::string_view value = line.substr(eq + 1);
    if (!key.empty() && key.back() == ' ') key.remove_suffix(1);
    if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    while (!value.empty() && (value.back() == '\r' || value.back() == '\n')) value.remove_suffix(1);

    // emplace keeps the first occurrence of a key.
    current->emplace(NormalizeName(key), std::string(value));
  }
}

std::string IniFile::GetString(const std::string& section, const std::string& key,
                               const std::string& default_value) const {
  auto s = sections_.find(NormalizeName(section));
  if (s == sections_.end()) return default_value;
  auto k = s->second.find(NormalizeName(key));
  if (k == s->second.end()) return default_value;
  return k->second;
}

uint32_t IniFile::GetUInt(const std::string& section, const std::string& key,
                          uint32_t default_value) const {
  auto s = sections_.find(NormalizeName(section));
  if (s == sections_.end()) return default_value;
  auto k = s->second.find(NormalizeName(key));
  if (k == s->second.end() || k->second.empty()) return default_value;
  return StrToUl32(std::string_view(k->second).substr(0, kMaxNumberChars));
}

}  // namespace zv
