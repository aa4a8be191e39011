// The xmp_merge_bench over exempi: the program's rules of our keywords
// (keyword_rules.h), read and written through exempi's C interface.
#include <exempi/xmp.h>

#include <string>
#include <vector>

#include "tools/classify-photos/keep/keyword_rules.h"

namespace {

const char dc_ns[] = "http://purl.org/dc/elements/1.1/";
const char lr_ns[] = "http://ns.adobe.com/lightroom/1.0/";
const char digikam_ns[] = "http://www.digikam.org/ns/1.0/";

struct library {
  library() {
    xmp_init();
    xmp_register_namespace(lr_ns, "lr", nullptr);
    xmp_register_namespace(digikam_ns, "digiKam", nullptr);
    xmp_register_namespace(classify::our_namespace, classify::our_prefix, nullptr);
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

}  // namespace

bool merge_with_library(const std::string& old_sidecar,
                        const std::vector<std::vector<std::string>>& keywords,
                        std::string* new_sidecar, std::string* error) {
  static const library once;
  XmpPtr xmp =
      old_sidecar.empty() ? xmp_new_empty() : xmp_new(old_sidecar.data(), old_sidecar.size());
  if (xmp == nullptr) {
    *error = "is not XMP that can be read";
    return false;
  }
  const classify::sidecar_keywords after = classify::merged_keywords(
      {items(xmp, dc_ns, "subject"), items(xmp, lr_ns, "hierarchicalSubject"),
       items(xmp, digikam_ns, "TagsList"),
       items(xmp, classify::our_namespace, classify::added_keywords_property)},
      keywords);
  set_items(xmp, dc_ns, "subject", XMP_PROP_VALUE_IS_ARRAY, after.flat);
  set_items(xmp, lr_ns, "hierarchicalSubject", XMP_PROP_VALUE_IS_ARRAY, after.lightroom);
  set_items(xmp, digikam_ns, "TagsList", XMP_PROP_ARRAY_IS_ORDERED, after.digikam);
  set_items(xmp, classify::our_namespace, classify::added_keywords_property,
            XMP_PROP_VALUE_IS_ARRAY, after.added);
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
