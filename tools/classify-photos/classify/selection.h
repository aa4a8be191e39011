#pragma once
// Which of a model's classes count for a photograph, settled once for the
// batch and applied where the scores become ranked classes, so that the
// lines, the relay, the cache, the keywords, the class folders and the
// contact sheet all see the same ones: the scores converted (--scores), the
// classes allowed (--only, --except), the lowest score that counts
// (--threshold) and how many are given (--top; every one that counts for a
// multi-label model).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "model/operators.h"
#include "model/scores.h"
#include "tools/classify-photos/cli/options.h"
#include "tools/classify-photos/core/choices.h"
#include "tools/classify-photos/layers.h"
#include "tools/classify-photos/truth/categories.h"
#include "tools/common/result.h"

CLASSIFY_PHOTOS_IN_LAYER(classify);

namespace classify {

struct class_selection {
  score_conversion conversion = score_conversion::as_given;
  bool thresholded = false;  // whether `threshold` applies
  double threshold = 0;
  size_t top = 1;
  // One a class where --only or --except is given: whether it may be
  // ranked. Empty: every class may.
  std::vector<char> allowed;
  bool allow_list = false;      // --only; --except otherwise (where `allowed` is set)
  std::vector<int32_t> listed;  // the classes --only or --except named, in order
  // Whether the classes are independent, and why the tool takes them so.
  bool multi_label = false;
  std::string multi_label_source;

  // True when only the best `top` scores are taken, as before any of these
  // options: nothing to convert, filter or allow.
  bool plain() const {
    return conversion == score_conversion::as_given && !thresholded && allowed.empty();
  }
  // The options' text for the cache's key: "" when plain, so that the
  // results kept before these options existed are still found.
  std::string key() const;
};

// The classes that `names` (--only's or --except's values) name, in their
// order, once each: a class name names every class of that label (ImageNet
// has two "crane"s); otherwise a whole number below `classes` is that class;
// otherwise a category of `categories` (null without a map) names every
// class under it ("dog"); @FILE names the classes of its lines (blank ones
// left out). A failure,
// naming the value, where one names no class of the model or the file cannot
// be read. `option` is the option's name, for the message.
result<std::vector<int32_t>> classes_named(const std::vector<std::string>& names,
                                           const std::vector<std::string>* labels,
                                           const category_map* categories, size_t classes,
                                           const std::string& option);

// The selection of a batch from the options, the labels (null without
// them), the categories (null without a map), the number of classes and
// what makes the model's scores. A
// failure, as bad usage, where --only or --except names no class.
result<class_selection> choose_selection(const photos_options& options,
                                         const std::vector<std::string>* labels,
                                         const category_map* categories, size_t classes,
                                         const output_operator& scores);

// The scores as `conversion` makes them, written to `out` (which may be
// `scores` itself); nothing is done for as_given.
void convert_scores(const float* scores, size_t size, score_conversion conversion, float* out);

// Whether a score counts at `threshold`: at least the threshold, as a
// number or as the line prints it (0.49999997 prints 0.5), so that a class
// shown at the threshold counts.
bool reaches(float score, double threshold);

// The classes of `scores` that `selection` takes, best first: those allowed
// and reaching the threshold, at most `top`; a tie goes to the lower index.
// `order` is room to rank them in, kept from one photograph to the next so
// that none is allocated for each.
void select_classes(const float* scores, size_t size, const class_selection& selection,
                    std::vector<int32_t>* order, std::vector<ranked_class>* best);

// "3,7,12": the indices as --only-indices and --except-indices carry them.
std::string index_list(const std::vector<int32_t>& indices);

}  // namespace classify
