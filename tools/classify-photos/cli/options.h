#pragma once
// classify-photos' command line.

#include <optional>
#include <string>
#include <vector>

#include "tools/classify-photos/core/choices.h"
#include "tools/classify-photos/layers.h"

CLASSIFY_PHOTOS_IN_LAYER(cli);

namespace classify {

// The model classify-photos takes when --model is not given, from the
// working folder: the file classify itself reads.
inline constexpr char default_model_name[] = "v3-small_224_0.75_float.tflite";
// The model and the class names the programs ship, taken when the working
// folder has no model: beside this program (a build folder, the Windows zip)
// or in share/classify beside its bin/ folder (the package, make install).
inline constexpr char installed_model_name[] = "mobilenet_v3_small_224_1.0_float.tflite";
inline constexpr char installed_labels_name[] = "imagenet_labels.txt";

// The shipped file `name` where it is installed for this program, or "".
std::string installed_file(const std::string& name);

struct photos_options {
  std::string model;             // empty until given or chosen
  std::string labels;            // --labels; empty when not given
  std::string installed_labels;  // the installed labels, with the installed model
  std::string locale = "en";     // of the label file taken from the model
  // --categories: a map file, "none", or empty for the one the labels give.
  std::string categories;
  bool category_column = false;  // --category-column: each class's path in the TSV lines
  std::vector<float> mean;       // --mean: empty, one value or three
  std::vector<float> std;        // --std: the same
  int top = 1;
  bool top_given = false;
  // Which classes count (classify/selection.h): --threshold, --only,
  // --except, --scores and --multi-label as given.
  double threshold = 0;
  bool threshold_given = false;
  std::vector<std::string> only, except;
  score_conversion scores = score_conversion::as_given;
  bool multi_label = false;
  bool describe = false;
  int jobs = 0;  // 0: one per core
  double crop = 1.0;
  bool crop_given = false;
  kernel_choice kernels = kernel_choice::xnnpack;
  std::vector<std::string> sshlogins;
  std::string remote_root;  // --remote-root: the photographs are there already
  std::string joblog;
  bool bar = false;
  bool json = false;
  std::string html;     // --html: the contact sheet's page
  std::string truth;    // --truth: "folders" or a file of path,class lines
  std::string summary;  // --summary: the accuracy summary as JSON
  std::string cache;    // --cache: the results of earlier runs
  bool xmp = false;     // --xmp: keywords in the sidecars
  sidecar_naming xmp_naming = sidecar_naming::full_name;
  double keyword_threshold = 0;  // the lowest score that makes a keyword
  std::string sort_into;         // --sort-into: the folder of class folders
  sort_mode sorting = sort_mode::symlink;
  sort_key sort_by = sort_key::by_class;
  std::string command_line;         // as given, for the contact sheet
  std::vector<std::string> photos;  // as given; "-" stands for standard input
  // Set on a machine that runs one chunk of a batch spread over ssh: the
  // chunk's number, and its results go back in the relay form.
  long relay_chunk = 0;
  // The job GNU parallel runs for a chunk: its number, its job slot and the
  // file of the logins the slots stand for (chunk.h).
  long send_chunk = 0;
  long job_slot = 0;
  std::string logins;
  // --only and --except as class indices, as the machine that ran the batch
  // resolved them from its labels and lists: the far side has neither.
  std::string only_indices, except_indices;
  std::string ssh_control;  // the folder of the shared connections' sockets
  // The far side of a chunk: it comes on standard input.
  bool receive = false;
  // Answered by parse_options itself.
  bool help = false;
  bool version = false;
};

// True when every login is this machine (":"), which needs neither GNU
// parallel nor ssh.
bool only_this_machine(const std::vector<std::string>& logins);

// Parses the command line into `options`, and fills in the model (and, with
// the installed model, its labels) that were not given. Returns nothing to go on,
// otherwise the exit status: 0 after --help or --version (written to
// standard output), 2 for bad usage (one message and a hint on standard
// error).
std::optional<int> parse_options(int argc, char** argv, photos_options* options);

// Writes the message of bad usage and its hint to standard error; returns
// the exit status of bad usage, 2.
int bad_usage(const std::string& message);

// The command line as a shell takes it back: the program's name, then the
// arguments (after the program's own), each quoted where it needs to be.
std::string command_text(const std::vector<std::string>& arguments);

// "127.5" or "123.675,116.28,103.53": one value or three, finite; false
// otherwise.
bool parse_values(const std::string& text, std::vector<float>* values);

}  // namespace classify
