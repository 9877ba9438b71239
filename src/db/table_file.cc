#include "db/table_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "db/sql_text.h"
#include "platform/ascii_case.h"

namespace zv {

bool TableFileChecker::Fail(const std::string& what) {
  if (!failed_) {
    failed_ = true;
    error_ = "line " + std::to_string(line_) + ": " + what;
  }
  return false;
}

bool TableFileChecker::ParseHeader() {
  if (!header_.empty() && header_.back() == '\r') return Fail("carriage return in the header");
  size_t start = 0;
  while (true) {
    const size_t tab = header_.find('\t', start);
    const std::string name =
        header_.substr(start, tab == std::string::npos ? std::string::npos : tab - start);
    if (!IsSqlIdentifier(name)) {
      return Fail("column name \"" + name.substr(0, 80) + "\" is not a plain identifier");
    }
    for (const std::string& other : columns_) {
      if (EqualsIgnoringCase(other, name)) {
        return Fail("column " + name + " appears twice");
      }
    }
    columns_.push_back(name);
    if (columns_.size() > kMaxColumns) return Fail("more than 1000 columns");
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  header_done_ = true;
  header_.clear();
  header_.shrink_to_fit();
  return true;
}

bool TableFileChecker::EndField() {
  ++fields_;
  field_length_ = 0;
  null_field_ = false;
  return true;
}

bool TableFileChecker::EndRow() {
  EndField();
  if (fields_ != columns_.size()) {
    return Fail(std::to_string(fields_) + " fields where the header has " +
                std::to_string(columns_.size()));
  }
  ++rows_;
  ++line_;
  fields_ = 0;
  line_started_ = false;
  return true;
}

bool TableFileChecker::Feed(const char* data, size_t size) {
  if (failed_) return false;
  size_t i = 0;
  if (!header_done_) {
    const void* nl = std::memchr(data, '\n', size);
    const size_t take = nl ? static_cast<const char*>(nl) - data : size;
    if (header_.size() + take > kMaxHeaderBytes) return Fail("header line too long");
    header_.append(data, take);
    if (nl == nullptr) return true;
    if (!ParseHeader()) return false;
    ++line_;
    i = take + 1;
  }
  for (; i < size; ++i) {
    const unsigned char c = static_cast<unsigned char>(data[i]);
    if (utf8_need_ > 0) {
      if (c < utf8_low_ || c > utf8_high_) return Fail("invalid UTF-8");
      --utf8_need_;
      utf8_low_ = 0x80;
      utf8_high_ = 0xBF;
      ++field_length_;
      continue;
    }
    if (escape_) {
      escape_ = false;
      if (c == 'N') {
        if (field_length_ != 1) return Fail("\\N inside a field");
        null_field_ = true;
      } else if (c != 't' && c != 'n' && c != 'r' && c != '\\') {
        if (c == '\n') return Fail("backslash at the end of a line");
        return Fail("unknown escape \\" + std::string(1, static_cast<char>(c)));
      }
      ++field_length_;
      continue;
    }
    if (c == '\t') {
      line_started_ = true;
      EndField();
      continue;
    }
    if (c == '\n') {
      if (!EndRow()) return false;
      continue;
    }
    line_started_ = true;
    if (null_field_) return Fail("\\N followed by more text");
    if (c == '\\') {
      escape_ = true;
      ++field_length_;
    } else if (c == '\r') {
      return Fail("raw carriage return (write it as \\r)");
    } else if (c < 0x80) {
      ++field_length_;
    } else {
      if (c >= 0xC2 && c <= 0xDF) {
        utf8_need_ = 1;
      } else if (c >= 0xE0 && c <= 0xEF) {
        utf8_need_ = 2;
        if (c == 0xE0) utf8_low_ = 0xA0;
        if (c == 0xED) utf8_high_ = 0x9F;
      } else if (c >= 0xF0 && c <= 0xF4) {
        utf8_need_ = 3;
        if (c == 0xF0) utf8_low_ = 0x90;
        if (c == 0xF4) utf8_high_ = 0x8F;
      } else {
        return Fail("invalid UTF-8");
      }
      ++field_length_;
    }
  }
  return true;
}

bool TableFileChecker::Finish() {
  if (failed_) return false;
  if (!header_done_) {
    if (header_.empty()) return Fail("no header line");
    if (!ParseHeader()) return false;
    return true;
  }
  if (utf8_need_ > 0) return Fail("invalid UTF-8 at the end of the file");
  if (escape_) return Fail("backslash at the end of the file");
  if (line_started_) return EndRow();
  return true;
}

bool ReadTableFileHeader(const std::string& path, std::vector<std::string>* columns,
                         std::string* error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  TableFileChecker checker;
  char buffer[8192];
  bool ok = true;
  while (!checker.header_complete()) {
    const ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = "cannot read " + path + ": " + std::strerror(errno);
      ok = false;
      break;
    }
    if (n == 0) {
      if (!checker.Finish()) {
        *error = checker.error();
        ok = false;
      }
      break;
    }
    if (!checker.Feed(buffer, static_cast<size_t>(n))) {
      // Only a malformed header counts here; row errors are found later.
      if (!checker.header_complete()) {
        *error = checker.error();
        ok = false;
      }
      break;
    }
  }
  close(fd);
  if (ok) *columns = checker.columns();
  return ok;
}

std::string EscapeTableField(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    switch (c) {
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\\': out += "\\\\"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

}  // namespace zv
