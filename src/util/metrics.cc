#include "util/metrics.h"

#include <charconv>
#include <cmath>

namespace zv::metrics {
namespace {

bool IsNameStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9'); }

// [a-zA-Z_:][a-zA-Z0-9_:]* for metric names; labels allow no ':' and
// "__" is reserved to Prometheus itself.
bool IsValidName(std::string_view name, bool label) {
  if (name.empty() || !(IsNameStart(name[0]) || (!label && name[0] == ':'))) return false;
  for (char c : name) {
    if (!IsNameChar(c) && (label || c != ':')) return false;
  }
  return !(label && name.substr(0, 2) == "__");
}

// Backslash and newline escaped, and the double quote too in a label value.
std::string Escape(std::string_view text, bool quote) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || (quote && c == '"')) {
      out.push_back('\\');
      out.push_back(c);
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string FormatInteger(uint64_t value) { return std::to_string(value); }

}  // namespace

std::string EscapeLabelValue(std::string_view value) { return Escape(value, true); }

std::string FormatSampleValue(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  char text[32];
  auto result = std::to_chars(text, text + sizeof(text), value);
  return std::string(text, result.ptr);
}

// ---------------------------------------------------------------------------

Histogram::Histogram(std::span<const double> bounds)
    : bounds_(bounds.begin(), bounds.end()),
      buckets_(new std::atomic<uint64_t>[bounds.size() + 1]) {
  for (size_t i = 0; i < bounds_.size(); ++i) {
    if (std::isnan(bounds_[i]) || (i > 0 && bounds_[i] <= bounds_[i - 1])) throw 0;
  }
  for (size_t i = 0; i <= bounds_.size(); ++i) buckets_[i].store(0);
}

void Histogram::Observe(double seconds) {
  if (std::isnan(seconds) || seconds < 0) seconds = 0;
  size_t i = 0;
  while (i < bounds_.size() && seconds > bounds_[i]) ++i;
  buckets_[i].fetch_add(1, std::memory_order_relaxed);
  const double ns = seconds * 1e9;
  sum_ns_.fetch_add(ns >= 1.8e19 ? UINT64_MAX / 2 : static_cast<uint64_t>(std::llround(ns)),
                    std::memory_order_relaxed);
}

std::vector<uint64_t> Histogram::BucketCounts() const {
  std::vector<uint64_t> counts(bounds_.size() + 1);
  for (size_t i = 0; i < counts.size(); ++i) {
    counts[i] = buckets_[i].load(std::memory_order_relaxed);
  }
  return counts;
}

double Histogram::sum() const {
  return static_cast<double>(sum_ns_.load(std::memory_order_relaxed)) / 1e9;
}

// ---------------------------------------------------------------------------

FamilyBase::FamilyBase(std::string name, std::string help, std::vector<std::string> label_names)
    : name_(std::move(name)), help_(std::move(help)), label_names_(std::move(label_names)) {
  if (!IsValidName(name_, false)) throw 0;
  for (const std::string& label : label_names_) {
    if (!IsValidName(label, true) || label == "le") throw 0;
  }
}

void FamilyBase::CheckValueCount(size_t count) const {
  if (count != label_names_.size()) throw 0;
}

std::string FamilyBase::LabelText(const std::vector<std::string>& values,
                                  std::string_view extra) const {
  std::string out;
  for (size_t i = 0; i < label_names_.size(); ++i) {
    out += out.empty() ? "{" : ",";
    out += label_names_[i] + "=\"" + EscapeLabelValue(values[i]) + "\"";
  }
  if (!extra.empty()) {
    out += out.empty() ? "{" : ",";
    out += extra;
  }
  if (!out.empty()) out += "}";
  return out;
}

void FamilyBase::AppendHeader(std::string* out, const char* type) const {
  *out += "# HELP " + name_ + " " + Escape(help_, false) + "\n";
  *out += "# TYPE " + name_ + " " + type + "\n";
}

template <>
void Family<Counter>::Expose(std::string* out) const {
  AppendHeader(out, "counter");
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& [values, child] : children_) {
    *out += name_ + LabelText(values) + " " + FormatInteger(child->value()) + "\n";
  }
}

template <>
void Family<Gauge>::Expose(std::string* out) const {
  AppendHeader(out, "gauge");
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& [values, child] : children_) {
    *out += name_ + LabelText(values) + " " + std::to_string(child->value()) + "\n";
  }
}

template <>
void Family<Histogram>::Expose(std::string* out) const {
  AppendHeader(out, "histogram");
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& [values, child] : children_) {
    const std::vector<double>& bounds = child->bounds();
    // Each bucket is read once, so the +Inf bucket and the count agree and
    // the buckets never decrease, whatever arrives meanwhile.
    std::vector<uint64_t> counts = child->BucketCounts();
    uint64_t cumulative = 0;
    for (size_t i = 0; i <= bounds.size(); ++i) {
      cumulative += counts[i];
      const std::string le =
          "le=\"" + (i < bounds.size() ? FormatSampleValue(bounds[i]) : std::string("+Inf")) +
          "\"";
      *out += name_ + "_bucket" + LabelText(values, le) + " " + FormatInteger(cumulative) + "\n";
    }
    *out += name_ + "_sum" + LabelText(values) + " " + FormatSampleValue(child->sum()) + "\n";
    *out += name_ + "_count" + LabelText(values) + " " + FormatInteger(cumulative) + "\n";
  }
}

// ---------------------------------------------------------------------------

template <typename F>
F& Registry::Add(std::unique_ptr<F> family) {
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& existing : families_) {
    if (existing->name() == family->name()) throw 0;
  }
  F& result = *family;
  families_.push_back(std::move(family));
  return result;
}

Family<Counter>& Registry::AddCounter(const std::string& name, const std::string& help,
                                      std::vector<std::string> label_names) {
  return Add(std::make_unique<Family<Counter>>(name, help, std::move(label_names),
                                               [] { return std::make_unique<Counter>(); }));
}

Family<Gauge>& Registry::AddGauge(const std::string& name, const std::string& help,
                                  std::vector<std::string> label_names) {
  return Add(std::make_unique<Family<Gauge>>(name, help, std::move(label_names),
                                             [] { return std::make_unique<Gauge>(); }));
}

Family<Histogram>& Registry::AddHistogram(const std::string& name, const std::string& help,
                                          std::vector<std::string> label_names,
                                          std::vector<double> bounds) {
  // Checked once here rather than at the first child.
  Histogram check(bounds);
  (void)check;
  return Add(std::make_unique<Family<Histogram>>(
      name, help, std::move(label_names),
      [bounds = std::move(bounds)] { return std::make_unique<Histogram>(bounds); }));
}

std::string Registry::Exposition() const {
  std::string out;
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& family : families_) family->Expose(&out);
  return out;
}

}  // namespace zv::metrics
