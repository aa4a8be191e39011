#pragma once
// Which keywords of a sidecar are ours, and what the keyword properties hold
// once this run's are in, apart from the library that reads and writes the
// XMP: the flat keywords (dc:subject, each level of a class's path), the
// Lightroom hierarchy (lr:hierarchicalSubject, "classify|animal|dog|LABEL"),
// digiKam's (digiKam:TagsList, "classify/animal/dog/LABEL") and our record
// of the flat keywords we added (classifyPhotos:addedKeywords).

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

// One class as keywords: its category path, broad to narrow, then its label
// ("animal", "dog", "Shih-Tzu"); the label alone without categories.
using keyword_path = std::vector<std::string>;

struct sidecar_keywords {
  std::vector<std::string> flat, lightroom, digikam;
  std::vector<std::string> added;  // our record: which of `flat` we added
};

// `before` with `keywords` as the only keywords of ours. Ours are the
// hierarchy entries under classify, and the flat keywords our record names,
// unless the user's own hierarchy names them too; everything else stays, in
// its order. Every level of a path is a flat keyword, added once however
// many paths share it; one that was there already is left the user's.
sidecar_keywords merged_keywords(const sidecar_keywords& before,
                                 const std::vector<keyword_path>& keywords);

// The entry of `path` under classify in a hierarchy whose levels `separator`
// joins: "classify|animal|dog|beagle". A separator within a level becomes
// its look-alike (the broken bar for "|", the division slash for "/"), so
// that a label such as "AC/DC" stays one level of the hierarchy.
std::string hierarchy_entry(const keyword_path& path, char separator);

bool operator==(const sidecar_keywords& a, const sidecar_keywords& b);

}  // namespace classify
