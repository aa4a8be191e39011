#include "tools/classify-photos/classify/selection.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "tools/classify-photos/output/report.h"
#include "tools/common/command_line.h"
#include "tools/common/option_file.h"

namespace classify {

namespace {

// The classes of one name: those whose label it is, else the index it
// spells, else those under the category of that name; none where it is
// none of these.
std::vector<int32_t> classes_of(const std::string& name, const std::vector<std::string>* labels,
                                const category_map* categories, size_t classes) {
  std::vector<int32_t> found;
  if (labels != nullptr) {
    for (size_t i = 0; i < labels->size() && i < classes; ++i) {
      if ((*labels)[i] == name) found.push_back(static_cast<int32_t>(i));
    }
  }
  long index = 0;
  if (found.empty() && classes > 0 &&
      whole_number(name, 0, static_cast<long>(classes) - 1, &index)) {
    found.push_back(static_cast<int32_t>(index));
  }
  if (!found.empty() || categories == nullptr) return found;
  for (size_t i = 0; i < categories->paths.size() && i < classes; ++i) {
    const std::vector<std::string>& path = categories->paths[i];
    if (std::find(path.begin(), path.end(), name) != path.end()) {
      found.push_back(static_cast<int32_t>(i));
    }
  }
  return found;
}

// A list of classes far longer than any model's is a mistaken file.
constexpr uintmax_t largest_class_list = 16u << 20;

// The lines of @FILE, without their line ends and blank ones.
result<std::vector<std::string>> names_in_file(const std::string& named, const std::string& file) {
  const result<std::string> bytes =
      read_option_file(named, file, largest_class_list, "no list of classes is that large");
  if (!bytes) return bytes.error();
  std::vector<std::string> names;
  std::istringstream in(*bytes);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") != std::string::npos) names.push_back(line);
  }
  return names;
}

// "3,7,12" back to indices, each below `classes`.
result<std::vector<int32_t>> parse_index_list(const std::string& text, size_t classes,
                                              const std::string& option) {
  std::vector<int32_t> indices;
  for (size_t start = 0; start <= text.size();) {
    const size_t comma = std::min(text.find(',', start), text.size());
    long index = 0;
    if (classes == 0 || !whole_number(text.substr(start, comma - start), 0,
                                      static_cast<long>(classes) - 1, &index)) {
      return failure{option + " " + text + ": not class indices of the model"};
    }
    indices.push_back(static_cast<int32_t>(index));
    start = comma + 1;
  }
  return indices;
}

bool better(const float* scores, int32_t a, int32_t b) {
  const bool a_nan = std::isnan(scores[a]), b_nan = std::isnan(scores[b]);
  if (a_nan != b_nan) return b_nan;
  if (!a_nan && scores[a] != scores[b]) return scores[a] > scores[b];
  return a < b;
}

// Whether the model's scores are independent, and why.
void choose_labelling(const photos_options& options, const output_operator& scores,
                      class_selection* selection) {
  if (options.multi_label) {
    selection->multi_label = true;
    selection->multi_label_source = "--multi-label";
  } else if (options.scores == score_conversion::sigmoid) {
    selection->multi_label = true;
    selection->multi_label_source = "--scores sigmoid";
  } else if (scores.source == score_source::logistic) {
    selection->multi_label = true;
    selection->multi_label_source = "the scores come from a final LOGISTIC";
  } else if (options.scores == score_conversion::softmax) {
    selection->multi_label_source = "--scores softmax";
  } else if (scores.source == score_source::softmax) {
    selection->multi_label_source = "the scores come from a final SOFTMAX";
  } else {
    selection->multi_label_source = "the graph ends in no LOGISTIC";
  }
}

}  // namespace

result<std::vector<int32_t>> classes_named(const std::vector<std::string>& names,
                                           const std::vector<std::string>* labels,
                                           const category_map* categories, size_t classes,
                                           const std::string& option) {
  std::vector<int32_t> indices;
  const auto add = [&](const std::string& name, const std::string& given) -> outcome {
    const std::vector<int32_t> found = classes_of(name, labels, categories, classes);
    if (found.empty()) {
      return failure{option + " " + given + ": no class of the model" +
                     (labels != nullptr ? " is named so" : " (it has no class names)") +
                     (categories != nullptr ? ", no category is," : ",") +
                     " and it is no class index from 0 to " + std::to_string(classes - 1)};
    }
    for (const int32_t index : found) {
      if (std::find(indices.begin(), indices.end(), index) == indices.end()) {
        indices.push_back(index);
      }
    }
    return {};
  };
  for (const std::string& name : names) {
    if (name.size() > 1 && name[0] == '@') {
      result<std::vector<std::string>> listed =
          names_in_file(option + " " + name + ": ", name.substr(1));
      if (!listed) return listed.error();
      // An empty list would leave every class to rank, as if none were given.
      if (listed->empty()) return failure{option + " " + name + ": the file names no class"};
      for (const std::string& line : *listed) {
        const outcome added = add(line, "\"" + line + "\" (in " + name.substr(1) + ")");
        if (!added) return added.error();
      }
    } else {
      const outcome added = add(name, name);
      if (!added) return added.error();
    }
  }
  return indices;
}

result<class_selection> choose_selection(const photos_options& options,
                                         const std::vector<std::string>* labels,
                                         const category_map* categories, size_t classes,
                                         const output_operator& scores) {
  class_selection selection;
  // Probabilities made into probabilities again are no longer the model's:
  // a softmax over a softmax flattens every score towards 1/N.
  if (options.scores != score_conversion::as_given &&
      (scores.source == score_source::softmax || scores.source == score_source::logistic)) {
    return failure{std::string("--scores ") +
                   (options.scores == score_conversion::softmax ? "softmax" : "sigmoid") +
                   ": the model's scores are probabilities already (they come from a final " +
                   (scores.source == score_source::softmax ? "SOFTMAX" : "LOGISTIC") + ")"};
  }
  selection.conversion = options.scores;
  choose_labelling(options, scores, &selection);
  selection.thresholded = options.threshold_given || selection.multi_label;
  selection.threshold = options.threshold_given ? options.threshold : 0.5;
  if (!selection.thresholded) selection.threshold = 0;
  selection.top = static_cast<size_t>(options.top);
  if (selection.multi_label && !options.top_given) selection.top = classes;
  result<std::vector<int32_t>> listed = std::vector<int32_t>{};
  selection.allow_list = !options.only.empty() || !options.only_indices.empty();
  if (!options.only_indices.empty() || !options.except_indices.empty()) {
    const bool only = !options.only_indices.empty();
    listed = parse_index_list(only ? options.only_indices : options.except_indices, classes,
                              only ? "--only-indices" : "--except-indices");
  } else if (!options.only.empty() || !options.except.empty()) {
    const bool only = !options.only.empty();
    listed = classes_named(only ? options.only : options.except, labels, categories, classes,
                           only ? "--only" : "--except");
  }
  if (!listed) return listed.error();
  selection.listed = std::move(*listed);
  if (!selection.listed.empty()) {
    selection.allowed.assign(classes, selection.allow_list ? 0 : 1);
    for (const int32_t index : selection.listed) {
      selection.allowed[static_cast<size_t>(index)] = selection.allow_list ? 1 : 0;
    }
  }
  return selection;
}

std::string class_selection::key() const {
  if (plain() && !multi_label) return "";
  std::string text = "scores " + std::to_string(static_cast<int>(conversion)) + "\nthreshold " +
                     (thresholded ? exact_text(threshold) : "none") + "\nselected top " +
                     std::to_string(top) + "\nmulti-label " + (multi_label ? "yes" : "no");
  if (!allowed.empty()) {
    text += std::string(allow_list ? "\nonly " : "\nexcept ") + index_list(listed);
  }
  return text + "\n";
}

void convert_scores(const float* scores, size_t size, score_conversion conversion, float* out) {
  if (conversion == score_conversion::sigmoid) {
    for (size_t i = 0; i < size; ++i) {
      out[i] = static_cast<float>(1.0 / (1.0 + std::exp(-static_cast<double>(scores[i]))));
    }
  } else if (conversion == score_conversion::softmax && size > 0) {
    // Less the greatest, so that no exponential overflows.
    double greatest = -INFINITY;
    for (size_t i = 0; i < size; ++i) greatest = std::max(greatest, double{scores[i]});
    double sum = 0;
    for (size_t i = 0; i < size; ++i) sum += std::exp(double{scores[i]} - greatest);
    for (size_t i = 0; i < size; ++i) {
      out[i] = static_cast<float>(std::exp(double{scores[i]} - greatest) / sum);
    }
  } else if (out != scores) {
    std::copy(scores, scores + size, out);
  }
}

bool reaches(float score, double threshold) {
  const double value = score;
  if (value >= threshold) return true;
  // Six significant digits move a score by less than a millionth of it:
  // only a score that close is printed to see.
  if (!(value > 0) || value < threshold * (1 - 1e-5)) return false;
  return printed_score(score) >= threshold;
}

void select_classes(const float* scores, size_t size, const class_selection& selection,
                    std::vector<int32_t>* order, std::vector<ranked_class>* best) {
  if (selection.plain()) {
    *best = best_classes(scores, size, selection.top);
    return;
  }
  order->clear();
  for (size_t i = 0; i < size; ++i) {
    if (!selection.allowed.empty() && !selection.allowed[i]) continue;
    if (selection.thresholded && !reaches(scores[i], selection.threshold)) continue;
    order->push_back(static_cast<int32_t>(i));
  }
  const size_t count = std::min(selection.top, order->size());
  std::partial_sort(order->begin(), order->begin() + static_cast<std::ptrdiff_t>(count),
                    order->end(), [scores](int32_t a, int32_t b) { return better(scores, a, b); });
  best->resize(count);
  for (size_t i = 0; i < count; ++i) (*best)[i] = {(*order)[i], scores[(*order)[i]]};
}

std::string index_list(const std::vector<int32_t>& indices) {
  std::string text;
  for (const int32_t index : indices) text += (text.empty() ? "" : ",") + std::to_string(index);
  return text;
}

}  // namespace classify
