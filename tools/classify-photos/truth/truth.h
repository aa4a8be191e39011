#pragma once
// Where each photograph's true class comes from (--truth), and how a true
// class named in words finds the model's label: the folder that holds the
// photograph (the layout of image_dataset_from_directory, Teachable Machine's
// exports and ImageNet's train set), or a CSV or TSV file of path and class.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tools/classify-photos/layers.h"
#include "tools/common/result.h"

CLASSIFY_PHOTOS_IN_LAYER(truth);

namespace classify {

// A photograph's truth: whether it has one, its text as given, and the
// class that names (-1 when it names no label, -2 when it names several).
// Where it names no label but a category of the map in use ("dog"), the
// category as the map spells it (see find_truth_categories); such a truth
// counts by category alone.
struct photo_truth {
  bool known = false;
  std::string text;
  int32_t index = -1;
  std::string category;
};

// A line of a truth file: the number of the line it starts on, its fields
// and the separator between them, and the path and class they give where
// the class is the last field.
struct truth_line {
  size_t number = 0;
  std::vector<std::string> fields;
  char separator = ',';
  std::string path;
  std::string text;

  // The fields from `from` to before `to`, joined again.
  std::string joined(size_t from, size_t to) const;
};

// The lines of a truth file's `bytes`, read as RFC 4180 has CSV: a field
// in double quotes may hold the separator, a line break and "" for a quote
// (spaces around the quotes are let be); lines end in CRLF, LF or CR; a
// UTF-8 byte-order mark is skipped, and so are empty lines. A tab in a
// line makes it TSV, quoted the same way. A failure naming the line when a
// line has no class or a quote that does not close or is followed by more
// text.
result<std::vector<truth_line>> parse_truth_lines(const std::string& bytes);

// `text` without the spaces and tabs at its ends: a field of a truth or
// category file as it is meant.
std::string trimmed(const std::string& text);

// `text` as truths and labels are compared: ASCII letters folded to lower
// case, "_" and "-" read as spaces, runs of spaces as one, and the ends
// trimmed.
std::string folded_name(const std::string& text);

// How a truth's text finds a class among the model's labels.
class label_matcher {
 public:
  static constexpr int32_t no_label = -1, several_labels = -2, not_a_class = -3;

  // Over the class names (empty without them) of a model of `classes`
  // classes.
  label_matcher(const std::vector<std::string>& labels, size_t classes);

  // The class `text` names: a whole number is an index (below the number of
  // classes); a name matches a label, or one of a label's comma-separated
  // synonyms, after folded_name. no_label when it names none,
  // several_labels when it names several, not_a_class when it is a number
  // that is no index: signed, too large, or with more after it (unless that
  // is a label's name).
  int32_t match(const std::string& text) const;

 private:
  int32_t match_name(const std::string& text) const;

  size_t classes_;
  std::map<std::string, std::vector<int32_t>> names_;  // folded name -> classes
};

// The truth of each of `photos` (paths as the batch has them), matched
// among `labels` (empty without class names) of a model of `classes`
// classes. With `source` "folders", the name of the folder that holds it;
// otherwise `source` is a file that parse_truth_lines reads. Each path of
// the file is made absolute, a relative one against the file's folder and,
// where that is no photograph of the batch, against the working directory,
// and compared with the photographs' absolute paths, both lexically normal.
// A line of more than two fields (a comma left unquoted in its path or its
// class) is split after the most fields that name a photograph, or else
// before the last. A first line that names neither a photograph nor a class
// is a header.
// Where several lines name one photograph, the last counts. A failure when
// the file cannot be read or has a bad line (see parse_truth_lines; a class
// that match() finds not_a_class); `warnings` (where given) gains a line for
// the lines that name no photograph of the batch and one for the
// photographs named more than once.
result<std::vector<photo_truth>> find_truths(const std::string& source,
                                             const std::vector<std::string>& photos,
                                             const std::vector<std::string>& labels, size_t classes,
                                             std::vector<std::string>* warnings = nullptr);

// find_truths for a file `source` whose bytes are `bytes`.
result<std::vector<photo_truth>> match_truth_file(const std::string& source,
                                                  const std::string& bytes,
                                                  const std::vector<std::string>& photos,
                                                  const std::vector<std::string>& labels,
                                                  size_t classes,
                                                  std::vector<std::string>* warnings = nullptr);

}  // namespace classify
