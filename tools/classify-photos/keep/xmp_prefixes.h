#pragma once
// exiv2 (0.27) and the XMP toolkit under it name a namespace by its prefix:
// a sidecar that binds a prefix they know ("lr", "dc", ...) to another
// namespace rebinds it for them, so that the known namespace's properties
// are read and written under the other one, or the toolkit gives up on its
// map of namespaces. Before exiv2 reads a sidecar, such a prefix is renamed
// to one of its own; the namespace stays as it was.

#include <functional>
#include <string>

namespace classify {

// The namespace a prefix stands for in the library's registry, "" for a
// prefix it does not know.
using known_namespace = std::function<std::string(const std::string& prefix)>;

// `xml` with each prefix that it binds to a namespace other than the one
// `known` gives it renamed, in its declarations and in the names of the
// elements and attributes in their scope, to PREFIX_N, a prefix neither
// `known` nor `xml` uses. Text, attribute values, comments and processing
// instructions are left byte for byte; so is `xml` where no prefix clashes.
std::string with_own_prefixes(const std::string& xml, const known_namespace& known);

}  // namespace classify
