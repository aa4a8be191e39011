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
#include "tools/classify-photos/truth/categories.h"
#include "tools/classify-photos/truth/truth.h"
#include "tools/common/command_line.h"
#include "tools/common/interruptions.h"
#include "tools/common/result.h"

using namespace classify;

namespace {

// The exit status of a failure that is not bad usage (usage_status).
constexpr int failure_status = 1;

// Bad usage: nothing given to classify, and nothing unreadable said instead.
const char no_photographs[] = "no photographs: the folders given hold no file this tool reads";

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

// The paths given, checked before anything is read; each failure is bad
// usage.
outcome check_paths(const photos_options& options) {
  std::string error;
  if (!check_readable_file(options.model, &error)) return failure{"--model " + error};
  // The walk passes over the class folders, so that links and copies are not
  // classified again: the folder of photographs itself would leave nothing.
  const std::string sorted_folder = given_folder_sorted_into(options.sort_into, options.photos);
  if (!options.sort_into.empty() && !sorted_folder.empty()) {
    return failure{"--sort-into " + options.sort_into + ": it is the folder of photographs " +
                   sorted_folder + "; the class folders go elsewhere, or in a folder inside it"};
  }
  return machines_usable(options);
}

// Where the program's own messages go once the libraries' complaints about
// damaged files go to the null device (the program says in one line what
// failed): what is left of standard error, or standard error itself.
std::FILE* program_messages(int messages_fd) {
  std::FILE* messages = messages_fd >= 0 ? write_stream(messages_fd) : stderr;
  return messages != nullptr ? messages : stderr;
}

// The model, loaded and checked once, before any photograph is read.
struct model_in_hand {
  loaded_model loaded;
  // The packed weights the workers' XNNPACK delegates share; null where the
  // builtin kernels run the model.
  std::unique_ptr<xnnpack_weights> weights;
  std::unique_ptr<classifier> first;  // the first worker's
};

result<model_in_hand> load(const photos_options& options) {
  model_in_hand model;
  std::string error;
  model.loaded = load_model(options.model, &error);
  if (!model.loaded.model) return failure{error};
  if (options.kernels == kernel_choice::xnnpack) {
    model.weights = xnnpack_weights::create(model.loaded.size);
  }
  result<std::unique_ptr<classifier>> first =
      classifier::create(model.loaded.model.get(), {}, model.weights.get());
  if (!first) return failure{options.model + ": " + first.error().message};
  model.first = std::move(*first);
  if (model.weights && model.first->kernels().xnnpack) {
    model.weights->finish_packing();
  } else {
    // Where XNNPACK refused the model for the first worker, the others do
    // not try.
    model.weights.reset();
  }
  return model;
}

// How the model is fed and what its classes are called, with its warnings
// said; each failure is bad usage: the options ask what the model cannot
// give.
result<model_setup> set_up(const photos_options& options, model_in_hand* model,
                           std::FILE* messages) {
  result<model_setup> setup = set_up_model(options, model->loaded, *model->first);
  if (!setup) return setup;
  for (const std::string& warning : setup->warnings) warn(messages, options.model, warning);
  model->first->use_normalization(setup->norm);
  if (static_cast<size_t>(options.top) > model->first->classes()) {
    return failure{"--top " + std::to_string(options.top) + ": the model has " +
                   std::to_string(model->first->classes()) + " classes"};
  }
  if (options.sort_by == sort_key::by_category && !setup->categories.in_use()) {
    return failure{"--sort-by category: no category map is in use (" + setup->categories.source +
                   "); give one with --categories FILE, or sort by class"};
  }
  return setup;
}

// --describe: what is known of the model, on standard output.
outcome describe(const photos_options& options, const model_in_hand& model,
                 const model_setup& setup) {
  std::cout << describe_model(options, *model.first, setup) << std::flush;
  if (!std::cout) return failure{"cannot write to standard output"};
  return {};
}

// The photographs of the batch: the chunk sent from here, the chunk
// received, or those given with their folders walked; each folder that
// cannot be read is said. A failure with nothing more to say where none is
// left for those reasons or the chunk is empty; by its signal where the
// chunk could not be received.
result<photo_listing> gather_photographs(const photos_options& options,
                                         std::vector<std::string> chunk, std::FILE* messages) {
  photo_listing listing;
  if (options.send_chunk > 0) {
    listing.photos = std::move(chunk);
  } else if (options.receive) {
    result<std::vector<std::string>> received = receive_chunk();
    if (!received) return received.error();
    listing.photos = std::move(*received);
  } else {
    listing = list_photos(options.photos, std::cin, options.sort_into);
  }
  for (size_t i = 0; i < listing.unreadable.size(); ++i) {
    std::fputs(error_line(listing.unreadable[i], listing.reasons[i]).c_str(), messages);
  }
  // The photographs that cannot be read are said above; an empty chunk
  // has nothing to say.
  const bool said = !listing.unreadable.empty() || options.relay_chunk > 0;
  if (listing.photos.empty() && said) return failure{""};
  return listing;
}

// With --truth, each photograph's true class, and a line for each warning;
// each failure is bad usage. None without it.
result<std::vector<photo_truth>> read_truths(const photos_options& options,
                                             const std::vector<std::string>& photos,
                                             const model_setup& setup, size_t classes,
                                             std::FILE* messages) {
  if (options.truth.empty()) return std::vector<photo_truth>();
  std::vector<std::string> warnings;
  result<std::vector<photo_truth>> truths =
      find_truths(options.truth, photos, setup.labels, classes, &warnings);
  if (!truths) return truths;
  // A truth may name a category ("dog") where it names no class.
  if (setup.categories.in_use()) find_truth_categories(setup.categories, &*truths);
  for (const std::string& line : warnings) {
    std::fprintf(messages, "classify-photos: %s\n", line.c_str());
  }
  return truths;
}

// --html's contact sheet; none without it.
result<std::unique_ptr<contact_sheet>> make_sheet(const photos_options& options, size_t photos) {
  if (options.html.empty()) return std::unique_ptr<contact_sheet>();
  return contact_sheet::create(options.html, photos);
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
  if (const outcome given = check_paths(options); !given) {
    return stop(stderr, given.error().message, usage_status);
  }
  const int messages_fd = divert_standard_error();
  std::FILE* const messages = program_messages(messages_fd);

  result<model_in_hand> model = load(options);
  if (!model) return stop(messages, model.error().message);
  const result<model_setup> setup = set_up(options, &*model, messages);
  if (!setup) return stop(messages, setup.error().message, usage_status);
  if (options.describe) return end(messages, describe(options, *model, *setup));
  const result<std::unique_ptr<result_keeper>> keeper =
      result_keeper::create(options, model->loaded, *setup);
  if (!keeper) return stop(messages, keeper.error().message);

  const result<photo_listing> listing = gather_photographs(options, std::move(chunk), messages);
  if (!listing) return end(messages, listing.error());
  if (listing->photos.empty()) return stop(messages, no_photographs, usage_status);
  const result<std::vector<photo_truth>> truths =
      read_truths(options, listing->photos, *setup, model->first->classes(), messages);
  if (!truths) return stop(messages, truths.error().message, usage_status);
  const result<std::unique_ptr<contact_sheet>> sheet = make_sheet(options, listing->photos.size());
  if (!sheet) return stop(messages, sheet.error().message);

  const outcome ran =
      run_batch({options, listing->photos, setup->have_labels ? &setup->labels : nullptr,
                 model->loaded.model.get(), setup->norm, std::move(model->first), messages,
                 messages_fd, sheet->get(), setup->metadata.name,
                 options.truth.empty() ? nullptr : &*truths, model->weights.get(), keeper->get(),
                 setup->categories.in_use() ? &setup->categories : nullptr, &setup->selection});
  // The photographs that cannot be read fail the run too: each was said as
  // the listing found it.
  if (ran && !listing->unreadable.empty()) return stop(messages, "");
  return end(messages, ran);
}
