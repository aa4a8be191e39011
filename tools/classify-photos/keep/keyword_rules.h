#pragma once
// Which keywords of a sidecar are ours, and what the three keyword
// properties hold once this run's are in, apart from the library that reads
// and writes the XMP: the flat keywords (Xmp.dc.subject), the Lightroom
// hierarchy (Xmp.lr.hierarchicalSubject, "classify|LABEL") and digiKam's
// (Xmp.digiKam.TagsList, "classify/LABEL").

#include <string>
#include <vector>

namespace classify {

struct sidecar_keywords {
  std::vector<std::string> flat, lightroom, digikam;
};

// `before` with `keywords` as the only keywords of ours: ours are the
// entries under classify, and a flat keyword we wrote under it that no other
// hierarchy names; everything else stays, in its order.
sidecar_keywords merged_keywords(const sidecar_keywords& before,
                                 const std::vector<std::string>& keywords);

bool operator==(const sidecar_keywords& a, const sidecar_keywords& b);

}  // namespace classify
