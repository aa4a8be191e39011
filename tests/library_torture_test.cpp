// A photo library as people keep one, swept by classify-photos --xmp
// --sort-into --cache: sidecars of every shape (damaged, huge, in UTF-16,
// with other writers' prefixes, links, FIFOs, devices, read-only), class
// folders that are links elsewhere, names that clash or fill NAME_MAX; runs
// stopped by SIGINT and SIGKILL; and --truth files as spreadsheets write
// them. After each run: every photograph has its line, the run ended by
// itself and in time, every sidecar keeps all that is not ours (compared as
// RDF, not as bytes), and nothing else in the tree changed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "tests/support/bounded_run.h"
#include "tests/support/image_support.h"
#include "tests/support/run_support.h"
#include "tests/support/sample_data.h"
#include "tests/support/tree_manifest.h"
#include "tests/support/xmp_facts.h"
#include "tools/classify-photos/keep/class_folders.h"

namespace classify {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The namespace where the program records the keywords it added.
const std::string record_uri = "http://ns.classify-photos.invalid/1.0/";

// Ample for a few dozen small photographs; a run that hangs is killed then.
std::chrono::milliseconds run_limit() { return address_sanitized ? 120s : 20s; }

std::vector<std::string> with_model(std::vector<std::string> args,
                                    const std::string& labels = pretrained_labels) {
  args.insert(args.begin(), {"--model", pretrained_model, "--labels", labels, "--kernels",
                             "builtin", "--jobs", "2"});
  return args;
}

bounded_result classify_photos(const scratch_dir& dir, const std::vector<std::string>& args,
                               const std::string& labels = pretrained_labels) {
  return run_bounded(CLASSIFY_PHOTOS_EXE, with_model(args, labels), dir.path, run_limit());
}

std::string upper_case(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// A run ended by itself, in time, with 0 or 1.
void expect_clean_end(const bounded_result& r, const std::string& what) {
  EXPECT_FALSE(r.timed_out) << what << ": still running after " << r.seconds << " s\n" << r.err;
  EXPECT_TRUE(r.status == 0 || r.status == 1) << what << ": exit status " << r.status << "\n"
                                              << r.err;
}

// Photographs: small JPEGs and PNGs of a few kinds, made once.
std::vector<std::pair<std::string, std::string>> seed_photos() {
  static std::vector<std::pair<std::string, std::string>> seeds;
  if (!seeds.empty()) return seeds;
  scratch_dir seed;
  const std::vector<std::pair<std::string, std::string>> kinds = {
      {"xc:red", "0.jpg"},
      {"gradient:blue-yellow", "1.png"},
      {"pattern:checkerboard", "2.jpg"},
      {"radial-gradient:green-white", "3.png"}};
  for (const auto& [kind, name] : kinds) magick(seed, {"-size", "16x16", kind, name});
  for (const auto& [kind, name] : kinds) {
    seeds.emplace_back(fs::path(name).extension().string(), read_file(seed.file(name)));
  }
  return seeds;
}

// The path and the label of each line of a run.
std::vector<std::pair<std::string, std::string>> paths_and_labels(const std::string& out) {
  std::vector<std::pair<std::string, std::string>> lines;
  for (const std::string& line : lines_of(out)) {
    std::vector<std::string> columns;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
      columns.push_back(line.substr(start, tab - start));
    }
    columns.push_back(line.substr(start));
    lines.emplace_back(columns[0], columns.size() > 3 ? columns[3] : "");
  }
  return lines;
}

// Each photograph's keyword path, by its path: the category path of its
// best class, as --category-column gives it, then its label.
std::map<std::string, std::vector<std::string>> keyword_paths(const scratch_dir& dir,
                                                              const std::string& folder) {
  const bounded_result r = classify_photos(dir, {"--category-column", folder});
  EXPECT_EQ(r.status, 0) << r.err;
  std::map<std::string, std::vector<std::string>> paths;
  for (const std::string& line : lines_of(r.out)) {
    std::vector<std::string> columns;
    std::istringstream fields(line);
    for (std::string field; std::getline(fields, field, '\t');) columns.push_back(field);
    if (columns.size() < 5) continue;
    std::vector<std::string>& path = paths[columns[0]];
    std::istringstream levels(columns[4]);
    for (std::string level; std::getline(levels, level, '|');) path.push_back(level);
    path.push_back(columns[3]);
  }
  return paths;
}

// --- Sidecars -----------------------------------------------------------

std::string xmp_document(const std::string& namespaces, const std::string& attributes,
                         const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
         " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
         "  <rdf:Description rdf:about=\"\"\n    " +
         namespaces + "\n    " + attributes + ">\n" + body +
         "  </rdf:Description>\n </rdf:RDF>\n</x:xmpmeta>\n";
}

const std::string usual_namespaces =
    "xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
    "xmlns:lr=\"http://ns.adobe.com/lightroom/1.0/\" "
    "xmlns:digiKam=\"http://www.digikam.org/ns/1.0/\"";

std::string bag(const std::string& property, const std::vector<std::string>& items,
                const std::string& kind = "Bag") {
  std::string text = "   <" + property + "><rdf:" + kind + ">";
  for (const std::string& item : items) text += "<rdf:li>" + item + "</rdf:li>";
  return text + "</rdf:" + kind + "></" + property + ">\n";
}

// A sidecar as a photo manager leaves one: a rating and a tool as
// attributes, a title in two languages, keywords in the three places.
std::string usual_sidecar(const std::vector<std::string>& flat = {"holiday", "lake"}) {
  return xmp_document(usual_namespaces, "xmp:Rating=\"3\" xmp:CreatorTool=\"darktable 4.4\"",
                      "   <dc:title><rdf:Alt><rdf:li xml:lang=\"x-default\">Lac d'Annecy, "
                      "\xC3\xA9t\xC3\xA9</rdf:li>"
                      "<rdf:li xml:lang=\"fr-FR\">Lac</rdf:li></rdf:Alt></dc:title>\n" +
                          bag("dc:subject", flat) + bag("lr:hierarchicalSubject", {"places|lake"}) +
                          bag("digiKam:TagsList", {"People/Ann"}, "Seq") +
                          "   <xmp:Label>Red</xmp:Label>\n");
}

// darktable's edit history: a Seq of structs as attributes, as
// rdf:parseType="Resource" and as a nested rdf:Description.
std::string darktable_sidecar() {
  return xmp_document(
      "xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\" xmlns:darktable=\"http://darktable.sf.net/\" "
      "xmlns:xmpMM=\"http://ns.adobe.com/xap/1.0/mm/\" "
      "xmlns:stRef=\"http://ns.adobe.com/xap/1.0/sType/ResourceRef#\"",
      "xmp:Rating=\"1\" darktable:history_end=\"3\" darktable:xmp_version=\"5\"",
      "   <darktable:history><rdf:Seq>\n"
      "    <rdf:li darktable:operation=\"exposure\" darktable:enabled=\"1\" "
      "darktable:params=\"0000000000000000\"/>\n"
      "    <rdf:li rdf:parseType=\"Resource\"><darktable:operation>colorin</darktable:operation>"
      "<darktable:enabled>0</darktable:enabled></rdf:li>\n"
      "    <rdf:li><rdf:Description darktable:operation=\"sharpen\" darktable:enabled=\"1\"/>"
      "</rdf:li>\n"
      "   </rdf:Seq></darktable:history>\n"
      "   <xmpMM:DerivedFrom rdf:parseType=\"Resource\"><stRef:documentID>xmp.did:1"
      "</stRef:documentID><stRef:instanceID>xmp.iid:2</stRef:instanceID></xmpMM:DerivedFrom>\n");
}

// The usual prefixes bound to other namespaces, with properties of the
// names ours have: they are someone else's.
std::string foreign_sidecar(const std::string& prefix, const std::string& property,
                            const std::string& value) {
  return xmp_document("xmlns:" + prefix + "=\"http://example.com/other/" + prefix + "/\"",
                      prefix + ":note=\"not ours\"", bag(prefix + ":" + property, {value}));
}

std::string utf16(const std::string& utf8, bool big_endian) {
  std::u16string units;
  for (size_t i = 0; i < utf8.size();) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    const int length = c < 0x80 ? 1 : c < 0xe0 ? 2 : 3;
    char32_t code = length == 1 ? c : length == 2 ? c & 0x1f : c & 0x0f;
    for (int k = 1; k < length; ++k) code = (code << 6) | (utf8[i + k] & 0x3f);
    units.push_back(static_cast<char16_t>(code));
    i += length;
  }
  std::string bytes = big_endian ? "\xFE\xFF" : "\xFF\xFE";
  for (const char16_t unit : units) {
    const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xff);
    bytes += big_endian ? std::string{high, low} : std::string{low, high};
  }
  return bytes;
}

std::string utf16_sidecar(bool big_endian) {
  std::string text = usual_sidecar();
  text.replace(text.find("UTF-8"), 5, "UTF-16");
  return utf16(text, big_endian);
}

std::string garbage() {
  std::string bytes("\0\0\x01\xff<?xml", 9);
  uint32_t state = 12345;
  for (int i = 0; i < 600; ++i) {
    state = state * 1103515245u + 12345u;
    bytes += static_cast<char>(state >> 23);
  }
  return bytes;
}

// Valid XMP of more than 16 MiB (packet padding, as writers leave room).
std::string huge_sidecar() {
  std::string text = usual_sidecar();
  text.erase(0, text.find('\n') + 1);
  std::string padding(100, ' ');
  padding.back() = '\n';
  std::string bytes = "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n" + text;
  bytes.reserve(17 * 1024 * 1024 + 200);
  while (bytes.size() < 17 * 1024 * 1024) bytes += padding;
  return bytes + "<?xpacket end=\"w\"?>\n";
}

enum class shape {
  none,
  usual,
  // The user's own keywords equal to this photograph's label, to the first
  // level of its category path and to "tench".
  user_labels,
  seq_subject,
  darktable,
  foreign_lr,
  foreign_digikam,
  foreign_dc,
  utf8_bom,
  utf16le,
  utf16be,
  malformed,
  truncated,
  garbage,
  empty,
  huge,
  read_only,
  link,  // to other/real.xmp
  dangling,
  loop,
  folder,
  fifo,
  device,
};

const char* const shape_names[] = {"none",
                                   "usual",
                                   "user's keywords equal to labels",
                                   "rdf:Seq dc:subject",
                                   "darktable",
                                   "lr bound elsewhere",
                                   "digiKam bound elsewhere",
                                   "dc bound elsewhere",
                                   "UTF-8 BOM",
                                   "UTF-16 LE",
                                   "UTF-16 BE",
                                   "malformed",
                                   "truncated",
                                   "binary garbage",
                                   "empty",
                                   "over 16 MiB",
                                   "read-only",
                                   "a link elsewhere",
                                   "a dangling link",
                                   "a link loop",
                                   "a folder",
                                   "a FIFO",
                                   "a link to /dev/null"};
static_assert(std::size(shape_names) == static_cast<size_t>(shape::device) + 1);

// What must become of a sidecar.
enum class outcome {
  tagged,   // our keywords in, everything else kept
  left,     // byte for byte, type, target and mode as it was
  either,   // left, or tagged
  through,  // a link that stays, its target tagged
  nothing,  // none can exist (the name is too long)
};

struct sidecar_case {
  std::string photo;  // relative to the scratch folder
  size_t seed;        // which of the seed photographs it is
  shape kind;
  outcome expected;
};

// Where the link of shape::link points, relative to the scratch folder.
const std::string link_target = "other/real.xmp";

void make_sidecar(const scratch_dir& dir, const sidecar_case& c,
                  const std::vector<std::string>& keyword) {
  const std::string& label = keyword.back();
  const std::string path = c.photo + ".xmp";
  const std::string file = dir.file(path);
  // A link's target, relative to the folder of the link.
  const auto up = [&](const std::string& target) {
    std::string prefix;
    for (const char ch : path) prefix += ch == '/' ? "../" : "";
    return prefix + target;
  };
  switch (c.kind) {
    case shape::none:
      return;
    case shape::usual:
      dir.write(path, usual_sidecar());
      return;
    case shape::user_labels:
      dir.write(path, keyword.size() > 1
                          ? usual_sidecar({label, "tench", "holiday", keyword.front()})
                          : usual_sidecar({label, "tench", "holiday"}));
      return;
    case shape::seq_subject:
      dir.write(path, xmp_document(usual_namespaces, "",
                                   bag("dc:subject", {"zebra", "apple", "mango"}, "Seq")));
      return;
    case shape::darktable:
      dir.write(path, darktable_sidecar());
      return;
    case shape::foreign_lr:
      dir.write(path, foreign_sidecar("lr", "hierarchicalSubject", "classify|keep me"));
      return;
    case shape::foreign_digikam:
      dir.write(path, foreign_sidecar("digiKam", "TagsList", "classify/keep me"));
      return;
    case shape::foreign_dc:
      dir.write(path, foreign_sidecar("dc", "subject", label));
      return;
    case shape::utf8_bom:
      dir.write(path, "\xEF\xBB\xBF" + usual_sidecar());
      return;
    case shape::utf16le:
      dir.write(path, utf16_sidecar(false));
      return;
    case shape::utf16be:
      dir.write(path, utf16_sidecar(true));
      return;
    case shape::malformed: {
      std::string text = usual_sidecar();
      text.replace(text.find("</rdf:li>"), 9, "</rdf:lx>");
      dir.write(path, text);
      return;
    }
    case shape::truncated:
      dir.write(path, usual_sidecar().substr(0, 700));
      return;
    case shape::garbage:
      dir.write(path, garbage());
      return;
    case shape::empty:
      dir.write(path, "");
      return;
    case shape::huge:
      dir.write(path, huge_sidecar());
      return;
    case shape::read_only:
      dir.write(path, usual_sidecar());
      chmod(file.c_str(), 0444);
      return;
    case shape::link:
      fs::create_directories(dir.file("other"));
      dir.write(link_target, usual_sidecar());
      fs::create_symlink(up(link_target), file);
      return;
    case shape::dangling:
      fs::create_symlink(up("other/missing.xmp"), file);
      return;
    case shape::loop:
      fs::create_symlink(fs::path(path).filename(), file);
      return;
    case shape::folder:
      fs::create_directories(file);
      dir.write(path + "/notes.txt", "not a sidecar");
      return;
    case shape::fifo:
      ASSERT_EQ(mkfifo(file.c_str(), 0644), 0) << path;
      return;
    case shape::device:
      // Not /dev/zero: a program that reads it as a file would fill the
      // memory of the machine the tests share before the time limit.
      fs::create_symlink("/dev/null", file);
      return;
  }
}

// The top property's local name of a fact's path.
std::string top_name(const xmp_fact& fact) {
  return fact.path.substr(0, fact.path.find_first_of("[/@"));
}

bool is_flat(const xmp_fact& f) { return f.ns == dc_uri && top_name(f) == "subject"; }

// The three keyword properties compared as sets of values, whatever their
// array type: the program's to choose.
xmp_fact normalized(xmp_fact fact) {
  const std::string top = top_name(fact);
  if ((fact.ns == dc_uri && top == "subject") ||
      (fact.ns == lightroom_uri && top == "hierarchicalSubject") ||
      (fact.ns == digikam_uri && top == "TagsList")) {
    fact.path = top + "[]";
  }
  return fact;
}

bool is_ours(const xmp_fact& f) {
  return f.ns == record_uri ||
         (f.ns == lightroom_uri && top_name(f) == "hierarchicalSubject" &&
          f.value.rfind("classify|", 0) == 0) ||
         (f.ns == digikam_uri && top_name(f) == "TagsList" && f.value.rfind("classify/", 0) == 0);
}

// What a rewrite lost or changed of what is not ours, and our keywords that
// are missing; empty when all is well. `keyword` is the photograph's class as
// its category path and its label: each level a flat keyword, the whole a
// Lightroom entry under classify.
std::vector<std::string> sidecar_faults(const std::string& before, const std::string& after,
                                        const std::vector<std::string>& keyword,
                                        bool must_be_tagged) {
  std::vector<std::string> faults;
  std::set<xmp_fact> old_facts, new_facts;
  std::string error;
  if (!before.empty() && !read_xmp_facts(before, &old_facts, &error)) {
    faults.push_back("the sidecar before does not read: " + error);
  }
  if (!read_xmp_facts(after, &new_facts, &error)) {
    faults.push_back("not XMP afterwards: " + error);
    return faults;
  }
  std::set<xmp_fact> old_kept, new_kept;
  for (const xmp_fact& f : old_facts) {
    if (!is_ours(f)) old_kept.insert(normalized(f));
  }
  for (const xmp_fact& f : new_facts) {
    if (!is_ours(f)) new_kept.insert(normalized(f));
  }
  for (const xmp_fact& f : old_kept) {
    if (new_kept.count(f) == 0) {
      std::ostringstream text;
      text << "lost " << f;
      faults.push_back(text.str());
    }
  }
  for (const xmp_fact& f : new_kept) {
    if (old_kept.count(f) == 0 &&
        !(is_flat(f) && std::find(keyword.begin(), keyword.end(), f.value) != keyword.end())) {
      std::ostringstream text;
      text << "gained " << f;
      faults.push_back(text.str());
    }
  }
  if (must_be_tagged) {
    std::vector<xmp_fact> ours;
    std::string entry = "classify";
    for (const std::string& level : keyword) {
      ours.push_back({dc_uri, "subject[]", level});
      entry += "|" + level;
    }
    ours.push_back({lightroom_uri, "hierarchicalSubject[]", entry});
    for (const xmp_fact& one : ours) {
      bool found = false;
      for (const xmp_fact& f : new_facts) found = found || normalized(f) == one;
      if (!found) {
        std::ostringstream text;
        text << "our keyword is missing: " << one;
        faults.push_back(text.str());
      }
    }
  }
  return faults;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += "  " + line + "\n";
  return text;
}

bool is_cache(const std::string& path) {
  for (const char* name : {"run.db", "run.db-wal", "run.db-shm", "run.db-journal"}) {
    if (path == name) return true;
  }
  return false;
}

bool under(const std::string& path, const std::string& folder) {
  return path == folder || path.rfind(folder + "/", 0) == 0;
}

// Whether each entry the sort folder gained is a photograph, byte for byte,
// or a link to one; and whether what was there stayed as it was.
std::vector<std::string> sort_folder_faults(const scratch_dir& dir, const std::string& sorted,
                                            const tree_manifest& before, const tree_manifest& after,
                                            const std::map<std::string, std::string>& photos) {
  std::vector<std::string> faults;
  std::set<std::string> photo_paths;
  std::set<std::string> photo_bytes;
  for (const auto& [path, bytes] : photos) {
    photo_paths.insert(fs::canonical(dir.file(path)).string());
    photo_bytes.insert(bytes);
  }
  for (const auto& [path, entry] : before) {
    if (!under(path, sorted)) continue;
    const auto found = after.find(path);
    if (found == after.end() || found->second != entry) {
      faults.push_back(path + ": was there before, and was replaced or removed");
    }
  }
  for (const auto& [path, entry] : after) {
    if (!under(path, sorted) || before.count(path) != 0 || entry.type == 'd') continue;
    std::error_code error;
    if (entry.type == 'l') {
      const fs::path target = fs::canonical(dir.file(path), error);
      if (error || photo_paths.count(target.string()) == 0) {
        faults.push_back(path + ": a link to " + entry.target + ", no photograph");
      }
    } else if (entry.type != 'f' || photo_bytes.count(read_file(dir.file(path))) == 0) {
      faults.push_back(path + ": neither a photograph nor a link to one");
    }
  }
  return faults;
}

// The photographs `photos` names that have no entry in the sort folder.
std::vector<std::string> unsorted(const scratch_dir& dir, const std::string& sorted,
                                  const std::vector<std::string>& photos) {
  std::set<std::string> found;
  std::error_code error;
  for (fs::recursive_directory_iterator it(dir.file(sorted), error), end; !error && it != end;
       it.increment(error)) {
    std::error_code ignored;
    if (!it->is_directory(ignored)) found.insert(fs::canonical(it->path(), ignored).string());
  }
  std::vector<std::string> missing;
  for (const std::string& photo : photos) {
    if (found.count(fs::canonical(dir.file(photo)).string()) == 0) missing.push_back(photo);
  }
  return missing;
}

// A photograph name of exactly `bytes` bytes.
std::string name_of_length(const std::string& start, const std::string& extension, size_t bytes) {
  return start + std::string(bytes - start.size() - extension.size(), 'n') + extension;
}

// One sweep over a library with a sidecar of every shape, run twice (the
// second from the cache), each run checked whole.
TEST(Library, SweepKeepsEverythingButOurKeywords) {
  scratch_dir dir;
  const auto seeds = seed_photos();
  const bool root = geteuid() == 0;
  if (root) {
    std::cout << "[ note     ] running as root, whom a read-only folder does not stop: its "
                 "sidecar may be left or tagged\n";
  }
  const std::vector<std::pair<shape, outcome>> shapes = {{shape::none, outcome::tagged},
                                                         {shape::usual, outcome::tagged},
                                                         {shape::user_labels, outcome::tagged},
                                                         {shape::seq_subject, outcome::tagged},
                                                         {shape::darktable, outcome::tagged},
                                                         {shape::foreign_lr, outcome::tagged},
                                                         {shape::foreign_digikam, outcome::tagged},
                                                         {shape::foreign_dc, outcome::tagged},
                                                         {shape::utf8_bom, outcome::tagged},
                                                         {shape::utf16le, outcome::tagged},
                                                         {shape::utf16be, outcome::tagged},
                                                         {shape::malformed, outcome::left},
                                                         {shape::truncated, outcome::left},
                                                         {shape::garbage, outcome::left},
                                                         {shape::empty, outcome::either},
                                                         {shape::huge, outcome::left},
                                                         {shape::read_only, outcome::left},
                                                         {shape::link, outcome::through},
                                                         {shape::dangling, outcome::left},
                                                         {shape::loop, outcome::left},
                                                         {shape::folder, outcome::left},
                                                         {shape::fifo, outcome::left},
                                                         {shape::device, outcome::left}};
  std::vector<sidecar_case> cases;
  for (size_t i = 0; i < shapes.size(); ++i) {
    const size_t seed = i % seeds.size();
    cases.push_back(
        {"library/" + std::string(i < 10 ? "0" : "") + std::to_string(i) + seeds[seed].first, seed,
         shapes[i].first, shapes[i].second});
  }
  // A sidecar name of 255 bytes, the most a name holds: the program's
  // temporary name beside it must fit too. A photograph of 255 bytes can
  // have no sidecar; its twin in another folder needs a second name in the
  // class folder. Two names of one class that differ only in case. A
  // read-only folder.
  const std::string longest = name_of_length("30-", seeds[3].first, 255);
  cases.push_back(
      {"library/" + name_of_length("31-", seeds[3].first, 251), 3, shape::usual, outcome::tagged});
  cases.push_back({"library/" + longest, 3, shape::none, outcome::nothing});
  cases.push_back({"library/Case" + seeds[0].first, 0, shape::none, outcome::tagged});
  cases.push_back({"library/case" + seeds[0].first, 0, shape::none, outcome::tagged});
  cases.push_back(
      {"library/ro/r" + seeds[2].first, 2, shape::usual, root ? outcome::either : outcome::left});
  cases.push_back({"library/sub/" + longest, 3, shape::none, outcome::nothing});

  std::map<std::string, std::string> photos;  // path -> bytes
  for (const sidecar_case& c : cases) {
    fs::create_directories(fs::path(dir.file(c.photo)).parent_path());
    photos[c.photo] = seeds[c.seed].second;
    dir.write(c.photo, photos[c.photo]);
  }

  // A plain run: the lines every run must print, and each photograph's label.
  const bounded_result plain = classify_photos(dir, {"library"});
  ASSERT_EQ(plain.status, 0) << plain.err;
  std::map<std::string, std::string> labels;
  for (const auto& [path, label] : paths_and_labels(plain.out)) labels[path] = label;
  ASSERT_EQ(labels.size(), photos.size()) << plain.out;
  for (const auto& [path, bytes] : photos) ASSERT_EQ(labels.count(path), 1u) << path;

  // ImageNet's labels: the built-in map gives each class its path.
  const std::map<std::string, std::vector<std::string>> keywords = keyword_paths(dir, "library");
  ASSERT_EQ(keywords.size(), photos.size());
  for (const sidecar_case& c : cases) make_sidecar(dir, c, keywords.at(c.photo));
  chmod(dir.file("library/ro").c_str(), 0555);
  // Writable again at the end, so that the scratch folder can go.
  const std::unique_ptr<const std::string, void (*)(const std::string*)> writable_again(
      new std::string(dir.file("library/ro")), [](const std::string* path) {
        chmod(path->c_str(), 0755);
        delete path;
      });
  // The class folder of the usual sidecar's photograph is a link to a
  // folder outside, which must not be written through.
  const std::string linked_label = labels[cases[1].photo];
  fs::create_directories(dir.file("elsewhere"));
  dir.write("elsewhere/keep.txt", "someone else's");
  fs::create_directories(dir.file("sorted"));
  fs::create_directory_symlink("../elsewhere", dir.file("sorted/" + folder_name(linked_label)));

  std::set<std::string> sidecars = {link_target};
  for (const sidecar_case& c : cases) sidecars.insert(c.photo + ".xmp");
  const tree_manifest before = take_manifest(dir.path);
  std::map<std::string, std::string> old_bytes;
  for (const std::string& path : sidecars) {
    const auto found = before.find(path);
    if (found != before.end() && found->second.type == 'f')
      old_bytes[path] = read_file(dir.file(path));
  }
  const auto exempt = [&](const std::string& path) {
    return sidecars.count(path) != 0 || under(path, "sorted") || is_cache(path);
  };

  // The third run names the classes in upper case, which no category map
  // knows: its keywords take the place of the first two runs' and of their
  // categories, and the user's stay, a category's name among them.
  scratch_dir aside;
  aside.write("labels.txt", upper_case(read_file(pretrained_labels)));
  std::string upper_out;
  for (const std::string& line : lines_of(plain.out)) {
    size_t label_at = 0;
    for (int tab = 0; tab < 3; ++tab) label_at = line.find('\t', label_at) + 1;
    upper_out += line.substr(0, label_at) + upper_case(line.substr(label_at)) + "\n";
  }

  for (int run = 1; run <= 3; ++run) {
    const std::string what = "run " + std::to_string(run);
    const bounded_result r =
        classify_photos(dir, {"--xmp", "--sort-into", "sorted", "--cache", "run.db", "library"},
                        run == 3 ? aside.file("labels.txt") : pretrained_labels);
    expect_clean_end(r, what);
    EXPECT_EQ(r.out, run == 3 ? upper_out : plain.out)
        << what << ": every photograph's line, in order\n"
        << r.err;
    const tree_manifest after = take_manifest(dir.path);
    const std::vector<std::string> changes = manifest_changes(before, after, exempt);
    EXPECT_TRUE(changes.empty()) << what << ": changed outside the sidecars, the class folders "
                                 << "and the cache:\n"
                                 << joined(changes);
    const std::vector<std::string> sort_faults =
        sort_folder_faults(dir, "sorted", before, after, photos);
    EXPECT_TRUE(sort_faults.empty()) << what << ":\n" << joined(sort_faults);
    std::vector<std::string> sortable;
    for (const auto& [path, bytes] : photos) {
      if (labels[path] != linked_label && path != "library/sub/" + longest) {
        sortable.push_back(path);
      }
    }
    EXPECT_TRUE(unsorted(dir, "sorted", sortable).empty())
        << what << ": not in the class folders:\n"
        << joined(unsorted(dir, "sorted", sortable));

    for (const sidecar_case& c : cases) {
      const std::string path = c.photo + ".xmp";
      const std::string name =
          what + ", " + path.substr(0, 40) + " (" + shape_names[static_cast<int>(c.kind)] + ")";
      const auto was = before.find(path);
      const auto now = after.find(path);
      const bool unchanged =
          (was == before.end() && now == after.end()) ||
          (was != before.end() && now != after.end() && was->second == now->second);
      const std::vector<std::string> keyword =
          run == 3 ? std::vector<std::string>{upper_case(labels[c.photo])} : keywords.at(c.photo);
      switch (c.expected) {
        case outcome::nothing:
          break;
        case outcome::left:
          EXPECT_TRUE(unchanged) << name << ": must be left as it was";
          break;
        case outcome::either:
        case outcome::tagged: {
          if (c.expected == outcome::either && unchanged) break;
          if (now == after.end()) {
            ADD_FAILURE() << name << ": no sidecar";
            break;
          }
          EXPECT_EQ(now->second.type, 'f') << name;
          if (was != before.end()) {
            EXPECT_EQ(now->second.mode, was->second.mode) << name;
          }
          const std::vector<std::string> faults =
              sidecar_faults(old_bytes[path], read_file(dir.file(path)), keyword, true);
          EXPECT_TRUE(faults.empty()) << name << ":\n" << joined(faults);
          break;
        }
        case outcome::through: {
          EXPECT_TRUE(unchanged) << name << ": the link must stay a link to " << link_target;
          const std::vector<std::string> faults = sidecar_faults(
              old_bytes[link_target], read_file(dir.file(link_target)), keyword, true);
          EXPECT_TRUE(faults.empty()) << name << ", its target " << link_target << ":\n"
                                      << joined(faults);
          break;
        }
      }
    }
  }
}

// --- Runs stopped partway ---------------------------------------------------

// Runs stopped by Ctrl-C and by SIGKILL (sorting by category) before their
// first line, after a few and after many leave every sidecar whole (as it
// was, or valid XMP with all that was in it) and nothing in the class
// folders but photographs; a run after them does all that is left, with the
// lines of a plain run.
TEST(Library, StoppedRunsLeaveNothingHalfDone) {
  scratch_dir dir;
  scratch_dir outputs;
  const auto seeds = seed_photos();
  const size_t count = 16;
  std::map<std::string, std::string> photos, sidecars;  // path -> bytes
  for (size_t i = 0; i < count; ++i) {
    const std::string name = "library/p" + std::string(i < 10 ? "0" : "") + std::to_string(i) +
                             seeds[i % seeds.size()].first;
    photos[name] = seeds[i % seeds.size()].second;
    sidecars[name + ".xmp"] = i % 2 == 0 ? usual_sidecar() : darktable_sidecar();
  }
  const auto build_library = [&] {
    for (const char* path :
         {"library", "sorted", "run.db", "run.db-wal", "run.db-shm", "run.db-journal"}) {
      fs::remove_all(dir.file(path));
    }
    fs::create_directories(dir.file("library"));
    for (const auto& [path, bytes] : photos) dir.write(path, bytes);
    for (const auto& [path, bytes] : sidecars) dir.write(path, bytes);
  };
  build_library();
  const bounded_result plain = classify_photos(dir, {"library"});
  ASSERT_EQ(plain.status, 0) << plain.err;
  ASSERT_EQ(lines_of(plain.out).size(), count);
  const std::map<std::string, std::vector<std::string>> keywords = keyword_paths(dir, "library");
  ASSERT_EQ(keywords.size(), count);

  std::vector<std::string> photo_list;
  for (const auto& [path, bytes] : photos) photo_list.push_back(path);

  for (const int signal : {SIGINT, SIGKILL}) {
    const std::string name = signal == SIGINT ? "SIGINT" : "SIGKILL";
    // Killed runs sort by category, a folder for each level of the path,
    // made as the run goes; stopped ones by class.
    std::vector<std::string> args = {"--xmp", "--sort-into", "sorted", "--cache", "run.db"};
    if (signal == SIGKILL) args.insert(args.end(), {"--sort-by", "category"});
    args.push_back("library");
    std::vector<std::string> command = with_model(args);
    command.insert(command.begin(), CLASSIFY_PHOTOS_EXE);
    build_library();
    const tree_manifest before = take_manifest(dir.path);
    std::set<std::string> leftovers;  // files a killed run could not remove
    const auto exempt = [&](const std::string& path) {
      return sidecars.count(path) != 0 || under(path, "sorted") || is_cache(path) ||
             leftovers.count(path) != 0;
    };
    // Each stop, then what it left.
    for (const size_t lines : {size_t{0}, size_t{3}, count * 2 / 3}) {
      const std::string what = name + " after " + std::to_string(lines) + " lines";
      const std::string out = outputs.file("out.tsv");
      const pid_t pid = start_program(command, dir.path, out);
      ASSERT_GT(pid, 0);
      const auto deadline = std::chrono::steady_clock::now() + run_limit();
      while (lines_of(read_file(out)).size() < lines &&
             std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(2ms);
      }
      if (lines == 0) std::this_thread::sleep_for(20ms);
      kill(pid, signal);
      int status = 0;
      waitpid(pid, &status, 0);
      const std::string stopped = read_file(out);
      EXPECT_EQ(plain.out.compare(0, stopped.size(), stopped), 0) << what << ":\n" << stopped;

      const tree_manifest after = take_manifest(dir.path);
      if (signal == SIGKILL) {
        // A temporary file beside a sidecar that the kill came before the
        // rename of stays; it is under no final name.
        for (const auto& [path, entry] : after) {
          if (before.count(path) == 0 && !exempt(path) && under(path, "library") &&
              entry.type == 'f') {
            leftovers.insert(path);
          }
        }
      }
      const std::vector<std::string> changes = manifest_changes(before, after, exempt);
      EXPECT_TRUE(changes.empty()) << what << ": changed outside the sidecars, the class "
                                   << "folders and the cache:\n"
                                   << joined(changes);
      const std::vector<std::string> sort_faults =
          sort_folder_faults(dir, "sorted", before, after, photos);
      EXPECT_TRUE(sort_faults.empty()) << what << ":\n" << joined(sort_faults);
      for (const auto& [path, bytes] : sidecars) {
        const std::string now = read_file(dir.file(path));
        if (now == bytes) continue;
        const std::string photo = path.substr(0, path.size() - 4);
        const std::vector<std::string> faults =
            sidecar_faults(bytes, now, keywords.at(photo), false);
        EXPECT_TRUE(faults.empty()) << what << ", " << path << ":\n" << joined(faults);
      }
    }
    if (!leftovers.empty()) {
      std::cout << "[ note     ] " << name << " left " << leftovers.size()
                << " temporary file(s), e.g. " << *leftovers.begin() << "\n";
    }

    // Then a run to the end does the rest.
    const std::string what = "the run after " + name;
    const bounded_result rerun =
        run_bounded(command.front(), {command.begin() + 1, command.end()}, dir.path, run_limit());
    expect_clean_end(rerun, what);
    EXPECT_EQ(rerun.status, 0) << what << ": " << rerun.err;
    EXPECT_EQ(rerun.out, plain.out) << what;
    const tree_manifest after = take_manifest(dir.path);
    const std::vector<std::string> changes = manifest_changes(before, after, exempt);
    EXPECT_TRUE(changes.empty()) << what << ":\n" << joined(changes);
    const std::vector<std::string> sort_faults =
        sort_folder_faults(dir, "sorted", before, after, photos);
    EXPECT_TRUE(sort_faults.empty()) << what << ":\n" << joined(sort_faults);
    EXPECT_TRUE(unsorted(dir, "sorted", photo_list).empty())
        << what << ": not in the class folders:\n"
        << joined(unsorted(dir, "sorted", photo_list));
    for (const auto& [path, bytes] : sidecars) {
      const std::string photo = path.substr(0, path.size() - 4);
      const std::vector<std::string> faults =
          sidecar_faults(bytes, read_file(dir.file(path)), keywords.at(photo), true);
      EXPECT_TRUE(faults.empty()) << what << ", " << path << ":\n" << joined(faults);
    }
  }
}

// --- Truth files ---------------------------------------------------------

// Truth files as spreadsheets and scripts write them: quoted fields with
// commas, CR LF, a byte-order mark, absolute and relative paths, a line
// twice, a header; and one that names none of the photographs, over which
// there is no figure to give.
TEST(Library, TruthFilesAsSpreadsheetsWriteThem) {
  scratch_dir dir;
  const auto seeds = seed_photos();
  const std::vector<std::string> photos = {"lib/a.jpg", "lib/b.png", "lib/c.jpg", "lib/d.png",
                                           "lib/x, y.jpg"};
  fs::create_directories(dir.file("lib"));
  for (size_t i = 0; i < photos.size(); ++i) dir.write(photos[i], seeds[i % seeds.size()].second);
  const std::string absolute = dir.file("lib/b.png");
  struct truth_case {
    std::string name, text;
    std::map<std::string, std::string> expected;  // photograph -> the true class's index
  };
  const std::vector<truth_case> cases = {
      {"mixed.csv",
       "\xEF\xBB\xBFpath,class\r\n\"lib/a.jpg\",\"tench, Tinca tinca\"\r\n" + absolute +
           ",goldfish\r\n./lib/c.jpg,\"tench, Tinca tinca\"\r\n\"lib/x, y.jpg\",Goldfish\r\n"
           "lib/a.jpg,\"tench, Tinca tinca\"\r\n",
       {{"lib/a.jpg", "1"}, {"lib/b.png", "2"}, {"lib/c.jpg", "1"}, {"lib/x, y.jpg", "2"}}},
      {"tabs.tsv",
       "lib/d.png\ttench, Tinca tinca\r\n" + absolute + "\t2\n",
       {{"lib/d.png", "1"}, {"lib/b.png", "2"}}},
      {"none.csv", "elsewhere/a.jpg,tench\n/nowhere/b.png,goldfish\n", {}}};
  const tree_manifest before = take_manifest(dir.path);
  for (const truth_case& c : cases) {
    dir.write(c.name, c.text);
    const bounded_result r = classify_photos(dir, {"--truth", c.name, "lib"});
    expect_clean_end(r, c.name);
    const auto lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), photos.size()) << c.name << ":\n" << r.out << r.err;
    for (size_t i = 0; i < photos.size(); ++i) {
      EXPECT_EQ(lines[i].substr(0, lines[i].find('\t')), photos[i]) << c.name;
      const auto found = c.expected.find(photos[i]);
      EXPECT_EQ(lines[i].substr(lines[i].rfind('\t') + 1),
                found == c.expected.end() ? "" : found->second)
          << c.name << ", the true class of " << photos[i] << ":\n"
          << lines[i];
    }
    if (c.expected.empty()) {
      EXPECT_EQ(r.err.find("0 of 0"), std::string::npos) << c.name << ": a figure over nothing\n"
                                                         << r.err;
      EXPECT_EQ(r.err.find("over 0 photograph"), std::string::npos) << c.name << "\n" << r.err;
      EXPECT_NE(r.err.find("truth"), std::string::npos) << c.name << ": no warning\n" << r.err;
    } else {
      const std::string over = "accuracy over " + std::to_string(c.expected.size()) + " photograph";
      EXPECT_NE(r.err.find(over), std::string::npos) << c.name << "\n" << r.err;
    }
    fs::remove(dir.file(c.name));
  }
  const std::vector<std::string> changes =
      manifest_changes(before, take_manifest(dir.path), [](const std::string&) { return false; });
  EXPECT_TRUE(changes.empty()) << joined(changes);
}

}  // namespace

}  // namespace classify
