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

// A share as the summary prints it, or "none" over no photograph.
std::string share_or_none(size_t part, size_t whole) {
  return whole == 0 ? "none" : share(ratio(part, whole));
}

std::string photographs(size_t count) {
  return std::to_string(count) + (count == 1 ? " photograph" : " photographs");
}

// ", "-joined, as a list in a sentence.
std::string listed(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

// The levels of `path` folded, each once.
std::vector<std::string> folded_levels(const std::vector<std::string>& path) {
  std::vector<std::string> levels;
  for (const std::string& level : path) {
    const std::string folded = folded_name(level);
    if (std::find(levels.begin(), levels.end(), folded) == levels.end()) levels.push_back(folded);
  }
  return levels;
}

bool holds(const std::vector<std::string>& levels, const std::string& level) {
  return std::find(levels.begin(), levels.end(), level) != levels.end();
}

}  // namespace

evaluation::evaluation(size_t top, const std::vector<std::string>* labels,
                       const category_map* categories)
    : top_(top),
      labels_(labels),
      categories_(categories != nullptr && categories->in_use() ? categories : nullptr) {
  if (categories_ == nullptr) return;
  // The order of the table: the path down to each category where the map
  // first gives it, with a separator below every letter so that a broad
  // category comes straight before the ones under it.
  for (const std::vector<std::string>& path : categories_->paths) {
    std::string key;
    for (const std::string& level : path) {
      const std::string folded = folded_name(level);
      key += (key.empty() ? "" : "\x01") + folded;
      category_order_.emplace(folded, key);
      category_counts& counts = category_counts_[folded];
      if (counts.name.empty()) counts.name = level;
    }
  }
}

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
  const bool by_category = categories_ != nullptr && !given.category.empty();
  if (truth < 0 && !by_category) {
    auto& entry = unmatched_[given.text];
    ++entry.first;
    entry.second = truth == -2;
    return;
  }
  // No class counted (--threshold): not right, and taken for no class.
  const bool unsure = result.classes.empty();
  const int32_t best = unsure ? -1 : result.classes.front().index;
  if (categories_ != nullptr) add_by_category(given, best);
  if (truth < 0) return;
  ++evaluated_;
  ++classes_[truth].truths;
  if (unsure) {
    ++unsure_;
    return;
  }
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

std::vector<std::string> evaluation::under_truth(const photo_truth& given) {
  if (given.index >= 0) return folded_levels(categories_->path_of(given.index));
  const std::string named = folded_name(given.category);
  const auto cached = under_named_.find(named);
  if (cached != under_named_.end()) return cached->second;
  // "dog" is under "animal" and "pet" only where every class under it is.
  std::vector<std::string> common;
  bool first = true;
  for (const std::vector<std::string>& path : categories_->paths) {
    std::vector<std::string> down_to;
    for (const std::string& level : folded_levels(path)) {
      down_to.push_back(level);
      if (level == named) break;
    }
    if (down_to.empty() || down_to.back() != named) continue;
    if (first) common = down_to;
    first = false;
    common.erase(std::remove_if(common.begin(), common.end(),
                                [&](const std::string& level) { return !holds(down_to, level); }),
                 common.end());
  }
  return under_named_[named] = common;
}

void evaluation::add_by_category(const photo_truth& given, int32_t best) {
  const std::vector<std::string> under = under_truth(given);
  if (under.empty()) {
    ++without_category_;
    return;
  }
  ++category_evaluated_;
  if (given.index < 0) ++category_alone_;
  if (category_right(*categories_, given, best).value_or(false)) ++category_top1_;
  const std::vector<std::string> predicted = folded_levels(categories_->path_of(best));
  for (const std::string& level : under) {
    ++category_counts_[level].truths;
    if (holds(predicted, level)) ++category_counts_[level].right;
  }
  for (const std::string& level : predicted) ++category_counts_[level].predicted;
}

std::vector<evaluation::category_counts> evaluation::category_table() const {
  std::vector<std::pair<std::string, category_counts>> rows;
  for (const auto& [folded, counts] : category_counts_) {
    if (counts.truths == 0 && counts.predicted == 0) continue;
    const auto order = category_order_.find(folded);
    rows.emplace_back(order != category_order_.end() ? order->second : folded, counts);
  }
  std::sort(rows.begin(), rows.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<category_counts> table;
  for (auto& row : rows) table.push_back(std::move(row.second));
  return table;
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
  std::vector<std::string> counts;
  if (without_truth_ > 0) counts.push_back(std::to_string(without_truth_) + " without one");
  if (category_alone_ > 0) {
    counts.push_back(std::to_string(category_alone_) +
                     " named by a category alone, counted by category only");
  }
  if (!counts.empty()) out << " (" << listed(counts) << ")";
  out << "\n";
  out << figure_line("top-1", top1_, evaluated_, "class");
  if (top_ > 1) out << figure_line("top-" + std::to_string(top_), topk_, evaluated_, "class");
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
        << (entry.second             ? "names several labels"
            : categories_ != nullptr ? "names no label and no category"
                                     : "names no label")
        << ": " << entry.first << " photograph" << (entry.first == 1 ? "" : "s") << " left out\n";
  }
  if (!errors_.empty()) {
    out << "  could not be classified: " << errors_.size() << "\n";
    for (const auto& [path, reason] : errors_) out << "    " << path << ": " << reason << "\n";
  }
  if (categories_ != nullptr) out << category_lines();
  return out.str();
}

std::string evaluation::category_lines() const {
  std::ostringstream out;
  if (category_evaluated_ == 0) {
    out << "classify-photos: warning: no accuracy by category: no photograph of a known category";
  } else {
    out << "classify-photos: accuracy by category over " << photographs(category_evaluated_)
        << " of a known category";
  }
  std::vector<std::string> counts;
  if (category_alone_ > 0) {
    counts.push_back(std::to_string(category_alone_) + " of them named by a category alone");
  }
  if (without_category_ > 0) {
    counts.push_back(photographs(without_category_) + " of a class under no category left out");
  }
  if (!counts.empty()) out << " (" << listed(counts) << ")";
  out << "\n" << figure_line("top-1 by category", category_top1_, category_evaluated_, "category");
  const std::vector<category_counts> table = category_table();
  if (!table.empty()) out << "  per category: photographs, recall, precision\n";
  std::vector<std::string> no_recall, no_precision;
  for (const category_counts& row : table) {
    out << "    " << row.name << ": " << row.truths << ", " << share_or_none(row.right, row.truths)
        << ", " << share_or_none(row.right, row.predicted) << "\n";
    if (row.truths == 0) no_recall.push_back(row.name);
    if (row.predicted == 0) no_precision.push_back(row.name);
  }
  // A figure over no photograph is none, and said to be.
  for (const std::string& line : category_warnings(no_recall, no_precision)) {
    out << "classify-photos: warning: " << line << "\n";
  }
  return out.str();
}

std::vector<std::string> evaluation::category_warnings(
    const std::vector<std::string>& no_recall, const std::vector<std::string>& no_precision) {
  std::vector<std::string> lines;
  if (!no_recall.empty()) {
    lines.push_back("no recall (none) for " + listed(no_recall) +
                    ": no photograph's truth is under " + (no_recall.size() == 1 ? "it" : "them"));
  }
  if (!no_precision.empty()) {
    lines.push_back("no precision (none) for " + listed(no_precision) +
                    ": no photograph's best class is under " +
                    (no_precision.size() == 1 ? "it" : "them"));
  }
  return lines;
}

std::string evaluation::figure_line(const std::string& name, size_t hits, size_t count,
                                    const std::string& known) {
  // Over nothing there is no figure to give.
  if (count == 0) return "  " + name + ": none (no photograph of a known " + known + ")\n";
  const auto [low, high] = wilson_interval(hits, count);
  return "  " + name + ": " + share(ratio(hits, count)) + " (" + std::to_string(hits) + " of " +
         std::to_string(count) + "), 95% interval " + share(low) + " to " + share(high) + "\n";
}

namespace {

using json_type = nlohmann::ordered_json;

// A share of no photograph is none, not 0.
json_type figure_json(size_t hits, size_t count) {
  if (count == 0) {
    return json_type{{"accuracy", nullptr}, {"correct", hits}, {"interval_95", nullptr}};
  }
  const auto [low, high] = wilson_interval(hits, count);
  return json_type{
      {"accuracy", ratio(hits, count)}, {"correct", hits}, {"interval_95", {low, high}}};
}

json_type share_json(size_t part, size_t whole) {
  return whole == 0 ? json_type(nullptr) : json_type(ratio(part, whole));
}

}  // namespace

std::string evaluation::json() const {
  json_type summary = {{"photographs", evaluated_}, {"without_truth", without_truth_}};
  if (categories_ != nullptr) summary["named_by_category"] = category_alone_;
  summary["top_1"] = figure_json(top1_, evaluated_);
  summary["unsure"] = unsure_;
  if (top_ > 1) summary["top_" + std::to_string(top_)] = figure_json(topk_, evaluated_);
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
  if (categories_ != nullptr) {
    json_type by_category = {{"photographs", category_evaluated_},
                             {"named_by_category", category_alone_},
                             {"without_category", without_category_},
                             {"top_1", figure_json(category_top1_, category_evaluated_)}};
    json_type table = json_type::array();
    std::vector<std::string> no_recall, no_precision;
    for (const category_counts& row : category_table()) {
      table.push_back({{"category", row.name},
                       {"photographs", row.truths},
                       {"predicted", row.predicted},
                       {"right", row.right},
                       {"recall", share_json(row.right, row.truths)},
                       {"precision", share_json(row.right, row.predicted)}});
      if (row.truths == 0) no_recall.push_back(row.name);
      if (row.predicted == 0) no_precision.push_back(row.name);
    }
    by_category["categories"] = std::move(table);
    by_category["warnings"] = category_warnings(no_recall, no_precision);
    summary["by_category"] = std::move(by_category);
  }
  json_type errors = json_type::array();
  for (const auto& [path, reason] : errors_) errors.push_back({{"path", path}, {"reason", reason}});
  summary["errors"] = std::move(errors);
  return summary.dump(2, ' ', false, json_type::error_handler_t::replace) + "\n";
}

}  // namespace classify
