// TarExtractor: the inside of the tar tool zvtar.exe, which unpacks a
// received attachment package into a client's attachment folder.
//
// Packages come from appliances and are not trusted: only plain files and
// folders are extracted; an entry with an absolute path or a ".." component,
// a symbolic or hard link, a device, FIFO or socket entry is refused and
// skipped, and extraction goes on with the next entry. Nothing is ever
// written outside the target folder.
//
// Extraction is relative to the process's current folder, so the tool
// changes into the target folder first; that is process-wide and therefore
// done only by the tool's own process (RunTarTool), never by the server.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace zv {

// The tool's command line: xvf "package" [-C "target"] [-e value].
struct TarCommandLine {
  bool extract = false;
  bool verbose = false;
  std::string package;
  std::string target;       // empty: the current folder
  std::string encode_mode;  // the -e value; accepted, extraction is the same
};

// Parses the arguments after the program name. False with *error set when
// the line is not understood.
[[nodiscard]] bool ParseTarCommandLine(const std::vector<std::string>& args,
                                       TarCommandLine* out, std::string* error);

struct TarExtractResult {
  unsigned extracted = 0;  // entries written
  unsigned refused = 0;    // unsafe entries skipped
  unsigned failed = 0;     // entries that could not be written
  bool read_failed = false;  // the package could not be opened or read to its end
};

class TarExtractor {
 public:
  // listing receives one line per extracted entry when verbose; errors one
  // line per refused or failed entry. Neither is owned.
  TarExtractor(FILE* listing, FILE* errors) : listing_(listing), errors_(errors) {}

  // Extracts package into the current folder. The package path is opened
  // as given (relative to the current folder).
  TarExtractResult ExtractHere(const std::string& package, bool verbose);

  // Why an entry must not be extracted, or nullptr when it may be. type is
  // the entry's file type bits (S_IFREG, ...), hardlink its link target.
  static const char* RefusalReason(const char* pathname, unsigned type, const char* hardlink,
                                   const char* symlink);

 private:
  FILE* listing_;
  FILE* errors_;
};

// The whole tool: parses the arguments (argv[0] is the program), opens the
// package, creates and enters the target folder and extracts. Exit codes:
// 0 everything extracted; 1 some entry was refused or could not be written,
// or the package broke off after its first entry; 2 the command line is
// wrong, the package cannot be opened or is no tar package, or the target
// cannot be created or entered.
int RunTarTool(int argc, char** argv);

}  // namespace zv
