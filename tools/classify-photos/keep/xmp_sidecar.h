#pragma once
// --xmp: the classes of a photograph as keywords in its XMP sidecar, where
// photo managers read them: each level of a class's path (its categories,
// then its label) as a flat keyword in Xmp.dc.subject, "classify|animal|dog|
// LABEL" in Xmp.lr.hierarchicalSubject (Lightroom, darktable) and
// "classify/animal/dog/LABEL" in Xmp.digiKam.TagsList (digiKam). Everything else in an
// existing sidecar stays; the keywords of an earlier run are replaced
// (keyword_rules.h says which are ours). The
// photograph itself is never written. Read and written with exiv2
// (xmp_merge.h), from one thread at a time.

#include <string>
#include <vector>

#include "tools/classify-photos/core/choices.h"
#include "tools/classify-photos/keep/keyword_rules.h"
#include "tools/classify-photos/layers.h"
#include "tools/common/result.h"

CLASSIFY_PHOTOS_IN_LAYER(keep);

namespace classify {

// photo.jpg.xmp (darktable's and digiKam's name), or photo.xmp with
// --xmp-name basename.
std::string sidecar_path(const std::string& photo, sidecar_naming naming);

// Makes exiv2 ready before the first sidecar: on Linux it lives in a
// module loaded only for --xmp (xmp_module.h). Fails, saying why, when it
// cannot be loaded.
outcome xmp_ready();

// Writes the keywords into the sidecar at `path` (or the file its link leads
// to) through a temporary file and a rename, keeping its owner and mode.
// Fails, naming it, when it is not a regular file, is larger than 16 MiB,
// cannot be read as XMP, is read-only or cannot be written, and then it is
// left as it was.
outcome write_keywords(const std::string& path, const std::vector<keyword_path>& keywords);

}  // namespace classify
