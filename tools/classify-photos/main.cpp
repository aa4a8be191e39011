// classify-photos: classifies many photographs in one process, on every core:
// each prepared as prepare-input prepares it and classified as classify
// classifies it, with the model loaded once. One line per photograph, in the
// order given (see batch.h); over other machines through GNU parallel.
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "batch.h"
#include "engine.h"
#include "memory.h"
#include "options.h"
#include "photo.h"
#include "platform.h"
#include "remote.h"
#include "report.h"

namespace {

int bad_usage(const std::string& message) {
  std::cerr << "classify-photos: " << message << "\nTry 'classify-photos --help'.\n";
  return 2;
}

int fail(std::FILE* messages, const std::string& message) {
  std::fprintf(messages, "classify-photos: %s\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  prepare_memory();
  ignore_broken_pipe();
  photos_options options;
  const int usage_status = parse_options(argc, argv, &options);
  if (usage_status >= 0) return usage_status;

  std::string error;
  std::vector<std::string> labels;
  if (!options.labels.empty() && !read_labels(options.labels, &labels, &error)) {
    return bad_usage(error);
  }
  if (!check_readable_file(options.model, &error)) return bad_usage("--model " + error);
  if (!options.sshlogins.empty() && !parallel_installed(&error)) return bad_usage(error);

  // The libraries' own complaints about damaged files go to the null device;
  // the program says in one line what failed.
  const int messages_fd = divert_standard_error();
  std::FILE* messages = messages_fd >= 0 ? write_stream(messages_fd) : stderr;
  if (messages == nullptr) messages = stderr;

  // The model is checked once, before any photograph is read.
  const model_ptr model = load_model(options.model, &error);
  if (!model) return fail(messages, error);
  auto first = std::make_unique<classifier>(model.get());
  if (!first->problem().empty()) return fail(messages, options.model + ": " + first->problem());

  std::vector<std::string> photos = photo_list(options.photos, std::cin);
  if (photos.empty()) return bad_usage("no photographs given");
  if (options.relay_chunk > 0) {
    for (std::string& photo : photos) photo = relayed_path(photo);
  }
  return run_batch({options, photos, options.labels.empty() ? nullptr : &labels, model.get(),
                    std::move(first), messages, messages_fd});
}
