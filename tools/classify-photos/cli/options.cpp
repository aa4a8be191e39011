#include "tools/classify-photos/cli/options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "platform/platform.h"
#include "tools/classify-photos/cli/option_table.h"
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

// --std: a deviation of 0 would divide by it.
std::string nonzero_deviations(const std::string& text) {
  std::vector<float> values;
  parse_values(text, &values);
  for (const float value : values) {
    if (value == 0.0f) return "a standard deviation of 0";
  }
  return "";
}

// --summary is written at the end of the batch: a folder that cannot take
// it is found before the first photograph, not after the last.
std::string writable_beside(const std::string& file) {
  const outcome creatable = can_create_beside(file);
  if (creatable) return "";
  return "its folder " + folder_of_file(file) + " cannot be written (" + creatable.error().message +
         ")";
}

// --threshold: a score is a probability.
std::string zero_to_one(const std::string& text) {
  const double value = std::strtod(text.c_str(), nullptr);
  return value >= 0 && value <= 1 ? "" : "not a number from 0 to 1";
}

// --remote-root: a photograph is at the folder followed by its whole path
// here, on a far side whose shell may start anywhere.
std::string absolute_path(const std::string& folder) {
  return folder[0] == '/' ? "" : "not an absolute path";
}

// What the options say together, which no one of them says alone.
std::optional<int> across_options(const photos_options& options) {
  if (options.photos.empty() && !options.describe && !options.receive) {
    return bad_usage("no photographs given");
  }
  if (!options.only.empty() && !options.except.empty()) {
    return bad_usage("--only and --except cannot be given together");
  }
  if (!options.html.empty() && !only_this_machine(options.sshlogins)) {
    return bad_usage(
        "--html makes its thumbnails from the photographs classified here, not "
        "over --sshlogin");
  }
  if (options.model.empty()) {
    return bad_usage(std::string("no model: --model names none, there is no ") +
                     default_model_name + " here, and no installed " + installed_model_name);
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

std::vector<option_entry> user_options(photos_options* o) {
  return {
      text_option("--model", "FILE", &o->model,
                  "the TensorFlow Lite model: float32, uint8 or int8, input [1,H,W,3], [1,H,W,1] "
                  "or [1,3,H,W], output [1,N] or [N]")
          .by_default(std::string(default_model_name) + " in the working folder, else the "
                                                        "installed one"),
      text_option("--labels", "FILE", &o->labels, "class names, one a line")
          .by_default("the labels the model carries, else with the installed model the "
                      "installed ones"),
      text_option("--locale", "L", &o->locale, "the language of the model's own labels to take")
          .by_default("en"),
      text_option("--categories", "FILE", &o->categories,
                  "broad categories over the classes, for keywords people search for: FILE "
                  "holds class (a name or an index) and path, broad to narrow, joined by \"|\" "
                  "(\"beagle<TAB>animal|dog\"), as CSV or TSV; \"none\" for no categories")
          .by_default("the paths the labels carry, else for ImageNet's labels the built-in map "
                      "from WordNet"),
      whole_number_option("--top", "K", 1, unbounded, &o->top,
                          "the K best classes, best first; with --threshold or a multi-label "
                          "model at most K of the classes that count, and a multi-label model "
                          "without --top gives every class that counts")
          .by_default("1")
          .marks(&o->top_given),
      number_option(
          "--threshold", "P", &o->threshold,
          "only classes scoring at least P (0 to 1) count, in the lines, the keywords, the "
          "class folders and the contact sheet; a photograph with none is \"unsure\": "
          "its line has \"unsure\" in place of its classes, it gets no keyword and goes "
          "into the folder \"unsure\" of --sort-into")
          .checked(zero_to_one)
          .by_default("0; with a multi-label model 0.5")
          .marks(&o->threshold_given),
      repeated_option("--only", "CLASS", &o->only,
                      "only these classes are ranked: a class name, an index, a category (every "
                      "class under it), or @FILE of them, one a line (repeatable)"),
      repeated_option("--except", "CLASS", &o->except,
                      "every class but these is ranked: as --only, which it cannot go with"),
      flag_option("--multi-label", &o->multi_label,
                  "the classes are independent: every class that counts is given, not only the "
                  "best")
          .by_default("when the model's scores come from a final LOGISTIC"),
      choice_option<score_conversion>(
          "--scores", "F", &o->scores,
          {{"softmax", score_conversion::softmax, "one class a photograph"},
           {"sigmoid", score_conversion::sigmoid, "independent classes"}},
          "turn the model's scores (logits) into probabilities before anything else sees them")
          .by_default("the scores as the model gives them"),
      numbers_option("--mean", "M[,M,M]", &o->mean,
                     "a float input takes (byte - mean) / std, one value or one a channel")
          .by_default("the model's metadata, else 127.5 and 127.5"),
      numbers_option("--std", "S[,S,S]", &o->std, "")
          .by_default("the model's metadata, else 127.5 and 127.5")
          .checked(nonzero_deviations)
          .same_help_as_above(),
      flag_option("--describe", &o->describe,
                  "say what the tool found in the model, and classify nothing"),
      whole_number_option("--jobs", "N", 1, 256, &o->jobs, "photographs at a time")
          .by_default("the number of cores"),
      fraction_option("--crop", "F", &o->crop, "keep the central fraction F of each side")
          .by_default("1")
          .marks(&o->crop_given),
      choice_option<kernel_choice>(
          "--kernels", "K", &o->kernels,
          {{"xnnpack", kernel_choice::xnnpack,
            "XNNPACK runs what it takes of the model, the builtin kernels the rest"},
           {"builtin", kernel_choice::builtin,
            "the library's own, as classify runs them: the same scores to the last digit"}},
          "which kernels run the model")
          .by_default("xnnpack"),
      flag_option("--json", &o->json,
                  "one JSON object a line instead: path, index, probability, label, category, "
                  "classes"),
      flag_option("--category-column", &o->category_column,
                  "in the TSV lines, each class's category path after its name (the JSON "
                  "lines always have it)"),
      text_option("--html", "PAGE", &o->html,
                  "also a contact sheet: PAGE, with the thumbnails in PAGE_files/, the "
                  "photographs grouped by their best class; not over --sshlogin"),
      text_option("--cache", "FILE", &o->cache,
                  "keep the results in FILE (SQLite), and take from it those of photographs "
                  "that have not changed since, with the same model and options: a rerun or a "
                  "run after Ctrl-C goes on from there"),
      flag_option("--xmp", &o->xmp,
                  "write the classes as keywords into each photograph's XMP sidecar beside it, "
                  "its whole file name then .xmp: PHOTO.jpg.xmp (Xmp.dc.subject, classify|LABEL "
                  "in Xmp.lr.hierarchicalSubject, classify/LABEL in Xmp.digiKam.TagsList; with "
                  "a category map, each class carries its path, classify|animal|pet|dog|LABEL, "
                  "and each level is a keyword too); the rest of the sidecar stays"),
      choice_option<sidecar_naming>("--xmp-name", "N", &o->xmp_naming,
                                    {{"full", sidecar_naming::full_name, "PHOTO.jpg.xmp"},
                                     {"basename", sidecar_naming::base_name, "PHOTO.xmp"}},
                                    "")
          .needing("--xmp")
          .by_default("full"),
      number_option("--keyword-threshold", "S", &o->keyword_threshold,
                    "only classes scoring at least S become keywords")
          .needing("--xmp")
          .by_default("0"),
      text_option("--sort-into", "DIR", &o->sort_into,
                  "put each photograph into DIR/CLASS/, by its best class (or its category, "
                  "--sort-by)"),
      choice_option<sort_mode>("--sort-mode", "M", &o->sorting,
                               {{"symlink", sort_mode::symlink, ""},
                                {"hardlink", sort_mode::hardlink, ""},
                                {"copy", sort_mode::copy, ""}},
                               "")
          .needing("--sort-into")
          .by_default("symlink"),
      choice_option<sort_key>(
          "--sort-by", "K", &o->sort_by,
          {{"class", sort_key::by_class, "DIR/CLASS/"},
           {"category", sort_key::by_category,
            "DIR/animal/pet/dog/, a folder for each level of the best class's category path, "
            "DIR/other/ for a class under none; only with a category map in use"}},
          "")
          .needing("--sort-into")
          .by_default("class"),
      flag_option("--bar", &o->bar, "a progress line on standard error, where it is a terminal"),
      text_option("--truth", "SOURCE", &o->truth,
                  "each photograph's true class: \"folders\" (the name of the folder that holds "
                  "it) or a CSV or TSV file of path,class lines (a class name or index, or a "
                  "category); the lines end with the true class, and a summary of the model's "
                  "accuracy, by class and by category, ends the batch"),
      text_option("--summary", "FILE", &o->summary,
                  "the summary as JSON to FILE, not standard error")
          .needing("--truth")
          .checked(writable_beside),
      repeated_option("--sshlogin", "LOGIN", &o->sshlogins,
                      "spread the photographs over other machines through GNU parallel "
                      "(repeatable; \":\" is this machine). Each needs classify-photos at the same "
                      "path as here and the model at the same path; the photographs are copied "
                      "over and removed after."),
      text_option("--remote-root", "DIR", &o->remote_root,
                  "with --sshlogin: the photographs are on the other machines already, each at "
                  "DIR followed by its whole path here (DIR /: the same paths, a shared file "
                  "system), and are not copied")
          .checked(absolute_path),
      text_option("--joblog", "FILE", &o->joblog,
                  "a log line per photograph (with --sshlogin: GNU parallel's log of every "
                  "chunk)"),
      flag_option("--help", &o->help,
                  "the usage and the options, with the model and labels found here"),
      flag_option("--version", &o->version, "the program's name and version"),
  };
}

std::vector<option_entry> far_side_options(photos_options* o) {
#if defined(_WIN32)
  // Windows runs no batch over ssh: a chunk's options do not exist there.
  (void)o;
  return {};
#else
  return {
      whole_number_option("--relay-chunk", "C", 1, unbounded, &o->relay_chunk,
                          "classify the chunk C here, its results in the relay form"),
      whole_number_option("--send-chunk", "C", 1, unbounded, &o->send_chunk,
                          "the job of chunk C, whose list is the photograph given"),
      whole_number_option("--job-slot", "S", 1, unbounded, &o->job_slot,
                          "the job slot of GNU parallel the chunk runs in"),
      text_option("--logins", "FILE", &o->logins, "the logins the job slots stand for"),
      text_option("--ssh-control", "DIR", &o->ssh_control,
                  "the folder of the shared connections' sockets"),
      flag_option("--receive", &o->receive, "the chunk comes on standard input"),
      text_option("--only-indices", "LIST", &o->only_indices,
                  "--only as the class indices it came to, separated by commas"),
      text_option("--except-indices", "LIST", &o->except_indices,
                  "--except as the class indices it came to, separated by commas"),
  };
#endif
}

std::optional<int> parse_options(int argc, char** argv, photos_options* options) {
  CLI::App app{"", "classify-photos"};
  app.set_help_flag();
  const std::vector<option_entry> user = user_options(options);
  add_options(app, user);
  add_options(app, far_side_options(options));
  app.add_option("PHOTO", options->photos);
  if (const std::optional<int> status = parse_command_line(app, "classify-photos", argc, argv)) {
    return status;
  }
  options->command_line = command_text(program_arguments(argc, argv));
  choose_defaults(options);
  if (options->help) {
    std::cout << usage_head << options_help(user, {{"--labels", found_files(*options)}});
    return 0;
  }
  if (options->version) {
    std::cout << "classify-photos " CLASSIFY_VERSION "\n";
    return 0;
  }
  return across_options(*options);
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
