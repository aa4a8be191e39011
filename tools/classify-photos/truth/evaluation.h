#pragma once
// How good the model is on photographs whose class is known: top-1 and
// top-K accuracy with their 95% Wilson intervals, each class's photographs,
// recall and precision, the photographs no class counted for (unsure), the
// most frequent confusions, the truths that name
// no label, and the photographs that could not be classified.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tools/classify-photos/core/results.h"
#include "tools/classify-photos/layers.h"
#include "tools/classify-photos/truth/truth.h"

CLASSIFY_PHOTOS_IN_LAYER(truth);

namespace classify {

// The 95% Wilson score interval of `hits` in `count`: {low, high}; {0, 0}
// when count is 0.
std::pair<double, double> wilson_interval(size_t hits, size_t count);

class evaluation {
 public:
  // For `top` classes a photograph, with the model's class names (null
  // without them).
  evaluation(size_t top, const std::vector<std::string>* labels) : top_(top), labels_(labels) {}

  // A photograph, its truth and what came of it.
  void add(const std::string& path, const photo_truth& truth, const photo_result& result);

  size_t evaluated() const { return evaluated_; }
  size_t top1() const { return top1_; }
  size_t topk() const { return topk_; }

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

  size_t top_;
  const std::vector<std::string>* labels_;
  size_t evaluated_ = 0, top1_ = 0, topk_ = 0, without_truth_ = 0;
  size_t unsure_ = 0;  // of those evaluated, the photographs no class counted for
  std::map<int32_t, class_counts> classes_;
  std::map<std::pair<int32_t, int32_t>, size_t> confused_;    // (truth, predicted) -> photographs
  std::map<std::string, std::pair<size_t, bool>> unmatched_;  // text -> photographs, ambiguous
  std::vector<std::pair<std::string, std::string>> errors_;   // path, reason
};

}  // namespace classify
