// zvclient: an appliance on the command line. Speaks the client side of the
// sync protocol against a running server.
//
//   zvclient login --host H --port P --user U --password W --device HEX
//                  [--client-ip A.B.C.D] [--timeout MS]
//
// Exit codes: 0 accepted, 1 refused by the server, 2 no answer (connection,
// handshake or protocol failure), 64 usage error.
#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "client/appliance_client.h"
#include "protocol/result_codes.h"

namespace {

constexpr int kExitAccepted = 0;
constexpr int kExitRefused = 1;
constexpr int kExitFailed = 2;
constexpr int kExitUsage = 64;

void PrintUsage(FILE* out) {
  std::fprintf(out,
               "usage: zvclient <command> [options]\n"
               "\n"
               "commands:\n"
               "  login    connect, exchange versions and log in; print the server's answer\n"
               "\n"
               "login options:\n"
               "  --host H           server name or address (default 127.0.0.1)\n"
               "  --port P           sync port (default 810)\n"
               "  --user U           account user name (required)\n"
               "  --password W       account password (required)\n"
               "  --device HEX       device id, up to eight hexadecimal digits (required)\n"
               "  --client-ip A.B.C.D  the appliance's own address sent in the login\n"
               "  --timeout MS       time-out of each network wait (default 30000)\n"
               "\n"
               "exit codes: 0 accepted, 1 refused, 2 no answer, 64 usage error\n");
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

int RunLogin(int argc, char** argv) {
  std::map<std::string, std::string> options = {{"--host", "127.0.0.1"}, {"--port", "810"},
                                                {"--timeout", "30000"}};
  for (int i = 0; i < argc; ++i) {
    std::string name = argv[i];
    if (name == "--help" || name == "-h") {
      PrintUsage(stdout);
      return kExitAccepted;
    }
    static const char* const kKnown[] = {"--host", "--port",      "--user",   "--password",
                                         "--device", "--client-ip", "--timeout"};
    bool known = false;
    for (const char* k : kKnown) known = known || name == k;
    if (!known) {
      std::fprintf(stderr, "zvclient: unknown option %s\n", name.c_str());
      return kExitUsage;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "zvclient: %s needs a value\n", name.c_str());
      return kExitUsage;
    }
    options[name] = argv[++i];
  }
  for (const char* required : {"--user", "--password", "--device"}) {
    if (options.count(required) == 0) {
      std::fprintf(stderr, "zvclient: %s is required\n", required);
      return kExitUsage;
    }
  }

  unsigned long port = 0, device = 0, timeout = 0;
  if (!ParseUnsigned(options["--port"], 10, 65535, &port) || port == 0) {
    return Fail("--port must be a number from 1 to 65535");
  }
  if (!ParseUnsigned(options["--device"], 16, 0xFFFFFFFFul, &device)) {
    return Fail("--device must be up to eight hexadecimal digits");
  }
  if (!ParseUnsigned(options["--timeout"], 10, 3600000, &timeout) || timeout == 0) {
    return Fail("--timeout must be a number of milliseconds");
  }
  zv::LoginRequest request;
  request.user = options["--user"];
  request.password = options["--password"];
  if (request.user.size() > 19 || request.password.size() > 19) {
    return Fail("--user and --password take at most 19 bytes");
  }
  request.device_id = static_cast<uint32_t>(device);
  if (options.count("--client-ip") != 0) {
    in_addr address{};
    if (inet_pton(AF_INET, options["--client-ip"].c_str(), &address) != 1) {
      return Fail("--client-ip must be an IPv4 address A.B.C.D");
    }
    std::memcpy(request.client_address.data(), &address, 4);
  }

  zv::ApplianceClient client;
  client.set_timeout_ms(static_cast<uint32_t>(timeout));
  if (!client.Connect(options["--host"], static_cast<uint16_t>(port))) {
    std::fprintf(stderr, "zvclient: %s\n", client.last_error().c_str());
    return kExitFailed;
  }
  if (!client.Handshake()) {
    std::fprintf(stderr, "zvclient: version exchange failed: %s\n", client.last_error().c_str());
    return kExitFailed;
  }
  zv::LoginAnswer answer = client.Login(request);
  switch (answer.kind) {
    case zv::LoginAnswer::Kind::kAccepted: {
      char user[sizeof(answer.record.userName) + 1] = {};
      char storage[sizeof(answer.record.storageName) + 1] = {};
      std::memcpy(user, answer.record.userName, sizeof(answer.record.userName));
      std::memcpy(storage, answer.record.storageName, sizeof(answer.record.storageName));
      std::printf("login accepted: user %s, device %08X, storage %s, compression level %u\n",
                  user, answer.record.deviceId, storage,
                  static_cast<unsigned>(answer.compression_level));
      return kExitAccepted;
    }
    case zv::LoginAnswer::Kind::kRefused:
      std::printf("login refused: %u %s\n", answer.code, zv::ResultCodeName(answer.code));
      return kExitRefused;
    case zv::LoginAnswer::Kind::kUnexpected:
      std::fprintf(stderr, "zvclient: %s\n", client.last_error().c_str());
      return kExitFailed;
    case zv::LoginAnswer::Kind::kNoAnswer:
      break;
  }
  std::fprintf(stderr, "zvclient: no answer to the login: %s\n", client.last_error().c_str());
  return kExitFailed;
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
  std::fprintf(stderr, "zvclient: unknown command %s\n", command.c_str());
  PrintUsage(stderr);
  return kExitUsage;
}
