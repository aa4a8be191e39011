// classify-photos: classifies many photographs in one process, on every core,
// with any TensorFlow Lite image classifier: each photograph prepared as
// prepare-input prepares it, the model loaded and checked once. One line per
// photograph, in the order given (see batch.h); over other machines through
// GNU parallel.
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "photo/photo.h"
#include "platform/heap.h"
#include "platform/platform.h"
#include "tools/classify-photos/batch/batch.h"
#include "tools/classify-photos/batch/listing.h"
#include "tools/classify-photos/classify/classifier.h"
#include "tools/classify-photos/classify/model_setup.h"
#include "tools/classify-photos/cli/options.h"
#include "tools/classify-photos/keep/class_folders.h"
#include "tools/classify-photos/keep/keeper.h"
#include "tools/classify-photos/output/report.h"
#include "tools/classify-photos/remote/remote_mode.h"
#include "tools/classify-photos/truth/truth.h"
#include "tools/common/command_line.h"
#include "tools/common/interruptions.h"
#include "tools/common/result.h"

using namespace classify;

namespace {

// The exit status of a failure that is not bad usage (usage_status).
constexpr int failure_status = 1;

// The one way the program stops on a failure: "classify-photos: MESSAGE" on
// `messages` (standard error, or what is left of it once diverted), with the
// way to --help after bad usage; nothing where the message is "", said
// already. Returns the exit status, failure_status or usage_status.
int stop(std::FILE* messages, const std::string& message, int status = failure_status) {
  if (message.empty()) return status;
  std::fprintf(messages, "classify-photos: %s\n", message.c_str());
  if (status == usage_status) std::fputs("Try 'classify-photos --help'.\n", messages);
  return status;
}

// The exit status of what a batch or a chunk came to; an interrupted one
// ends the process by its signal here, the only place that may.
int end(std::FILE* messages, const outcome& ended) {
  if (ended) return 0;
  if (ended.error().signal != 0) end_by(ended.error().signal);
  return stop(messages, ended.error().message);
}

void warn(std::FILE* messages, const std::string& model, const std::string& warning) {
  std::fprintf(messages, "classify-photos: %s: warning: %s; going on without it\n", model.c_str(),
               warning.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  prepare_memory();
  ignore_broken_pipe();
  photos_options options;
  if (const std::optional<int> status = parse_options(argc, argv, &options)) return *status;
  std::vector<std::string> chunk;
  // A chunk's job sends it to the machine of its slot, or classifies it here.
  if (options.send_chunk > 0) {
    if (const std::optional<outcome> sent = send_chunk(options, &chunk)) return end(stderr, *sent);
    options.relay_chunk = options.send_chunk;
  }

  std::string error;
  if (!check_readable_file(options.model, &error)) {
    return stop(stderr, "--model " + error, usage_status);
  }
  // The walk passes over the class folders, so that links and copies are not
  // classified again: the folder of photographs itself would leave nothing.
  const std::string sorted_folder = given_folder_sorted_into(options.sort_into, options.photos);
  if (!options.sort_into.empty() && !sorted_folder.empty()) {
    return stop(stderr,
                "--sort-into " + options.sort_into + ": it is the folder of photographs " +
                    sorted_folder + "; the class folders go elsewhere, or in a folder inside it",
                usage_status);
  }
  if (const outcome usable = machines_usable(options); !usable) {
    return stop(stderr, usable.error().message, usage_status);
  }

  // The libraries' own complaints about damaged files go to the null device;
  // the program says in one line what failed.
  const int messages_fd = divert_standard_error();
  std::FILE* messages = messages_fd >= 0 ? write_stream(messages_fd) : stderr;
  if (messages == nullptr) messages = stderr;

  // The model is checked once, before any photograph is read.
  const loaded_model model = load_model(options.model, &error);
  if (!model.model) return stop(messages, error);
  std::unique_ptr<xnnpack_weights> weights;
  if (options.kernels == kernel_choice::xnnpack) weights = xnnpack_weights::create(model.size);
  std::unique_ptr<classifier> first =
      classifier::create(model.model.get(), {}, weights.get(), &error);
  if (!first) return stop(messages, options.model + ": " + error);
  if (weights && first->kernels().xnnpack) {
    weights->finish_packing();
  } else {
    // Where XNNPACK refused the model for the first worker, the others do
    // not try.
    weights.reset();
  }
  result<model_setup> set_up = set_up_model(options, model, *first);
  if (!set_up) return stop(messages, set_up.error().message, usage_status);
  const model_setup& setup = *set_up;
  for (const std::string& warning : setup.warnings) warn(messages, options.model, warning);
  first->use_normalization(setup.norm);
  if (static_cast<size_t>(options.top) > first->classes()) {
    return stop(messages,
                "--top " + std::to_string(options.top) + ": the model has " +
                    std::to_string(first->classes()) + " classes",
                usage_status);
  }
  if (options.sort_by == sort_key::by_category && !setup.categories.in_use()) {
    return stop(messages,
                "--sort-by category: no category map is in use (" + setup.categories.source +
                    "); give one with --categories FILE, or sort by class",
                usage_status);
  }
  if (options.describe) {
    std::cout << describe_model(options, *first, setup) << std::flush;
    return std::cout ? 0 : stop(messages, "cannot write to standard output");
  }

  error.clear();
  const std::unique_ptr<result_keeper> keeper =
      result_keeper::create(options, model, setup, &error);
  if (!keeper && !error.empty()) return stop(messages, error);

  photo_listing listing;
  if (options.send_chunk > 0) {
    listing.photos = chunk;
  } else if (options.receive) {
    result<std::vector<std::string>> received = receive_chunk();
    if (!received) return end(messages, received.error());
    listing.photos = std::move(*received);
  } else {
    listing = list_photos(options.photos, std::cin, options.sort_into);
  }
  for (size_t i = 0; i < listing.unreadable.size(); ++i) {
    std::fputs(error_line(listing.unreadable[i], listing.reasons[i]).c_str(), messages);
  }
  if (listing.photos.empty()) {
    // The photographs that cannot be read are said above; an empty chunk
    // has nothing to say.
    if (!listing.unreadable.empty() || options.relay_chunk > 0) return stop(messages, "");
    return stop(messages, "no photographs: the folders given hold no file this tool reads",
                usage_status);
  }
  std::vector<photo_truth> truths;
  std::vector<std::string> truth_warnings;
  if (!options.truth.empty()) {
    result<std::vector<photo_truth>> found =
        find_truths(options.truth, listing.photos, setup.labels, first->classes(), &truth_warnings);
    if (!found) return stop(messages, found.error().message, usage_status);
    truths = std::move(*found);
  }
  for (const std::string& line : truth_warnings)
    std::fprintf(messages, "classify-photos: %s\n", line.c_str());
  std::unique_ptr<contact_sheet> sheet;
  if (!options.html.empty()) {
    result<std::unique_ptr<contact_sheet>> made =
        contact_sheet::create(options.html, listing.photos.size());
    if (!made) return stop(messages, made.error().message);
    sheet = std::move(*made);
  }
  const outcome ran = run_batch(
      {options, listing.photos, setup.have_labels ? &setup.labels : nullptr, model.model.get(),
       setup.norm, std::move(first), messages, messages_fd, sheet.get(), setup.metadata.name,
       options.truth.empty() ? nullptr : &truths, weights.get(), keeper.get(),
       setup.categories.in_use() ? &setup.categories : nullptr});
  // The photographs that cannot be read fail the run too: each was said as
  // the listing found it.
  if (ran && !listing.unreadable.empty()) return stop(messages, "");
  return end(messages, ran);
}
