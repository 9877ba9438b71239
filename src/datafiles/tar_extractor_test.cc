#include "datafiles/tar_extractor.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "platform/process.h"
#include "test_util.h"

namespace zv {
namespace {

namespace fs = std::filesystem;
using testing::FileExists;
using testing::ReadFileBytes;
using testing::ScopedTempDir;

// One entry of a package the test writes.
struct Entry {
  std::string path;
  unsigned type = AE_IFREG;
  std::string data;
  std::string link;       // symlink target
  std::string hardlink;   // hard link target
};

Entry File(std::string path, std::string data) {
  Entry e;
  e.path = std::move(path);
  e.data = std::move(data);
  return e;
}
Entry Dir(std::string path) {
  Entry e;
  e.path = std::move(path);
  e.type = AE_IFDIR;
  return e;
}

void WritePackage(const std::string& path, const std::vector<Entry>& entries,
                  const std::map<std::string, unsigned>& modes = {}) {
  struct archive* a = archive_write_new();
  ASSERT_EQ(archive_write_set_format_pax_restricted(a), ARCHIVE_OK);
  ASSERT_EQ(archive_write_open_filename(a, path.c_str()), ARCHIVE_OK);
  for (const Entry& e : entries) {
    struct archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, e.path.c_str());
    archive_entry_set_filetype(entry, e.type);
    auto mode = modes.find(e.path);
    archive_entry_set_perm(entry, mode != modes.end() ? mode->second
                                  : e.type == AE_IFDIR ? 0755
                                                       : 0644);
    archive_entry_set_mtime(entry, 1292500000, 0);
    if (!e.link.empty()) archive_entry_set_symlink(entry, e.link.c_str());
    if (!e.hardlink.empty()) archive_entry_set_hardlink(entry, e.hardlink.c_str());
    if (e.type == AE_IFCHR) archive_entry_set_rdev(entry, makedev(1, 3));
    archive_entry_set_size(entry, e.type == AE_IFREG && e.hardlink.empty()
                                      ? static_cast<la_int64_t>(e.data.size())
                                      : 0);
    ASSERT_EQ(archive_write_header(a, entry), ARCHIVE_OK) << e.path;
    if (!e.data.empty() && e.hardlink.empty()) {
      ASSERT_EQ(archive_write_data(a, e.data.data(), e.data.size()),
                static_cast<la_ssize_t>(e.data.size()));
    }
    archive_entry_free(entry);
  }
  ASSERT_EQ(archive_write_close(a), ARCHIVE_OK);
  archive_write_free(a);
}

struct RunResult {
  int exit_code = -1;
  std::string out;
  std::string err;
};

// Runs the built zvtar.exe with the Windows-style command line the server
// builds, split by the same rules the server's process start uses.
RunResult RunTool(const std::string& command_line, const std::string& cwd = "") {
  ScopedTempDir io;
  std::string out_path = io.Sub("out"), err_path = io.Sub("err");
  std::vector<std::string> argv = SplitCommandLine(command_line);
  RunResult result;
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, 1);
    dup2(err, 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = ReadFileBytes(out_path);
  result.err = ReadFileBytes(err_path);
  return result;
}

std::string Tool() { return testing::ProgramDirectory() + "/zvtar.exe"; }

std::string ServerLine(const std::string& package, const std::string& target,
                       const char* option = nullptr) {
  std::string line = "\"" + Tool() + "\" xvf \"" + package + "\" ";
  if (!target.empty()) line += "-C \"" + target + "\" ";
  if (option != nullptr) line += std::string("-e ") + option + " ";
  return line;
}

// Every path below root, relative, sorted.
std::vector<std::string> Tree(const std::string& root) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    out.push_back(it->path().lexically_relative(root).string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

TEST(TarCommandLineTest, ServerLineWithTargetAndOption) {
  std::vector<std::string> args = SplitCommandLine(ServerLine("/d/p.dat", "/a/shop1", "a"));
  args.erase(args.begin());
  TarCommandLine line;
  std::string error;
  ASSERT_TRUE(ParseTarCommandLine(args, &line, &error)) << error;
  EXPECT_TRUE(line.extract);
  EXPECT_TRUE(line.verbose);
  EXPECT_EQ(line.package, "/d/p.dat");
  EXPECT_EQ(line.target, "/a/shop1");
  EXPECT_EQ(line.encode_mode, "a");
}

TEST(TarCommandLineTest, ServerLineWithoutTargetOrOption) {
  std::vector<std::string> args = SplitCommandLine(ServerLine("/d/p q.dat", ""));
  args.erase(args.begin());
  TarCommandLine line;
  std::string error;
  ASSERT_TRUE(ParseTarCommandLine(args, &line, &error)) << error;
  EXPECT_EQ(line.package, "/d/p q.dat");
  EXPECT_TRUE(line.target.empty());
  EXPECT_TRUE(line.encode_mode.empty());
}

TEST(TarCommandLineTest, RefusesWhatItDoesNotUnderstand) {
  TarCommandLine line;
  std::string error;
  EXPECT_FALSE(ParseTarCommandLine({}, &line, &error));
  EXPECT_FALSE(ParseTarCommandLine({"cvf", "p"}, &line, &error));
  EXPECT_FALSE(ParseTarCommandLine({"xvf"}, &line, &error));
  EXPECT_FALSE(ParseTarCommandLine({"xvf", "p", "-C"}, &line, &error));
  EXPECT_FALSE(ParseTarCommandLine({"xvf", "p", "-e"}, &line, &error));
  EXPECT_FALSE(ParseTarCommandLine({"xvf", "p", "--to-command=sh"}, &line, &error));
  EXPECT_FALSE(ParseTarCommandLine({"xv", "-C", "t"}, &line, &error));
  EXPECT_TRUE(ParseTarCommandLine({"-xf", "p"}, &line, &error)) << error;
  EXPECT_FALSE(line.verbose);
}

TEST(TarExtractorTest, RefusalReasons) {
  EXPECT_EQ(TarExtractor::RefusalReason("a/b.txt", AE_IFREG, nullptr, nullptr), nullptr);
  EXPECT_EQ(TarExtractor::RefusalReason("a/b/", AE_IFDIR, nullptr, nullptr), nullptr);
  EXPECT_EQ(TarExtractor::RefusalReason("./a..b", AE_IFREG, nullptr, nullptr), nullptr);
  EXPECT_NE(TarExtractor::RefusalReason("", AE_IFREG, nullptr, nullptr), nullptr);
  EXPECT_NE(TarExtractor::RefusalReason("/etc/x", AE_IFREG, nullptr, nullptr), nullptr);
  EXPECT_NE(TarExtractor::RefusalReason("a/../../x", AE_IFREG, nullptr, nullptr), nullptr);
  EXPECT_NE(TarExtractor::RefusalReason("a\\..\\x", AE_IFREG, nullptr, nullptr), nullptr);
  EXPECT_NE(TarExtractor::RefusalReason("..", AE_IFDIR, nullptr, nullptr), nullptr);
  EXPECT_NE(TarExtractor::RefusalReason("l", AE_IFLNK, nullptr, "x"), nullptr);
  EXPECT_NE(TarExtractor::RefusalReason("h", AE_IFREG, "a/b.txt", nullptr), nullptr);
  EXPECT_NE(TarExtractor::RefusalReason("dev", AE_IFCHR, nullptr, nullptr), nullptr);
  EXPECT_NE(TarExtractor::RefusalReason("fifo", AE_IFIFO, nullptr, nullptr), nullptr);
}

TEST(ZvTarToolTest, CleanPackageExtractsWithFolderStructure) {
  ScopedTempDir dir;
  std::string package = dir.Sub("20101216_1530_00A1B2C3_X.dat");
  WritePackage(package, {Dir("actrace/"), Dir("actrace/20101216/"),
                         File("actrace/20101216/trace1.txt", "first trace"),
                         File("mailproxy/smtplog/20101216/m 1.eml", std::string(70000, 'm')),
                         File("top.txt", "")});
  std::string target = dir.Sub("attach/shop1");
  RunResult r = RunTool(ServerLine(package, target));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(ReadFileBytes(target + "/actrace/20101216/trace1.txt"), "first trace");
  EXPECT_EQ(ReadFileBytes(target + "/mailproxy/smtplog/20101216/m 1.eml"), std::string(70000, 'm'));
  EXPECT_TRUE(FileExists(target + "/top.txt"));
  EXPECT_NE(r.out.find("actrace/20101216/trace1.txt\n"), std::string::npos);
  EXPECT_NE(r.out.find("mailproxy/smtplog/20101216/m 1.eml\n"), std::string::npos);
  EXPECT_TRUE(r.err.empty()) << r.err;
  // Nothing besides the target appeared next to the package.
  EXPECT_EQ(Tree(dir.path()).size(), Tree(target).size() + 3);  // package, attach, attach/shop1
}

TEST(ZvTarToolTest, EncodeOptionAcceptedAndExtractsTheSame) {
  ScopedTempDir dir;
  std::string package = dir.Sub("p.dat");
  WritePackage(package, {File("ips/20101216/a.bin", "abc")});
  RunResult r = RunTool(ServerLine(package, dir.Sub("t"), "a"));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(ReadFileBytes(dir.Sub("t/ips/20101216/a.bin")), "abc");
}

TEST(ZvTarToolTest, ExistingFilesAreReplaced) {
  ScopedTempDir dir;
  std::string package = dir.Sub("p.dat");
  WritePackage(package, {File("a/b.txt", "new content")});
  testing::WriteFileBytes(dir.Sub("t/a/b.txt"), "old content that is longer");
  RunResult r = RunTool(ServerLine(package, dir.Sub("t")));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(ReadFileBytes(dir.Sub("t/a/b.txt")), "new content");
}

TEST(ZvTarToolTest, HostileEntriesNeverLandOutsideTarget) {
  ScopedTempDir dir;
  ScopedTempDir outside;
  std::string target = dir.Sub("base/target");
  ASSERT_TRUE(fs::create_directories(target));
  // A symbolic link already in the target that points outside.
  fs::create_directory_symlink(outside.path(), target + "/planted");
  std::string package = dir.Sub("p.dat");
  WritePackage(package,
               {File("good/one.txt", "one"),
                File("../escape.txt", "escaped"),
                File("good/../../escape2.txt", "escaped"),
                File(outside.Sub("absolute.txt"), "absolute"),
                Entry{"out_link", AE_IFLNK, "", outside.path(), ""},
                File("out_link/through.txt", "through a link"),
                Entry{"rel_link", AE_IFLNK, "", "../../..", ""},
                Entry{"hard", AE_IFREG, "", "", outside.Sub("victim.txt")},
                Entry{"hard2", AE_IFREG, "", "", "../escape.txt"},
                Entry{"device", AE_IFCHR, "", "", ""},
                Entry{"fifo", AE_IFIFO, "", "", ""},
                File("planted/via_planted.txt", "through a planted link"),
                Dir("good/nested/deeper/"),
                File("good/nested/deeper/two.txt", "two")});
  testing::WriteFileBytes(outside.Sub("victim.txt"), "victim");

  RunResult r = RunTool(ServerLine(package, target));
  EXPECT_NE(r.exit_code, 0);
  EXPECT_EQ(r.exit_code, 1) << r.err;

  // The good entries are there, including those after the refused ones.
  EXPECT_EQ(ReadFileBytes(target + "/good/one.txt"), "one");
  EXPECT_EQ(ReadFileBytes(target + "/good/nested/deeper/two.txt"), "two");
  // The entry below a refused link became a plain folder inside the target.
  EXPECT_FALSE(fs::is_symlink(target + "/out_link"));
  EXPECT_EQ(ReadFileBytes(target + "/out_link/through.txt"), "through a link");

  // Nothing outside: the folder above the target holds only the target and
  // the outside folder holds only the victim, unchanged.
  EXPECT_EQ(Tree(dir.Sub("base")).front(), "target");
  for (const std::string& p : Tree(dir.Sub("base"))) {
    EXPECT_EQ(p.rfind("target", 0), 0u) << p;
  }
  EXPECT_FALSE(FileExists(dir.Sub("escape.txt")));
  EXPECT_FALSE(FileExists(dir.Sub("base/escape.txt")));
  EXPECT_FALSE(FileExists(dir.Sub("base/escape2.txt")));
  EXPECT_EQ(Tree(outside.path()), std::vector<std::string>{"victim.txt"});
  EXPECT_EQ(ReadFileBytes(outside.Sub("victim.txt")), "victim");
  // No link, device or FIFO was created anywhere in the target.
  for (const std::string& p : Tree(target)) {
    fs::file_status st = fs::symlink_status(target + "/" + p);
    if (p == "planted") continue;  // put there by the test
    EXPECT_TRUE(fs::is_regular_file(st) || fs::is_directory(st)) << p;
  }
  EXPECT_FALSE(FileExists(target + "/hard"));
  EXPECT_FALSE(FileExists(target + "/device"));
  EXPECT_FALSE(FileExists(target + "/fifo"));
  // Each refusal is reported; the listing names only extracted entries.
  EXPECT_NE(r.err.find("refused ../escape.txt"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("refused hard"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("refused out_link"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("escape"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("good/one.txt\n"), std::string::npos) << r.out;
}

TEST(ZvTarToolTest, PackagePermissionsAreNotKept) {
  ScopedTempDir dir;
  std::string package = dir.Sub("p.dat");
  Entry locked = Dir("locked/");
  Entry hidden = File("locked/hidden.txt", "h");
  Entry setuid = File("run.sh", "#!/bin/sh\n");
  WritePackage(package, {locked, hidden, setuid}, {{"locked/", 0500}, {"locked/hidden.txt", 0},
                                                   {"run.sh", 04777}});
  RunResult r = RunTool(ServerLine(package, dir.Sub("t")));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  struct stat st;
  ASSERT_EQ(stat(dir.Sub("t/locked").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0700, 0700u);
  ASSERT_EQ(stat(dir.Sub("t/locked/hidden.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0600, 0600u);
  ASSERT_EQ(stat(dir.Sub("t/run.sh").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07111, 0u);
  // Later packages can still write into the folder.
  WritePackage(package, {File("locked/second.txt", "2")});
  r = RunTool(ServerLine(package, dir.Sub("t")));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(ReadFileBytes(dir.Sub("t/locked/second.txt")), "2");
}

TEST(ZvTarToolTest, RelativePackagePathAndNoTarget) {
  ScopedTempDir dir;
  WritePackage(dir.Sub("p.dat"), {File("x/y.txt", "xy")});
  RunResult r = RunTool("\"" + Tool() + "\" xvf \"p.dat\" ", dir.path());
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(ReadFileBytes(dir.Sub("x/y.txt")), "xy");

  ASSERT_TRUE(fs::create_directories(dir.Sub("sub")));
  r = RunTool("\"" + Tool() + "\" xvf \"../p.dat\" -C \"t\"", dir.Sub("sub"));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(ReadFileBytes(dir.Sub("sub/t/x/y.txt")), "xy");
}

TEST(ZvTarToolTest, MissingPackageFails) {
  ScopedTempDir dir;
  RunResult r = RunTool(ServerLine(dir.Sub("none.dat"), dir.Sub("t")));
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("cannot open"), std::string::npos) << r.err;
}

TEST(ZvTarToolTest, NotAPackageFails) {
  ScopedTempDir dir;
  testing::WriteFileBytes(dir.Sub("p.dat"), std::string(5000, 'z'));
  RunResult r = RunTool(ServerLine(dir.Sub("p.dat"), dir.Sub("t")));
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_TRUE(Tree(dir.Sub("t")).empty());
}

TEST(ZvTarToolTest, TruncatedPackageKeepsEarlierEntriesAndFails) {
  ScopedTempDir dir;
  std::string package = dir.Sub("p.dat");
  WritePackage(package, {File("a.txt", "aaaa"), File("big.bin", std::string(200000, 'b'))});
  std::string bytes = ReadFileBytes(package);
  testing::WriteFileBytes(package, bytes.substr(0, 2048 + 1024 + 50000));
  RunResult r = RunTool(ServerLine(package, dir.Sub("t")));
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_EQ(ReadFileBytes(dir.Sub("t/a.txt")), "aaaa");
}

// Packages with damaged bytes: the tool ends with one of its exit codes
// (never a crash) and writes nothing outside the target.
TEST(ZvTarToolTest, DamagedPackagesNeverCrashOrEscape) {
  ScopedTempDir dir;
  const std::string clean = dir.Sub("clean.tar");
  WritePackage(clean, {Dir("a/"), File("a/one.txt", std::string(3000, '1')),
                       File("a/b/two.txt", "two"), File("three.txt", std::string(700, '3'))});
  const std::string bytes = ReadFileBytes(clean);
  std::mt19937 rng(1216);
  for (int round = 0; round < 30; ++round) {
    std::string damaged = bytes;
    const int flips = 1 + static_cast<int>(rng() % 8);
    for (int f = 0; f < flips; ++f) {
      // Mostly the header blocks, where names, sizes and types live.
      const size_t at = rng() % 2 == 0 ? rng() % 512 : rng() % damaged.size();
      damaged[at] = static_cast<char>(rng() % 3 == 0 ? '/' : rng() % 3 == 0 ? '.' : rng());
    }
    if (rng() % 4 == 0) damaged.resize(rng() % damaged.size());
    const std::string package = dir.Sub("p" + std::to_string(round) + ".tar");
    testing::WriteFileBytes(package, damaged);
    const std::string base = dir.Sub("base" + std::to_string(round));
    RunResult r = RunTool(ServerLine(package, base + "/target"));
    EXPECT_TRUE(r.exit_code == 0 || r.exit_code == 1 || r.exit_code == 2)
        << "round " << round << " exit " << r.exit_code << " " << r.err;
    for (const std::string& p : Tree(base)) {
      EXPECT_EQ(p.rfind("target", 0), 0u) << "round " << round << ": " << p;
    }
  }
  // Nothing appeared beside the packages and the per-round folders.
  for (const std::string& p : Tree(dir.path())) {
    EXPECT_TRUE(p.rfind("base", 0) == 0 || p.rfind("p", 0) == 0 || p == "clean.tar") << p;
  }
}

TEST(ZvTarToolTest, WrongCommandLineFails) {
  ScopedTempDir dir;
  RunResult r = RunTool("\"" + Tool() + "\" cvf \"" + dir.Sub("p.dat") + "\"");
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("usage"), std::string::npos);
}

}  // namespace
}  // namespace zv
