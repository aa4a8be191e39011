#pragma once
// Which keywords of a sidecar are ours, and what the keyword properties hold
// once this run's are in, apart from the library that reads and writes the
// XMP: the flat keywords (dc:subject), the Lightroom hierarchy
// (lr:hierarchicalSubject, "classify|LABEL"), digiKam's (digiKam:TagsList,
// "classify/LABEL") and our record of the flat keywords we added
// (classifyPhotos:addedKeywords).

#include <string>
#include <vector>

#include "tools/classify-photos/layers.h"

CLASSIFY_PHOTOS_IN_LAYER(keep);

namespace classify {

// Our own namespace in a sidecar, and its one property: an rdf:Bag of the
// flat keywords this program added, those that were not there before it.
inline constexpr char our_namespace[] = "http://ns.classify-photos.invalid/1.0/";
inline constexpr char our_prefix[] = "classifyPhotos";
inline constexpr char added_keywords_property[] = "addedKeywords";

struct sidecar_keywords {
  std::vector<std::string> flat, lightroom, digikam;
  std::vector<std::string> added;  // our record: which of `flat` we added
};

// `before` with `keywords` as the only keywords of ours. Ours are the
// hierarchy entries under classify, and the flat keywords our record names,
// unless the user's own hierarchy names them too; everything else stays, in
// its order. A flat keyword that was there already is left the user's.
sidecar_keywords merged_keywords(const sidecar_keywords& before,
                                 const std::vector<std::string>& keywords);

bool operator==(const sidecar_keywords& a, const sidecar_keywords& b);

}  // namespace classify
