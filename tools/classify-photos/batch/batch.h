#pragma once
// One batch from start to end: the photographs classified by the workers here
// (or over ssh), their lines written in the order given as soon as each and
// every one before it is done, errors and progress on standard error.

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tools/classify-photos/classify/classifier.h"
#include "tools/classify-photos/classify/selection.h"
#include "tools/classify-photos/cli/options.h"
#include "tools/classify-photos/keep/keeper.h"
#include "tools/classify-photos/layers.h"
#include "tools/classify-photos/output/contact_sheet.h"
#include "tools/classify-photos/truth/categories.h"
#include "tools/classify-photos/truth/truth.h"
#include "tools/common/result.h"

CLASSIFY_PHOTOS_IN_LAYER(batch);

namespace classify {

struct batch {
  const photos_options& options;
  const std::vector<std::string>& photos;
  const std::vector<std::string>* labels;  // null without class names
  const TfLiteModel* model;
  normalization norm;
  std::unique_ptr<classifier> first;  // the first worker's, already checked
  std::FILE* messages;                // standard error, for the program's own lines
  int messages_fd;
  contact_sheet* sheet;    // --html's, or null
  std::string model_name;  // the model's metadata's name, for the sheet
  // With --truth, each photograph's true class, in the order given; null
  // otherwise.
  const std::vector<photo_truth>* truths = nullptr;
  // The packed weights the workers' XNNPACK delegates share; null where the
  // builtin kernels run the model.
  const xnnpack_weights* weights = nullptr;
  // The cache, the sidecars and the class folders; null where none is asked
  // for.
  result_keeper* keeper = nullptr;
  // The categories over the classes; null where no map is in use.
  const category_map* categories = nullptr;
  // Which classes count for a photograph; null for the best --top ones.
  const class_selection* selection = nullptr;
};

// With --truth, the summary of the model's accuracy goes to standard error,
// or as JSON to --summary.

// Runs the batch: done when every photograph was classified and kept as
// asked, and the summary and the contact sheet, where asked for, written.
// A failure has a message only where the results kept before cannot be
// found, and the batch does not start; otherwise it was said as it happened
// (a line for each photograph, the summary, the sheet) and its message is
// empty. A result that cannot be written stops the batch at once, with one
// message; an interruption stops it after the lines already done, and the
// failure names the signal. Either way what classifies stops after the
// photographs in hand, the scratch folders go, and an earlier contact sheet
// stays.
outcome run_batch(batch job);

}  // namespace classify
