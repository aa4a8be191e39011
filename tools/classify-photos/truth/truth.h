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

namespace classify {

// A photograph's truth: whether it has one, its text as given, and the
// class that names (-1 when it names no label, -2 when it names several).
struct photo_truth {
  bool known = false;
  std::string text;
  int32_t index = -1;
};

// The truth of each of `photos` (paths as the batch has them), its class not
// yet matched: with
// `source` "folders", the name of the folder that holds it; otherwise
// `source` is a file of "path,class" or "path TAB class" lines (a tab in its
// first line makes it TSV), whose paths are the photographs' as given or as
// they read after "./" and the like are folded away. False, with `error`,
// when the file cannot be read or a line of it has no class.
bool read_truths(const std::string& source, const std::vector<std::string>& photos,
                 std::vector<photo_truth>* truths, std::string* error);

// `text` as truths and labels are compared: ASCII letters folded to lower
// case, "_" and "-" read as spaces, runs of spaces as one, and the ends
// trimmed.
std::string folded_name(const std::string& text);

// How a truth's text finds a class among the model's labels.
class label_matcher {
 public:
  // Over the class names (empty without them) of a model of `classes`
  // classes.
  label_matcher(const std::vector<std::string>& labels, size_t classes);

  // The class `text` names: a number is an index (below the number of
  // classes); a name matches a label, or one of a label's comma-separated
  // synonyms, after folded_name. -1 when it names none, -2 when it names
  // several.
  int32_t match(const std::string& text) const;

 private:
  size_t classes_;
  std::map<std::string, std::vector<int32_t>> names_;  // folded name -> classes
};

// read_truths, then each known truth matched among `labels` (empty without
// class names) of a model of `classes` classes.
bool find_truths(const std::string& source, const std::vector<std::string>& photos,
                 const std::vector<std::string>& labels, size_t classes,
                 std::vector<photo_truth>* truths, std::string* error);

}  // namespace classify
