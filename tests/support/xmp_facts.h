#pragma once
// What an XMP document says, independent of how it was written: each
// property as (namespace URI, path, value), read with expat in namespace mode
// through both of RDF's spellings (a simple property as an attribute of
// rdf:Description or as an element; arrays of rdf:li; structs as attributes,
// as rdf:parseType="Resource" or as a nested rdf:Description), so that the
// same data written by another writer, under other prefixes, compares equal.

#include <ostream>
#include <set>
#include <string>
#include <tuple>

namespace classify {

inline const std::string rdf_uri = "http://www.w3.org/1999/02/22-rdf-syntax-ns#";
inline const std::string dc_uri = "http://purl.org/dc/elements/1.1/";
inline const std::string lightroom_uri = "http://ns.adobe.com/lightroom/1.0/";
inline const std::string digikam_uri = "http://www.digikam.org/ns/1.0/";

// One property's value: `path` begins with the top property's local name;
// a field of a struct adds "/{URI}name", an item of an rdf:Seq "[N]" (from
// 1), of an rdf:Bag or rdf:Alt "[]", and an xml:lang qualifier "@lang".
struct xmp_fact {
  std::string ns, path, value;
  bool operator<(const xmp_fact& other) const {
    return std::tie(ns, path, value) < std::tie(other.ns, other.path, other.value);
  }
  bool operator==(const xmp_fact& other) const {
    return std::tie(ns, path, value) == std::tie(other.ns, other.path, other.value);
  }
};
std::ostream& operator<<(std::ostream& os, const xmp_fact& fact);

// The facts of the XMP document `bytes` (UTF-8, or UTF-16 with its
// byte-order mark); false, with `error`, where it is not well-formed XML or
// holds no rdf:RDF.
bool read_xmp_facts(const std::string& bytes, std::set<xmp_fact>* facts, std::string* error);

}  // namespace classify
