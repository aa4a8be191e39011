#include "tools/classify-photos/keep/xmp_merge.h"

#include <exiv2/exiv2.hpp>

#include "tools/classify-photos/keep/keyword_rules.h"
#include "tools/classify-photos/keep/xmp_encoding.h"
#include "tools/classify-photos/keep/xmp_prefixes.h"

namespace classify {

namespace {

// A property is its namespace and its name. exiv2 names it by a prefix,
// which only stands for the namespace that exiv2's registry gives it now,
// and a sidecar may bind any prefix to any namespace: "lr" may be another
// program's.
struct xmp_property {
  const char* ns;
  const char* name;
  const char* prefix;  // the one we prefer where it is free
  Exiv2::TypeId type;
};

const xmp_property flat_property = {"http://purl.org/dc/elements/1.1/", "subject", "dc",
                                    Exiv2::xmpBag};
const xmp_property lightroom_property = {"http://ns.adobe.com/lightroom/1.0/",
                                         "hierarchicalSubject", "lr", Exiv2::xmpBag};
const xmp_property digikam_property = {"http://www.digikam.org/ns/1.0/", "TagsList", "digiKam",
                                       Exiv2::xmpSeq};
const xmp_property added_property = {our_namespace, added_keywords_property, our_prefix,
                                     Exiv2::xmpBag};

bool is_property(const Exiv2::Xmpdatum& datum, const xmp_property& property,
                 const std::string& name) {
  return datum.tagName() == name && Exiv2::XmpProperties::ns(datum.groupName()) == property.ns;
}

// The items of an array property, or its one value.
std::vector<std::string> items(const Exiv2::XmpData& data, const xmp_property& property) {
  std::vector<std::string> values;
  for (const Exiv2::Xmpdatum& datum : data) {
    if (!is_property(datum, property, property.name)) continue;
    const Exiv2::Value& value = datum.value();
    const Exiv2::TypeId type = value.typeId();
    if (type == Exiv2::xmpBag || type == Exiv2::xmpSeq || type == Exiv2::xmpAlt) {
      for (long i = 0; i < value.count(); ++i) values.push_back(value.toString(i));
    } else {
      values.push_back(value.toString());
    }
    break;
  }
  return values;
}

// The namespace exiv2 knows by `prefix`, "" where it knows none.
std::string namespace_of(const std::string& prefix) {
  try {
    return Exiv2::XmpProperties::ns(prefix);
  } catch (const std::exception&) {
    return "";
  }
}

// A prefix that stands for `property`'s namespace in exiv2's registry: the
// one it has there, or the one we prefer, or, where the sidecar took that
// for another namespace, the first of prefix2, prefix3, ... that is free.
std::string prefix_of(const xmp_property& property) {
  std::string prefix = Exiv2::XmpProperties::prefix(property.ns);
  if (!prefix.empty() && namespace_of(prefix) == property.ns) return prefix;
  prefix = property.prefix;
  for (int n = 2; !namespace_of(prefix).empty(); ++n) prefix = property.prefix + std::to_string(n);
  Exiv2::XmpProperties::registerNs(property.ns, prefix);
  return prefix;
}

void set_items(Exiv2::XmpData* data, const xmp_property& property,
               const std::vector<std::string>& values) {
  // The property and, where it was not a plain array, its items and fields.
  const std::string item = std::string(property.name) + "[";
  for (auto datum = data->begin(); datum != data->end();) {
    const std::string name = datum->tagName();
    if (is_property(*datum, property,
                    name.compare(0, item.size(), item) == 0 ? name : property.name)) {
      datum = data->erase(datum);
    } else {
      ++datum;
    }
  }
  if (values.empty()) return;
  Exiv2::XmpArrayValue array(property.type);
  for (const std::string& value : values) array.read(value);
  data->add(Exiv2::XmpKey(prefix_of(property), property.name), &array);
}

// Whether `bytes` begin as an XML document of any kind: what exiv2 takes
// without a property is only XMP where it says so.
bool names_xmp(const std::string& bytes) {
  return bytes.find("x:xmpmeta") != std::string::npos || bytes.find("rdf:RDF") != std::string::npos;
}

const char empty_document[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
    " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"/>\n</x:xmpmeta>\n";

// exiv2's registry of namespaces and the XMP toolkit's below it are the
// process's: every namespace a sidecar declares stays there, under the
// prefix that sidecar gave it, and would name properties in the next
// sidecar read and written (a sidecar's "lr" bound to another program's
// namespace took the next photograph's Lightroom keywords into it). Each
// merge starts from the registries as exiv2 makes them, and leaves them so
// (which also leaves nothing of them for the end of the process, where
// exiv2's statics, loaded as a module, end before the program's).
// Our own namespace is registered before the sidecar is read, as exiv2's
// are, so that a sidecar that binds its prefix to another has that prefix
// renamed (with_own_prefixes). Together this costs about 0.1 ms a merge.
struct fresh_registries {
  fresh_registries() {
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    Exiv2::XmpParser::initialize();
    Exiv2::XmpProperties::registerNs(added_property.ns, added_property.prefix);
  }
  ~fresh_registries() { Exiv2::XmpParser::terminate(); }
  fresh_registries(const fresh_registries&) = delete;
  fresh_registries& operator=(const fresh_registries&) = delete;
};

result<std::string> merge_xmp(const std::string& old_sidecar, const std::string& utf8,
                              const std::vector<keyword_path>& keywords) {
  const known_namespaces known = {namespace_of, [](const std::string& uri) -> std::string {
                                    try {
                                      return Exiv2::XmpProperties::prefix(uri);
                                    } catch (const std::exception&) {
                                      return "";
                                    }
                                  }};
  const std::string text = with_own_prefixes(utf8, known);
  Exiv2::XmpData data;
  const bool blank = text.find_first_not_of(" \t\r\n") == std::string::npos;
  if (!blank && (Exiv2::XmpParser::decode(data, text) != 0 || (data.empty() && !names_xmp(text)))) {
    return failure{"is not XMP that can be read"};
  }
  const sidecar_keywords before = {items(data, flat_property), items(data, lightroom_property),
                                   items(data, digikam_property), items(data, added_property)};
  const sidecar_keywords after = merged_keywords(before, keywords);
  // A sidecar that already holds these keywords, as a rerun finds it, is
  // given back byte for byte: rewritten, its new modification time would
  // tell darktable and backup tools that it had changed.
  if (after == before) return old_sidecar;
  set_items(&data, flat_property, after.flat);
  set_items(&data, lightroom_property, after.lightroom);
  set_items(&data, digikam_property, after.digikam);
  set_items(&data, added_property, after.added);
  // exiv2 writes nothing for no property; a sidecar stays a document.
  if (data.empty()) return std::string(empty_document);
  std::string packet;
  if (Exiv2::XmpParser::encode(
          packet, data, Exiv2::XmpParser::omitPacketWrapper | Exiv2::XmpParser::useCompactFormat) !=
      0) {
    return failure{"cannot be written as XMP"};
  }
  std::string new_sidecar = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + packet;
  if (new_sidecar.back() != '\n') new_sidecar += '\n';
  return new_sidecar;
}

}  // namespace

result<std::string> merge_keywords(const std::string& old_sidecar,
                                   const std::vector<keyword_path>& keywords) {
  std::string text;
  if (!xmp_as_utf8(old_sidecar, &text)) return failure{"is not UTF-16 that can be read"};
  try {
    const fresh_registries registries;
    return merge_xmp(old_sidecar, text, keywords);
  } catch (const std::exception& e) {
    return failure{std::string("is not XMP that can be read (") + e.what() + ")"};
  }
}

}  // namespace classify
