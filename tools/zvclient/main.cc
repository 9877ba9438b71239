// zvclient: an appliance on the command line. Speaks the client side of the
// sync protocol against a running server.
//
//   zvclient login    --host H --port P --user U --password W --device HEX
//                     [--client-ip A.B.C.D] [--timeout MS]
//   zvclient upload   (login options) [--compress stored|lzo|lzma]
//                     [--block-size N] [--resume] [--type 0|1|2] FILE...
//   zvclient generate --storage S --device HEX --date YYYYMMDD --out DIR
//   zvclient trial    (login options) [--date YYYYMMDD] [--out DIR]
//                     [--compress ...] [--block-size N]
//
// Exit codes: 0 accepted (every file confirmed), 1 refused by the server,
// 2 no answer (connection, handshake or protocol failure, unreadable file),
// 64 usage error.
#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "client/appliance_client.h"
#include "client/sample_files.h"
#include "protocol/result_codes.h"

namespace {

constexpr int kExitAccepted = 0;
constexpr int kExitRefused = 1;
constexpr int kExitFailed = 2;
constexpr int kExitUsage = 64;

void PrintUsage(FILE* out) {
  std::fprintf(
      out,
      "usage: zvclient <command> [options]\n"
      "\n"
      "commands:\n"
      "  login     connect, exchange versions and log in; print the server's answer\n"
      "  upload    log in and upload files, one after the other\n"
      "  generate  write sample files of one appliance and day into a folder\n"
      "  trial     generate the sample files and upload them all (first upload)\n"
      "\n"
      "login options (login, upload, trial):\n"
      "  --host H           server name or address (default 127.0.0.1)\n"
      "  --port P           sync port (default 810)\n"
      "  --user U           account user name (required)\n"
      "  --password W       account password (required)\n"
      "  --device HEX       device id, up to eight hexadecimal digits (required)\n"
      "  --client-ip A.B.C.D  the appliance's own address sent in the login\n"
      "  --timeout MS       time-out of each network wait (default 30000)\n"
      "\n"
      "upload options (upload, trial):\n"
      "  --compress M       stored, lzo (LZO1B) or lzma (default stored)\n"
      "  --block-size N     bytes of file data per block (default 1048576, at most 4195328)\n"
      "  --resume           continue files the server holds in part (upload)\n"
      "  --type T           0 log table, 1 config table, 2 attachment package; by default\n"
      "                     from the name: <32-char token>_<device>_<table>.dat is 1,\n"
      "                     YYYYMMDD_hhmm_<device>_X.dat is 2, anything else 0 (upload)\n"
      "\n"
      "generate options (generate, trial):\n"
      "  --storage S        storage name written into the rows (generate)\n"
      "  --device HEX       device id of the file names\n"
      "  --date YYYYMMDD    day of the log tables and the package (trial: default 20101216)\n"
      "  --out DIR          folder for the files (trial: default ./zvclient-trial)\n"
      "\n"
      "exit codes: 0 accepted, 1 refused, 2 no answer or failure, 64 usage error\n");
}

bool ParseUnsigned(const std::string& text, int base, unsigned long max, unsigned long* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  unsigned long value = std::strtoul(text.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || value > max || text[0] == '-' || text[0] == '+') return false;
  *out = value;
  return true;
}

int Fail(const char* what) {
  std::fprintf(stderr, "zvclient: %s\n", what);
  return kExitUsage;
}

// Options of one command: "--name value" pairs, flags, and the rest.
struct Options {
  std::map<std::string, std::string> values;
  std::set<std::string> flags;
  std::vector<std::string> files;

  bool Has(const std::string& name) const { return values.count(name) != 0; }
  std::string Get(const std::string& name) const {
    auto it = values.find(name);
    return it == values.end() ? std::string() : it->second;
  }
};

// Parses argv; false (with a message) on an unknown option or a missing
// value. *help is set for --help.
bool ParseOptions(int argc, char** argv, const std::set<std::string>& known,
                  const std::set<std::string>& known_flags, bool takes_files, Options* options,
                  bool* help) {
  for (int i = 0; i < argc; ++i) {
    std::string name = argv[i];
    if (name == "--help" || name == "-h") {
      *help = true;
      return true;
    }
    if (known_flags.count(name) != 0) {
      options->flags.insert(name);
      continue;
    }
    if (known.count(name) != 0) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "zvclient: %s needs a value\n", name.c_str());
        return false;
      }
      options->values[name] = argv[++i];
      continue;
    }
    if (takes_files && name.rfind("--", 0) != 0) {
      options->files.push_back(name);
      continue;
    }
    std::fprintf(stderr, "zvclient: unknown option %s\n", name.c_str());
    return false;
  }
  return true;
}

// ParseOptions with --help answered: -1 to go on, else the exit code.
int ParseCommand(int argc, char** argv, const std::set<std::string>& known,
                 const std::set<std::string>& known_flags, bool takes_files, Options* options) {
  bool help = false;
  if (!ParseOptions(argc, argv, known, known_flags, takes_files, options, &help)) return kExitUsage;
  if (help) {
    PrintUsage(stdout);
    return kExitAccepted;
  }
  return -1;
}

// A usage exit code when one of the options is missing, else -1.
int RequireOptions(const Options& options, std::initializer_list<const char*> required) {
  for (const char* name : required) {
    if (!options.Has(name)) {
      std::fprintf(stderr, "zvclient: %s is required\n", name);
      return kExitUsage;
    }
  }
  return -1;
}

// --device; a usage exit code on error, else -1.
int ReadDevice(const Options& options, uint32_t* device) {
  unsigned long value = 0;
  if (!ParseUnsigned(options.Get("--device"), 16, 0xFFFFFFFFul, &value)) {
    return Fail("--device must be up to eight hexadecimal digits");
  }
  *device = static_cast<uint32_t>(value);
  return -1;
}

const std::set<std::string> kLoginOptions = {"--host",   "--port",      "--user",   "--password",
                                             "--device", "--client-ip", "--timeout"};

// Where and as whom the login commands log in.
struct LoginSettings {
  zv::LoginRequest request;
  std::string host;
  uint16_t port = 0;
  uint32_t timeout_ms = 0;
};

// Login settings from options; a usage exit code on error, else -1.
int ReadLogin(Options& options, LoginSettings* login) {
  if (!options.Has("--host")) options.values["--host"] = "127.0.0.1";
  if (!options.Has("--port")) options.values["--port"] = "810";
  if (!options.Has("--timeout")) options.values["--timeout"] = "30000";
  if (int code = RequireOptions(options, {"--user", "--password", "--device"}); code >= 0) {
    return code;
  }
  zv::LoginRequest* request = &login->request;
  unsigned long value_port = 0, timeout = 0;
  if (!ParseUnsigned(options.Get("--port"), 10, 65535, &value_port) || value_port == 0) {
    return Fail("--port must be a number from 1 to 65535");
  }
  if (int code = ReadDevice(options, &request->device_id); code >= 0) return code;
  if (!ParseUnsigned(options.Get("--timeout"), 10, 3600000, &timeout) || timeout == 0) {
    return Fail("--timeout must be a number of milliseconds");
  }
  request->user = options.Get("--user");
  request->password = options.Get("--password");
  if (request->user.size() > 19 || request->password.size() > 19) {
    return Fail("--user and --password take at most 19 bytes");
  }
  if (options.Has("--client-ip")) {
    in_addr address{};
    if (inet_pton(AF_INET, options.Get("--client-ip").c_str(), &address) != 1) {
      return Fail("--client-ip must be an IPv4 address A.B.C.D");
    }
    std::memcpy(request->client_address.data(), &address, 4);
  }
  login->host = options.Get("--host");
  login->port = static_cast<uint16_t>(value_port);
  login->timeout_ms = static_cast<uint32_t>(timeout);
  return -1;
}

// Connects and logs in; kExitAccepted with the answer, or the exit code.
int ConnectAndLogin(const LoginSettings& login, zv::ApplianceClient* client,
                    zv::LoginAnswer* answer) {
  client->set_timeout_ms(login.timeout_ms);
  if (!client->Connect(login.host, login.port)) {
    std::fprintf(stderr, "zvclient: %s\n", client->last_error().c_str());
    return kExitFailed;
  }
  if (!client->Handshake()) {
    std::fprintf(stderr, "zvclient: version exchange failed: %s\n", client->last_error().c_str());
    return kExitFailed;
  }
  *answer = client->Login(login.request);
  switch (answer->kind) {
    case zv::LoginAnswer::Kind::kAccepted:
      return kExitAccepted;
    case zv::LoginAnswer::Kind::kRefused:
      std::printf("login refused: %u %s\n", answer->code, zv::ResultCodeName(answer->code));
      return kExitRefused;
    case zv::LoginAnswer::Kind::kUnexpected:
      std::fprintf(stderr, "zvclient: %s\n", client->last_error().c_str());
      return kExitFailed;
    case zv::LoginAnswer::Kind::kNoAnswer:
      break;
  }
  std::fprintf(stderr, "zvclient: no answer to the login: %s\n", client->last_error().c_str());
  return kExitFailed;
}

std::string Field(const char* field, size_t width) {
  return std::string(field, strnlen(field, width));
}

int RunLogin(int argc, char** argv) {
  Options options;
  if (int code = ParseCommand(argc, argv, kLoginOptions, {}, false, &options); code >= 0) {
    return code;
  }
  LoginSettings login;
  if (int code = ReadLogin(options, &login); code >= 0) return code;

  zv::ApplianceClient client;
  zv::LoginAnswer answer;
  int code = ConnectAndLogin(login, &client, &answer);
  if (code != kExitAccepted) return code;
  std::printf("login accepted: user %s, device %08X, storage %s, compression level %u\n",
              Field(answer.record.userName, sizeof(answer.record.userName)).c_str(),
              answer.record.deviceId,
              Field(answer.record.storageName, sizeof(answer.record.storageName)).c_str(),
              static_cast<unsigned>(answer.compression_level));
  return kExitAccepted;
}

// Upload settings; a usage exit code on error, else -1.
int ReadUploadOptions(const Options& options, zv::UploadOptions* upload) {
  const std::string method = options.Has("--compress") ? options.Get("--compress") : "stored";
  if (method == "stored") {
    upload->compression = zv::Compression::kStored;
  } else if (method == "lzo") {
    upload->compression = zv::Compression::kLzo;
  } else if (method == "lzma") {
    upload->compression = zv::Compression::kLzma;
  } else {
    return Fail("--compress must be stored, lzo or lzma");
  }
  if (options.Has("--block-size")) {
    unsigned long size = 0;
    if (!ParseUnsigned(options.Get("--block-size"), 10, zv::BlockEncoder::kMaxOriginSize, &size) ||
        size == 0) {
      return Fail("--block-size must be a number from 1 to 4195328");
    }
    upload->block_size = static_cast<uint32_t>(size);
  }
  upload->resume = options.flags.count("--resume") != 0;
  return -1;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Uploads the files over a logged-in client, then reports the task done.
int UploadAll(zv::ApplianceClient* client, const std::vector<zv::SampleFile>& files,
              const zv::UploadOptions& upload) {
  // On a terminal the share sent so far is shown while a file travels.
  const bool show_progress = ::isatty(STDERR_FILENO) == 1;
  for (const zv::SampleFile& file : files) {
    zv::UploadOptions options = upload;
    if (show_progress) {
      options.progress = [&file, last = -1](uint64_t sent, uint64_t size) mutable {
        const int percent = static_cast<int>(sent * 100 / size);
        if (percent != last) {
          std::fprintf(stderr, "\r%s %3d%%", file.name.c_str(), percent);
          if (sent == size) std::fprintf(stderr, "\n");
          last = percent;
        }
        return true;
      };
    }
    zv::UploadResult result = client->UploadFile(file.path, file.name, file.type, options);
    switch (result.kind) {
      case zv::UploadResult::Kind::kConfirmed:
        std::printf("%s: confirmed (type %u, sent from byte %u, crc %08X)\n", file.name.c_str(),
                    file.type, result.start_offset, result.crc);
        break;
      case zv::UploadResult::Kind::kRefused:
        std::printf("%s: refused: %u %s\n", file.name.c_str(), result.code,
                    zv::ResultCodeName(result.code));
        return kExitRefused;
      default:
        std::fprintf(stderr, "zvclient: %s: %s\n", file.name.c_str(), result.error.c_str());
        return kExitFailed;
    }
    std::fflush(stdout);
  }
  if (!client->SendTaskFinished()) {
    std::fprintf(stderr, "zvclient: task finished not sent: %s\n", client->last_error().c_str());
    return kExitFailed;
  }
  return kExitAccepted;
}

int RunUpload(int argc, char** argv) {
  std::set<std::string> known = kLoginOptions;
  known.insert({"--compress", "--block-size", "--type"});
  Options options;
  if (int code = ParseCommand(argc, argv, known, {"--resume"}, true, &options); code >= 0) {
    return code;
  }
  LoginSettings login;
  if (int code = ReadLogin(options, &login); code >= 0) return code;
  zv::UploadOptions upload;
  if (int code = ReadUploadOptions(options, &upload); code >= 0) return code;
  if (options.files.empty()) return Fail("upload needs at least one FILE");
  long forced_type = -1;
  if (options.Has("--type")) {
    unsigned long type = 0;
    if (!ParseUnsigned(options.Get("--type"), 10, 2, &type))
      return Fail("--type must be 0, 1 or 2");
    forced_type = static_cast<long>(type);
  }
  std::vector<zv::SampleFile> files;
  for (const std::string& path : options.files) {
    zv::SampleFile file;
    file.path = path;
    file.name = BaseName(path);
    if (file.name.empty() || file.name.size() > 63) return Fail("file names take 1 to 63 bytes");
    file.type =
        forced_type >= 0 ? static_cast<uint32_t>(forced_type) : zv::FileTypeOfName(file.name);
    files.push_back(file);
  }

  zv::ApplianceClient client;
  zv::LoginAnswer answer;
  int code = ConnectAndLogin(login, &client, &answer);
  if (code != kExitAccepted) return code;
  return UploadAll(&client, files, upload);
}

bool ValidDate(const std::string& date) {
  if (date.size() != 8) return false;
  for (char c : date) {
    if (c < '0' || c > '9') return false;
  }
  int month = std::atoi(date.substr(4, 2).c_str());
  int day = std::atoi(date.substr(6, 2).c_str());
  return month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

int RunGenerate(int argc, char** argv) {
  const std::set<std::string> known = {"--storage", "--device", "--date", "--out"};
  Options options;
  if (int code = ParseCommand(argc, argv, known, {}, false, &options); code >= 0) return code;
  if (int code = RequireOptions(options, {"--storage", "--device", "--date", "--out"}); code >= 0) {
    return code;
  }
  uint32_t device = 0;
  if (int code = ReadDevice(options, &device); code >= 0) return code;
  if (!ValidDate(options.Get("--date"))) return Fail("--date must be YYYYMMDD");
  zv::SampleFiles samples(options.Get("--storage"), device, options.Get("--date"));
  std::vector<zv::SampleFile> files;
  std::string error;
  if (!samples.WriteAll(options.Get("--out"), &files, &error)) {
    std::fprintf(stderr, "zvclient: %s\n", error.c_str());
    return kExitFailed;
  }
  for (const zv::SampleFile& file : files) std::printf("%s\n", file.path.c_str());
  return kExitAccepted;
}

int RunTrial(int argc, char** argv) {
  std::set<std::string> known = kLoginOptions;
  known.insert({"--compress", "--block-size", "--date", "--out"});
  Options options;
  if (int code = ParseCommand(argc, argv, known, {}, false, &options); code >= 0) return code;
  LoginSettings login;
  if (int code = ReadLogin(options, &login); code >= 0) return code;
  zv::UploadOptions upload;
  if (int code = ReadUploadOptions(options, &upload); code >= 0) return code;
  const std::string date = options.Has("--date") ? options.Get("--date") : "20101216";
  if (!ValidDate(date)) return Fail("--date must be YYYYMMDD");
  const std::string folder = options.Has("--out") ? options.Get("--out") : "zvclient-trial";

  zv::ApplianceClient client;
  zv::LoginAnswer answer;
  int code = ConnectAndLogin(login, &client, &answer);
  if (code != kExitAccepted) return code;
  const std::string storage = Field(answer.record.storageName, sizeof(answer.record.storageName));
  std::printf("logged in as %s, device %08X, storage %s\n", login.request.user.c_str(),
              login.request.device_id, storage.c_str());
  zv::SampleFiles samples(storage, login.request.device_id, date);
  std::vector<zv::SampleFile> files;
  std::string error;
  if (!samples.WriteAll(folder, &files, &error)) {
    std::fprintf(stderr, "zvclient: %s\n", error.c_str());
    return kExitFailed;
  }
  std::printf("sample files of %s in %s\n", date.c_str(), folder.c_str());
  code = UploadAll(&client, files, upload);
  if (code == kExitAccepted) {
    std::printf("all %zu files confirmed: the tables are loaded into database %s\n", files.size(),
                storage.c_str());
  }
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage(stderr);
    return kExitUsage;
  }
  std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    PrintUsage(stdout);
    return kExitAccepted;
  }
  if (command == "login") return RunLogin(argc - 2, argv + 2);
  if (command == "upload") return RunUpload(argc - 2, argv + 2);
  if (command == "generate") return RunGenerate(argc - 2, argv + 2);
  if (command == "trial") return RunTrial(argc - 2, argv + 2);
  std::fprintf(stderr, "zvclient: unknown command %s\n", command.c_str());
  PrintUsage(stderr);
  return kExitUsage;
}
