#include "tools/classify-photos/truth/evaluation.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>

#include "model/labels.h"

namespace classify {

namespace {

// 0.xyz as the summary prints a share.
std::string share(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4f", value);
  return text;
}

double ratio(size_t part, size_t whole) {
  return whole == 0 ? 0.0 : static_cast<double>(part) / static_cast<double>(whole);
}

}  // namespace

std::pair<double, double> wilson_interval(size_t hits, size_t count) {
  if (count == 0) return {0.0, 0.0};
  const double z = 1.959963984540054;  // the 97.5th percentile of the normal
  const double n = static_cast<double>(count);
  const double p = static_cast<double>(hits) / n;
  const double denominator = 1.0 + z * z / n;
  const double centre = (p + z * z / (2.0 * n)) / denominator;
  const double half = z * std::sqrt(p * (1.0 - p) / n + z * z / (4.0 * n * n)) / denominator;
  return {std::max(0.0, centre - half), std::min(1.0, centre + half)};
}

void evaluation::add(const std::string& path, const photo_truth& given,
                     const photo_result& result) {
  const int32_t truth = given.index;
  if (result.outcome != photo_result::state::classified) {
    errors_.push_back({path, result.reason});
    return;
  }
  if (!given.known) {
    ++without_truth_;
    return;
  }
  if (truth < 0) {
    auto& entry = unmatched_[given.text];
    ++entry.first;
    entry.second = truth == -2;
    return;
  }
  ++evaluated_;
  ++classes_[truth].truths;
  // No class counted (--threshold): not right, and taken for no class.
  if (result.classes.empty()) {
    ++unsure_;
    return;
  }
  const int32_t best = result.classes.front().index;
  ++classes_[best].predicted;
  if (best == truth) {
    ++top1_;
    ++classes_[truth].right;
  } else {
    ++confused_[{truth, best}];
  }
  for (size_t k = 0; k < result.classes.size() && k < top_; ++k) {
    if (result.classes[k].index == truth) {
      ++topk_;
      break;
    }
  }
}

std::string evaluation::name_of(int32_t index) const {
  const std::string label = labels_ != nullptr ? label_of(*labels_, index) : "";
  return label.empty() ? "class " + std::to_string(index)
                       : label + " (" + std::to_string(index) + ")";
}

std::vector<std::pair<std::pair<int32_t, int32_t>, size_t>> evaluation::confusions(
    size_t count) const {
  std::vector<std::pair<std::pair<int32_t, int32_t>, size_t>> list(confused_.begin(),
                                                                   confused_.end());
  std::stable_sort(list.begin(), list.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  if (list.size() > count) list.resize(count);
  return list;
}

std::string evaluation::text() const {
  std::ostringstream out;
  // Over nothing there is no figure to give: the line says so as a warning.
  if (evaluated_ == 0) {
    out << "classify-photos: warning: no accuracy: no photograph of a known class";
  } else {
    out << "classify-photos: accuracy over " << evaluated_ << " photograph"
        << (evaluated_ == 1 ? "" : "s") << " of a known class";
  }
  if (without_truth_ > 0) out << " (" << without_truth_ << " without one)";
  out << "\n";
  const auto figure = [&](const std::string& name, size_t hits) {
    if (evaluated_ == 0) {
      out << "  " << name << ": none (no photograph of a known class)\n";
      return;
    }
    const auto [low, high] = wilson_interval(hits, evaluated_);
    out << "  " << name << ": " << share(ratio(hits, evaluated_)) << " (" << hits << " of "
        << evaluated_ << "), 95% interval " << share(low) << " to " << share(high) << "\n";
  };
  figure("top-1", top1_);
  if (top_ > 1) figure("top-" + std::to_string(top_), topk_);
  if (unsure_ > 0) {
    out << "  unsure (no class counted): " << unsure_ << ", not right\n";
  }
  if (!classes_.empty()) out << "  per class: photographs, recall, precision\n";
  for (const auto& [index, counts] : classes_) {
    if (counts.truths == 0) continue;
    out << "    " << name_of(index) << ": " << counts.truths << ", "
        << share(ratio(counts.right, counts.truths)) << ", "
        << (counts.predicted == 0 ? std::string("-") : share(ratio(counts.right, counts.predicted)))
        << "\n";
  }
  const auto most = confusions(10);
  if (!most.empty()) out << "  most frequent confusions: true class -> predicted class\n";
  for (const auto& [pair, count] : most) {
    out << "    " << name_of(pair.first) << " -> " << name_of(pair.second) << ": " << count << "\n";
  }
  for (const auto& [name, entry] : unmatched_) {
    out << "  the truth \"" << name << "\" "
        << (entry.second ? "names several labels" : "names no label") << ": " << entry.first
        << " photograph" << (entry.first == 1 ? "" : "s") << " left out\n";
  }
  if (!errors_.empty()) {
    out << "  could not be classified: " << errors_.size() << "\n";
    for (const auto& [path, reason] : errors_) out << "    " << path << ": " << reason << "\n";
  }
  return out.str();
}

std::string evaluation::json() const {
  using json_type = nlohmann::ordered_json;
  // A share of no photograph is none, not 0.
  const auto figure = [&](size_t hits) {
    if (evaluated_ == 0) {
      return json_type{{"accuracy", nullptr}, {"correct", hits}, {"interval_95", nullptr}};
    }
    const auto [low, high] = wilson_interval(hits, evaluated_);
    return json_type{
        {"accuracy", ratio(hits, evaluated_)}, {"correct", hits}, {"interval_95", {low, high}}};
  };
  json_type summary = {{"photographs", evaluated_}, {"without_truth", without_truth_}};
  summary["top_1"] = figure(top1_);
  summary["unsure"] = unsure_;
  if (top_ > 1) summary["top_" + std::to_string(top_)] = figure(topk_);
  json_type classes = json_type::array();
  for (const auto& [index, counts] : classes_) {
    if (counts.truths == 0) continue;
    json_type entry = {{"index", index}};
    entry["label"] = labels_ != nullptr ? json_type(label_of(*labels_, index)) : json_type(nullptr);
    entry["photographs"] = counts.truths;
    entry["recall"] = ratio(counts.right, counts.truths);
    entry["precision"] = counts.predicted == 0 ? json_type(nullptr)
                                               : json_type(ratio(counts.right, counts.predicted));
    classes.push_back(std::move(entry));
  }
  summary["classes"] = std::move(classes);
  json_type confusions_list = json_type::array();
  for (const auto& [pair, count] : confusions(10)) {
    confusions_list.push_back(
        {{"truth", pair.first}, {"predicted", pair.second}, {"count", count}});
  }
  summary["confusions"] = std::move(confusions_list);
  json_type unmatched = json_type::array();
  for (const auto& [name, entry] : unmatched_) {
    unmatched.push_back({{"truth", name},
                         {"photographs", entry.first},
                         {"why", entry.second ? "several labels" : "no label"}});
  }
  summary["unmatched"] = std::move(unmatched);
  json_type errors = json_type::array();
  for (const auto& [path, reason] : errors_) errors.push_back({{"path", path}, {"reason", reason}});
  summary["errors"] = std::move(errors);
  return summary.dump(2, ' ', false, json_type::error_handler_t::replace) + "\n";
}

}  // namespace classify
