// Metrics: counters, gauges and histograms that the server's threads update
// with plain atomic operations, and the Prometheus text exposition of all of
// them (version 0.0.4). Nothing here knows HTTP; the server serves the text.
//
// A metric is one family (a name, a help text and label names) with one
// child per combination of label values. Looking a child up takes the
// family's lock, so code on a hot path looks its children up once (at
// start-up, per session or per file) and keeps the reference: a child lives
// as long as its registry and never moves. Updating a child takes no lock.
//
// Owner: whoever creates the Registry (the server has one process-wide
// instance, ServerMetrics in util/server_metrics.h). Threads: any thread may
// update children, look them up and ask for the exposition. Registering a
// family with a name that is not a valid metric name, twice, or with
// invalid label names is a programming error (throws 0).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zv::metrics {

// A monotonic count.
class Counter {
 public:
  void Add(uint64_t n = 1) { value_.fetch_add(n, std::memory_order_relaxed); }
  uint64_t value() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> value_{0};
};

// A value that goes up and down.
class Gauge {
 public:
  void Set(int64_t value) { value_.store(value, std::memory_order_relaxed); }
  void Add(int64_t n) { value_.fetch_add(n, std::memory_order_relaxed); }
  int64_t value() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<int64_t> value_{0};
};

// Observations (durations in seconds) counted into buckets with fixed upper
// bounds; the sum is kept in nanoseconds. A reader may see an observation in
// its bucket before it shows in the sum: the exposition is a sample, not a
// snapshot, as with every Prometheus client.
class Histogram {
 public:
  // bounds: the upper bounds, ascending; +Inf is implied.
  explicit Histogram(std::span<const double> bounds);

  void Observe(double seconds);

  const std::vector<double>& bounds() const { return bounds_; }
  // Observations per bucket, not cumulative: [i] those above bounds()[i-1]
  // and at most bounds()[i]; the last those above every bound.
  std::vector<uint64_t> BucketCounts() const;
  double sum() const;

 private:
  const std::vector<double> bounds_;
  // One slot per bound and one for +Inf; not cumulative.
  std::unique_ptr<std::atomic<uint64_t>[]> buckets_;
  std::atomic<uint64_t> sum_ns_{0};
};

// The part of a family the exposition needs, whatever its metric type.
class FamilyBase {
 public:
  FamilyBase(std::string name, std::string help, std::vector<std::string> label_names);
  virtual ~FamilyBase() = default;
  FamilyBase(const FamilyBase&) = delete;
  FamilyBase& operator=(const FamilyBase&) = delete;

  const std::string& name() const { return name_; }
  // Appends "# HELP", "# TYPE" and one line per sample (children in label
  // order).
  virtual void Expose(std::string* out) const = 0;

 protected:
  // The label part of a sample line: {a="x",b="y"} with extra appended
  // (for "le"), or "" without labels.
  std::string LabelText(const std::vector<std::string>& values,
                        std::string_view extra = {}) const;
  void AppendHeader(std::string* out, const char* type) const;
  void CheckValueCount(size_t count) const;

  const std::string name_;
  const std::string help_;
  const std::vector<std::string> label_names_;
};

template <typename Metric>
class Family final : public FamilyBase {
 public:
  using Make = std::function<std::unique_ptr<Metric>()>;

  Family(std::string name, std::string help, std::vector<std::string> label_names, Make make)
      : FamilyBase(std::move(name), std::move(help), std::move(label_names)),
        make_(std::move(make)) {}

  // The child for these label values (one per label name, else throws 0),
  // created on first use. The reference stays valid as long as the family.
  Metric& With(std::initializer_list<std::string_view> values) {
    CheckValueCount(values.size());
    std::vector<std::string> key(values.begin(), values.end());
    std::lock_guard<std::mutex> lock(mu_);
    auto it = children_.find(key);
    if (it == children_.end()) it = children_.emplace(std::move(key), make_()).first;
    return *it->second;
  }

  void Expose(std::string* out) const override;

 private:
  const Make make_;
  mutable std::mutex mu_;
  std::map<std::vector<std::string>, std::unique_ptr<Metric>> children_;  // guarded by mu_
};

class Registry {
 public:
  Registry() = default;
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  Family<Counter>& AddCounter(const std::string& name, const std::string& help,
                              std::vector<std::string> label_names = {});
  Family<Gauge>& AddGauge(const std::string& name, const std::string& help,
                          std::vector<std::string> label_names = {});
  Family<Histogram>& AddHistogram(const std::string& name, const std::string& help,
                                  std::vector<std::string> label_names,
                                  std::vector<double> bounds);

  // Every family in the order registered, in the text format.
  std::string Exposition() const;

 private:
  template <typename F>
  F& Add(std::unique_ptr<F> family);

  mutable std::mutex mu_;
  std::vector<std::unique_ptr<FamilyBase>> families_;  // guarded by mu_
};

// Text-format helpers (exposed for tests): a label value with \, " and
// newline escaped; a sample value the way Prometheus writes floats ("+Inf",
// shortest round-trip digits).
std::string EscapeLabelValue(std::string_view value);
std::string FormatSampleValue(double value);

}  // namespace zv::metrics
