// CRC-32 throughput of CCrc beside zlib's crc32 on the same buffers, with
// the ratio ours/zlib printed after the run.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "util/crc.h"

namespace {

const std::vector<uint8_t>& Buffer(size_t size) {
  static std::map<size_t, std::vector<uint8_t>> buffers;
  auto& buffer = buffers[size];
  if (buffer.empty()) {
    std::mt19937 rng(static_cast<uint32_t>(size));
    buffer.resize(size);
    for (uint8_t& b : buffer) b = static_cast<uint8_t>(rng());
  }
  return buffer;
}

void BM_CCrc(benchmark::State& state) {
  const auto& buffer = Buffer(static_cast<size_t>(state.range(0)));
  zv::CCrc crc;
  uint32_t value = 0;
  for (auto _ : state) {
    value = crc.Update(value, buffer.data(), buffer.size());
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(buffer.size()));
}

void BM_Zlib(benchmark::State& state) {
  const auto& buffer = Buffer(static_cast<size_t>(state.range(0)));
  uLong value = crc32(0L, Z_NULL, 0);
  for (auto _ : state) {
    value = crc32(value, buffer.data(), static_cast<uInt>(buffer.size()));
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(buffer.size()));
}

void BM_CCrcTables(benchmark::State& state) {
  const auto& buffer = Buffer(static_cast<size_t>(state.range(0)));
  zv::CCrc crc;
  uint32_t value = 0;
  for (auto _ : state) {
    value = crc.UpdateTableSliced(value, buffer.data(), buffer.size());
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(buffer.size()));
}

BENCHMARK(BM_CCrc)->Arg(64 << 10)->Arg(4 << 20);
BENCHMARK(BM_CCrcTables)->Arg(64 << 10)->Arg(4 << 20);
BENCHMARK(BM_Zlib)->Arg(64 << 10)->Arg(4 << 20);

// Console output as usual, plus the throughput of every run remembered by
// name ("BM_CCrc/65536" ...).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end()) rates_[run.benchmark_name()] = it->second.value;
    }
  }
  double Rate(const std::string& name) const {
    auto it = rates_.find(name);
    return it == rates_.end() ? 0.0 : it->second;
  }

 private:
  std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  for (const char* size : {"65536", "4194304"}) {
    double ours = reporter.Rate(std::string("BM_CCrc/") + size);
    double tables = reporter.Rate(std::string("BM_CCrcTables/") + size);
    double zlib = reporter.Rate(std::string("BM_Zlib/") + size);
    if (ours > 0 && zlib > 0) {
      std::printf("CRC-32 %s bytes: CCrc %.0f MB/s, zlib %.0f MB/s, ratio ours/zlib %.2f\n", size,
                  ours / 1e6, zlib / 1e6, ours / zlib);
    }
    if (tables > 0 && zlib > 0) {
      std::printf("CRC-32 %s bytes: tables alone %.0f MB/s, ratio tables/zlib %.2f\n", size,
                  tables / 1e6, tables / zlib);
    }
  }
  return 0;
}
