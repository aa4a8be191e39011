#pragma once
// The contact sheet of a batch (--html): a page that groups the photographs
// by their best class, the largest group first (where a category map is in
// use, by the category path of their best class first, and by class within
// it), each shown by a thumbnail
// with its name, its score and its other classes, beside the normal output.
// The thumbnails are written as the workers go, into a folder that takes
// the place of PAGE_files/ beside the page at the end; the page is written at
// the end, from one small record per photograph, through a temporary name.
// Until then an earlier page and its folder stay as they were, and a batch
// that ends early (Ctrl-C, a failure) leaves neither.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "photo/image.h"
#include "tools/classify-photos/core/results.h"
#include "tools/classify-photos/layers.h"
#include "tools/classify-photos/truth/categories.h"
#include "tools/classify-photos/truth/evaluation.h"
#include "tools/classify-photos/truth/truth.h"
#include "tools/common/result.h"

CLASSIFY_PHOTOS_IN_LAYER(output);

namespace classify {

// The longest side of a thumbnail, in pixels.
inline constexpr int thumbnail_side = 160;

// What the page's header says of the batch.
struct sheet_header {
  std::string model;       // the model's file
  std::string model_name;  // its metadata's name, or ""
  std::string command;     // the command line
  double seconds = 0;      // the time the batch took
};

class contact_sheet {
 public:
  // For a batch of `count` photographs, with the page at `page`; a failure
  // when there is no folder for its thumbnails.
  static result<std::unique_ptr<contact_sheet>> create(const std::string& page, size_t count);
  contact_sheet(const contact_sheet&) = delete;
  contact_sheet& operator=(const contact_sheet&) = delete;

  // The thumbnail of photograph `i`, from its picture as decoded and turned
  // upright; any worker, once for each photograph, before its result is
  // posted.
  void add_thumbnail(size_t i, const rgb_image& picture);

  // What photograph `i` came to, in the order given (the writer).
  void record(size_t i, const photo_result& result);

  // Writes the page and puts it and its thumbnails in place; a failure
  // when something of it cannot be written.
  // With `truths` (--truth), the page also shows the accuracy, marks each
  // photograph right or wrong (with its true class), filters the wrong ones,
  // and tabulates the confusions. With `categories` (null where no map is in
  // use), the sections are categories that hold their classes' sections,
  // and with `truths` the page also gives the accuracy by category, each
  // category's recall and precision, and marks a photograph whose truth
  // names a category right or wrong by it, from `figures`: the batch's own
  // figures (the summary's), which the page gives as they are.
  outcome finish(const std::vector<std::string>& photos, const std::vector<std::string>* labels,
                 const sheet_header& header, const std::vector<photo_truth>* truths = nullptr,
                 const category_map* categories = nullptr, const evaluation* figures = nullptr);

  // The folder beside a page that holds its thumbnails: PAGE less its
  // extension, then "_files".
  static std::string folder_of(const std::string& page);

 private:
  contact_sheet(const std::string& page, size_t count) : page_(page), entries_(count) {}

  // The group of the photographs no class counted for.
  static constexpr int32_t unsure_group = -1;

  // One photograph, as small as the page needs it.
  struct entry {
    uint16_t width = 0, height = 0;  // of the thumbnail; 0 when there is none
    bool classified = false;
    std::vector<class_score> classes;
    std::string reason;
    // Its section: its best class, or unsure_group.
    int32_t group() const { return classes.empty() ? unsure_group : classes.front().index; }
  };

  // The classes of the photographs classified, the largest first, with
  // their counts; `failed` gets the number of those not classified, `unsure`
  // of those no class counted for (--threshold).
  std::vector<std::pair<int32_t, size_t>> classes_by_size(size_t* failed, size_t* unsure) const;
  // The page's head and header: the numbers, the model, the time, the
  // command and the filters.
  void write_header(std::ostream& page, size_t photos, size_t classes, size_t failed,
                    const sheet_header& header) const;
  // A category path of best classes, its photographs and its classes with
  // theirs, the largest first.
  struct category_group {
    std::string path;  // path_text; "" for the classes under no category
    size_t count = 0;
    std::vector<std::pair<int32_t, size_t>> classes;
  };
  // The classes of `order` (the largest first) in their categories' groups,
  // the largest first.
  static std::vector<category_group> groups_of(const std::vector<std::pair<int32_t, size_t>>& order,
                                               const category_map& categories);
  // The section of class `index` (or of the unsure photographs, for
  // unsure_group): a figure a photograph, in the order given; its heading of
  // `level` (2, or 3 within a category).
  void write_class(std::ostream& page, int32_t index, size_t count,
                   const std::vector<std::string>& photos, const std::vector<std::string>* labels,
                   const std::vector<photo_truth>* truths, const category_map* categories,
                   int level) const;
  // With --truth: the accuracy line, and the table of confusions with the
  // photographs of each.
  void write_accuracy(std::ostream& page, const std::vector<photo_truth>& truths,
                      const evaluation* by_category) const;
  // With --truth and categories: each category's photographs, recall and
  // precision.
  void write_category_figures(std::ostream& page, const evaluation& figures) const;
  void write_confusions(std::ostream& page, const std::vector<std::string>& photos,
                        const std::vector<std::string>* labels,
                        const std::vector<photo_truth>& truths) const;
  // The photographs that could not be classified, with the reason.
  void write_failed(std::ostream& page, size_t failed,
                    const std::vector<std::string>& photos) const;
  // The thumbnails' folder and then the page `text` in place of earlier ones.
  outcome put_in_place(const std::string& text) const;

  std::string page_;
  std::string folder_;  // where the thumbnails go until the end
  std::vector<entry> entries_;
  std::mutex failure_mutex_;
  std::string failure_;  // the first thumbnail that could not be written
};

// `text` with &, <, >, " and ' written as HTML's character references.
std::string html_escaped(const std::string& text);

}  // namespace classify
