#pragma once
// Broad categories over a model's classes, so that a library tagged by them
// can be searched for "dog" rather than one of 118 breeds: each class has a
// path, broad to narrow ("animal", "pet", "dog"). They come from a file of
// class (a label or an index) and path (--categories), from labels that carry
// their own path ("animal|dog|beagle"), or, for a model whose labels are
// ImageNet's, from the map shipped with the program
// (models/imagenet_categories.tsv, derived from WordNet).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/classify-photos/layers.h"
#include "tools/classify-photos/truth/truth.h"
#include "tools/common/result.h"

CLASSIFY_PHOTOS_IN_LAYER(truth);

namespace classify {

struct category_map {
  std::vector<std::vector<std::string>> paths;  // by class; empty where a class has none
  std::string source;                           // where the map came from, as --describe says

  // Whether there is a map at all: without one, nothing says categories.
  bool in_use() const { return !paths.empty(); }
  // The path of class `index`, broad to narrow; empty where it has none.
  const std::vector<std::string>& path_of(int32_t index) const;
};

// The largest map file read: far beyond any model's classes, short of what
// a mistaken path (a photograph, a disk image) would take to read.
inline constexpr uintmax_t largest_category_file = 16u << 20;

// `levels` joined by "|", as a map file and the TSV lines write a path.
std::string path_text(const std::vector<std::string>& levels);

// The levels of `text`, split at "|" and trimmed, without empty ones.
std::vector<std::string> category_levels(const std::string& text);

// The map in `bytes`, a CSV or TSV file read as truth files are (quotes, a
// byte-order mark, any line ends; lines that start with "#" are comments),
// over the classes `matcher` knows of a model of `classes` classes: each
// line gives a class, by label or index, in its first field and its path in
// its last. A first line whose class names none is a header. An error names
// the line of a class that is no class of the model, a path with no level or
// a class given twice.
result<category_map> parse_category_map(const std::string& bytes, const label_matcher& matcher,
                                        size_t classes);

// The map shipped for ImageNet's classes, where `labels` are its 1000
// labels, or those with "background" first (1001); nothing otherwise.
std::optional<category_map> imagenet_category_map(const std::vector<std::string>& labels);

// Where some of `labels` carry their own path ("animal|dog|beagle"), the
// labels become their last level ("beagle") and the map holds the rest;
// nothing where none does.
std::optional<category_map> split_label_paths(std::vector<std::string>* labels);

// The map of --categories `given`: "none" for no map; a map file; or, where
// it is empty, the paths the labels carry, else ImageNet's map for ImageNet's
// labels, else none. `labels` (of a model of `classes` classes) become their
// last level where they carry paths and make the map. A failure names the
// file, and the line of a bad one; a file that is no regular file or is
// larger than largest_category_file is refused before it is read.
result<category_map> choose_category_map(const std::string& given, std::vector<std::string>* labels,
                                         size_t classes);

// Truths at the level of categories, where a map is in use. A category is
// known by its name, folded as class names are (folded_name), wherever it
// stands in a path: "sign" may be under "structure" for one class and under
// nothing for another.

// Where `truths` name no label (index -1) but a category of `map`, folded
// as class names are ("Dog" finds "dog"), that category as the map spells
// it, in each one's `category`.
void find_truth_categories(const category_map& map, std::vector<photo_truth>* truths);

// The category of `truth` that the best class must be under to be right by
// category, as the map spells it: for a class, its most specific category
// (the last level of its path); for a category, that category; "" where
// there is none (a class under no category, no truth, a truth left out).
std::string truth_category(const category_map& map, const photo_truth& truth);

// Whether the best class `best` is right by category for `truth`: its path
// holds truth_category; nothing where that is "".
std::optional<bool> category_right(const category_map& map, const photo_truth& truth, int32_t best);

}  // namespace classify
