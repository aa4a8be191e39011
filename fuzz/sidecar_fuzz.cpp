// Fuzzes the reading of an XMP sidecar that is already beside a photograph,
// which any program (or a damaged disk) may have written: each input is
// merged with our keywords or refused cleanly; what is merged holds them,
// and merging it again changes nothing; nor does it change how the next
// sidecar is merged (exiv2's registries of namespaces are the process's).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/classify-photos/keep/xmp_merge.h"

using namespace classify;

namespace {

// A sidecar with the user's keywords in each place of ours.
const char control_sidecar[] =
    "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
    "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description rdf:about=\"\" "
    "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" xmlns:lr=\"http://ns.adobe.com/lightroom/1.0/\" "
    "xmlns:digiKam=\"http://www.digikam.org/ns/1.0/\"><dc:subject><rdf:Bag><rdf:li>Paris</rdf:li>"
    "</rdf:Bag></dc:subject><lr:hierarchicalSubject><rdf:Bag><rdf:li>places|Paris</rdf:li>"
    "</rdf:Bag></lr:hierarchicalSubject><digiKam:TagsList><rdf:Seq><rdf:li>places/Paris</rdf:li>"
    "</rdf:Seq></digiKam:TagsList></rdf:Description></rdf:RDF></x:xmpmeta>";

std::string merged_control() {
  const result<std::string> merged =
      merge_keywords(control_sidecar, {{"animal", "cat", "tabby cat"}});
  if (!merged) std::abort();
  return *merged;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string control = merged_control();
  const std::string old_sidecar(reinterpret_cast<const char*>(data), size);
  const std::vector<keyword_path> keywords = {{"animal", "cat", "tabby cat"}, {"a|b/c"}};
  const result<std::string> merged = merge_keywords(old_sidecar, keywords);
  if (merged) {
    if (merged->find("classify|animal|cat|tabby cat") == std::string::npos) std::abort();
    const result<std::string> again = merge_keywords(*merged, keywords);
    if (!again || *again != *merged) std::abort();
  } else if (merged.error().message.empty()) {
    std::abort();
  }
  if (merged_control() != control) std::abort();
  return 0;
}
