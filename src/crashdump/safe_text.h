// SafeText: text built in a caller's fixed buffer without allocating, locale
// or stdio, for code that runs after a crash. Bound to a file descriptor it
// writes the buffer out with write(2) whenever it fills; unbound, text past
// the end is dropped and Overflowed() says so. Every operation is
// async-signal-safe. Owner: the caller; one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>

namespace zv {

class SafeText {
 public:
  // REQUIRES: capacity >= 2 (one byte is kept for the terminating NUL).
  SafeText(char* buffer, size_t capacity, int fd = -1);
  ~SafeText() = default;
  SafeText(const SafeText&) = delete;
  SafeText& operator=(const SafeText&) = delete;

  SafeText& Add(std::string_view text);
  SafeText& Add(char c);
  // Decimal, at least min_width digits (zero padded).
  SafeText& Dec(uint64_t value, int min_width = 0);
  SafeText& SignedDec(int64_t value);
  // Upper-case hexadecimal without prefix, at least min_digits digits.
  SafeText& Hex(uint64_t value, int min_digits = 1);
  // "0x" and sixteen lower-case digits: addresses, registers.
  SafeText& Address(uint64_t value);
  // "YYYY-MM-DD hh:mm:ss", or compact "YYYYMMDD_hhmmss" (file names).
  SafeText& DateTime(const struct tm& local, bool compact = false);

  // Writes what is buffered (bound only); false after any failed write.
  bool Flush();

  // Unbound: the text so far, NUL-terminated.
  const char* c_str();
  size_t size() const { return length_; }
  bool Overflowed() const { return overflowed_; }
  // The errno of the first failed write, else 0.
  int error() const { return error_; }

 private:
  void Put(const char* text, size_t length);

  char* const buffer_;
  const size_t capacity_;
  const int fd_;
  size_t length_ = 0;
  bool overflowed_ = false;
  int error_ = 0;
};

}  // namespace zv
