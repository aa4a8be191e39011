// The two XMP libraries Debian offers, side by side on what --xmp does to a
// sidecar: parse it, take our keywords out of its three keyword properties,
// put this run's in and write it back. Built twice, once over exiv2 (the
// program's own merge_keywords) and once over exempi (xmp_merge_exempi.cpp,
// the same rules), so that each process loads one library only.
//
//   xmp_merge_exiv2|xmp_merge_exempi none|darktable|earlier COUNT [--print]
//   xmp_merge_exiv2|xmp_merge_exempi none|darktable|earlier --source
//
// Merges the sidecar COUNT times in one process and prints, on standard
// error, first_us= (the first merge, with the library's initialization) and
// merge_us= (the median of the others), the figures process_bench collects;
// --print writes the merged sidecar to standard output; --source writes the
// sidecar as it is before any merge, and merges nothing.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// Implemented over one library by each build.
bool merge_with_library(const std::string& old_sidecar,
                        const std::vector<std::vector<std::string>>& keywords,
                        std::string* new_sidecar, std::string* error);

namespace {

const char header[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\" x:xmptk=\"XMP Core 4.4.0-Exiv2\">\n"
    " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n";
const char footer[] = " </rdf:RDF>\n</x:xmpmeta>\n";

// A sidecar as darktable leaves it after an edit of 24 steps: its history,
// each step's parameters encoded, a rating and keywords of the user's.
std::string darktable_sidecar() {
  std::string history;
  const char* operations[] = {"rawprepare", "temperature", "highlights", "demosaic",
                              "exposure",   "colorin",     "filmicrgb",  "colorout"};
  for (int i = 0; i < 24; ++i) {
    std::string params;
    for (int j = 0; j < 160; ++j) params += "0123456789abcdef"[(i * 7 + j * 13) % 16];
    history += "     <rdf:li darktable:num=\"" + std::to_string(i) + "\" darktable:operation=\"" +
               operations[i % 8] + "\" darktable:enabled=\"1\" darktable:modversion=\"" +
               std::to_string(i % 5 + 1) + "\" darktable:params=\"" + params +
               "\" darktable:multi_name=\"\" darktable:multi_priority=\"0\""
               " darktable:blendop_version=\"13\" "
               "darktable:blendop_params=\"gz12eJxjYGBgkGAAgRNODESDBnsIHll8ANNSGQU=\"/>\n";
  }
  return std::string(header) +
         "  <rdf:Description rdf:about=\"\"\n"
         "    xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\"\n"
         "    xmlns:dc=\"http://purl.org/dc/elements/1.1/\"\n"
         "    xmlns:lr=\"http://ns.adobe.com/lightroom/1.0/\"\n"
         "    xmlns:darktable=\"http://darktable.sf.net/\"\n"
         "   xmp:Rating=\"4\" darktable:xmp_version=\"5\" darktable:history_end=\"24\">\n"
         "   <dc:subject><rdf:Bag><rdf:li>holiday</rdf:li><rdf:li>beach</rdf:li></rdf:Bag>"
         "</dc:subject>\n"
         "   <lr:hierarchicalSubject><rdf:Bag><rdf:li>places|holiday</rdf:li>"
         "<rdf:li>places|beach</rdf:li></rdf:Bag></lr:hierarchicalSubject>\n"
         "   <darktable:history>\n    <rdf:Seq>\n" +
         history + "    </rdf:Seq>\n   </darktable:history>\n  </rdf:Description>\n" + footer;
}

// What an earlier run left: our keywords beside the user's and another tool's.
std::string earlier_sidecar() {
  return std::string(header) +
         "  <rdf:Description rdf:about=\"\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\"\n"
         "    xmlns:lr=\"http://ns.adobe.com/lightroom/1.0/\"\n"
         "    xmlns:digiKam=\"http://www.digikam.org/ns/1.0/\">\n"
         "   <dc:subject><rdf:Bag><rdf:li>tabby cat</rdf:li><rdf:li>Egyptian cat</rdf:li>"
         "<rdf:li>mine</rdf:li></rdf:Bag></dc:subject>\n"
         "   <lr:hierarchicalSubject><rdf:Bag><rdf:li>classify|tabby cat</rdf:li>"
         "<rdf:li>classify|Egyptian cat</rdf:li><rdf:li>other|mine</rdf:li></rdf:Bag>"
         "</lr:hierarchicalSubject>\n"
         "   <digiKam:TagsList><rdf:Seq><rdf:li>classify/tabby cat</rdf:li>"
         "<rdf:li>classify/Egyptian cat</rdf:li><rdf:li>People/Ann</rdf:li></rdf:Seq>"
         "</digiKam:TagsList>\n  </rdf:Description>\n" +
         footer;
}

double microseconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s none|darktable|earlier COUNT [--print] | --source\n", argv[0]);
    return 2;
  }
  const std::string kind = argv[1];
  const std::string sidecar = kind == "darktable" ? darktable_sidecar()
                              : kind == "earlier" ? earlier_sidecar()
                                                  : "";
  if (std::strcmp(argv[2], "--source") == 0) {
    std::fputs(sidecar.c_str(), stdout);
    return 0;
  }
  const int count = std::max(1, std::atoi(argv[2]));
  // Each a class alone, as without a category map.
  const std::vector<std::vector<std::string>> keywords = {{"tabby cat"}, {"tiger cat"}};
  std::string merged, error;
  std::vector<double> times;
  for (int i = 0; i < count; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const bool ok = merge_with_library(sidecar, keywords, &merged, &error);
    times.push_back(microseconds_since(start));
    // Both must have done the work: our keyword in each of the three places.
    if (!ok || merged.find("classify|tiger cat") == std::string::npos ||
        merged.find("classify/tiger cat") == std::string::npos) {
      std::fprintf(stderr, "merge failed: %s\n%s", error.c_str(), merged.c_str());
      return 1;
    }
  }
  const double first = times.front();
  std::vector<double> rest(times.begin() + 1, times.end());
  if (rest.empty()) rest.push_back(first);
  std::nth_element(rest.begin(), rest.begin() + rest.size() / 2, rest.end());
  std::fprintf(stderr, "first_us=%.1f merge_us=%.2f\n", first, rest[rest.size() / 2]);
  if (argc > 3 && std::strcmp(argv[3], "--print") == 0) std::fputs(merged.c_str(), stdout);
  return 0;
}
