#include "platform/settings_store.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "platform/ascii_case.h"
#include "platform/file_system.h"

namespace zv {

namespace {

constexpr std::string_view kFileHeader = "Windows Registry Editor Version 5.00";
// A settings file is a few KiB; anything near this is not ours to parse.
constexpr size_t kMaxFileBytes = 64u << 20;
// Hex data lines are wrapped the way the registry editor wraps them.
constexpr size_t kHexLineWidth = 76;

// Registry value types as they appear in "hex(N):".
constexpr int kRegSz = 1;
constexpr int kRegExpandSz = 2;
constexpr int kRegBinary = 3;
constexpr int kRegDword = 4;
constexpr int kRegMultiSz = 7;

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

// ---- UTF-8 <-> UTF-16LE, for the hex(1) and hex(7) forms ----

void AppendUtf16(std::u16string* out, std::string_view utf8) {
  size_t i = 0;
  while (i < utf8.size()) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    uint32_t cp = 0xFFFD;
    size_t extra = 0;
    if (c < 0x80) {
      cp = c;
    } else if ((c & 0xE0) == 0xC0) {
      cp = c & 0x1F;
      extra = 1;
    } else if ((c & 0xF0) == 0xE0) {
      cp = c & 0x0F;
      extra = 2;
    } else if ((c & 0xF8) == 0xF0) {
      cp = c & 0x07;
      extra = 3;
    } else {
      ++i;
      out->push_back(0xFFFD);
      continue;
    }
    bool valid = true;
    for (size_t k = 1; k <= extra; ++k) {
      // A sequence cut short or broken by a non-continuation byte.
      unsigned char cc = i + k < utf8.size() ? static_cast<unsigned char>(utf8[i + k]) : 0;
      if ((cc & 0xC0) != 0x80) {
        valid = false;
        extra = k - 1;
        break;
      }
      cp = (cp << 6) | (cc & 0x3F);
    }
    i += extra + 1;
    if (!valid || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out->push_back(static_cast<char16_t>(cp));
    }
  }
}

void AppendUtf8(std::string* out, uint32_t cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::string Utf16ToUtf8(const std::u16string& units) {
  std::string out;
  for (size_t i = 0; i < units.size(); ++i) {
    uint32_t u = units[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      u = 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      u = 0xFFFD;
    }
    AppendUtf8(&out, u);
  }
  return out;
}

std::u16string BytesToUnits(const std::vector<uint8_t>& bytes) {
  std::u16string units;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    units.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
  }
  return units;
}

void AppendUnitsAsBytes(std::vector<uint8_t>* bytes, const std::u16string& units) {
  for (char16_t u : units) {
    bytes->push_back(static_cast<uint8_t>(u & 0xFF));
    bytes->push_back(static_cast<uint8_t>(u >> 8));
  }
}

// ---- one value line ----

struct Value {
  enum class Kind { kString, kDword, kHex, kDelete };
  Kind kind = Kind::kString;
  std::string text;            // kString, unescaped
  uint32_t dword = 0;          // kDword
  int hex_type = kRegBinary;   // kHex: N of "hex(N):", 3 for "hex:"
  std::vector<uint8_t> bytes;  // kHex
};

// Reads a quoted token starting at s[*pos] == '"'; handles \\ and \".
bool ParseQuoted(std::string_view s, size_t* pos, std::string* out) {
  if (*pos >= s.size() || s[*pos] != '"') return false;
  out->clear();
  for (size_t i = *pos + 1; i < s.size(); ++i) {
    char c = s[i];
    if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
      out->push_back(s[++i]);
    } else if (c == '"') {
      *pos = i + 1;
      return true;
    } else {
      out->push_back(c);
    }
  }
  return false;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseHexBytes(std::string_view s, std::vector<uint8_t>* out) {
  out->clear();
  int high = -1;
  for (char c : s) {
    if (c == ',' || c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\\') {
      if (high >= 0) return false;  // a single digit
      continue;
    }
    int d = HexDigit(c);
    if (d < 0) return false;
    if (high < 0) {
      high = d;
    } else {
      out->push_back(static_cast<uint8_t>(high * 16 + d));
      high = -1;
    }
  }
  return high < 0;
}

// Parses the data after '='.
bool ParseData(std::string_view data, Value* value) {
  data = TrimBlanks(data);
  if (data == "-") {
    value->kind = Value::Kind::kDelete;
    return true;
  }
  if (!data.empty() && data[0] == '"') {
    size_t pos = 0;
    if (!ParseQuoted(data, &pos, &value->text)) return false;
    if (!TrimBlanks(data.substr(pos)).empty()) return false;
    value->kind = Value::Kind::kString;
    return true;
  }
  if (data.size() > 6 && EqualsIgnoringCase(data.substr(0, 6), "dword:")) {
    std::string_view digits = data.substr(6);
    if (digits.empty() || digits.size() > 8) return false;
    uint32_t v = 0;
    for (char c : digits) {
      int d = HexDigit(c);
      if (d < 0) return false;
      v = (v << 4) | static_cast<uint32_t>(d);
    }
    value->kind = Value::Kind::kDword;
    value->dword = v;
    return true;
  }
  if (data.size() >= 4 && EqualsIgnoringCase(data.substr(0, 4), "hex:")) {
    value->kind = Value::Kind::kHex;
    value->hex_type = kRegBinary;
    return ParseHexBytes(data.substr(4), &value->bytes);
  }
  if (data.size() >= 4 && EqualsIgnoringCase(data.substr(0, 4), "hex(")) {
    size_t close = data.find("):", 4);
    if (close == std::string_view::npos || close == 4 || close > 12) return false;
    int type = 0;
    for (char c : data.substr(4, close - 4)) {
      int d = HexDigit(c);
      if (d < 0) return false;
      type = type * 16 + d;
    }
    value->kind = Value::Kind::kHex;
    value->hex_type = type;
    return ParseHexBytes(data.substr(close + 2), &value->bytes);
  }
  return false;
}

// Splits `"name"=data` (or `@=data`, the default value) into its parts.
bool ParseValueLine(std::string_view line, std::string* name, Value* value) {
  line = TrimBlanks(line);
  size_t pos = 0;
  if (!line.empty() && line[0] == '@') {
    name->clear();
    pos = 1;
  } else if (!ParseQuoted(line, &pos, name)) {
    return false;
  }
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
  if (pos >= line.size() || line[pos] != '=') return false;
  return ParseData(line.substr(pos + 1), value);
}

std::string Escape(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

bool NeedsHexForm(std::string_view text) {
  for (char c : text) {
    if (c == '\n' || c == '\r' || c == '\0') return true;
  }
  return false;
}

std::string FormatHex(std::string prefix, const std::vector<uint8_t>& bytes) {
  std::string out = std::move(prefix);
  size_t line_start = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02x", bytes[i]);
    out += hex;
    if (i + 1 < bytes.size()) {
      out.push_back(',');
      if (out.size() - line_start > kHexLineWidth) {
        out += "\\\n  ";
        line_start = out.size() - 2;
      }
    }
  }
  return out;
}

std::string FormatName(const std::string& name) {
  return name.empty() ? std::string("@") : "\"" + Escape(name) + "\"";
}

// ---- the whole file ----

// One logical line of the file: its text (continuation lines included) and,
// for a value line of our key, the value's name.
struct Line {
  std::string text;
  bool in_key = false;
  bool is_value = false;
  std::string name;
  Value value;
};

bool IsSectionLine(std::string_view trimmed) {
  return !trimmed.empty() && trimmed.front() == '[' && trimmed.back() == ']';
}

// Re-encodes a file written by the registry editor (UTF-16LE with BOM) to
// UTF-8; drops a UTF-8 BOM.
std::string NormaliseEncoding(const std::string& bytes) {
  std::string_view view(bytes);
  if (view.substr(0, 2) == "\xFF\xFE") {
    std::vector<uint8_t> raw(view.begin() + 2, view.end());
    return Utf16ToUtf8(BytesToUnits(raw));
  }
  if (view.substr(0, 3) == "\xEF\xBB\xBF") return std::string(view.substr(3));
  return bytes;
}

std::vector<Line> ParseDocument(const std::string& content, std::string_view key_name) {
  std::vector<std::string> physical;
  size_t start = 0;
  while (start < content.size()) {
    size_t nl = content.find('\n', start);
    if (nl == std::string::npos) nl = content.size();
    std::string line = content.substr(start, nl - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    physical.push_back(std::move(line));
    start = nl + 1;
  }
  std::vector<Line> lines;
  bool in_key = false;
  for (size_t i = 0; i < physical.size(); ++i) {
    Line line;
    line.text = physical[i];
    // A data line ending in '\' continues on the next line (hex data).
    while (!TrimBlanks(line.text).empty() && TrimBlanks(line.text).back() == '\\' &&
           line.text.find("=hex") != std::string::npos && i + 1 < physical.size()) {
      line.text += "\n" + physical[++i];
    }
    std::string_view trimmed = TrimBlanks(line.text);
    if (IsSectionLine(trimmed)) {
      std::string_view key = trimmed.substr(1, trimmed.size() - 2);
      in_key = EqualsIgnoringCase(key, key_name);
    } else if (in_key) {
      line.in_key = true;
      line.is_value = ParseValueLine(line.text, &line.name, &line.value);
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

std::string SerializeDocument(const std::vector<Line>& lines) {
  std::string out;
  // Text that starts like a byte-order mark would be taken for one when the
  // file is read again (FF FE: the whole file decoded as UTF-16): a UTF-8
  // mark in front keeps it text, since the reader drops exactly one.
  if (!lines.empty()) {
    const std::string_view first(lines.front().text);
    if (first.substr(0, 2) == "\xFF\xFE" || first.substr(0, 3) == "\xEF\xBB\xBF") {
      out = "\xEF\xBB\xBF";
    }
  }
  for (const Line& line : lines) {
    out += line.text;
    out.push_back('\n');
  }
  return out;
}

std::vector<Line> NewDocument(std::string_view key_name) {
  std::vector<Line> lines(4);
  lines[0].text = std::string(kFileHeader);
  lines[2].text = "[" + std::string(key_name) + "]";
  lines[3].in_key = true;  // the blank line that ends the key
  return lines;
}

const Value* FindValue(const std::vector<Line>& lines, const std::string& name) {
  const Value* found = nullptr;
  for (const Line& line : lines) {
    // A later line of the same name wins, as on import.
    if (line.is_value && EqualsIgnoringCase(line.name, name)) {
      found = line.value.kind == Value::Kind::kDelete ? nullptr : &line.value;
    }
  }
  return found;
}

// Replaces the value of name with new_line (or removes it when new_line is
// empty), keeping every other line as it was.
void SetLine(std::vector<Line>* lines, std::string_view key_name, const std::string& name,
             const std::string& new_line) {
  bool placed = false;
  for (auto it = lines->begin(); it != lines->end();) {
    if (it->is_value && EqualsIgnoringCase(it->name, name)) {
      if (!placed && !new_line.empty()) {
        it->text = new_line;
        ParseValueLine(it->text, &it->name, &it->value);
        placed = true;
        ++it;
      } else {
        it = lines->erase(it);
      }
    } else {
      ++it;
    }
  }
  if (placed || new_line.empty()) return;

  Line line;
  line.text = new_line;
  line.in_key = true;
  line.is_value = ParseValueLine(line.text, &line.name, &line.value);
  // After the last non-blank line of our key; a new key section otherwise.
  size_t insert_at = lines->size();
  bool have_key = false;
  for (size_t i = 0; i < lines->size(); ++i) {
    const Line& l = (*lines)[i];
    std::string_view trimmed = TrimBlanks(l.text);
    if (IsSectionLine(trimmed)) {
      if (EqualsIgnoringCase(trimmed.substr(1, trimmed.size() - 2), key_name)) {
        have_key = true;
        insert_at = i + 1;
      }
    } else if (l.in_key && !trimmed.empty()) {
      insert_at = i + 1;
    }
  }
  if (!have_key) {
    if (lines->empty()) {
      Line header;
      header.text = std::string(kFileHeader);
      lines->push_back(header);
    }
    if (!TrimBlanks(lines->back().text).empty()) lines->push_back(Line());
    Line section;
    section.text = "[" + std::string(key_name) + "]";
    lines->push_back(section);
    lines->push_back(line);
    lines->push_back(Line());
    return;
  }
  if (insert_at > 0) {
    std::string_view before = TrimBlanks((*lines)[insert_at - 1].text);
    if (!before.empty() && before.back() == '\\') {
      // The line before still waits for its continuation (it ended the
      // file); give it an empty one so the new value stays a line of its own.
      Line blank;
      blank.in_key = true;
      lines->insert(lines->begin() + static_cast<std::ptrdiff_t>(insert_at), blank);
      ++insert_at;
    }
  }
  lines->insert(lines->begin() + static_cast<std::ptrdiff_t>(insert_at), line);
}

// Removes every section of the key with all its lines; false when there
// was none.
bool RemoveKey(std::vector<Line>* lines, std::string_view key_name) {
  bool found = false;
  for (auto it = lines->begin(); it != lines->end();) {
    std::string_view trimmed = TrimBlanks(it->text);
    bool header = IsSectionLine(trimmed) &&
                  EqualsIgnoringCase(trimmed.substr(1, trimmed.size() - 2), key_name);
    if (header || it->in_key) {
      found = found || header;
      it = lines->erase(it);
    } else {
      ++it;
    }
  }
  return found;
}

// Exclusive flock on "<file>.lock" for the life of the object.
class FileLock {
 public:
  explicit FileLock(const std::string& path) {
    fd_ = open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) return;
    while (flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        int saved = errno;
        close(fd_);
        fd_ = -1;
        errno = saved;
        return;
      }
    }
  }
  ~FileLock() {
    if (fd_ >= 0) close(fd_);  // releases the lock
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool locked() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

class FileSettingsStore final : public SettingsStore {
 public:
  FileSettingsStore(std::string path, std::string key)
      : path_(std::move(path)), key_(std::move(key)) {}

  std::optional<uint32_t> ReadDword(const std::string& name) override {
    const std::optional<Value> v = LoadValue(name);
    if (!v) return std::nullopt;
    if (v->kind == Value::Kind::kDword) return v->dword;
    if (v->kind == Value::Kind::kHex && v->hex_type == kRegDword && v->bytes.size() == 4) {
      return static_cast<uint32_t>(v->bytes[0]) | (static_cast<uint32_t>(v->bytes[1]) << 8) |
             (static_cast<uint32_t>(v->bytes[2]) << 16) |
             (static_cast<uint32_t>(v->bytes[3]) << 24);
    }
    return std::nullopt;
  }

  std::optional<std::string> ReadString(const std::string& name) override {
    const std::optional<Value> v = LoadValue(name);
    if (!v) return std::nullopt;
    if (v->kind == Value::Kind::kString) return v->text;
    if (v->kind == Value::Kind::kHex && (v->hex_type == kRegSz || v->hex_type == kRegExpandSz)) {
      std::u16string units = BytesToUnits(v->bytes);
      size_t nul = units.find(u'\0');
      if (nul != std::u16string::npos) units.resize(nul);
      return Utf16ToUtf8(units);
    }
    return std::nullopt;
  }

  std::optional<std::vector<std::string>> ReadMultiString(const std::string& name) override {
    const std::optional<Value> v = LoadValue(name);
    if (!v || v->kind != Value::Kind::kHex || v->hex_type != kRegMultiSz) {
      return std::nullopt;
    }
    std::u16string units = BytesToUnits(v->bytes);
    std::vector<std::string> result;
    size_t start = 0;
    while (start < units.size()) {
      size_t nul = units.find(u'\0', start);
      if (nul == std::u16string::npos) nul = units.size();
      if (nul == start) break;  // the empty string that ends the list
      result.push_back(Utf16ToUtf8(units.substr(start, nul - start)));
      start = nul + 1;
    }
    return result;
  }

  std::optional<std::vector<uint8_t>> ReadBinary(const std::string& name) override {
    const std::optional<Value> v = LoadValue(name);
    if (!v || v->kind != Value::Kind::kHex || v->hex_type != kRegBinary) return std::nullopt;
    return v->bytes;
  }

  bool WriteDword(const std::string& name, uint32_t value) override {
    char data[32];
    std::snprintf(data, sizeof data, "=dword:%08x", value);
    return Store(name, FormatName(name) + data);
  }

  bool WriteString(const std::string& name, const std::string& value) override {
    if (NeedsHexForm(value)) {
      // Line breaks cannot stand in a quoted .reg string: hex(1), UTF-16LE.
      std::u16string units;
      AppendUtf16(&units, value);
      units.push_back(u'\0');
      std::vector<uint8_t> bytes;
      AppendUnitsAsBytes(&bytes, units);
      return Store(name, FormatHex(FormatName(name) + "=hex(1):", bytes));
    }
    return Store(name, FormatName(name) + "=\"" + Escape(value) + "\"");
  }

  bool WriteMultiString(const std::string& name, const std::vector<std::string>& value) override {
    std::u16string units;
    for (const std::string& item : value) {
      // An empty item would end the list early; it cannot be stored.
      if (item.empty()) continue;
      AppendUtf16(&units, item);
      units.push_back(u'\0');
    }
    units.push_back(u'\0');
    std::vector<uint8_t> bytes;
    AppendUnitsAsBytes(&bytes, units);
    return Store(name, FormatHex(FormatName(name) + "=hex(7):", bytes));
  }

  bool WriteBinary(const std::string& name, const std::vector<uint8_t>& value) override {
    return Store(name, FormatHex(FormatName(name) + "=hex:", value));
  }

  bool DeleteValue(const std::string& name) override { return Store(name, std::string()); }

  bool DeleteKey() override {
    FileLock lock(path_);
    if (!lock.locked()) return false;
    std::vector<Line> lines;
    if (!Load(&lines)) return errno == ENOENT;
    if (!RemoveKey(&lines, key_)) return true;
    std::string content = SerializeDocument(lines);
    return WriteFileAtomically(path_, content.data(), content.size());
  }

  const std::string& path() const override { return path_; }
  const std::string& key() const override { return key_; }

  // Creates the file with the key header when it is missing.
  bool EnsureExists() {
    if (access(path_.c_str(), F_OK) == 0) {
      int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) return false;
      struct stat st;
      bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
      close(fd);
      if (!regular) errno = EISDIR;
      return regular;
    }
    std::filesystem::path parent = std::filesystem::path(path_).parent_path();
    if (!parent.empty()) {
      std::error_code ec;
      std::filesystem::create_directories(parent, ec);
      if (ec) {
        errno = ec.value();
        return false;
      }
    }
    FileLock lock(path_);
    if (!lock.locked()) return false;
    if (access(path_.c_str(), F_OK) == 0) return true;  // another process was first
    std::string content = SerializeDocument(NewDocument(kSettingsKeyName));
    return WriteFileAtomically(path_, content.data(), content.size());
  }

 private:
  // raw, when given, receives the file's bytes as read.
  bool Load(std::vector<Line>* lines, std::string* raw = nullptr) {
    std::string content;
    if (!ReadFileToString(path_, &content, kMaxFileBytes)) return false;
    *lines = ParseDocument(NormaliseEncoding(content), key_);
    if (raw != nullptr) *raw = std::move(content);
    return true;
  }

  // The value of name as the file holds it now; nothing when it is not
  // there or the file cannot be read.
  std::optional<Value> LoadValue(const std::string& name) {
    std::vector<Line> lines;
    if (!Load(&lines)) return std::nullopt;
    const Value* v = FindValue(lines, name);
    if (v == nullptr) return std::nullopt;
    return *v;
  }

  // Under the lock: re-read, change the one value, replace the file.
  bool Store(const std::string& name, const std::string& new_line) {
    if (name.find_first_of(std::string_view("\n\r\0", 3)) != std::string::npos) {
      errno = EINVAL;
      return false;
    }
    FileLock lock(path_);
    if (!lock.locked()) return false;
    std::vector<Line> lines;
    std::string before;
    if (!Load(&lines, &before)) {
      // A file that exists but cannot be read is never overwritten: its
      // other values would be lost.
      if (errno != ENOENT) return false;
      lines = NewDocument(key_);
    }
    SetLine(&lines, key_, name, new_line);
    std::string content = SerializeDocument(lines);
    // Every program start writes a value or two that are mostly there
    // already: a file that would not change is left alone (no syncs).
    if (content == before) return true;
    return WriteFileAtomically(path_, content.data(), content.size());
  }

  const std::string path_;
  const std::string key_;
};

}  // namespace

std::string SettingsStore::DefaultPath(const std::string& home) {
  const char* env = std::getenv("ZENTROVANE_REGISTRY");
  if (env != nullptr && *env != '\0') return env;
  std::string base = home;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return base + "/config/registry.reg";
}

std::unique_ptr<SettingsStore> SettingsStore::Open(const std::string& path) {
  return Open(path, kSettingsKeyName);
}

std::unique_ptr<SettingsStore> SettingsStore::Open(const std::string& path,
                                                   const std::string& key) {
  // A key name is one section line: brackets or a line break would end it.
  if (path.empty() || key.empty() || key.find_first_of("[]\r\n") != std::string::npos) {
    errno = EINVAL;
    return nullptr;
  }
  auto store = std::make_unique<FileSettingsStore>(path, key);
  if (!store->EnsureExists()) return nullptr;
  return store;
}

}  // namespace zv
