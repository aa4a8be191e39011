#include "tools/classify-photos/keep/xmp_merge.h"

#include <exiv2/exiv2.hpp>

#include "tools/classify-photos/keep/keyword_rules.h"

namespace classify {

namespace {

const char flat_key[] = "Xmp.dc.subject";
const char lightroom_key[] = "Xmp.lr.hierarchicalSubject";
const char digikam_key[] = "Xmp.digiKam.TagsList";

// The items of an array property, or its one value.
std::vector<std::string> items(const Exiv2::XmpData& data, const char* key) {
  std::vector<std::string> values;
  const auto found = data.findKey(Exiv2::XmpKey(key));
  if (found == data.end()) return values;
  const Exiv2::Value& value = found->value();
  const Exiv2::TypeId type = value.typeId();
  if (type == Exiv2::xmpBag || type == Exiv2::xmpSeq || type == Exiv2::xmpAlt) {
    for (long i = 0; i < value.count(); ++i) values.push_back(value.toString(i));
  } else {
    values.push_back(value.toString());
  }
  return values;
}

void set_items(Exiv2::XmpData* data, const char* key, Exiv2::TypeId type,
               const std::vector<std::string>& values) {
  const Exiv2::XmpKey xmp_key(key);
  const auto found = data->findKey(xmp_key);
  if (found != data->end()) data->erase(found);
  if (values.empty()) return;
  Exiv2::XmpArrayValue array(type);
  for (const std::string& value : values) array.read(value);
  data->add(xmp_key, &array);
}

// Whether `bytes` begin as an XML document of any kind: what exiv2 takes
// without a property is only XMP where it says so.
bool names_xmp(const std::string& bytes) {
  return bytes.find("x:xmpmeta") != std::string::npos || bytes.find("rdf:RDF") != std::string::npos;
}

const char empty_document[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
    " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"/>\n</x:xmpmeta>\n";

struct exiv2_quiet {
  exiv2_quiet() {
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    Exiv2::XmpParser::initialize();
  }
  // The namespaces that sidecars named and exiv2 registered go before
  // exiv2's registry does: loaded as a module, its statics end first, and
  // would leave those entries lost.
  ~exiv2_quiet() { Exiv2::XmpProperties::unregisterNs(); }
};

}  // namespace

bool merge_keywords(const std::string& old_sidecar, const std::vector<std::string>& keywords,
                    std::string* new_sidecar, std::string* error) {
  static const exiv2_quiet quiet;
  Exiv2::XmpData data;
  const bool blank = old_sidecar.find_first_not_of(" \t\r\n") == std::string::npos;
  try {
    if (!blank && (Exiv2::XmpParser::decode(data, old_sidecar) != 0 ||
                   (data.empty() && !names_xmp(old_sidecar)))) {
      *error = "is not XMP that can be read";
      return false;
    }
    const sidecar_keywords before = {items(data, flat_key), items(data, lightroom_key),
                                     items(data, digikam_key)};
    const sidecar_keywords after = merged_keywords(before, keywords);
    // A sidecar that already holds these keywords, as a rerun finds it, is
    // given back byte for byte: rewritten, its new modification time would
    // tell darktable and backup tools that it had changed.
    if (after == before) {
      *new_sidecar = old_sidecar;
      return true;
    }
    set_items(&data, flat_key, Exiv2::xmpBag, after.flat);
    set_items(&data, lightroom_key, Exiv2::xmpBag, after.lightroom);
    set_items(&data, digikam_key, Exiv2::xmpSeq, after.digikam);
    // exiv2 writes nothing for no property; a sidecar stays a document.
    if (data.empty()) {
      *new_sidecar = empty_document;
      return true;
    }
    std::string packet;
    if (Exiv2::XmpParser::encode(
            packet, data,
            Exiv2::XmpParser::omitPacketWrapper | Exiv2::XmpParser::useCompactFormat) != 0) {
      *error = "cannot be written as XMP";
      return false;
    }
    *new_sidecar = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + packet;
    if (new_sidecar->back() != '\n') *new_sidecar += '\n';
    return true;
  } catch (const std::exception& e) {
    *error = std::string("is not XMP that can be read (") + e.what() + ")";
    return false;
  }
}

}  // namespace classify
