#pragma once
// What classify-photos writes for a photograph: a tab-separated line, or a
// JSON object on one line, on standard output; an error line on standard
// error.

#include <cstdint>
#include <string>
#include <vector>

#include "model/labels.h"
#include "tools/classify-photos/core/results.h"
#include "tools/classify-photos/layers.h"
#include "tools/classify-photos/truth/categories.h"
#include "tools/classify-photos/truth/truth.h"

CLASSIFY_PHOTOS_IN_LAYER(output);

namespace classify {

// `text` as one TSV field: tab, line feed, carriage return and backslash
// written as \t, \n, \r and \\, so that a file name of any bytes stays on its
// line and in its column; the other control bytes (0x00 to 0x1f, 0x7f) as
// the JSON lines write them, \b, \f or \u001b, so that a name cannot send a
// terminal commands. Every other byte stays as it is.
std::string tsv_field(const std::string& text);

// `text` with each sequence that is not UTF-8 (a stray byte, an overlong
// form, a cut sequence, a surrogate) as U+FFFD, as the JSON lines write it;
// UTF-8 stays as it is.
std::string valid_utf8(const std::string& text);

// What is known of a classified photograph.
struct classified_photo {
  const std::string& path;
  const std::vector<class_score>& classes;   // the best first; none when unsure
  const std::vector<std::string>* labels;    // null without class names
  const photo_truth* truth = nullptr;        // with --truth: the photograph's
  const category_map* categories = nullptr;  // null where no map is in use
  bool category_column = false;              // --category-column
};

// The number a score prints as (score_text, six significant digits at
// most): what a reader of the lines sees, so that a score shown at a
// threshold (0.5 for 0.49999997) is taken as at it.
double printed_score(float score);

// "path", then for each class "TAB index TAB score [TAB name]
// [TAB category path]" (the path with --category-column, its levels joined by
// "|", empty where the class has none), with --truth "TAB true class" (empty
// where it is not known), and a line feed. Where no class counts (under
// --threshold), "TAB unsure" in place of the classes.
std::string tsv_line(const classified_photo& photo);

// {"path":...,"index":...,"probability":...,"label":...,"classes":[{"index":
// ...,"score":...,"label":...},...]} and a line feed: the best class's keys
// as they always were, then every class asked for. Where a category map is
// in use, "category" after each "label": the class's path, broad to narrow
// (["animal","dog"]; [] where it has none). A score is the number the
// TSV line gives (null where it is not finite); a label is null without
// class names. With --truth, "truth" ({"index":...,"label":...}, or null
// where the class is not known) and "correct" (whether the best class is the
// truth; null without one), and where a category map is in use
// "category_correct" (whether the best class's path holds the truth's
// category, see category_right; null where the truth has none). A
// photograph no class counts for (unsure) has null index, probability,
// label and category, no classes, and "unsure": true. Bytes that are not
// UTF-8 (a file name in another encoding) become U+FFFD.
std::string json_line(const classified_photo& photo);

// "classify-photos: PATH: REASON" and a line feed, on one line whatever the
// path and the reason hold.
std::string error_line(const std::string& path, const std::string& reason);

}  // namespace classify
