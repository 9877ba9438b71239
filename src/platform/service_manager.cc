#include "platform/service_manager.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/file_system.h"
#include "platform/process.h"

extern char** environ;

namespace zv {
namespace {

constexpr const char* kDefaultUnitDirectory = "/etc/systemd/system";
constexpr const char* kDefaultSystemctl = "systemctl";
constexpr const char* kUnitSuffix = ".service";
// How long one systemctl call may take. Requests are queued (--no-block),
// so only a manager that does not answer comes near this.
constexpr auto kSystemctlTimeout = std::chrono::seconds(60);
// systemctl's output is a few lines; anything past this is dropped.
constexpr size_t kMaxOutputBytes = 64 * 1024;
// systemd restarts a service whose keep-alive stops for this long; its
// one-second timer sends one every second while its loop turns.
constexpr int kWatchdogSeconds = 60;
// A unit file is a few hundred bytes; anything near this is not one.
constexpr size_t kMaxUnitFileBytes = 1 << 20;

bool EndsWith(const std::string& text, const char* suffix) {
  size_t n = std::strlen(suffix);
  return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

// A unit name (without its suffix) may hold only these characters: it
// becomes a file name in the unit folder and a word on systemctl's command
// line, so nothing in it may leave the folder or start an option.
bool IsValidUnitName(const std::string& name) {
  if (name.empty() || name.size() > 200 || name[0] == '-' || name[0] == '.') return false;
  for (unsigned char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == ':' || c == '_' || c == '.' || c == '-' || c == '@' || c == '\\';
    if (!ok) return false;
  }
  return true;
}

// A dependency names a unit of any type; a bare name is a service.
bool DependencyUnit(const std::string& dependency, std::string* unit) {
  static const char* const kTypes[] = {".service", ".socket", ".target", ".mount",
                                       ".device",  ".path",   ".timer",  ".slice"};
  for (const char* type : kTypes) {
    if (EndsWith(dependency, type)) {
      std::string base = dependency.substr(0, dependency.size() - std::strlen(type));
      *unit = dependency;
      return IsValidUnitName(base);
    }
  }
  *unit = dependency + kUnitSuffix;
  return IsValidUnitName(dependency);
}

// User= takes a user name or a numeric id. Anything else would not name a
// user (and a line break would add lines to the unit).
bool IsValidAccount(const std::string& account) {
  if (account.empty() || account.size() > 32) return false;
  for (size_t i = 0; i < account.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(account[i]);
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || (i > 0 && (c == '.' || c == '-')) ||
              (c == '$' && i + 1 == account.size() && i > 0);
    if (!ok) return false;
  }
  return true;
}

// A free text as one unit value: control characters become blanks and '%'
// (a specifier) is doubled.
std::string UnitText(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) {
      out.push_back(' ');
    } else if (c == '%') {
      out += "%%";
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  size_t first = out.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  return out.substr(first, out.find_last_not_of(' ') - first + 1);
}

std::string UnitFileContent(const ServiceDefinition& service,
                            const std::vector<std::string>& arguments,
                            const std::vector<std::string>& dependency_units) {
  std::string unit;
  if (!service.description.empty()) unit += "# " + UnitText(service.description) + "\n";
  unit += "[Unit]\n";
  std::string description = UnitText(service.display_name);
  unit += "Description=" + (description.empty() ? service.name : description) + "\n";
  std::string after = "network.target mariadb.service";
  std::string wants;
  for (const std::string& dependency : dependency_units) {
    after += " " + dependency;
    wants += (wants.empty() ? "" : " ") + dependency;
  }
  unit += "After=" + after + "\n";
  if (!wants.empty()) unit += "Wants=" + wants + "\n";
  unit += "\n[Service]\nType=notify\nExecStart=";
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (i > 0) unit.push_back(' ');
    unit += QuoteUnitArgument(arguments[i]);
  }
  unit += "\nRestart=on-failure\n";
  unit += "WatchdogSec=" + std::to_string(kWatchdogSeconds) + "\n";
  if (!service.account.empty()) unit += "User=" + service.account + "\n";
  unit += "\n[Install]\nWantedBy=multi-user.target\n";
  return unit;
}

// Writes content to path unless a file of that name exists; false with
// errno (EEXIST when it does).
bool CreateNewFile(const std::string& path, const std::string& content) {
  std::string temporary = path + ".XXXXXX";
  int fd = mkstemp(temporary.data());
  if (fd < 0) return false;
  bool ok = fchmod(fd, 0644) == 0 && WriteFull(fd, content.data(), content.size()) &&
            fsync(fd) == 0;
  int saved = errno;
  close(fd);
  // link() never replaces a file: of two installs at once one gets EEXIST.
  if (ok && link(temporary.c_str(), path.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  unlink(temporary.c_str());
  if (ok) (void)SyncParentDirectory(path);
  errno = saved;
  return ok;
}

struct CommandResult {
  int spawn_error = 0;   // errno when the program could not be started
  int exit_status = -1;  // -1 when killed by a signal or timed out
  std::string out;
  std::string err;
};

// Runs argv with stdin from /dev/null and both outputs captured.
CommandResult RunCapturing(const std::vector<std::string>& argv) {
  CommandResult result;
  int out_pipe[2];
  int err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) {
    result.spawn_error = errno;
    return result;
  }
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    result.spawn_error = errno;
    close(out_pipe[0]);
    close(out_pipe[1]);
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
  // The child starts with default signal handling and nothing blocked, as
  // if started from a shell.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (rc != 0) {
    result.spawn_error = rc;
    close(out_pipe[0]);
    close(err_pipe[0]);
    return result;
  }

  const auto deadline = std::chrono::steady_clock::now() + kSystemctlTimeout;
  struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_count = 2;
  bool timed_out = false;
  while (open_count > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timed_out = true;
      break;
    }
    int n = poll(fds, 2, static_cast<int>(left.count()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      } else if (sinks[i]->size() < kMaxOutputBytes) {
        sinks[i]->append(buffer, static_cast<size_t>(got));
      }
    }
  }
  for (const pollfd& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  if (timed_out) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!timed_out && WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  return result;
}

std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

class SystemdServiceManager final : public ServiceManager {
 public:
  SystemdServiceManager(std::string unit_directory, std::string systemctl)
      : unit_directory_(std::move(unit_directory)), systemctl_(std::move(systemctl)) {}

  uint32_t Install(const ServiceDefinition& service) override {
    failure_.clear();
    if (!IsValidUnitName(service.name)) return EINVAL;
    if (!service.account.empty() && !IsValidAccount(service.account)) {
      return kErrorInvalidServiceAccount;
    }
    std::vector<std::string> dependency_units;
    for (const std::string& dependency : service.dependencies) {
      std::string unit;
      if (!DependencyUnit(dependency, &unit)) return EINVAL;
      dependency_units.push_back(unit);
    }
    std::vector<std::string> arguments = SplitCommandLine(service.command_line);
    if (arguments.empty() || arguments[0].empty() || arguments[0][0] != '/') return EINVAL;

    const std::string path = UnitPath(service.name);
    if (!CreateNewFile(path, UnitFileContent(service, arguments, dependency_units))) {
      return errno == EEXIST ? kErrorServiceExists : static_cast<uint32_t>(errno);
    }
    const std::string unit = service.name + kUnitSuffix;
    uint32_t result = 0;
    if (service.auto_start) result = Systemctl({"enable", unit});
    if (result == 0) result = Systemctl({"daemon-reload"});
    if (result != 0) {
      // Left in place, the unit would make the next install fail with
      // "exists" although this one reported failure.
      const std::string reason = failure_;
      if (service.auto_start) (void)Systemctl({"disable", unit});
      unlink(path.c_str());
      failure_ = reason;
    }
    return result;
  }

  uint32_t Remove(const std::string& name) override {
    failure_.clear();
    if (!IsValidUnitName(name)) return EINVAL;
    const std::string path = UnitPath(name);
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
      return errno == ENOENT ? kErrorServiceDoesNotExist : static_cast<uint32_t>(errno);
    }
    uint32_t result = Systemctl({"disable", name + kUnitSuffix});
    if (result != 0) return result;
    if (unlink(path.c_str()) != 0) return static_cast<uint32_t>(errno);
    return Systemctl({"daemon-reload"});
  }

  uint32_t Start(const std::string& name) override {
    failure_.clear();
    if (!IsValidUnitName(name)) return EINVAL;
    return Systemctl({"start", "--no-block", name + kUnitSuffix});
  }

  uint32_t Stop(const std::string& name) override {
    failure_.clear();
    if (!IsValidUnitName(name)) return EINVAL;
    return Systemctl({"stop", "--no-block", name + kUnitSuffix});
  }

  uint32_t Control(const std::string& name, uint32_t control) override {
    failure_.clear();
    if (control == kServiceControlStop) return Stop(name);
    // systemd knows no paused state and passes no other control on.
    return kErrorInvalidServiceControl;
  }

  uint32_t QueryState(const std::string& name, uint32_t* state) override {
    failure_.clear();
    if (!IsValidUnitName(name)) return EINVAL;
    std::string out;
    uint32_t result =
        Systemctl({"show", "--property=LoadState,ActiveState", name + kUnitSuffix}, &out);
    if (result != 0) return result;
    std::string load_state;
    std::string active_state;
    size_t start = 0;
    while (start < out.size()) {
      size_t end = out.find('\n', start);
      if (end == std::string::npos) end = out.size();
      std::string line = Trim(out.substr(start, end - start));
      if (line.rfind("LoadState=", 0) == 0) load_state = line.substr(10);
      if (line.rfind("ActiveState=", 0) == 0) active_state = line.substr(12);
      start = end + 1;
    }
    if (load_state == "not-found") return kErrorServiceDoesNotExist;
    if (active_state == "active" || active_state == "reloading") {
      *state = kServiceRunning;
    } else if (active_state == "inactive" || active_state == "failed") {
      *state = kServiceStopped;
    } else if (active_state == "activating") {
      *state = kServiceStartPending;
    } else if (active_state == "deactivating") {
      *state = kServiceStopPending;
    } else {
      failure_ = "systemctl show gave no state: " + Trim(out);
      return kErrorServiceManagerFailed;
    }
    return 0;
  }

  uint32_t ListInstalled(std::vector<InstalledService>* services) override {
    failure_.clear();
    services->clear();
    DIR* dir = opendir(unit_directory_.c_str());
    if (dir == nullptr) return static_cast<uint32_t>(errno);
    while (struct dirent* entry = readdir(dir)) {
      std::string file = entry->d_name;
      if (!EndsWith(file, kUnitSuffix) || file.size() == std::strlen(kUnitSuffix)) continue;
      std::string content;
      if (!ReadFileToString(unit_directory_ + "/" + file, &content, kMaxUnitFileBytes)) continue;
      InstalledService service;
      service.name = file.substr(0, file.size() - std::strlen(kUnitSuffix));
      service.executable = ExecStartProgram(content);
      services->push_back(std::move(service));
    }
    closedir(dir);
    return 0;
  }

  std::string LastFailureText() const override { return failure_; }

 private:
  std::string UnitPath(const std::string& name) const {
    return unit_directory_ + "/" + name + kUnitSuffix;
  }

  // The program of the unit's first ExecStart= in [Service].
  static std::string ExecStartProgram(const std::string& content) {
    bool in_service = false;
    size_t start = 0;
    while (start < content.size()) {
      size_t end = content.find('\n', start);
      if (end == std::string::npos) end = content.size();
      std::string line = Trim(content.substr(start, end - start));
      start = end + 1;
      if (!line.empty() && line.front() == '[') in_service = line == "[Service]";
      if (!in_service || line.rfind("ExecStart", 0) != 0) continue;
      size_t equals = line.find('=');
      if (equals == std::string::npos || Trim(line.substr(9, equals - 9)) != "") continue;
      std::string value = Trim(line.substr(equals + 1));
      // Prefixes that change how the program is run, not which.
      size_t skip = value.find_first_not_of("-@:+!");
      value = skip == std::string::npos ? std::string() : value.substr(skip);
      std::vector<std::string> words = SplitUnitCommandLine(value);
      if (!words.empty()) return words[0];
    }
    return std::string();
  }

  // Runs systemctl; 0, or the error the failure stands for.
  uint32_t Systemctl(const std::vector<std::string>& args, std::string* out = nullptr) {
    std::vector<std::string> argv = {systemctl_};
    argv.insert(argv.end(), args.begin(), args.end());
    CommandResult run = RunCapturing(argv);
    if (run.spawn_error != 0) {
      failure_ = systemctl_ + ": " + std::strerror(run.spawn_error);
      return static_cast<uint32_t>(run.spawn_error);
    }
    if (out != nullptr) *out = run.out;
    if (run.exit_status == 0) return 0;
    failure_ = Trim(run.err);
    for (char& c : failure_) {
      if (c == '\n' || c == '\r') c = ' ';
    }
    if (failure_.empty()) {
      failure_ = run.exit_status < 0
                     ? systemctl_ + " did not finish"
                     : systemctl_ + " exited with " + std::to_string(run.exit_status);
    }
    if (run.err.find("Access denied") != std::string::npos ||
        run.err.find("authentication required") != std::string::npos ||
        run.err.find("Permission denied") != std::string::npos) {
      return EACCES;
    }
    // 5: "program is not installed" in the LSB numbering systemctl uses.
    if (run.exit_status == 5 || run.err.find("not found") != std::string::npos ||
        run.err.find("does not exist") != std::string::npos) {
      return kErrorServiceDoesNotExist;
    }
    return kErrorServiceManagerFailed;
  }

  const std::string unit_directory_;
  const std::string systemctl_;
  std::string failure_;
};

}  // namespace

const char* ServiceErrorText(uint32_t code) {
  switch (code) {
    case kErrorInvalidServiceControl:
      return "The requested control is not valid for this service.";
    case kErrorServiceRequestTimeout:
      return "The service did not respond to the start or control request in a timely fashion.";
    case kErrorInvalidServiceAccount:
      return "The account name is invalid or does not exist.";
    case kErrorServiceDoesNotExist:
      return "The specified service does not exist as an installed service.";
    case kErrorFailedServiceControllerConnect:
      return "The service process could not connect to the service controller.";
    case kErrorServiceManagerFailed:
      return "The service manager (systemctl) could not carry out the request.";
    case kErrorServiceSpecificError:
      return "The service has returned a service-specific error code.";
    case kErrorServiceExists:
      return "The specified service already exists.";
    default:
      return nullptr;
  }
}

std::unique_ptr<ServiceManager> CreateSystemdServiceManager() {
  const char* directory = std::getenv("ZENTROVANE_UNIT_DIR");
  const char* systemctl = std::getenv("ZENTROVANE_SYSTEMCTL");
  return CreateSystemdServiceManager(
      directory != nullptr && *directory != '\0' ? directory : kDefaultUnitDirectory,
      systemctl != nullptr && *systemctl != '\0' ? systemctl : kDefaultSystemctl);
}

std::unique_ptr<ServiceManager> CreateSystemdServiceManager(const std::string& unit_directory,
                                                            const std::string& systemctl) {
  std::string directory = unit_directory;
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  return std::make_unique<SystemdServiceManager>(directory, systemctl);
}

std::string QuoteUnitArgument(const std::string& argument) {
  bool quote = argument.empty() || argument == ";";
  for (unsigned char c : argument) {
    if (c <= 0x20 || c == 0x7F || c == '"' || c == '\'' || c == '\\') quote = true;
  }
  std::string out;
  if (quote) out.push_back('"');
  for (unsigned char c : argument) {
    if (c == '%') {
      out += "%%";  // a specifier otherwise
    } else if (c == '$') {
      out += "$$";  // an environment variable otherwise
    } else if (c == '\\' || c == '"') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  if (quote) out.push_back('"');
  return out;
}

std::vector<std::string> SplitUnitCommandLine(const std::string& value) {
  auto hex = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::vector<std::string> words;
  size_t i = 0;
  const size_t n = value.size();
  while (i < n) {
    while (i < n && (value[i] == ' ' || value[i] == '\t')) ++i;
    if (i >= n) break;
    std::string word;
    char quote = 0;
    for (; i < n; ++i) {
      char c = value[i];
      if (quote == 0 && (c == ' ' || c == '\t')) break;
      if (c == '"' || c == '\'') {
        if (quote == 0) {
          quote = c;
          continue;
        }
        if (quote == c) {
          quote = 0;
          continue;
        }
      }
      if (c == '\\' && i + 1 < n) {
        char e = value[++i];
        if (e == 'n') {
          word.push_back('\n');
        } else if (e == 't') {
          word.push_back('\t');
        } else if (e == 'r') {
          word.push_back('\r');
        } else if (e == 'x' && i + 2 < n && hex(value[i + 1]) >= 0 && hex(value[i + 2]) >= 0) {
          word.push_back(static_cast<char>(hex(value[i + 1]) * 16 + hex(value[i + 2])));
          i += 2;
        } else {
          word.push_back(e);
        }
        continue;
      }
      if ((c == '%' || c == '$') && i + 1 < n && value[i + 1] == c) ++i;
      word.push_back(c);
    }
    words.push_back(std::move(word));
  }
  return words;
}

}  // namespace zv
