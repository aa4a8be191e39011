#include "options.h"

#include <CLI/CLI.hpp>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "platform.h"

#ifndef CLASSIFY_VERSION
#define CLASSIFY_VERSION "unknown"
#endif

namespace {

const char usage_head[] = R"(Usage: classify-photos [options] PHOTO...
       classify-photos [options] -        (paths read from standard input, one a line)

Classifies each photograph (prepared as prepare-input prepares it, classified
as classify classifies it, in one process on every core) and writes one line
per photograph to standard output, in the order given, as soon as it and every
photograph before it are done:
  path TAB class index TAB probability [TAB class name with --labels]
In a path, a tab, line feed, carriage return or backslash is written as \t,
\n, \r or \\. A photograph that cannot be read or classified gets one line on
standard error and the batch goes on. Exit status: 0 when every photograph was
classified, 1 when one or more were not or the model cannot be used, 2 for bad
usage.

Options:
  --model FILE     the TensorFlow Lite model (default: v3-small_224_0.75_float.tflite
                   here, else the installed one)
  --labels FILE    class names, one a line, background first (default with the
                   installed model: the installed ones)
)";

const char usage_tail[] = R"(  --jobs N         photographs at a time (default: the number of cores)
  --crop F         keep the central fraction F of each side (0 < F <= 1, default 1)
  --json           one JSON object a line instead: path, index, probability, label
  --bar            a progress line on standard error, where it is a terminal
  --sshlogin LOGIN spread the photographs over other machines through GNU parallel
                   (repeatable; ":" is this machine). Each needs classify-photos at
                   the same path as here and the model at the same path; the
                   photographs are copied over and removed after.
  --joblog FILE    a log line per photograph (with --sshlogin: GNU parallel's log
                   of every job)
  --help, --version
)";

bool exists(const std::string& path) { return std::ifstream(std::filesystem::u8path(path)).good(); }

// What the defaults come to here and now.
std::string found_files(const photos_options& options) {
  std::string text = "                   Found: --model " +
                     (options.model.empty() ? std::string("none") : options.model) + "\n";
  if (!options.labels.empty())
    text += "                          --labels " + options.labels + "\n";
  return text;
}

// Without --model: the working folder's model, else the installed one, and
// with the installed model its labels unless --labels names others.
void choose_defaults(photos_options* options) {
  if (!options->model.empty()) return;
  if (exists(default_model_name)) {
    options->model = default_model_name;
    return;
  }
  options->model = installed_file(installed_model_name);
  if (!options->model.empty() && options->labels.empty()) {
    options->labels = installed_file(installed_labels_name);
  }
}

int bad_usage(const std::string& message) {
  std::cerr << "classify-photos: " << message << "\nTry 'classify-photos --help'.\n";
  return 2;
}

}  // namespace

int parse_options(int argc, char** argv, photos_options* options) {
  CLI::App app{"", "classify-photos"};
  app.set_help_flag();
  bool help = false, version = false;
  app.add_flag("--help", help);
  app.add_flag("--version", version);
  app.add_option("--model", options->model);
  app.add_option("--labels", options->labels);
  app.add_option("--jobs", options->jobs)->check(CLI::Range(1, 256));
  CLI::Option* crop = app.add_option("--crop", options->crop)->check(CLI::Range(0.0, 1.0));
  app.add_flag("--json", options->json);
  app.add_flag("--bar", options->bar);
  // Repeatable, one login each time: what follows a login is a photograph.
  app.add_option("--sshlogin", options->sshlogins)->allow_extra_args(false);
  app.add_option("--joblog", options->joblog);
  app.add_option("--relay-chunk", options->relay_chunk)->group("")->check(CLI::PositiveNumber);
  app.add_option("PHOTO", options->photos);
  std::vector<std::string> arguments = program_arguments(argc, argv);
  std::vector<char*> utf8_argv;
  for (std::string& argument : arguments) utf8_argv.push_back(argument.data());
  try {
    app.parse(static_cast<int>(utf8_argv.size()), utf8_argv.data());
  } catch (const CLI::ParseError& e) {
    return bad_usage(e.what());
  }
  choose_defaults(options);
  if (help) {
    std::cout << usage_head << found_files(*options) << usage_tail;
    return 0;
  }
  if (version) {
    std::cout << "classify-photos " CLASSIFY_VERSION "\n";
    return 0;
  }
  options->crop_given = crop->count() > 0;
  if (!(options->crop > 0.0)) return bad_usage("--crop must be above 0 and at most 1");
  if (options->photos.empty()) return bad_usage("no photographs given");
  if (options->model.empty()) {
    return bad_usage(std::string("no model: --model names none, there is no ") +
                     default_model_name + " here, and no installed " + installed_model_name);
  }
  return -1;
}

std::string installed_file(const std::string& name) {
  const std::string program = program_path();
  const size_t slash = program.find_last_of("/\\");
  if (slash == std::string::npos) return "";
  const std::string folder = program.substr(0, slash + 1);
  for (const std::string& candidate : {folder + name, folder + "../share/classify/" + name}) {
    // Written without the "bin/..": the program's own path has no links.
    if (exists(candidate)) return std::filesystem::path(candidate).lexically_normal().string();
  }
  return "";
}

std::vector<std::string> photo_list(const std::vector<std::string>& given, std::istream& in) {
  std::vector<std::string> photos;
  bool read_in = false;
  for (const std::string& path : given) {
    if (path != "-") {
      photos.push_back(path);
    } else if (!read_in) {
      read_in = true;
      for (std::string line; std::getline(in, line);) {
        if (!line.empty()) photos.push_back(line);
      }
    }
  }
  return photos;
}
