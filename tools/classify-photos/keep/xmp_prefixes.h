#pragma once
// exiv2 (0.27) and the XMP toolkit under it name a namespace by its prefix:
// a sidecar that binds a prefix they know ("lr", "dc", ...) to another
// namespace rebinds it for them, so that the known namespace's properties
// are read and written under the other one, or the toolkit gives up on its
// map of namespaces; and a known namespace under a prefix of the sidecar's
// own confuses the toolkit's writing (a prefix it never declares). Before
// exiv2 reads a sidecar, each known namespace is given the prefix it is
// known by, and a prefix bound to another namespace one of its own; every
// namespace stays as it was.

#include <functional>
#include <string>

#include "tools/classify-photos/layers.h"

CLASSIFY_PHOTOS_IN_LAYER(keep);

namespace classify {

// The library's registry of namespaces: the namespace it knows by a prefix,
// and the prefix it knows a namespace by; "" for what it does not know.
struct known_namespaces {
  std::function<std::string(const std::string& prefix)> uri_of;
  std::function<std::string(const std::string& uri)> prefix_of;
};

// `xml` with its prefixes renamed, in their declarations and in the names
// of the elements and attributes in their scope: one bound to a namespace
// that `known` has takes the prefix it has there; one that `known` has for
// another namespace becomes PREFIX_N, a prefix neither `known` nor `xml`
// uses. Text, attribute values, comments and processing instructions are
// left byte for byte; so is `xml` where nothing is renamed.
std::string with_own_prefixes(const std::string& xml, const known_namespaces& known);

}  // namespace classify
