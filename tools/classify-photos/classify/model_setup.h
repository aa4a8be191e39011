#pragma once
// What the tool takes from a model beyond its tensors: the normalization of
// a float input, the class names, and what the model's metadata says; each
// with where it came from, for --describe.

#include <string>
#include <vector>

#include "model/metadata.h"
#include "model/operators.h"
#include "tools/classify-photos/classify/classifier.h"
#include "tools/classify-photos/classify/selection.h"
#include "tools/classify-photos/cli/options.h"
#include "tools/classify-photos/layers.h"
#include "tools/classify-photos/truth/categories.h"
#include "tools/common/result.h"

CLASSIFY_PHOTOS_IN_LAYER(classify);

namespace classify {

struct model_setup {
  model_metadata metadata;
  normalization norm;
  std::string mean_source, std_source;
  bool have_labels = false;
  std::vector<std::string> labels;
  std::string labels_source;
  // The categories over the classes (--categories), with where they came
  // from; not in use where there are none.
  category_map categories;
  // What makes the scores, and which classes count for a photograph.
  output_operator scores;
  class_selection selection;
  // Problems with the metadata or its label file, a line each: the tool goes
  // on without what they spoil.
  std::vector<std::string> warnings;
};

// Reads the metadata of `model` for the tensors `first` chose, and settles
// the normalization (--mean and --std, else the metadata's, else 127.5 and
// 127.5) and the class names (--labels, else the model's own label file of
// --locale, else the installed labels with the installed model, else none),
// the categories over the classes (see choose_category_map), then which
// classes count (selection.h). A failure when the --labels or --categories
// file cannot be read or is not right, or --only or --except names no class.
result<model_setup> set_up_model(const photos_options& options, const loaded_model& model,
                                 const classifier& first);

// What --describe prints: the input, the values fed, the normalization, the
// output and its classes, what its scores are and which count, the labels and
// the metadata, with their sources. Where the graph does not say what the
// scores are, `first` classifies a grey picture to see.
std::string describe_model(const photos_options& options, classifier& first,
                           const model_setup& setup);

}  // namespace classify
