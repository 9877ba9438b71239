// The importer's table-file checker: fed in one piece or cut into pieces at
// any places, a file gets the same verdict, columns and row count.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "db/table_file.h"
#include "fuzz_util.h"

using zv::TableFileChecker;
namespace fz = zv::fuzz;

namespace {

struct Verdict {
  bool ok;
  std::vector<std::string> columns;
  uint64_t rows;
};

Verdict Check(const char* text, size_t size, size_t piece) {
  TableFileChecker checker;
  bool ok = true;
  for (size_t at = 0; at < size && ok; at += piece) {
    ok = checker.Feed(text + at, size - at < piece ? size - at : piece);
  }
  if (ok) ok = checker.Finish();
  return Verdict{ok, checker.columns(), checker.rows()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte is the piece length of the second feed.
  const size_t piece = (data[0] % 17) + 1;
  const char* text = reinterpret_cast<const char*>(data + 1);
  const Verdict whole = Check(text, size - 1, size);
  const Verdict pieces = Check(text, size - 1, piece);
  if (whole.ok != pieces.ok) fz::Finding("the verdict depends on how the file was fed");
  if (whole.ok && (whole.columns != pieces.columns || whole.rows != pieces.rows)) {
    fz::Finding("columns or rows depend on how the file was fed");
  }
  return 0;
}
