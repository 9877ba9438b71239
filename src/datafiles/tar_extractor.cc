#include "datafiles/tar_extractor.h"

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>

#include "util/file_util.h"

namespace zv {

namespace {

constexpr const char* kToolName = "zvtar.exe";
constexpr size_t kReadBlockSize = 64 * 1024;

// Write flags: refuse "..", absolute paths and writing through symbolic
// links. No owner, no permission bits beyond the umask, no unlinking.
constexpr int kDiskFlags = ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                           ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                           ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS;

struct ReadDeleter {
  void operator()(struct archive* a) const { archive_read_free(a); }
};
struct WriteDeleter {
  void operator()(struct archive* a) const { archive_write_free(a); }
};
using ReadArchive = std::unique_ptr<struct archive, ReadDeleter>;
using WriteArchive = std::unique_ptr<struct archive, WriteDeleter>;

bool HasDotDotComponent(std::string_view path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = path.size();
    if (path.substr(start, end - start) == "..") return true;
    start = end + 1;
  }
  return false;
}

const char* Safe(const char* text) { return text != nullptr ? text : "(null)"; }

}  // namespace

bool ParseTarCommandLine(const std::vector<std::string>& args, TarCommandLine* out,
                         std::string* error) {
  if (out == nullptr || error == nullptr) throw 0;
  *out = TarCommandLine();
  if (args.empty()) {
    *error = "missing operation (xvf)";
    return false;
  }
  // The first word bundles the operation letters, with or without a dash.
  std::string_view letters = args[0];
  if (!letters.empty() && letters[0] == '-') letters.remove_prefix(1);
  if (letters.empty()) {
    *error = "missing operation (xvf)";
    return false;
  }
  bool want_file = false;
  for (char c : letters) {
    switch (c) {
      case 'x':
        out->extract = true;
        break;
      case 'v':
        out->verbose = true;
        break;
      case 'f':
        want_file = true;
        break;
      default:
        *error = std::string("unknown operation letter '") + c + "'";
        return false;
    }
  }
  if (!out->extract) {
    *error = "only extraction (x) is supported";
    return false;
  }
  size_t i = 1;
  if (want_file) {
    if (i >= args.size() || args[i].empty()) {
      *error = "missing package after f";
      return false;
    }
    out->package = args[i++];
  }
  for (; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-C" || arg == "-e") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        *error = "missing value after " + arg;
        return false;
      }
      (arg == "-C" ? out->target : out->encode_mode) = args[++i];
    } else if (arg.empty()) {
      continue;  // a trailing blank quoted as an empty word
    } else {
      *error = "unexpected argument '" + arg + "'";
      return false;
    }
  }
  if (out->package.empty()) {
    *error = "no package given (f)";
    return false;
  }
  return true;
}

const char* TarExtractor::RefusalReason(const char* pathname, unsigned type,
                                        const char* hardlink, const char* symlink) {
  if (pathname == nullptr || pathname[0] == '\0') return "empty name";
  std::string_view path(pathname);
  if (path[0] == '/' || path[0] == '\\') return "absolute path";
  if (HasDotDotComponent(path)) return "'..' in path";
  if (hardlink != nullptr && hardlink[0] != '\0') return "hard link";
  if (type == AE_IFLNK || (symlink != nullptr && symlink[0] != '\0')) return "symbolic link";
  if (type != AE_IFREG && type != AE_IFDIR) return "not a file or folder";
  return nullptr;
}

TarExtractResult TarExtractor::ExtractHere(const std::string& package, bool verbose) {
  TarExtractResult result;
  ReadArchive reader(archive_read_new());
  WriteArchive writer(archive_write_disk_new());
  if (!reader || !writer) {
    std::fprintf(errors_, "%s: out of memory\n", kToolName);
    result.read_failed = true;
    return result;
  }
  archive_read_support_format_tar(reader.get());
  archive_read_support_format_gnutar(reader.get());
  archive_read_support_filter_gzip(reader.get());
  archive_read_support_filter_bzip2(reader.get());
  archive_read_support_filter_xz(reader.get());
  archive_write_disk_set_options(writer.get(), kDiskFlags);
  archive_write_disk_set_standard_lookup(writer.get());

  if (archive_read_open_filename(reader.get(), package.c_str(), kReadBlockSize) != ARCHIVE_OK) {
    std::fprintf(errors_, "%s: cannot open %s: %s\n", kToolName, package.c_str(),
                 Safe(archive_error_string(reader.get())));
    result.read_failed = true;
    return result;
  }

  for (;;) {
    struct archive_entry* entry = nullptr;
    int r = archive_read_next_header(reader.get(), &entry);
    if (r == ARCHIVE_EOF) break;
    if (r < ARCHIVE_WARN) {
      std::fprintf(errors_, "%s: %s: %s\n", kToolName, package.c_str(),
                   Safe(archive_error_string(reader.get())));
      result.read_failed = true;
      break;
    }
    const char* name = archive_entry_pathname(entry);
    const char* reason =
        RefusalReason(name, archive_entry_filetype(entry), archive_entry_hardlink(entry),
                      archive_entry_symlink(entry));
    if (reason != nullptr) {
      std::fprintf(errors_, "%s: refused %s: %s\n", kToolName, Safe(name), reason);
      ++result.refused;
      continue;  // the next header call skips the entry's data
    }
    // The package's permission bits are not kept: a folder it marks
    // read-only would stop later entries and the retention's deletions.
    archive_entry_set_perm(entry, archive_entry_filetype(entry) == AE_IFDIR ? 0755 : 0644);
    r = archive_write_header(writer.get(), entry);
    if (r < ARCHIVE_WARN) {
      std::fprintf(errors_, "%s: refused %s: %s\n", kToolName, name,
                   Safe(archive_error_string(writer.get())));
      ++result.refused;
      continue;
    }
    bool entry_ok = true;
    if (archive_entry_size(entry) > 0) {
      for (;;) {
        const void* block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        r = archive_read_data_block(reader.get(), &block, &size, &offset);
        if (r == ARCHIVE_EOF) break;
        if (r < ARCHIVE_WARN) {
          std::fprintf(errors_, "%s: %s: %s\n", kToolName, name,
                       Safe(archive_error_string(reader.get())));
          entry_ok = false;
          result.read_failed = true;
          break;
        }
        if (archive_write_data_block(writer.get(), block, size, offset) < ARCHIVE_WARN) {
          std::fprintf(errors_, "%s: cannot write %s: %s\n", kToolName, name,
                       Safe(archive_error_string(writer.get())));
          entry_ok = false;
          break;
        }
      }
    }
    if (archive_write_finish_entry(writer.get()) < ARCHIVE_WARN) {
      std::fprintf(errors_, "%s: cannot finish %s: %s\n", kToolName, name,
                   Safe(archive_error_string(writer.get())));
      entry_ok = false;
    }
    if (!entry_ok) {
      ++result.failed;
      if (result.read_failed) break;
      continue;
    }
    ++result.extracted;
    if (verbose) std::fprintf(listing_, "%s\n", name);
  }
  if (archive_write_close(writer.get()) < ARCHIVE_WARN) {
    std::fprintf(errors_, "%s: %s\n", kToolName, Safe(archive_error_string(writer.get())));
    ++result.failed;
  }
  return result;
}

int RunTarTool(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  TarCommandLine line;
  std::string error;
  if (!ParseTarCommandLine(args, &line, &error)) {
    std::fprintf(stderr, "%s: %s\nusage: %s xvf \"package\" [-C \"target\"] [-e a]\n", kToolName,
                 error.c_str(), kToolName);
    return 2;
  }
  // The package is opened before the change of folder, so a relative
  // package path means what the caller meant.
  std::string package = line.package;
  if (!package.empty() && package[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) != nullptr) package = std::string(cwd) + "/" + package;
  }
  if (access(package.c_str(), R_OK) != 0) {
    std::fprintf(stderr, "%s: cannot open %s: %s\n", kToolName, line.package.c_str(),
                 std::strerror(errno));
    return 2;
  }
  if (!line.target.empty()) {
    if (!CreateDirectoryTree(line.target)) {
      std::fprintf(stderr, "%s: cannot create %s: %s\n", kToolName, line.target.c_str(),
                   std::strerror(errno));
      return 2;
    }
    if (chdir(line.target.c_str()) != 0) {
      std::fprintf(stderr, "%s: cannot enter %s: %s\n", kToolName, line.target.c_str(),
                   std::strerror(errno));
      return 2;
    }
  }
  TarExtractor extractor(stdout, stderr);
  TarExtractResult result = extractor.ExtractHere(package, line.verbose);
  std::fflush(stdout);
  if (result.read_failed && result.extracted == 0 && result.refused == 0 && result.failed == 0) {
    return 2;
  }
  return result.refused == 0 && result.failed == 0 && !result.read_failed ? 0 : 1;
}

}  // namespace zv
