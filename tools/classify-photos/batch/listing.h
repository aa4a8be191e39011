#pragma once
// The photographs of a batch: the paths given, with folders walked.

#include <cstddef>
#include <istream>
#include <string>
#include <vector>

#include "tools/classify-photos/layers.h"

CLASSIFY_PHOTOS_IN_LAYER(batch);

namespace classify {

struct photo_listing {
  std::vector<std::string> photos;
  // Folders that could not be read, and why.
  std::vector<std::string> unreadable, reasons;
  // Files in the folders that do not begin as a photograph.
  size_t passed_over = 0;
};

// The photographs to classify, in order: each path given as it is, "-"
// replaced by the paths read from `in` (one a line, empty lines skipped), and
// each folder walked with its subfolders, its entries in sorted order, for
// the files whose first bytes are a format this build reads. Symbolic links
// to folders inside a folder are not followed, and the folder `skipped` (that
// of --sort-into, whose links and copies are the photographs themselves) is
// not walked.
photo_listing list_photos(const std::vector<std::string>& given, std::istream& in,
                          const std::string& skipped = "");

}  // namespace classify
