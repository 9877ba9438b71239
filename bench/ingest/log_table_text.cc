#include "log_table_text.h"

#include <array>
#include <cstdio>

namespace zv::bench {
namespace {

// splitmix64: small, fast and good enough to vary log fields.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
  // Skewed towards small values: a few hosts and users make most traffic.
  uint32_t Skewed(uint32_t n) {
    uint32_t a = Below(n), b = Below(n);
    return a < b ? a : b;
  }

 private:
  uint64_t state_;
};

constexpr std::array<const char*, 15> kColumnNames = {
    "id",       "record_time", "src_ip",    "src_port", "dst_ip",
    "dst_port", "protocol",    "user_name", "action",   "host",
    "url",      "bytes_out",   "bytes_in",  "category", "detail"};

constexpr std::array<const char*, 24> kWords = {
    "index",  "login",   "api",     "static", "img",    "news",   "search", "update",
    "mail",   "cdn",     "video",   "assets", "v2",     "portal", "user",   "cart",
    "report", "download", "account", "status", "config", "media",  "feed",   "sync"};

constexpr std::array<const char*, 12> kDomains = {
    "example.com", "corp.local", "mailhost.net", "shop.example.org", "cdn.example.net",
    "video.example.com", "updates.example.org", "intranet.local", "news.example.com",
    "portal.example.net", "search.example.com", "files.example.org"};

constexpr std::array<const char*, 10> kCategories = {
    "business", "news", "shopping", "streaming", "social",
    "software-update", "webmail", "search", "file-sharing", "unknown"};

constexpr std::array<const char*, 4> kActions = {"allow", "allow", "block", "log"};

constexpr std::array<const char*, 8> kDetails = {
    "session established",
    "policy match: default allow",
    "content filtered\\tkeyword",
    "certificate verified",
    "redirected to login page",
    "rate limit reached, delayed",
    "\\N",
    "connection closed by peer"};

void AppendRow(Random& rng, uint64_t row, std::string* out) {
  char buffer[512];
  const uint32_t second = static_cast<uint32_t>(row / 7);
  const uint32_t host = rng.Skewed(200);
  const uint32_t user = rng.Skewed(300);
  std::string url = "/";
  for (uint32_t parts = 1 + rng.Below(3); parts > 0; --parts) {
    url += kWords[rng.Skewed(kWords.size())];
    url += '/';
  }
  url += kWords[rng.Below(kWords.size())];
  if (rng.Below(3) == 0) url += "?id=" + std::to_string(rng.Below(100000));
  int n = std::snprintf(
      buffer, sizeof(buffer),
      "%llu\t2026-12-%02u %02u:%02u:%02u\t10.%u.%u.%u\t%u\t192.168.%u.%u\t%u\t%s\tuser%04u\t%s\t"
      "%s%s\t%s\t%u\t%u\t%s\t%s\n",
      static_cast<unsigned long long>(row + 1), 1 + (second / 86400) % 28,
      (second / 3600) % 24, (second / 60) % 60, second % 60, host / 64, (host / 8) % 8,
      1 + host % 8, 1024 + rng.Below(60000), rng.Skewed(16), 1 + rng.Skewed(250),
      rng.Below(4) == 0 ? 80 : 443, rng.Below(10) == 0 ? "UDP" : "TCP", user,
      kActions[rng.Below(kActions.size())], rng.Below(2) == 0 ? "www." : "",
      kDomains[rng.Skewed(kDomains.size())], url.c_str(), 200 + rng.Skewed(4000),
      rng.Skewed(200000), kCategories[rng.Skewed(kCategories.size())],
      kDetails[rng.Skewed(kDetails.size())]);
  out->append(buffer, static_cast<size_t>(n));
}

// A row of exactly length bytes: empty fields, the last one filled with
// letters. REQUIRES: length >= LogTableText::kMinimumRows.
void AppendPaddingRow(size_t length, std::string* out) {
  out->append(LogTableText::kColumns - 1, '\t');
  out->append(length - LogTableText::kColumns, 'x');
  out->push_back('\n');
}

}  // namespace

std::string LogTableText::Header() {
  std::string header;
  for (size_t i = 0; i < kColumnNames.size(); ++i) {
    if (i != 0) header.push_back('\t');
    header += kColumnNames[i];
  }
  header.push_back('\n');
  return header;
}

std::string LogTableText::Rows(uint64_t seed, size_t length) {
  if (length < kMinimumRows) throw 0;
  std::string out;
  out.reserve(length + 512);
  Random rng(seed);
  uint64_t row = seed % 1000000 * 1000;
  std::string next;
  for (;;) {
    next.clear();
    AppendRow(rng, row++, &next);
    // Stop while there is still room for the padding row that ends the text
    // exactly at length.
    if (out.size() + next.size() + kMinimumRows > length) break;
    out += next;
  }
  AppendPaddingRow(length - out.size(), &out);
  return out;
}

std::string LogTableText::WithHeader(uint64_t seed, size_t length) {
  std::string text = Header();
  if (length < text.size() + kMinimumRows) throw 0;
  text += Rows(seed, length - text.size());
  return text;
}

}  // namespace zv::bench
