#pragma once
// How good the model is on photographs whose class is known: top-1 and
// top-K accuracy with their 95% Wilson intervals, each class's photographs,
// recall and precision, the photographs no class counted for (unsure), the
// most frequent confusions, the truths that name no label, and the
// photographs that could not be classified. Where a category map is in use,
// the same by category: a photograph is right by category where its best
// class's path holds its truth's category (see truth_category; an unsure one
// is not), and each category, at whatever level, has its recall and
// precision over the photographs whose truth and whose best class are under
// it.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tools/classify-photos/core/results.h"
#include "tools/classify-photos/layers.h"
#include "tools/classify-photos/truth/categories.h"
#include "tools/classify-photos/truth/truth.h"

CLASSIFY_PHOTOS_IN_LAYER(truth);

namespace classify {

// The 95% Wilson score interval of `hits` in `count`: {low, high}; {0, 0}
// when count is 0.
std::pair<double, double> wilson_interval(size_t hits, size_t count);

class evaluation {
 public:
  // A category's photographs: those whose truth is under it, those whose
  // best class is, and those that are both.
  struct category_counts {
    std::string name;  // as the map spells it
    size_t truths = 0, predicted = 0, right = 0;
  };

  // For `top` classes a photograph, with the model's class names (null
  // without them) and the categories over them (null where no map is in
  // use).
  evaluation(size_t top, const std::vector<std::string>* labels,
             const category_map* categories = nullptr);

  // A photograph, its truth and what came of it.
  void add(const std::string& path, const photo_truth& truth, const photo_result& result);

  size_t evaluated() const { return evaluated_; }
  size_t top1() const { return top1_; }
  size_t topk() const { return topk_; }
  // By category: the photographs whose truth has a category, and those
  // right by it.
  size_t category_evaluated() const { return category_evaluated_; }
  size_t category_top1() const { return category_top1_; }
  // Each category that a truth or a best class is under, broad before
  // narrow as the map first gives it ("animal", "animal|pet",
  // "animal|pet|dog", then "food").
  std::vector<category_counts> category_table() const;

  // The warnings for the categories whose recall (`no_recall`) and precision
  // (`no_precision`) are over no photograph, without "warning: ".
  static std::vector<std::string> category_warnings(const std::vector<std::string>& no_recall,
                                                    const std::vector<std::string>& no_precision);

  // The summary as lines of text, for standard error.
  std::string text() const;
  // The summary as one JSON document, for --summary.
  std::string json() const;

 private:
  struct class_counts {
    size_t truths = 0, predicted = 0, right = 0;
  };
  std::string name_of(int32_t index) const;
  // The confusions, most frequent first (then by the classes' numbers), at
  // most `count`.
  std::vector<std::pair<std::pair<int32_t, int32_t>, size_t>> confusions(size_t count) const;
  // The figures of a photograph whose truth is `given` and best class `best`
  // by category.
  void add_by_category(const photo_truth& given, int32_t best);
  // The categories (folded) a truth is under: its class's path; for a
  // category, the levels down to it that every class under it has.
  std::vector<std::string> under_truth(const photo_truth& given);
  // The summary's lines by category.
  std::string category_lines() const;
  // "  NAME: share (hits of count), 95% interval ..." or, over nothing,
  // none, for photographs of a known `known` (class, category).
  static std::string figure_line(const std::string& name, size_t hits, size_t count,
                                 const std::string& known);

  size_t top_;
  const std::vector<std::string>* labels_;
  size_t evaluated_ = 0, top1_ = 0, topk_ = 0, without_truth_ = 0;
  size_t unsure_ = 0;  // of those evaluated, the photographs no class counted for
  std::map<int32_t, class_counts> classes_;
  std::map<std::pair<int32_t, int32_t>, size_t> confused_;    // (truth, predicted) -> photographs
  std::map<std::string, std::pair<size_t, bool>> unmatched_;  // text -> photographs, ambiguous
  std::vector<std::pair<std::string, std::string>> errors_;   // path, reason
  const category_map* categories_;
  size_t category_evaluated_ = 0, category_top1_ = 0;
  size_t category_alone_ = 0;    // of category_evaluated_, truths that name a category
  size_t without_category_ = 0;  // class truths whose class has no category
  std::map<std::string, std::string> category_order_;            // folded -> path to it, folded
  std::map<std::string, category_counts> category_counts_;       // folded -> counts
  std::map<std::string, std::vector<std::string>> under_named_;  // folded category -> under_truth
};

}  // namespace classify
