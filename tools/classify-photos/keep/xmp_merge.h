#pragma once
// The keywords of ours merged into an XMP sidecar, through exiv2. On Linux
// this is the whole of exiv2's part in classify-photos, built into a module
// of its own (xmp_module.h); on Windows it is linked into the program.

#include <string>
#include <vector>

#include "tools/classify-photos/keep/keyword_rules.h"
#include "tools/classify-photos/layers.h"
#include "tools/common/result.h"

CLASSIFY_PHOTOS_IN_LAYER(keep);

namespace classify {

// The sidecar `old_sidecar` (its bytes, "" where there is none) with
// `keywords` as the only keywords of ours (`old_sidecar` itself where it
// holds them already); a failure when it cannot be read as XMP.
result<std::string> merge_keywords(const std::string& old_sidecar,
                                   const std::vector<keyword_path>& keywords);

}  // namespace classify
