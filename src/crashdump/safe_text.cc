#include "crashdump/safe_text.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zv {

SafeText::SafeText(char* buffer, size_t capacity, int fd)
    : buffer_(buffer), capacity_(capacity), fd_(fd) {
  buffer_[0] = '\0';
}

void SafeText::Put(const char* text, size_t length) {
  while (length > 0) {
    size_t room = capacity_ - 1 - length_;
    if (room == 0) {
      if (fd_ < 0 || !Flush()) {
        overflowed_ = true;
        return;
      }
      room = capacity_ - 1;
    }
    const size_t n = length < room ? length : room;
    std::memcpy(buffer_ + length_, text, n);
    length_ += n;
    text += n;
    length -= n;
  }
}

SafeText& SafeText::Add(std::string_view text) {
  Put(text.data(), text.size());
  return *this;
}

SafeText& SafeText::Add(char c) {
  Put(&c, 1);
  return *this;
}

SafeText& SafeText::Dec(uint64_t value, int min_width) {
  char digits[24];
  int n = 0;
  do {
    digits[sizeof(digits) - 1 - n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0 && n < 20);
  while (n < min_width && n < 20) digits[sizeof(digits) - 1 - n++] = '0';
  Put(digits + sizeof(digits) - n, static_cast<size_t>(n));
  return *this;
}

SafeText& SafeText::SignedDec(int64_t value) {
  if (value < 0) {
    Add('-');
    return Dec(0 - static_cast<uint64_t>(value));
  }
  return Dec(static_cast<uint64_t>(value));
}

SafeText& SafeText::Hex(uint64_t value, int min_digits) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  char digits[16];
  int n = 0;
  do {
    digits[15 - n++] = kDigits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  while (n < min_digits && n < 16) digits[15 - n++] = '0';
  Put(digits + 16 - n, static_cast<size_t>(n));
  return *this;
}

SafeText& SafeText::Address(uint64_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  char text[18] = {'0', 'x'};
  for (int i = 0; i < 16; ++i) text[17 - i] = kDigits[(value >> (4 * i)) & 0xF];
  Put(text, sizeof(text));
  return *this;
}

SafeText& SafeText::DateTime(const struct tm& local, bool compact) {
  const int fields[6] = {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                         local.tm_hour,        local.tm_min,     local.tm_sec};
  const char* separators = compact ? "\0\0_\0\0" : "-- ::";
  for (int i = 0; i < 6; ++i) {
    if (i > 0 && separators[i - 1] != '\0') Add(separators[i - 1]);
    Dec(static_cast<uint64_t>(fields[i] < 0 ? 0 : fields[i]), i == 0 ? 4 : 2);
  }
  return *this;
}

bool SafeText::Flush() {
  if (fd_ < 0) return error_ == 0;
  size_t done = 0;
  while (done < length_ && error_ == 0) {
    const ssize_t n = ::write(fd_, buffer_ + done, length_ - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      error_ = n < 0 ? errno : EIO;
    }
  }
  length_ = 0;
  buffer_[0] = '\0';
  return error_ == 0;
}

const char* SafeText::c_str() {
  buffer_[length_] = '\0';
  return buffer_;
}

}  // namespace zv
