// The xmp_merge_bench over exempi: the rules of the program's merge
// (tools/classify-photos/keep/xmp_merge.cpp) through exempi's C interface.
#include <exempi/xmp.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char dc_ns[] = "http://purl.org/dc/elements/1.1/";
const char lr_ns[] = "http://ns.adobe.com/lightroom/1.0/";
const char digikam_ns[] = "http://www.digikam.org/ns/1.0/";

struct library {
  library() {
    xmp_init();
    xmp_register_namespace(lr_ns, "lr", nullptr);
    xmp_register_namespace(digikam_ns, "digiKam", nullptr);
  }
  ~library() { xmp_terminate(); }
};

std::vector<std::string> items(XmpPtr xmp, const char* ns, const char* name) {
  std::vector<std::string> values;
  XmpStringPtr value = xmp_string_new();
  for (int32_t i = 1; xmp_get_array_item(xmp, ns, name, i, value, nullptr); ++i) {
    values.push_back(xmp_string_cstr(value));
  }
  xmp_string_free(value);
  return values;
}

void set_items(XmpPtr xmp, const char* ns, const char* name, uint32_t form,
               const std::vector<std::string>& values) {
  xmp_delete_property(xmp, ns, name);
  for (const std::string& value : values) {
    xmp_append_array_item(xmp, ns, name, form, value.c_str(), 0);
  }
}

void split_ours(const std::vector<std::string>& entries, const std::string& root,
                std::vector<std::string>* theirs, std::vector<std::string>* ours) {
  for (const std::string& entry : entries) {
    if (entry.compare(0, root.size(), root) == 0) {
      ours->push_back(entry.substr(root.size()));
    } else {
      theirs->push_back(entry);
    }
  }
}

void add_names(const std::string& path, char separator, std::set<std::string>* names) {
  std::istringstream parts(path);
  std::string part;
  while (std::getline(parts, part, separator)) names->insert(part);
}

}  // namespace

bool merge_with_library(const std::string& old_sidecar, const std::vector<std::string>& keywords,
                        std::string* new_sidecar, std::string* error) {
  static const library once;
  XmpPtr xmp =
      old_sidecar.empty() ? xmp_new_empty() : xmp_new(old_sidecar.data(), old_sidecar.size());
  if (xmp == nullptr) {
    *error = "is not XMP that can be read";
    return false;
  }
  std::vector<std::string> lightroom, digikam, ours, flat;
  split_ours(items(xmp, lr_ns, "hierarchicalSubject"), "classify|", &lightroom, &ours);
  split_ours(items(xmp, digikam_ns, "TagsList"), "classify/", &digikam, &ours);
  std::set<std::string> named_elsewhere;
  for (const std::string& entry : lightroom) add_names(entry, '|', &named_elsewhere);
  for (const std::string& entry : digikam) add_names(entry, '/', &named_elsewhere);
  for (const std::string& keyword : items(xmp, dc_ns, "subject")) {
    const bool was_ours = std::find(ours.begin(), ours.end(), keyword) != ours.end();
    if (!was_ours || named_elsewhere.count(keyword) != 0) flat.push_back(keyword);
  }
  for (const std::string& keyword : keywords) {
    if (std::find(flat.begin(), flat.end(), keyword) == flat.end()) flat.push_back(keyword);
    lightroom.push_back("classify|" + keyword);
    digikam.push_back("classify/" + keyword);
  }
  set_items(xmp, dc_ns, "subject", XMP_PROP_VALUE_IS_ARRAY, flat);
  set_items(xmp, lr_ns, "hierarchicalSubject", XMP_PROP_VALUE_IS_ARRAY, lightroom);
  set_items(xmp, digikam_ns, "TagsList", XMP_PROP_ARRAY_IS_ORDERED, digikam);
  XmpStringPtr packet = xmp_string_new();
  const bool written =
      xmp_serialize(xmp, packet, XMP_SERIAL_OMITPACKETWRAPPER | XMP_SERIAL_USECOMPACTFORMAT, 0);
  if (written) {
    *new_sidecar =
        std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n") + xmp_string_cstr(packet);
  } else {
    *error = "cannot be written as XMP";
  }
  xmp_string_free(packet);
  xmp_free(xmp);
  return written;
}
