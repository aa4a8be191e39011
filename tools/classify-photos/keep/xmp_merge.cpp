#include "tools/classify-photos/keep/xmp_merge.h"

#include <exiv2/exiv2.hpp>

#include <algorithm>
#include <set>
#include <sstream>

namespace classify {

namespace {

const char flat_key[] = "Xmp.dc.subject";
const char lightroom_key[] = "Xmp.lr.hierarchicalSubject";
const char digikam_key[] = "Xmp.digiKam.TagsList";
const char lightroom_root[] = "classify|";
const char digikam_root[] = "classify/";

bool starts_with(const std::string& text, const std::string& start) {
  return text.compare(0, start.size(), start) == 0;
}

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

// The names a hierarchy path holds: "a|b|c" gives a, b and c.
void add_names(const std::string& path, char separator, std::set<std::string>* names) {
  std::istringstream parts(path);
  std::string part;
  while (std::getline(parts, part, separator)) names->insert(part);
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
    // Ours are the entries under classify; a flat keyword of ours is one
    // that we wrote under it and that no other hierarchy names.
    const std::vector<std::string> flat_before = items(data, flat_key);
    const std::vector<std::string> lightroom_before = items(data, lightroom_key);
    const std::vector<std::string> digikam_before = items(data, digikam_key);
    std::vector<std::string> lightroom, digikam, ours;
    for (const std::string& entry : lightroom_before) {
      if (starts_with(entry, lightroom_root)) {
        ours.push_back(entry.substr(sizeof lightroom_root - 1));
      } else {
        lightroom.push_back(entry);
      }
    }
    for (const std::string& entry : digikam_before) {
      if (starts_with(entry, digikam_root)) {
        ours.push_back(entry.substr(sizeof digikam_root - 1));
      } else {
        digikam.push_back(entry);
      }
    }
    std::set<std::string> named_elsewhere;
    for (const std::string& entry : lightroom) add_names(entry, '|', &named_elsewhere);
    for (const std::string& entry : digikam) add_names(entry, '/', &named_elsewhere);
    std::vector<std::string> flat;
    for (const std::string& keyword : flat_before) {
      const bool was_ours = std::find(ours.begin(), ours.end(), keyword) != ours.end();
      if (!was_ours || named_elsewhere.count(keyword) != 0) flat.push_back(keyword);
    }
    for (const std::string& keyword : keywords) {
      if (std::find(flat.begin(), flat.end(), keyword) == flat.end()) flat.push_back(keyword);
      lightroom.push_back(lightroom_root + keyword);
      digikam.push_back(digikam_root + keyword);
    }
    // A sidecar that already holds these keywords, as a rerun finds it, is
    // given back byte for byte: rewritten, its new modification time would
    // tell darktable and backup tools that it had changed.
    if (flat == flat_before && lightroom == lightroom_before && digikam == digikam_before) {
      *new_sidecar = old_sidecar;
      return true;
    }
    set_items(&data, flat_key, Exiv2::xmpBag, flat);
    set_items(&data, lightroom_key, Exiv2::xmpBag, lightroom);
    set_items(&data, digikam_key, Exiv2::xmpSeq, digikam);
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
