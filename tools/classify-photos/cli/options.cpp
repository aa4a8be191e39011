#include "tools/classify-photos/cli/options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "platform/platform.h"
#include "tools/common/atomic_file.h"
#include "tools/common/command_line.h"
#include "tools/common/shell_words.h"

namespace classify {

#ifndef CLASSIFY_VERSION
#define CLASSIFY_VERSION "unknown"
#endif

namespace {

const char usage_head[] = R"(Usage: classify-photos [options] PHOTO|FOLDER...
       classify-photos [options] -        (paths read from standard input, one a line)
       classify-photos --describe [--model FILE]

Classifies each photograph (prepared as prepare-input prepares it, in one
process on every core) with a TensorFlow Lite image classifier, and writes one
line per photograph to standard output, in the order given, as soon as it and
every photograph before it are done:
  path TAB class index TAB score [TAB class name]   (--top K: K such groups)
A folder is walked, with its subfolders, in sorted order; the files in it that
begin as a photograph are classified, the others passed over. In a path, a
tab, line feed, carriage return or backslash is written as \t, \n, \r or \\,
another control character as JSON writes it (\b, \f, \u001b).
A photograph that cannot be read or classified gets one line on standard error
and the batch goes on. Exit status: 0 when every photograph was classified and
kept as asked, 1 when one or more were not classified, or were classified but
not kept (sidecar, cache or class folder), or the model cannot be used, 2 for
bad usage.

Options:
  --model FILE     the TensorFlow Lite model: float32, uint8 or int8, input
                   [1,H,W,3], [1,H,W,1] or [1,3,H,W], output [1,N] or [N]
                   (default: v3-small_224_0.75_float.tflite
                   here, else the installed one)
  --labels FILE    class names, one a line (default: the labels the model carries,
                   else with the installed model the installed ones)
)";

const char usage_tail[] =
    R"(  --locale L       the language of the model's own labels to take (default: en)
  --top K          the K best classes, best first (default: 1)
  --mean M[,M,M]   a float input takes (byte - mean) / std, one value or one a
  --std S[,S,S]    channel (default: the model's metadata, else 127.5 and 127.5)
  --describe       say what the tool found in the model, and classify nothing
  --jobs N         photographs at a time (default: the number of cores)
  --crop F         keep the central fraction F of each side (0 < F <= 1, default 1)
  --kernels K      xnnpack (default: XNNPACK runs what it takes of the model, the
                   builtin kernels the rest) or builtin (the library's own, as
                   classify runs them: the same scores to the last digit)
  --json           one JSON object a line instead: path, index, probability, label, classes
  --html PAGE      also a contact sheet: PAGE, with the thumbnails in PAGE_files/,
                   the photographs grouped by their best class
  --cache FILE     keep the results in FILE (SQLite), and take from it those of
                   photographs that have not changed since, with the same model
                   and options: a rerun or a run after Ctrl-C goes on from there
  --xmp            write the classes as keywords into each photograph's XMP
                   sidecar beside it, its whole file name then .xmp:
                   PHOTO.jpg.xmp (Xmp.dc.subject, classify|LABEL in
                   Xmp.lr.hierarchicalSubject, classify/LABEL in
                   Xmp.digiKam.TagsList); the rest of the sidecar stays
  --xmp-name N     full (PHOTO.jpg.xmp, the default) or basename (PHOTO.xmp)
  --keyword-threshold S  only classes scoring at least S become keywords (default 0)
  --sort-into DIR  put each photograph into DIR/CLASS/, by its best class
  --sort-mode M    symlink (default), hardlink or copy
  --bar            a progress line on standard error, where it is a terminal
  --truth SOURCE   each photograph's true class: "folders" (the name of the
                   folder that holds it) or a CSV or TSV file of path,class lines
                   (a class name or index); the lines end with the true class,
                   and a summary of the model's accuracy ends the batch
  --summary FILE   with --truth: the summary as JSON to FILE, not standard error
  --sshlogin LOGIN spread the photographs over other machines through GNU parallel
                   (repeatable; ":" is this machine). Each needs classify-photos at
                   the same path as here and the model at the same path; the
                   photographs are copied over and removed after.
  --remote-root DIR  with --sshlogin: the photographs are on the other machines
                   already, each at DIR followed by its whole path here (DIR /:
                   the same paths, a shared file system), and are not copied
  --joblog FILE    a log line per photograph (with --sshlogin: GNU parallel's log
                   of every chunk)
  --help, --version
)";

bool exists(const std::string& path) { return std::ifstream(std::filesystem::u8path(path)).good(); }

// What the defaults come to here and now.
std::string found_files(const photos_options& options) {
  std::string text = "                   Found: --model " +
                     (options.model.empty() ? std::string("none") : options.model) + "\n";
  const std::string& labels = options.labels.empty() ? options.installed_labels : options.labels;
  if (!labels.empty()) text += "                          --labels " + labels + "\n";
  return text;
}

// Without --model: the working folder's model, else the installed one, and
// with the installed model its labels.
void choose_defaults(photos_options* options) {
  if (!options->model.empty()) return;
  if (exists(default_model_name)) {
    options->model = default_model_name;
    return;
  }
  options->model = installed_file(installed_model_name);
  if (!options->model.empty()) options->installed_labels = installed_file(installed_labels_name);
}

// --xmp-name, --keyword-threshold and --sort-mode, which mean something only
// beside --xmp and --sort-into.
std::optional<int> parse_keeping(const std::string& xmp_name, const std::string& threshold,
                                 const std::string& sorting, photos_options* options) {
  if ((!xmp_name.empty() || !threshold.empty()) && !options->xmp) {
    return bad_usage(std::string(xmp_name.empty() ? "--keyword-threshold" : "--xmp-name") +
                     " needs --xmp");
  }
  if (xmp_name == "basename") {
    options->xmp_naming = sidecar_naming::base_name;
  } else if (!xmp_name.empty() && xmp_name != "full") {
    return bad_usage("--xmp-name " + xmp_name + ": not full or basename");
  }
  if (!threshold.empty()) {
    char* end = nullptr;
    options->keyword_threshold = std::strtod(threshold.c_str(), &end);
    if (*end != '\0' || !std::isfinite(options->keyword_threshold)) {
      return bad_usage("--keyword-threshold " + threshold + ": not a number");
    }
  }
  if (!sorting.empty() && options->sort_into.empty())
    return bad_usage("--sort-mode needs --sort-into");
  if (sorting == "hardlink") {
    options->sorting = sort_mode::hardlink;
  } else if (sorting == "copy") {
    options->sorting = sort_mode::copy;
  } else if (!sorting.empty() && sorting != "symlink") {
    return bad_usage("--sort-mode " + sorting + ": not symlink, hardlink or copy");
  }
  return std::nullopt;
}

}  // namespace

int bad_usage(const std::string& message) { return usage_error("classify-photos", message); }

std::string command_text(const std::vector<std::string>& arguments) {
  std::string text = "classify-photos";
  for (size_t i = 1; i < arguments.size(); ++i) text += " " + shell_word(arguments[i]);
  return text;
}

bool parse_values(const std::string& text, std::vector<float>* values) {
  values->clear();
  for (size_t start = 0; start <= text.size();) {
    const size_t comma = std::min(text.find(',', start), text.size());
    const std::string word = text.substr(start, comma - start);
    char* end = nullptr;
    const double value = std::strtod(word.c_str(), &end);
    if (word.empty() || *end != '\0' || !std::isfinite(value) || std::fabs(value) > 3.4e38) {
      return false;
    }
    values->push_back(static_cast<float>(value));
    start = comma + 1;
  }
  return values->size() == 1 || values->size() == 3;
}

std::optional<int> parse_options(int argc, char** argv, photos_options* options) {
  CLI::App app{"", "classify-photos"};
  app.set_help_flag();
  bool help = false, version = false;
  std::string mean, std, top, jobs, crop, kernels, xmp_name, threshold, sorting;
  app.add_flag("--help", help);
  app.add_flag("--version", version);
  app.add_option("--model", options->model);
  app.add_option("--labels", options->labels);
  app.add_option("--locale", options->locale);
  app.add_option("--top", top);
  app.add_option("--mean", mean);
  app.add_option("--std", std);
  app.add_flag("--describe", options->describe);
  app.add_option("--jobs", jobs);
  app.add_option("--crop", crop);
  app.add_option("--kernels", kernels);
  app.add_flag("--json", options->json);
  app.add_option("--html", options->html);
  app.add_flag("--bar", options->bar);
  app.add_option("--cache", options->cache);
  app.add_flag("--xmp", options->xmp);
  app.add_option("--xmp-name", xmp_name);
  app.add_option("--keyword-threshold", threshold);
  app.add_option("--sort-into", options->sort_into);
  app.add_option("--sort-mode", sorting);
  app.add_option("--truth", options->truth);
  app.add_option("--summary", options->summary);
  // Repeatable, one login each time: what follows a login is a photograph.
  app.add_option("--sshlogin", options->sshlogins)->allow_extra_args(false);
  app.add_option("--joblog", options->joblog);
  app.add_option("--remote-root", options->remote_root);
#if !defined(_WIN32)
  // The parts of a batch spread over ssh, which Windows does not run.
  app.add_option("--relay-chunk", options->relay_chunk)->group("");
  app.add_option("--send-chunk", options->send_chunk)->group("");
  app.add_option("--job-slot", options->job_slot)->group("");
  app.add_option("--logins", options->logins)->group("");
  app.add_option("--ssh-control", options->ssh_control)->group("");
  app.add_flag("--receive", options->receive)->group("");
#endif
  app.add_option("PHOTO", options->photos);
  if (const std::optional<int> status = parse_command_line(app, "classify-photos", argc, argv)) {
    return status;
  }
  options->command_line = command_text(program_arguments(argc, argv));
  choose_defaults(options);
  if (help) {
    std::cout << usage_head << found_files(*options) << usage_tail;
    return 0;
  }
  if (version) {
    std::cout << "classify-photos " CLASSIFY_VERSION "\n";
    return 0;
  }
  long number = 0;
  if (!top.empty()) {
    if (!whole_number(top, 1, 1L << 30, &number))
      return bad_usage("--top " + top + ": not a number from 1");
    options->top = static_cast<int>(number);
  }
  if (!jobs.empty()) {
    if (!whole_number(jobs, 1, 256, &number)) {
      return bad_usage("--jobs " + jobs + ": not a number from 1 to 256");
    }
    options->jobs = static_cast<int>(number);
  }
  options->crop_given = !crop.empty();
  if (options->crop_given && !fraction(crop, &options->crop)) {
    return bad_usage("--crop " + crop + ": not a fraction above 0 and at most 1");
  }
  if (kernels == "builtin") {
    options->kernels = kernel_choice::builtin;
  } else if (!kernels.empty() && kernels != "xnnpack") {
    return bad_usage("--kernels " + kernels + ": not xnnpack or builtin");
  }
  if (const std::optional<int> status = parse_keeping(xmp_name, threshold, sorting, options)) {
    return status;
  }
  if (!mean.empty() && !parse_values(mean, &options->mean)) {
    return bad_usage("--mean " + mean + ": not one number or three, separated by commas");
  }
  if (!std.empty() && !parse_values(std, &options->std)) {
    return bad_usage("--std " + std + ": not one number or three, separated by commas");
  }
  for (const float value : options->std) {
    if (value == 0.0f) return bad_usage("--std " + std + ": a standard deviation of 0");
  }
  if (options->photos.empty() && !options->describe && !options->receive) {
    return bad_usage("no photographs given");
  }
  if (!options->html.empty() && !only_this_machine(options->sshlogins)) {
    return bad_usage(
        "--html makes its thumbnails from the photographs classified here, not "
        "over --sshlogin");
  }
  if (!options->summary.empty() && options->truth.empty()) {
    return bad_usage("--summary " + options->summary + ": the summary needs --truth");
  }
  // Written at the end of the batch: a folder that cannot take it is found
  // before the first photograph, not after the last.
  std::string reason;
  if (!options->summary.empty() && !can_create_beside(options->summary, &reason)) {
    return bad_usage("--summary " + options->summary + ": its folder " +
                     folder_of_file(options->summary) + " cannot be written (" + reason + ")");
  }
  if (!options->remote_root.empty() && options->remote_root[0] != '/') {
    return bad_usage("--remote-root " + options->remote_root + ": not an absolute path");
  }
  if (options->model.empty()) {
    return bad_usage(std::string("no model: --model names none, there is no ") +
                     default_model_name + " here, and no installed " + installed_model_name);
  }
  return std::nullopt;
}

bool only_this_machine(const std::vector<std::string>& logins) {
  return std::all_of(logins.begin(), logins.end(), [](const std::string& l) { return l == ":"; });
}

std::string installed_file(const std::string& name) {
  const std::string program = installed_program_path();
  const size_t slash = program.find_last_of("/\\");
  if (slash == std::string::npos) return "";
  const std::string folder = program.substr(0, slash + 1);
  for (const std::string& candidate : {folder + name, folder + "../share/classify/" + name}) {
    // Written without the "bin/..": the program's own path has no links.
    if (exists(candidate)) return std::filesystem::path(candidate).lexically_normal().string();
  }
  return "";
}

}  // namespace classify
