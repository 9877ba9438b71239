// File-system helpers. None logs; each reports failure by its result and,
// where stated, leaves the reason in errno (the thread's "last error").
// Paths use '/'. Wildcards ('*', '?') are allowed in the last component
// where stated and match without regard to ASCII case, as file names do
// on the appliances' side.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zv {

// Creates the folder and every missing parent; an existing folder counts as
// created. On failure errno tells why.
bool CreateDirectoryTree(const std::string& path);

// Deletes a file, a whole folder tree, or every match of a wildcard in the
// last component. A path that is not there counts as deleted. On failure
// errno tells why.
bool DeletePath(const std::string& path);

// The path without any trailing run of '/' and '\'.
std::string TrimPathSeparators(std::string_view path);

// Lists the sub-folders (or the non-folder entries) of folder whose names
// match pattern ('*' and '?', case-insensitive); "." and ".." are skipped.
// Clears *out, appends full paths (full_path) or bare names; returns the
// count. A missing folder gives 0. errno is 0 after a folder was read,
// and tells why when it could not be (ENOENT when it is missing).
size_t ListSubdirectories(const std::string& folder, const std::string& pattern,
                          std::vector<std::string>* out, bool full_path);
size_t ListFiles(const std::string& folder, const std::string& pattern,
                 std::vector<std::string>* out, bool full_path);

// Total bytes of all files below folder, recursively; 0 when missing.
uint64_t GetDirectorySize(const std::string& folder);

// Whether a name received from outside (a file name an appliance announces,
// a user name, a storage name, a user name the console sends) may stand as
// one component of a path the server builds from it. Such names also reach
// SQL statements, child processes' arguments and wildcard deletions, so the
// rule is narrow: 1 to 255 bytes of printable ASCII without blanks; no '/'
// or '\', no "..", not "."; none of the quoting, wildcard or shell
// characters " ' ` * ? < > | ; : $. The one rule for every such name.
bool IsSafeFileName(std::string_view name);

// Exactly eight characters, all decimal digits.
bool IsDateString(std::string_view text);

// Case-insensitive wildcard match of a whole name ('*' any run, '?' one char).
bool WildcardMatch(std::string_view pattern, std::string_view name);

}  // namespace zv
