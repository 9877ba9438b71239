// printf-style formatting into a std::string of any length.
#pragma once

#include <cstdarg>
#include <string>

namespace zv {

// The text printf would print; empty when the format cannot be applied.
std::string FormatString(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The same from a va_list, which it leaves used (the caller still ends it).
std::string FormatStringV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

}  // namespace zv
