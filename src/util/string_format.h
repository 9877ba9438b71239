// printf-style formatting into a std::string of any length.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

namespace zv {

// The text printf would print; empty when the format cannot be applied.
std::string FormatString(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The same from a va_list, which it leaves used (the caller still ends it).
std::string FormatStringV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

// The text of a fixed-width field of a stored or received record: up to
// its first NUL, or all width bytes when it holds none.
std::string_view FieldText(const char* field, size_t width);

}  // namespace zv
