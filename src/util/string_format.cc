#include "util/string_format.h"

#include <cstdio>
#include <cstring>

namespace zv {

std::string FormatString(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatStringV(format, args);
  va_end(args);
  return text;
}

std::string FormatStringV(const char* format, va_list args) {
  // Most texts fit the stack buffer: one formatting pass. A longer one is
  // formatted again into a string of its exact length.
  char small[512];
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (length < 0) return std::string();
  if (static_cast<size_t>(length) < sizeof small) {
    return std::string(small, static_cast<size_t>(length));
  }
  std::string text(static_cast<size_t>(length) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<size_t>(length));
  return text;
}

std::string_view FieldText(const char* field, size_t width) {
  return std::string_view(field, strnlen(field, width));
}

}  // namespace zv
