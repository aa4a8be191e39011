#pragma once
// The text of an XMP sidecar as exiv2 reads it: UTF-8. XMP may also be
// written in UTF-16, big- or little-endian, with a byte order mark, and
// UTF-8 may begin with one.

#include <string>

#include "tools/classify-photos/layers.h"

CLASSIFY_PHOTOS_IN_LAYER(keep);

namespace classify {

// `bytes` as UTF-8 without a byte order mark; a UTF-16 document loses its
// XML declaration, which names the encoding it had. False when `bytes`
// begin with UTF-16's mark but are not UTF-16.
bool xmp_as_utf8(const std::string& bytes, std::string* utf8);

}  // namespace classify
