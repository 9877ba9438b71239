// The table file format the importer loads (config tables and log tables):
//
//   UTF-8 text; the first line holds the column names, every further line
//   one row. Fields are separated by tabs, lines end in '\n' (the last one
//   may lack it). Inside a field a backslash escapes: \t tab, \n line feed,
//   \r carriage return, \\ backslash; a field that is exactly \N is NULL.
//   Raw carriage returns and any other escape are errors. Column names are
//   plain identifiers ([A-Za-z0-9_], 1 to 64), distinct without regard to
//   case. Every row has exactly as many fields as the header has names.
//
// The format is what LOAD DATA reads with FIELDS TERMINATED BY '\t'
// ESCAPED BY '\\' LINES TERMINATED BY '\n' IGNORE 1 LINES, so a file that
// passes TableFileChecker loads exactly as written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zv {

// TableFileChecker: checks a table file as its bytes stream past, in one
// pass, without holding more than the header line. One thread uses it.
class TableFileChecker {
 public:
  static constexpr size_t kMaxHeaderBytes = 65536;
  static constexpr size_t kMaxColumns = 1000;

  // Feeds the next bytes of the file. False once the file is known to be
  // malformed; error() says where and why, and later calls stay false.
  bool Feed(const char* data, size_t size);
  // After the last byte. False when the file is malformed or has no header.
  bool Finish();

  // The column names, once the header line has been fed.
  const std::vector<std::string>& columns() const { return columns_; }
  bool header_complete() const { return header_done_; }
  // Rows seen so far (complete lines after the header).
  uint64_t rows() const { return rows_; }
  const std::string& error() const { return error_; }

 private:
  bool Fail(const std::string& what);
  bool ParseHeader();
  bool EndField();
  bool EndRow();

  // Header line, until complete.
  bool header_done_ = false;
  std::string header_;
  std::vector<std::string> columns_;

  // Row state.
  uint64_t line_ = 1;          // 1-based line being read
  uint64_t rows_ = 0;
  size_t fields_ = 0;          // fields finished in the current line
  size_t field_length_ = 0;    // bytes of the current field so far
  bool line_started_ = false;  // some byte of the current row was seen
  bool escape_ = false;        // the previous byte was an unpaired backslash
  bool null_field_ = false;    // the current field so far is exactly \N
  int utf8_need_ = 0;          // continuation bytes still expected
  unsigned char utf8_low_ = 0x80;
  unsigned char utf8_high_ = 0xBF;

  bool failed_ = false;
  std::string error_;
};

// Reads the header line of a table file (at most kMaxHeaderBytes). False
// with *error when the file cannot be read or its header is malformed.
bool ReadTableFileHeader(const std::string& path, std::vector<std::string>* columns,
                         std::string* error);

// The field escaped for a table file (tests and tools that write files).
std::string EscapeTableField(const std::string& value);

}  // namespace zv
