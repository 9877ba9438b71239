// LogTableText: realistic content of a log-table file for the benchmarks:
// tab-separated rows of an appliance's traffic log (times, addresses,
// ports, users, hosts, URLs, byte counts, free text), in the table file
// format the importer reads (a header line of column names, one row per
// line, fields escaped with a backslash, "\N" for NULL). The text repeats
// the way real logs do, so compression ratios are those of real uploads.
//
// Deterministic: the same seed and length give the same bytes. Pure
// functions; any thread may call them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zv::bench {

class LogTableText {
 public:
  // Number of columns of every row.
  static constexpr int kColumns = 15;
  // The shortest text Rows can make exactly (an all-empty row).
  static constexpr size_t kMinimumRows = kColumns;

  // The header line (column names, tab-separated, ending in '\n').
  static std::string Header();

  // Exactly length bytes of whole rows, the last one ending in '\n'.
  // REQUIRES: length >= kMinimumRows.
  static std::string Rows(uint64_t seed, size_t length);

  // Header() followed by rows, exactly length bytes in all.
  // REQUIRES: length >= Header().size() + kMinimumRows.
  static std::string WithHeader(uint64_t seed, size_t length);
};

}  // namespace zv::bench
