#pragma once
// One batch from start to end: the photographs classified by the workers here
// (or over ssh), their lines written in the order given as soon as each and
// every one before it is done, errors and progress on standard error.

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tools/classify-photos/classify/classifier.h"
#include "tools/classify-photos/cli/options.h"
#include "tools/classify-photos/output/contact_sheet.h"

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
};

// Runs the batch and returns the exit status: 0 when every photograph was
// classified (and the contact sheet, where there is one, written), 1
// otherwise. A result that cannot be written ends the process at once with
// status 1; Ctrl-C ends it after the lines already done.
int run_batch(batch job);

}  // namespace classify
