// What stays of a batch: --xmp (sidecars of every kind read back with
// exiv2), --sort-into (hostile class names, names twice, the three modes) and
// --cache (reruns, changed photographs, models and options, a run killed
// partway, two runs at once, damaged and foreign files). The photographs'
// bytes are checked after every test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sqlite3.h>
#include <chrono>
#include <exiv2/exiv2.hpp>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <thread>

#include "tests/support/image_support.h"
#include "tests/support/model_builder.h"
#include "tests/support/run_support.h"
#include "tests/support/sample_data.h"
#include "tools/classify-photos/keep/class_folders.h"

namespace classify {

namespace {

namespace fs = std::filesystem;

const rgb red{255, 0, 0}, green{0, 255, 0}, blue{0, 0, 255};

// The batch's last line where photographs were classified but not kept.
std::string not_kept(size_t count, size_t classified) {
  return "classify-photos: " + std::to_string(count) + " of " + std::to_string(classified) +
         " photographs classified were not kept as asked (sidecar, cache or class folder); exit "
         "status 1\n";
}

// Every property exiv2 reads in an XMP document, as "key=value" by key.
std::map<std::string, std::string> xmp_properties(const std::string& packet) {
  Exiv2::XmpData data;
  std::map<std::string, std::string> properties;
  if (packet.find('<') == std::string::npos) return properties;
  EXPECT_EQ(Exiv2::XmpParser::decode(data, packet), 0) << packet;
  for (const Exiv2::Xmpdatum& datum : data) properties[datum.key()] = datum.toString();
  return properties;
}

// Every property of an XMP document as "NAMESPACE-URI name=value", read with
// exiv2's registries of namespaces as they start, whatever an earlier
// document left in them: properties by their namespace, not their prefix.
std::map<std::string, std::string> xmp_by_namespace(const std::string& packet) {
  Exiv2::XmpParser::terminate();
  Exiv2::XmpParser::initialize();
  Exiv2::XmpData data;
  std::map<std::string, std::string> properties;
  EXPECT_EQ(Exiv2::XmpParser::decode(data, packet), 0) << packet;
  for (const Exiv2::Xmpdatum& datum : data) {
    properties[Exiv2::XmpProperties::ns(datum.groupName()) + " " + datum.tagName()] =
        datum.toString();
  }
  Exiv2::XmpParser::terminate();
  return properties;
}

const std::string dc_ns = "http://purl.org/dc/elements/1.1/";
const std::string lr_ns = "http://ns.adobe.com/lightroom/1.0/";
const std::string digikam_ns = "http://www.digikam.org/ns/1.0/";
const std::string our_ns = "http://ns.classify-photos.invalid/1.0/";

// N of "classify-photos: N of M photographs from the cache FILE".
long from_cache_count(const std::string& err) {
  const std::string start = "classify-photos: ";
  EXPECT_EQ(err.rfind(start, 0), 0u) << err;
  return std::strtol(err.c_str() + start.size(), nullptr, 10);
}

class Keep : public ::testing::Test {
 protected:
  // A model of three classes, red, green and blue, that picks a pixel's R,
  // G and B as its scores.
  void SetUp() override {
    dir.write("model.tflite", serialize_model(picking_model(tflite::TensorType_UINT8, 1, 1,
                                                            {0, 1, 2}, 0.0f, 0, false)));
    dir.write("labels.txt", "red\ngreen\nblue\n");
  }

  void TearDown() override {
    for (const auto& [path, bytes] : photos) EXPECT_EQ(read_file(dir.file(path)), bytes) << path;
  }

  void photo(const std::string& path, const rgb& colour) {
    fs::create_directories(fs::path(dir.file(path)).parent_path());
    photos[path] = ppm(2, 2, std::vector<rgb>(4, colour));
    dir.write(path, photos[path]);
  }

  run_result classify_photos(std::vector<std::string> args, const std::string& model = "") {
    args.insert(args.begin(),
                {"--model", model.empty() ? "model.tflite" : model, "--labels", "labels.txt"});
    return run_program(CLASSIFY_PHOTOS_EXE, args, dir.path);
  }

  scratch_dir dir;
  std::map<std::string, std::string> photos;  // what each photograph holds
};

const char darktable_sidecar[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<x:xmpmeta xmlns:x="adobe:ns:meta/" x:xmptk="XMP Core 4.4.0-Exiv2">
 <rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">
  <rdf:Description rdf:about=""
    xmlns:xmp="http://ns.adobe.com/xap/1.0/"
    xmlns:dc="http://purl.org/dc/elements/1.1/"
    xmlns:lr="http://ns.adobe.com/lightroom/1.0/"
    xmlns:darktable="http://darktable.sf.net/"
   xmp:Rating="4"
   darktable:history_end="1">
   <dc:subject><rdf:Bag><rdf:li>holiday</rdf:li><rdf:li>red</rdf:li></rdf:Bag></dc:subject>
   <lr:hierarchicalSubject><rdf:Bag><rdf:li>places|holiday</rdf:li><rdf:li>colours|red</rdf:li>
   </rdf:Bag></lr:hierarchicalSubject>
   <darktable:history><rdf:Seq><rdf:li darktable:operation="exposure" darktable:enabled="1"/>
   </rdf:Seq></darktable:history>
  </rdf:Description>
 </rdf:RDF>
</x:xmpmeta>
)";

// Keywords an earlier run left (green), another model's, and the user's.
const char earlier_run_sidecar[] = R"(<x:xmpmeta xmlns:x="adobe:ns:meta/">
 <rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">
  <rdf:Description rdf:about="" xmlns:dc="http://purl.org/dc/elements/1.1/"
    xmlns:lr="http://ns.adobe.com/lightroom/1.0/" xmlns:digiKam="http://www.digikam.org/ns/1.0/">
   <dc:subject><rdf:Bag><rdf:li>green</rdf:li><rdf:li>cat</rdf:li><rdf:li>mine</rdf:li>
   </rdf:Bag></dc:subject>
   <lr:hierarchicalSubject><rdf:Bag><rdf:li>classify|green</rdf:li><rdf:li>other model|cat</rdf:li>
   </rdf:Bag></lr:hierarchicalSubject>
   <digiKam:TagsList><rdf:Seq><rdf:li>classify/green</rdf:li><rdf:li>People/Ann</rdf:li>
   </rdf:Seq></digiKam:TagsList>
  </rdf:Description>
 </rdf:RDF>
</x:xmpmeta>)";

// Keywords of ours as another writer spelled them: already what a run
// writes.
const char already_tagged_sidecar[] = R"(<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF
 xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#"><rdf:Description rdf:about=""
 xmlns:dc="http://purl.org/dc/elements/1.1/" xmlns:lr="http://ns.adobe.com/lightroom/1.0/"
 xmlns:digiKam="http://www.digikam.org/ns/1.0/" xmlns:xmp="http://ns.adobe.com/xap/1.0/"
 xmp:Rating="2"><dc:subject><rdf:Bag><rdf:li>red</rdf:li></rdf:Bag></dc:subject>
 <lr:hierarchicalSubject><rdf:Bag><rdf:li>classify|red</rdf:li></rdf:Bag></lr:hierarchicalSubject>
 <digiKam:TagsList><rdf:Seq><rdf:li>classify/red</rdf:li></rdf:Seq></digiKam:TagsList>
</rdf:Description></rdf:RDF></x:xmpmeta>)";

// A document in UTF-16, with its byte order mark, as XMP may be written.
std::string utf16(const std::string& ascii, bool big_endian) {
  std::string text = big_endian ? "\xfe\xff" : "\xff\xfe";
  for (const char c : ascii) text += big_endian ? std::string{'\0', c} : std::string{c, '\0'};
  return text;
}

// Each kind of sidecar a photograph may have, written over twice: nothing
// changes but our keywords (and our record of the flat ones we added), as
// exiv2 reads them; a sidecar that holds them already (on a rerun, say)
// keeps its bytes and its modification time; and what cannot be taken is
// left byte for byte, with an error line.
TEST_F(Keep, SidecarsKeepEverythingButOurKeywords) {
  struct sidecar_case {
    std::string name, before;
    bool writable;
    std::string flat;  // Xmp.dc.subject afterwards, as exiv2 prints it
    std::string lightroom, digikam, added;
  };
  std::string utf16_text = darktable_sidecar;
  utf16_text.replace(utf16_text.find("UTF-8"), 5, "UTF-16");
  const std::vector<sidecar_case> cases = {
      {"none", "", true, "red", "classify|red", "classify/red", "red"},
      {"empty", "\n", true, "red", "classify|red", "classify/red", "red"},
      // "red" stays the user's: it was there before.
      {"darktable", darktable_sidecar, true, "holiday, red",
       "places|holiday, colours|red, classify|red", "classify/red", ""},
      {"utf-16le", utf16(utf16_text, false), true, "holiday, red",
       "places|holiday, colours|red, classify|red", "classify/red", ""},
      {"utf-16be", utf16(utf16_text, true), true, "holiday, red",
       "places|holiday, colours|red, classify|red", "classify/red", ""},
      {"utf-8 bom", "\xef\xbb\xbf" + std::string(darktable_sidecar), true, "holiday, red",
       "places|holiday, colours|red, classify|red", "classify/red", ""},
      // The earlier release's "green" cannot be told from the user's.
      {"earlier", earlier_run_sidecar, true, "green, cat, mine, red",
       "other model|cat, classify|red", "People/Ann, classify/red", "red"},
      {"already", already_tagged_sidecar, true, "red", "classify|red", "classify/red", ""},
      {"damaged", std::string(darktable_sidecar).substr(0, 300), true, "", "", "", ""},
      {"not xmp", "<html><body>a page</body></html>", true, "", "", "", ""},
      {"binary", std::string("\0\xff\xfe<rdf:RDF", 12), true, "", "", "", ""},
      {"odd utf-16", utf16(utf16_text, false) + "x", true, "", "", "", ""},
      {"read-only", darktable_sidecar, false, "", "", "", ""}};
  std::vector<std::string> args = {"--xmp"};
  for (size_t i = 0; i < cases.size(); ++i) {
    const std::string name = "photos/p" + std::to_string(i) + ".ppm";
    photo(name, red);
    if (cases[i].name != "none") dir.write(name + ".xmp", cases[i].before);
    if (!cases[i].writable) chmod(dir.file(name + ".xmp").c_str(), 0444);
    args.push_back(name);
  }
  std::map<std::string, std::pair<std::string, int64_t>> first_run;  // bytes, mtime in ns
  for (int run = 0; run < 2; ++run) {
    const run_result r = classify_photos(args);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(lines_of(r.out).size(), cases.size()) << r.out;
    for (size_t i = 0; i < cases.size(); ++i) {
      const sidecar_case& c = cases[i];
      const std::string sidecar = dir.file("photos/p" + std::to_string(i) + ".ppm.xmp");
      const std::string after = read_file(sidecar);
      if (c.flat.empty()) {
        EXPECT_EQ(after, c.before) << c.name;
        EXPECT_NE(r.err.find("p" + std::to_string(i) + ".ppm: its sidecar "), std::string::npos)
            << c.name << ": " << r.err;
        continue;
      }
      std::map<std::string, std::string> expected =
          xmp_properties(c.name.compare(0, 3, "utf") == 0 ? darktable_sidecar : c.before);
      expected["Xmp.dc.subject"] = c.flat;
      expected["Xmp.lr.hierarchicalSubject"] = c.lightroom;
      expected["Xmp.digiKam.TagsList"] = c.digikam;
      if (!c.added.empty()) expected["Xmp.classifyPhotos.addedKeywords"] = c.added;
      EXPECT_EQ(xmp_properties(after), expected) << c.name << " (run " << run << ")\n" << after;
      struct stat status {};
      stat(sidecar.c_str(), &status);
      const std::pair<std::string, int64_t> state = {
          after, status.st_mtim.tv_sec * 1000000000LL + status.st_mtim.tv_nsec};
      if (c.name == "already") {
        EXPECT_EQ(after, c.before);
      }
      if (run == 0) {
        first_run[c.name] = state;
      } else {
        EXPECT_EQ(state, first_run[c.name]) << c.name;
      }
    }
  }
}

// A sidecar that binds a prefix we write (lr, digiKam, dc) to another
// program's namespace, and the known ones to prefixes of its own: its
// property stays there and ours go under their own namespaces, beside the
// user's keywords; a rerun changes nothing; and the other photograph's sidecar, read and written
// before or after it in the same run, comes out byte for byte as in a run alone.
TEST_F(Keep, ForeignPrefixesChangeNoOtherSidecar) {
  photo("a.ppm", red);
  photo("b.ppm", green);
  const std::string other_ns = "http://example.com/other/";
  const std::string b_sidecar = std::string(R"(<x:xmpmeta xmlns:x="adobe:ns:meta/">
 <rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">
  <rdf:Description rdf:about="" xmlns:dc="http://purl.org/dc/elements/1.1/"
    xmlns:lr="http://ns.adobe.com/lightroom/1.0/" xmlns:digiKam="http://www.digikam.org/ns/1.0/">
   <dc:subject><rdf:Bag><rdf:li>Paris</rdf:li></rdf:Bag></dc:subject>
   <lr:hierarchicalSubject><rdf:Bag><rdf:li>places|France|Paris</rdf:li></rdf:Bag>
   </lr:hierarchicalSubject>
   <digiKam:TagsList><rdf:Seq><rdf:li>places/France/Paris</rdf:li></rdf:Seq></digiKam:TagsList>
  </rdf:Description>
 </rdf:RDF>
</x:xmpmeta>)");
  for (const std::string prefix : {"lr", "digiKam", "dc"}) {
    // The known namespaces too, under prefixes of the sidecar's own.
    const std::string a_sidecar =
        "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
        "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description "
        "rdf:about=\"\" xmlns:" +
        prefix + "=\"" + other_ns + "\" xmlns:my_dc=\"" + dc_ns + "\" xmlns:my_lr=\"" + lr_ns +
        "\" xmlns:my_dk=\"" + digikam_ns + "\" " + prefix +
        ":note=\"theirs\"><my_dc:subject><rdf:Bag><rdf:li>Rex</rdf:li></rdf:Bag></my_dc:subject>"
        "<my_lr:hierarchicalSubject><rdf:Bag><rdf:li>pets|Rex</rdf:li></rdf:Bag>"
        "</my_lr:hierarchicalSubject><my_dk:TagsList><rdf:Seq><rdf:li>pets/Rex</rdf:li>"
        "</rdf:Seq></my_dk:TagsList></rdf:Description></rdf:RDF></x:xmpmeta>";
    // The sidecars after a run over `order`, each written afresh before.
    const auto after = [&](const std::vector<std::string>& order) {
      dir.write("a.ppm.xmp", a_sidecar);
      dir.write("b.ppm.xmp", b_sidecar);
      std::vector<std::string> args = {"--xmp", "--jobs", "1"};
      args.insert(args.end(), order.begin(), order.end());
      const run_result r = classify_photos(args);
      EXPECT_EQ(r.status, 0) << r.err;
      return std::make_pair(read_file(dir.file("a.ppm.xmp")), read_file(dir.file("b.ppm.xmp")));
    };
    const std::string a_alone = after({"a.ppm"}).first, b_alone = after({"b.ppm"}).second;
    // A rerun finds its keywords there already.
    EXPECT_EQ(classify_photos({"--xmp", "a.ppm"}).status, 0);
    EXPECT_EQ(read_file(dir.file("a.ppm.xmp")), a_alone) << prefix;
    for (const std::vector<std::string>& order :
         {std::vector<std::string>{"a.ppm", "b.ppm"}, {"b.ppm", "a.ppm"}}) {
      const auto [a, b] = after(order);
      EXPECT_EQ(a, a_alone) << prefix << ", " << order[0] << " first";
      EXPECT_EQ(b, b_alone) << prefix << ", " << order[0] << " first";
    }
    const std::map<std::string, std::string> a_expected = {
        {other_ns + " note", "theirs"},
        {dc_ns + " subject", "Rex, red"},
        {lr_ns + " hierarchicalSubject", "pets|Rex, classify|red"},
        {digikam_ns + " TagsList", "pets/Rex, classify/red"},
        {our_ns + " addedKeywords", "red"}};
    EXPECT_EQ(xmp_by_namespace(a_alone), a_expected) << prefix << "\n" << a_alone;
    const std::map<std::string, std::string> b_expected = {
        {dc_ns + " subject", "Paris, green"},
        {lr_ns + " hierarchicalSubject", "places|France|Paris, classify|green"},
        {digikam_ns + " TagsList", "places/France/Paris, classify/green"},
        {our_ns + " addedKeywords", "green"}};
    EXPECT_EQ(xmp_by_namespace(b_alone), b_expected) << prefix << "\n" << b_alone;
    EXPECT_EQ(b_alone.find(other_ns), std::string::npos) << prefix << "\n" << b_alone;
  }
}

// Runs with other labels over the user's keywords: a flat keyword is taken
// out only where our record (classifyPhotos:addedKeywords) says we added
// it; the user's "dog" that a run tagged again stays theirs. A sidecar of
// the earlier release (ours under classify, no record) loses our hierarchy
// entries but keeps every flat keyword: they cannot be told from the
// user's.
TEST_F(Keep, OnlyKeywordsWeAddedAreTakenOut) {
  photo("p.ppm", red);  // class 0
  dir.write("dog.txt", "dog\ngreen\nblue\n");
  dir.write("tench.txt", "tench\ngreen\nblue\n");
  dir.write("red.txt", "red\ngreen\nblue\n");
  const auto sidecar = [](const std::string& flat, const std::string& hierarchy) {
    return "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
           "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description "
           "rdf:about=\"\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
           "xmlns:lr=\"http://ns.adobe.com/lightroom/1.0/\"><dc:subject><rdf:Bag>" +
           flat + "</rdf:Bag></dc:subject>" +
           (hierarchy.empty() ? ""
                              : "<lr:hierarchicalSubject><rdf:Bag>" + hierarchy +
                                    "</rdf:Bag></lr:hierarchicalSubject>") +
           "</rdf:Description></rdf:RDF></x:xmpmeta>";
  };
  struct step {
    // The labels of a run (its file named after class 0, the photograph's);
    // dc:subject and our record after it.
    std::string labels, flat, added;
  };
  struct record_case {
    std::string name, before;
    std::vector<step> runs;
  };
  const std::vector<record_case> cases = {
      {"the user's dog",
       sidecar("<rdf:li>dog</rdf:li><rdf:li>Rex</rdf:li>", ""),
       {{"dog.txt", "dog, Rex", ""},
        {"tench.txt", "dog, Rex, tench", "tench"},
        {"dog.txt", "dog, Rex", ""},
        {"red.txt", "dog, Rex, red", "red"}}},
      {"a keyword of ours replaced",
       sidecar("<rdf:li>Rex</rdf:li>", ""),
       {{"dog.txt", "Rex, dog", "dog"}, {"tench.txt", "Rex, tench", "tench"}}},
      {"the earlier release's",
       sidecar("<rdf:li>Rex</rdf:li><rdf:li>tench</rdf:li>", "<rdf:li>classify|tench</rdf:li>"),
       {{"dog.txt", "Rex, tench, dog", "dog"}, {"red.txt", "Rex, tench, red", "red"}}}};
  for (const record_case& c : cases) {
    dir.write("p.ppm.xmp", c.before);
    for (size_t i = 0; i < c.runs.size(); ++i) {
      const step& run = c.runs[i];
      const run_result r = run_program(
          CLASSIFY_PHOTOS_EXE,
          {"--model", "model.tflite", "--labels", run.labels, "--xmp", "p.ppm"}, dir.path);
      EXPECT_EQ(r.status, 0) << r.err;
      const std::string label = run.labels.substr(0, run.labels.find('.'));
      std::map<std::string, std::string> expected = {
          {dc_ns + " subject", run.flat},
          {lr_ns + " hierarchicalSubject", "classify|" + label},
          {digikam_ns + " TagsList", "classify/" + label}};
      if (!run.added.empty()) expected[our_ns + " addedKeywords"] = run.added;
      const std::string after = read_file(dir.file("p.ppm.xmp"));
      EXPECT_EQ(xmp_by_namespace(after), expected) << c.name << ", run " << i << "\n" << after;
    }
  }
}

// Where a category map is in use, a class's keywords carry its path: the
// hierarchies under classify hold it whole, dc:subject each level. Runs in
// turn over sidecars of each kind (none; the user's, with a category's name
// among their keywords; one tagged with the label alone, with our record and
// without it): a flat keyword goes only where our record names it, so the
// user's "warm" stays through another class and a run without categories; a
// level two classes share is added once; a name with a hierarchy's
// separator in it stays one level. exiv2's program and exiftool (both installed
// with the tests) read the hierarchies as written.
TEST_F(Keep, CategoryPathsInSidecars) {
  photo("p.ppm", red);  // class 0
  photo("orange.ppm", rgb{200, 100, 0});
  dir.write("colours.tsv", "red\tcolour|warm\ngreen\tcolour|cool\n");
  dir.write("fish.txt", "tench\ngreen\nblue\n");
  dir.write("fish.tsv", "tench\tanimal|fish\n");
  dir.write("odd.txt", "red|wine/rose\ngreen\nblue\n");
  dir.write("odd.tsv", "0\tdrink/bar|wine\n");
  const auto sidecar = [](const std::string& flat, const std::string& lightroom,
                          const std::string& digikam, const std::string& added) {
    const auto property = [](const std::string& name, const std::string& kind,
                             const std::string& items) {
      return items.empty() ? std::string()
                           : "<" + name + "><rdf:" + kind + ">" + items + "</rdf:" + kind + "></" +
                                 name + ">";
    };
    return "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
           "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description "
           "rdf:about=\"\" xmlns:dc=\"" +
           dc_ns + "\" xmlns:lr=\"" + lr_ns + "\" xmlns:digiKam=\"" + digikam_ns +
           "\" xmlns:classifyPhotos=\"" + our_ns + "\">" + property("dc:subject", "Bag", flat) +
           property("lr:hierarchicalSubject", "Bag", lightroom) +
           property("digiKam:TagsList", "Seq", digikam) +
           property("classifyPhotos:addedKeywords", "Bag", added) +
           "</rdf:Description></rdf:RDF></x:xmpmeta>";
  };
  struct step {
    std::vector<std::string> options;  // --labels and --categories first
    std::string flat, lightroom, digikam, added;
  };
  struct path_case {
    std::string name, photo, before;
    std::vector<step> runs;
  };
  const std::vector<std::string> colours = {"--labels", "labels.txt", "--categories",
                                            "colours.tsv"};
  const std::vector<std::string> fish = {"--labels", "fish.txt", "--categories", "fish.tsv"};
  const std::vector<std::string> plain = {"--labels", "labels.txt", "--categories", "none"};
  const std::string warm_red = "classify|colour|warm|red", warm_red_dk = "classify/colour/warm/red";
  const std::vector<path_case> cases = {
      {"no sidecar",
       "p.ppm",
       "",
       {{colours, "colour, warm, red", warm_red, warm_red_dk, "colour, warm, red"},
        {colours, "colour, warm, red", warm_red, warm_red_dk, "colour, warm, red"}}},
      {"the user's warm",
       "p.ppm",
       sidecar("<rdf:li>warm</rdf:li><rdf:li>Rex</rdf:li>", "<rdf:li>pets|Rex</rdf:li>", "", ""),
       {{colours, "warm, Rex, colour, red", "pets|Rex, " + warm_red, warm_red_dk, "colour, red"},
        {fish, "warm, Rex, animal, fish, tench", "pets|Rex, classify|animal|fish|tench",
         "classify/animal/fish/tench", "animal, fish, tench"},
        {colours, "warm, Rex, colour, red", "pets|Rex, " + warm_red, warm_red_dk, "colour, red"},
        {plain, "warm, Rex, red", "pets|Rex, classify|red", "classify/red", "red"}}},
      {"tagged with the label alone",
       "p.ppm",
       sidecar("<rdf:li>Rex</rdf:li><rdf:li>red</rdf:li>", "<rdf:li>classify|red</rdf:li>",
               "<rdf:li>classify/red</rdf:li>", "<rdf:li>red</rdf:li>"),
       {{colours, "Rex, red, colour, warm", warm_red, warm_red_dk, "colour, warm, red"},
        {plain, "Rex, red", "classify|red", "classify/red", "red"}}},
      // A level the user's own hierarchy names is theirs from the first run
      // on, so that a rerun finds the sidecar as it left it.
      {"a level the user's hierarchy names",
       "p.ppm",
       sidecar("", "<rdf:li>tones|warm</rdf:li>", "", ""),
       {{colours, "colour, warm, red", "tones|warm, " + warm_red, warm_red_dk, "colour, red"},
        {colours, "colour, warm, red", "tones|warm, " + warm_red, warm_red_dk, "colour, red"},
        {plain, "warm, red", "tones|warm, classify|red", "classify/red", "red"}}},
      {"tagged before the record",
       "p.ppm",
       sidecar("<rdf:li>Rex</rdf:li><rdf:li>red</rdf:li>", "<rdf:li>classify|red</rdf:li>", "", ""),
       {{colours, "Rex, red, colour, warm", warm_red, warm_red_dk, "colour, warm"},
        {plain, "Rex, red", "classify|red", "classify/red", ""}}},
      {"separators in names",
       "p.ppm",
       "",
       {{{"--labels", "odd.txt", "--categories", "odd.tsv"},
         "drink/bar, wine, red|wine/rose",
         "classify|drink/bar|wine|red\xC2\xA6wine/rose",
         "classify/drink\xE2\x88\x95"
         "bar/wine/red|wine\xE2\x88\x95rose",
         "drink/bar, wine, red|wine/rose"}}},
      {"two classes of one category",
       "orange.ppm",
       "",
       {{{"--labels", "labels.txt", "--categories", "colours.tsv", "--top", "3",
          "--keyword-threshold", "50"},
         "colour, warm, red, cool, green",
         warm_red + ", classify|colour|cool|green",
         warm_red_dk + ", classify/colour/cool/green",
         "colour, warm, red, cool, green"}}}};
  // Both readers are installed with the tests (scripts/install-deps.sh test).
  ASSERT_TRUE(fs::exists("/usr/bin/exiftool")) << "exiftool (Debian: libimage-exiftool-perl)";
  for (const path_case& c : cases) {
    const std::string sidecar_file = dir.file(c.photo + ".xmp");
    fs::remove(sidecar_file);
    if (!c.before.empty()) dir.write(c.photo + ".xmp", c.before);
    std::string previous;
    for (size_t i = 0; i < c.runs.size(); ++i) {
      const step& run = c.runs[i];
      std::vector<std::string> args = {"--model", "model.tflite"};
      args.insert(args.end(), run.options.begin(), run.options.end());
      args.insert(args.end(), {"--xmp", c.photo});
      const run_result r = run_program(CLASSIFY_PHOTOS_EXE, args, dir.path);
      const std::string what = c.name + ", run " + std::to_string(i);
      EXPECT_EQ(r.status, 0) << what << ": " << r.err;
      std::map<std::string, std::string> expected = {
          {dc_ns + " subject", run.flat},
          {lr_ns + " hierarchicalSubject", run.lightroom},
          {digikam_ns + " TagsList", run.digikam}};
      if (!run.added.empty()) expected[our_ns + " addedKeywords"] = run.added;
      const std::string after = read_file(sidecar_file);
      EXPECT_EQ(xmp_by_namespace(after), expected) << what << "\n" << after;
      // A rerun of the same keywords writes nothing.
      if (i > 0 && run.options == c.runs[i - 1].options) {
        EXPECT_EQ(after, previous) << what;
      }
      previous = after;
      // exiv2 -px: "Xmp.lr.hierarchicalSubject  XmpBag  N  ITEM, ITEM".
      const run_result exiv2 = run_program("/usr/bin/exiv2", {"-px", sidecar_file}, dir.path);
      for (const auto& [key, items] : {std::make_pair("Xmp.lr.hierarchicalSubject", run.lightroom),
                                       std::make_pair("Xmp.digiKam.TagsList", run.digikam)}) {
        const std::string printed = "\n" + exiv2.out;
        const size_t at = printed.find("\n" + std::string(key) + " ");
        const std::string line = at == std::string::npos
                                     ? ""
                                     : printed.substr(at + 1, printed.find('\n', at + 1) - at - 1);
        EXPECT_TRUE(line.size() > items.size() &&
                    line.compare(line.size() - items.size() - 2, std::string::npos, "  " + items) ==
                        0)
            << what << "\n"
            << exiv2.out << exiv2.err;
      }
      const run_result exiftool = run_program(
          "/usr/bin/exiftool",
          {"-s", "-s", "-s", "-XMP-lr:HierarchicalSubject", "-XMP-digiKam:TagsList", sidecar_file},
          dir.path);
      EXPECT_EQ(exiftool.out, run.lightroom + "\n" + run.digikam + "\n") << what << exiftool.err;
    }
  }
}

// --top and --keyword-threshold choose the keywords; --xmp-name basename
// names the sidecar photo.xmp.
TEST_F(Keep, XmpKeywordsByScoreAndTheSidecarsName) {
  photo("orange.ppm", rgb{200, 100, 0});
  struct keyword_case {
    std::vector<std::string> options;
    std::string sidecar, flat;
  };
  for (const keyword_case& c : std::vector<keyword_case>{
           {{"--top", "3"}, "orange.ppm.xmp", "red, green, blue"},
           {{"--top", "3", "--keyword-threshold", "50"}, "orange.ppm.xmp", "red, green"},
           {{"--top", "2", "--keyword-threshold", "201"}, "orange.ppm.xmp", ""},
           {{"--xmp-name", "basename"}, "orange.xmp", "red"}}) {
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"--xmp", "orange.ppm"});
    const run_result r = classify_photos(args);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::map<std::string, std::string> properties =
        xmp_properties(read_file(dir.file(c.sidecar)));
    const auto flat = properties.find("Xmp.dc.subject");
    EXPECT_EQ(flat == properties.end() ? "" : flat->second, c.flat) << c.options.back();
    fs::remove(dir.file(c.sidecar));
  }
  const run_result r = classify_photos({"--keyword-threshold", "0.5", "orange.ppm"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err.substr(0, r.err.find('\n')), "classify-photos: --keyword-threshold needs --xmp");
}

// A raw file and its JPEG (two photographs of one name here) share the
// sidecar photo.xmp under --xmp-name basename: it holds the keywords of
// both, in the order given, whatever the number of jobs; a rerun keeps it.
TEST_F(Keep, PhotographsSharingASidecarShareIt) {
  photo("IMG_1.ppm", red);
  photo("IMG_1.pnm", blue);
  photo("IMG_2.ppm", green);
  for (const char* jobs : {"1", "3"}) {
    for (const bool ppm_first : {true, false}) {
      fs::remove(dir.file("IMG_1.xmp"));
      std::vector<std::string> args = {"--xmp", "--xmp-name", "basename", "--jobs", jobs};
      args.insert(args.end(), {ppm_first ? "IMG_1.ppm" : "IMG_1.pnm", "IMG_2.ppm",
                               ppm_first ? "IMG_1.pnm" : "./IMG_1.ppm"});
      const std::string flat = ppm_first ? "red, blue" : "blue, red";
      for (int run = 0; run < 2; ++run) {
        const run_result r = classify_photos(args);
        EXPECT_EQ(r.status, 0) << r.err;
        const std::map<std::string, std::string> expected = {
            {dc_ns + " subject", flat},
            {lr_ns + " hierarchicalSubject", "classify|" + flat.substr(0, flat.find(',')) +
                                                 ", classify|" + flat.substr(flat.find(' ') + 1)},
            {digikam_ns + " TagsList", "classify/" + flat.substr(0, flat.find(',')) +
                                           ", classify/" + flat.substr(flat.find(' ') + 1)},
            {our_ns + " addedKeywords", flat}};
        EXPECT_EQ(xmp_by_namespace(read_file(dir.file("IMG_1.xmp"))), expected)
            << jobs << " jobs, run " << run;
        EXPECT_EQ(xmp_by_namespace(read_file(dir.file("IMG_2.xmp")))[dc_ns + " subject"], "green");
        // A rerun finds the sidecar as it leaves it: written once, after the
        // last of its photographs, it is not written at all.
        if (run == 0) {
          fs::last_write_time(dir.file("IMG_1.xmp"),
                              fs::file_time_type::clock::now() - std::chrono::hours(1));
        } else {
          EXPECT_LT(fs::last_write_time(dir.file("IMG_1.xmp")),
                    fs::file_time_type::clock::now() - std::chrono::minutes(30))
              << jobs << " jobs: the rerun rewrote the shared sidecar";
        }
      }
    }
  }
  // The last of them not a photograph: the others' keywords are written.
  photo("IMG_3.ppm", red);
  dir.write("IMG_3.pnm", "not a photograph");
  const run_result r =
      classify_photos({"--xmp", "--xmp-name", "basename", "IMG_3.ppm", "IMG_3.pnm"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(xmp_by_namespace(read_file(dir.file("IMG_3.xmp")))[dc_ns + " subject"], "red") << r.err;
}

// Sidecars that are not a regular file, or lead to none, or are too large
// to be one: each is refused with one line naming it and why, without
// waiting (a FIFO) or reading without end (/dev/zero), and left as it is;
// every photograph's line is printed and the batch goes on to a sidecar it
// can write. Run with a time limit, so that a run that waits fails.
TEST_F(Keep, SidecarsThatAreNotFilesAreRefused) {
  struct odd_case {
    std::string name, why;  // why, as the line says
    std::function<void(const std::string&)> make;
  };
  const auto link_to = [](const std::string& target) {
    return [target](const std::string& path) { fs::create_symlink(target, path); };
  };
  std::vector<odd_case> cases = {
      {"folder", "is a folder", [](const std::string& path) { fs::create_directory(path); }},
      {"fifo", "is a FIFO", [](const std::string& path) { mkfifo(path.c_str(), 0644); }},
      {"zero", "is a device", link_to("/dev/zero")},
      {"null", "is a device", link_to("/dev/null")},
      {"dangling", "is a symbolic link to nothing", link_to("nowhere.xmp")},
      {"loop", "is a loop of symbolic links", link_to("loop.ppm.xmp")},
      {"large", "is larger than 16 MiB",
       [](const std::string& path) { std::ofstream(path) << std::string((16 << 20) + 1, ' '); }},
      {"memory", "cannot be read: Input/output error", link_to("/proc/self/mem")}};
  // Root reads a file whatever its permissions, but not a write-only
  // attribute of the kernel's (it is never opened for writing: a sidecar is
  // replaced through a file beside it, and this one is refused first).
  const std::string write_only = "/sys/bus/pci/rescan";
  if (geteuid() != 0) {
    cases.push_back(
        {"unreadable", "cannot be read: Permission denied", [](const std::string& path) {
           std::ofstream(path) << darktable_sidecar;
           chmod(path.c_str(), 0200);
         }});
  } else if (fs::exists(write_only)) {
    cases.push_back({"unreadable", "cannot be read: Permission denied", link_to(write_only)});
  }
  std::vector<std::string> args = {"-s",      "KILL",         "60",       CLASSIFY_PHOTOS_EXE,
                                   "--model", "model.tflite", "--labels", "labels.txt",
                                   "--xmp",   "--jobs",       "1"};
  for (const odd_case& c : cases) {
    photo(c.name + ".ppm", red);
    c.make(dir.file(c.name + ".ppm.xmp"));
    args.push_back(c.name + ".ppm");
  }
  photo("fine.ppm", red);
  args.push_back("fine.ppm");
  const auto state = [&](const std::string& name) {
    const fs::path path = dir.file(name + ".ppm.xmp");
    const fs::file_status status = fs::symlink_status(path);
    return std::to_string(static_cast<int>(status.type())) + " " +
           (fs::is_symlink(status)
                ? fs::read_symlink(path).string()
                : std::to_string(fs::is_regular_file(status) ? fs::file_size(path) : 0));
  };
  std::map<std::string, std::string> before;
  for (const odd_case& c : cases) before[c.name] = state(c.name);
  const run_result r = run_program("/usr/bin/timeout", args, dir.path);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(lines_of(r.out).size(), cases.size() + 1) << r.out;
  // A line for each, and the count of photographs not kept.
  EXPECT_EQ(lines_of(r.err).size(), cases.size() + 1) << r.err;
  EXPECT_NE(r.err.find(std::to_string(cases.size()) + " of " + std::to_string(cases.size() + 1) +
                       " photographs classified were not kept"),
            std::string::npos)
      << r.err;
  for (const odd_case& c : cases) {
    const std::string line =
        c.name + ".ppm: its sidecar " + c.name + ".ppm.xmp: " + c.why + "; left as it is";
    EXPECT_NE(r.err.find(line), std::string::npos) << line << "\n" << r.err;
    EXPECT_EQ(state(c.name), before[c.name]) << c.name;
  }
  EXPECT_EQ(xmp_by_namespace(read_file(dir.file("fine.ppm.xmp")))[dc_ns + " subject"], "red");
}

// A sidecar that is a symbolic link stays one: the file it leads to is
// rewritten, in its own folder. A rewritten sidecar keeps its permissions,
// and its owner and group where the tests can give it another (as root);
// one that cannot be written is one line naming it, left as it was.
TEST_F(Keep, RewrittenSidecarsKeepLinksOwnersAndModes) {
  fs::create_directories(dir.file("elsewhere"));
  dir.write("elsewhere/kept.xmp", darktable_sidecar);
  photo("linked.ppm", red);
  fs::create_symlink("elsewhere/kept.xmp", dir.file("linked.ppm.xmp"));
  std::vector<std::string> args = {"--xmp", "linked.ppm"};
  const std::vector<mode_t> modes = {0600, 0640, 0664, 0604, 0620, 0666, 02644};
  const bool root = geteuid() == 0;
  for (size_t i = 0; i < modes.size(); ++i) {
    const std::string name = "m" + std::to_string(i) + ".ppm";
    photo(name, red);
    dir.write(name + ".xmp", darktable_sidecar);
    if (root) {
      EXPECT_EQ(chown(dir.file(name + ".xmp").c_str(), 1000 + i, 2000 + i), 0);
    }
    chmod(dir.file(name + ".xmp").c_str(), modes[i]);
    args.push_back(name);
  }
  const run_result r = classify_photos(args);
  EXPECT_EQ(r.status, 0) << r.err;
  std::error_code no_link;
  EXPECT_EQ(fs::read_symlink(dir.file("linked.ppm.xmp"), no_link), "elsewhere/kept.xmp");
  EXPECT_EQ(xmp_by_namespace(read_file(dir.file("elsewhere/kept.xmp")))[dc_ns + " subject"],
            "holiday, red");
  for (const fs::directory_entry& entry : fs::directory_iterator(dir.file("elsewhere"))) {
    EXPECT_EQ(entry.path().filename(), "kept.xmp");  // no file of ours left beside it
  }
  for (size_t i = 0; i < modes.size(); ++i) {
    const std::string sidecar = dir.file("m" + std::to_string(i) + ".ppm.xmp");
    struct stat status {};
    ASSERT_EQ(stat(sidecar.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, modes[i]) << i;
    if (root) {
      EXPECT_EQ(status.st_uid, 1000 + i) << i;
      EXPECT_EQ(status.st_gid, 2000 + i) << i;
    }
    EXPECT_NE(read_file(sidecar), darktable_sidecar) << i;
  }
  // No room for the new sidecar (a file-size limit stands for a full disk).
  photo("full.ppm", green);
  dir.write("full.ppm.xmp", darktable_sidecar);
  const run_result full =
      run_program("/bin/sh",
                  {"-c", "trap '' XFSZ; ulimit -f 0; exec " CLASSIFY_PHOTOS_EXE
                         " --model model.tflite --labels labels.txt --xmp full.ppm"},
                  dir.path);
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(lines_of(full.out).size(), 1u) << full.out;
  ASSERT_EQ(lines_of(full.err).size(), 2u) << full.err;
  EXPECT_EQ(full.err.find("classify-photos: full.ppm: its sidecar "), 0u) << full.err;
  EXPECT_NE(full.err.find("full.ppm.xmp: cannot be written: "), std::string::npos) << full.err;
  EXPECT_EQ(read_file(dir.file("full.ppm.xmp")), darktable_sidecar);
}

TEST(ClassFolders, HostileLabelsBecomeSafeNames) {
  const std::vector<std::pair<std::string, std::string>> names = {
      {"tabby cat", "tabby cat"},
      {"a/b", "a_b"},
      {"..\\evil", ".._evil"},
      {"../../etc", ".._.._etc"},
      {".", "_"},
      {"..", "_"},
      {"", "_"},
      {"trailing. . ", "trailing"},
      {"what?*:<>|\"", "what_______"},
      {std::string("line\nfeed\x7f\x01", 11), "line_feed__"},
      {"CON", "CON_"},
      {"con.txt", "con_.txt"},
      {"Lpt9", "Lpt9_"},
      {"COM0", "COM0"},
      {"CONSOLE", "CONSOLE"},
      {"nul .x", "nul _.x"},
      {"日本の猫", "日本の猫"},
      {std::string(199, 'a') + "ñ", std::string(199, 'a')},
      {std::string(300, 'b'), std::string(200, 'b')}};
  for (const auto& [label, folder] : names) EXPECT_EQ(folder_name(label), folder) << label;
}

// Labels whose folders would differ only in case get folders apart in any
// case, whatever other labels are named like the folder one of them would
// get; a label named twice has one folder, and the others keep their names.
TEST(ClassFolders, LabelsThatDifferOnlyInCaseGetFoldersApart) {
  const std::vector<std::vector<std::string>> label_sets = {
      {"Cat", "cat", "CAT", "dog"},
      {"Cat", "cat", "cat (2)", "Cat (2)"},
      {"cat", "crane", "Cat", "crane", "cat"},
      {"Äpfel", "äpfel", "ÄPFEL", "a/b", "A/B", "a_b"},
      {"con", "CON", "Con.txt", "con.TXT"},
      {"x (2)", "X", "x", "x (3)"}};
  for (const std::vector<std::string>& labels : label_sets) {
    const std::vector<std::string> folders = class_folder_names(labels);
    ASSERT_EQ(folders.size(), labels.size());
    std::map<std::u32string, std::string> by_caseless;  // folder -> the folder_name it stands for
    for (size_t i = 0; i < labels.size(); ++i) {
      const std::string base = folder_name(labels[i]);
      const auto [it, added] = by_caseless.emplace(caseless_name(folders[i]), base);
      EXPECT_EQ(it->second, base) << folders[i] << " stands for two labels";
      EXPECT_EQ(folders[i].rfind(base, 0), 0u) << folders[i];
      const bool first_of_its_case =
          std::none_of(labels.begin(), labels.begin() + static_cast<std::ptrdiff_t>(i),
                       [&](const std::string& l) {
                         return caseless_name(folder_name(l)) == caseless_name(base);
                       });
      if (first_of_its_case) {
        EXPECT_EQ(folders[i], base);
      }
    }
  }
}

// Category folders: a level a folder named as class folders are, levels
// that differ only in case within one folder apart (and the same name in
// two folders left alone), classes with no path with the map's own "other".
TEST(ClassFolders, CategoryPathsBecomeFolders) {
  const std::vector<std::vector<std::string>> paths = {{"animal", "pet", "dog"},
                                                       {"animal", "PET"},
                                                       {},
                                                       {"other"},
                                                       {"a/b", "CON"},
                                                       {"toy", "dog"},
                                                       {"Animal"},
                                                       {"animal", "pet", "dog"},
                                                       {"..", "x"}};
  const std::vector<std::string> folders = {"animal/pet/dog", "animal/PET (2)", "other",
                                            "other",          "a_b/CON_",       "toy/dog",
                                            "Animal (2)",     "animal/pet/dog", "_/x"};
  EXPECT_EQ(category_folder_names(paths), folders);
}

// --sort-by category: each photograph in the folders of its best class's
// path, "other" for a class with none; a rerun adds nothing; a category
// folder that is a link is not written through, for the classes under it
// alone. Without a map in use, or without --sort-into, it is bad usage.
TEST_F(Keep, SortByCategory) {
  photo("r.ppm", red);
  photo("g.ppm", green);
  photo("b.ppm", blue);
  dir.write("map.tsv", "red\tanimal|pet|dog\ngreen\tanimal|PET\n");
  const std::map<std::string, std::string> expected = {{"animal/pet/dog/r.ppm", photos["r.ppm"]},
                                                       {"animal/PET (2)/g.ppm", photos["g.ppm"]},
                                                       {"other/b.ppm", photos["b.ppm"]}};
  const auto sorted = [&](const std::string& root) {
    std::map<std::string, std::string> found;  // relative path -> what it holds
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dir.file(root))) {
      if (!entry.is_directory()) {
        found[entry.path().lexically_relative(dir.file(root)).string()] =
            read_file(entry.path().string());
      }
    }
    return found;
  };
  for (int run = 0; run < 2; ++run) {
    const run_result r = classify_photos({"--categories", "map.tsv", "--sort-into", "by-category",
                                          "--sort-by", "category", "r.ppm", "g.ppm", "b.ppm"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(sorted("by-category"), expected) << "run " << run;
  }
  // By class, as before.
  EXPECT_EQ(classify_photos({"--categories", "map.tsv", "--sort-into", "by-class", "r.ppm"}).status,
            0);
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir.file("by-class/red/r.ppm"))));

  fs::create_directories(dir.file("elsewhere"));
  fs::create_directories(dir.file("linked"));
  fs::create_directory_symlink("../elsewhere", dir.file("linked/animal"));
  const run_result linked = classify_photos({"--categories", "map.tsv", "--sort-into", "linked",
                                             "--sort-by", "category", "r.ppm", "g.ppm", "b.ppm"});
  EXPECT_EQ(linked.status, 1) << linked.err;
  EXPECT_NE(linked.err.find("linked/animal: a symbolic link (to ../elsewhere), which nothing is "
                            "written through"),
            std::string::npos)
      << linked.err;
  EXPECT_TRUE(fs::is_empty(dir.file("elsewhere")));
  EXPECT_TRUE(fs::exists(fs::symlink_status(dir.file("linked/other/b.ppm"))));

  struct usage_case {
    std::vector<std::string> args;
    std::string message;
  };
  for (const usage_case& c : std::vector<usage_case>{
           {{"--sort-into", "x", "--sort-by", "category", "r.ppm"},
            "classify-photos: --sort-by category: no category map is in use (none: the labels "
            "are not ImageNet's and carry no paths (--categories FILE gives one)); give one with "
            "--categories FILE, or sort by class"},
           {{"--categories", "none", "--sort-into", "x", "--sort-by", "category", "r.ppm"},
            "classify-photos: --sort-by category: no category map is in use (none (--categories "
            "none)); give one with --categories FILE, or sort by class"},
           {{"--categories", "map.tsv", "--sort-by", "category", "r.ppm"},
            "classify-photos: --sort-by needs --sort-into"},
           {{"--sort-into", "x", "--sort-by", "breed", "r.ppm"}, "--sort-by"}}) {
    const run_result r = classify_photos(c.args);
    EXPECT_EQ(r.status, 2) << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir.file("x")));
  }
}

// Labels that would climb out of the folder or clash with Windows' names,
// photographs of one name from two folders, the three modes, an existing
// file that is not ours, and a rerun that adds nothing.
TEST_F(Keep, SortIntoClassFolders) {
  dir.write("labels.txt", "../up\nCON\na/b\n");
  photo("one/x.ppm", red);
  photo("two/x.ppm", rgb{250, 0, 0});
  photo("two/y.ppm", green);
  photo("z.ppm", blue);
  photo("broken.ppm", rgb{0, 0, 0});
  photos["broken.ppm"] = "P6 not a picture";
  dir.write("broken.ppm", photos["broken.ppm"]);
  for (const char* mode : {"symlink", "hardlink", "copy"}) {
    // Inside a folder given, which the walk passes over.
    const std::string root = std::string("two/sorted-") + mode;
    fs::create_directories(dir.file(root + "/CON_"));
    dir.write(root + "/CON_/y.ppm", "someone else's");
    for (int run = 0; run < 2; ++run) {
      const run_result r = classify_photos(
          {"--sort-into", root, "--sort-mode", mode, "one", "two", "z.ppm", "broken.ppm"});
      EXPECT_EQ(r.status, 1) << r.err;  // the broken photograph
      EXPECT_EQ(lines_of(r.out).size(), 4u) << r.out;
      std::map<std::string, std::string> found;  // relative path -> what it holds
      for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dir.file(root))) {
        if (!entry.is_directory()) {
          found[entry.path().lexically_relative(dir.file(root)).string()] =
              read_file(entry.path().string());
        }
      }
      const std::map<std::string, std::string> expected = {{".._up/x.ppm", photos["one/x.ppm"]},
                                                           {".._up/x (2).ppm", photos["two/x.ppm"]},
                                                           {"CON_/y.ppm", "someone else's"},
                                                           {"CON_/y (2).ppm", photos["two/y.ppm"]},
                                                           {"a_b/z.ppm", photos["z.ppm"]}};
      EXPECT_EQ(found, expected) << mode << " run " << run;
      const fs::path link = dir.file(root + "/a_b/z.ppm");
      EXPECT_EQ(fs::is_symlink(fs::symlink_status(link)), std::string(mode) == "symlink");
      EXPECT_EQ(fs::hard_link_count(link), std::string(mode) == "hardlink" ? 2u : 1u);
    }
    fs::remove_all(dir.file(root));
  }
}

// The entries of a folder, by name: the bytes a file or a link's target
// holds ("" for a folder or a link that leads nowhere).
std::map<std::string, std::string> folder_entries(const std::string& folder) {
  std::map<std::string, std::string> entries;
  std::error_code failure;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder, failure)) {
    entries[entry.path().filename().string()] =
        fs::is_regular_file(entry.path()) ? read_file(entry.path().string()) : "";
  }
  return entries;
}

// A name a copy of ours has while it is written: ".classify-photos-", six
// letters or digits, ".part".
bool partial_copy_name(const std::string& name) {
  const std::string prefix = ".classify-photos-", suffix = ".part";
  return name.size() == prefix.size() + 6 + suffix.size() && name.rfind(prefix, 0) == 0 &&
         name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0 &&
         std::all_of(name.begin() + prefix.size(), name.end() - suffix.size(),
                     [](unsigned char c) { return std::isalnum(c) != 0; });
}

// A copy killed partway leaves no photograph cut short under a name of the
// class folder, only a file of ours that the rerun removes, and the rerun
// copies the photograph whole under its own name. The kernel ends the copy
// at a file size limit, 64 MiB into it: as after a power cut or SIGKILL,
// nothing of the program runs after it, and the moment is the same in every
// run however loaded the machine is.
TEST_F(Keep, ACopyKilledPartwayIsNeverTakenForThePhotograph) {
  // A photograph the size of a large camera file: its picture, then bytes
  // no decoder reads (a hole, which costs the scratch disk nothing).
  const std::string picture = ppm(2, 2, std::vector<rgb>(4, red));
  dir.write("big.ppm", picture);
  const uintmax_t size = uintmax_t{256} << 20;
  fs::resize_file(dir.file("big.ppm"), size);
  const std::vector<std::string> command = {
      CLASSIFY_PHOTOS_EXE, "--model", "model.tflite", "--labels", "labels.txt",
      "--sort-into",       "o",       "--sort-mode",  "copy",     "big.ppm"};
  std::vector<std::string> limited = {"/usr/bin/prlimit", "--fsize=" + std::to_string(64 << 20),
                                      "--core=0", "--"};
  limited.insert(limited.end(), command.begin(), command.end());
  const pid_t pid = start_program(limited, dir.path, "out.tsv");
  ASSERT_GE(pid, 0);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ)
      << "the copy was not ended by the size limit: " << status;
  size_t partial = 0;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir.file("o/red"))) {
    const std::string name = entry.path().filename().string();
    if (partial_copy_name(name)) {
      ++partial;
    } else {
      EXPECT_EQ(name, "big.ppm");
      EXPECT_EQ(fs::file_size(entry.path()), size) << name << " cut short";
    }
  }
  EXPECT_EQ(partial, 1u) << "killed at another moment than mid-copy";

  std::vector<std::string> args(command.begin() + 1, command.end());
  const run_result rerun = run_program(CLASSIFY_PHOTOS_EXE, args, dir.path);
  EXPECT_EQ(rerun.status, 0) << rerun.err;
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir.file("o/red"))) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"big.ppm"});
  EXPECT_EQ(fs::file_size(dir.file("o/red/big.ppm")), size);
  std::ifstream copy(dir.file("o/red/big.ppm"), std::ios::binary);
  std::string head(picture.size(), '\0');
  copy.read(&head[0], static_cast<std::streamsize>(head.size()));
  EXPECT_EQ(head, picture);
}

// Two runs copying one large photograph at once: the second passes over the
// copy the first is writing (its own look for what killed runs left
// included), and finding it in place when its own is whole, keeps that one:
// one copy, and nothing else in the folder.
TEST_F(Keep, TwoRunsCopyingOnePhotographAtOnceMakeOneCopy) {
  const std::string picture = ppm(2, 2, std::vector<rgb>(4, red));
  dir.write("big.ppm", picture);
  const uintmax_t size = uintmax_t{256} << 20;
  fs::resize_file(dir.file("big.ppm"), size);
  const std::vector<std::string> command = {
      CLASSIFY_PHOTOS_EXE, "--model", "model.tflite", "--labels", "labels.txt",
      "--sort-into",       "o",       "--sort-mode",  "copy",     "big.ppm"};
  const pid_t first = start_program(command, dir.path, "out.tsv");
  ASSERT_GE(first, 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (folder_entries(dir.file("o/red")).empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  const run_result second =
      run_program(CLASSIFY_PHOTOS_EXE, {command.begin() + 1, command.end()}, dir.path);
  int status = -1;
  waitpid(first, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(second.status, 0) << second.err;
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir.file("o/red"))) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"big.ppm"});
  EXPECT_EQ(fs::file_size(dir.file("o/red/big.ppm")), size);
}

// A run removes the copies of ours that killed runs left in the class
// folders it writes to, and nothing else: not a name that only looks like
// one, not a copy another run is writing now (it holds it locked), not
// one in a folder the run does not write to.
TEST_F(Keep, ARunRemovesOnlyTheCopiesKilledRunsLeft) {
  photo("x.ppm", red);
  struct leftover_case {
    std::string path;
    bool removed;
  };
  const std::vector<leftover_case> cases = {
      {"o/red/.classify-photos-a1B2c3.part", true},
      {"o/red/.classify-photos-ZZZZZZ.part", true},
      {"o/red/.classify-photos-locked.part", false},  // a run writing it now
      {"o/red/.classify-photos-a1B2c.part", false},
      {"o/red/.classify-photos-a1B2c3d.part", false},
      {"o/red/classify-photos-a1B2c3.part", false},
      {"o/red/.classify-photos-a1B2c3.part.jpg", false},
      {"o/red/.classify-photos-a1B2_3.part", false},
      {"o/red/.classify-photos-a1B2c3.PART", false},
      {"o/red/x.ppm.part", false},
      {"o/green/.classify-photos-a1B2c3.part", false},  // no photograph goes there
      {"o/.classify-photos-a1B2c3.part", false}};
  for (const leftover_case& c : cases) {
    fs::create_directories(fs::path(dir.file(c.path)).parent_path());
    dir.write(c.path, "half a photograph");
  }
  fs::create_directory(dir.file("o/red/.classify-photos-folder.part"));
  fs::create_symlink(dir.file("x.ppm"), dir.file("o/red/.classify-photos-linked.part"));
  const int locked = open(dir.file("o/red/.classify-photos-locked.part").c_str(), O_RDONLY);
  ASSERT_EQ(flock(locked, LOCK_EX), 0);
  for (const char* mode : {"symlink", "copy"}) {
    const run_result r = classify_photos({"--sort-into", "o", "--sort-mode", mode, "x.ppm"});
    EXPECT_EQ(r.status, 0) << r.err;
    for (const leftover_case& c : cases) {
      EXPECT_EQ(fs::exists(dir.file(c.path)), !c.removed) << c.path << " " << mode;
    }
    EXPECT_TRUE(fs::is_directory(dir.file("o/red/.classify-photos-folder.part")));
    EXPECT_TRUE(fs::is_symlink(dir.file("o/red/.classify-photos-linked.part")));
    fs::remove(dir.file("o/red/x.ppm"));
    for (const leftover_case& c : cases) dir.write(c.path, "half a photograph");
  }
  close(locked);
}

// A copy that finds the disk full says so (not "Input/output error"), as
// one that passes a file-size limit says that, and leaves no file behind.
TEST_F(Keep, ACopyThatFindsTheDiskFullSaysSo) {
  photo("small.ppm", red);
  photo("big.ppm", green);
  // Larger than the 1 MB file system and the 512 kB limit.
  photos["big.ppm"] = ppm(700, 700, std::vector<rgb>(490000, green));
  dir.write("big.ppm", photos["big.ppm"]);
  const std::string run = CLASSIFY_PHOTOS_EXE
      " --model model.tflite --labels labels.txt --jobs 1 --sort-into small/o --sort-mode copy"
      " small.ppm big.ppm; status=$?; find small -mindepth 1 | sort; exit $status";
  struct full_case {
    std::string name;
    std::vector<std::string> command;
    std::string reason;
  };
  // The file system in a mount namespace of its own, which takes it along.
  const std::vector<full_case> cases = {
      {"a full file system",
       {"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
        "mount -t tmpfs -o size=1m classify-test small || exit 77; " + run},
       "No space left on device"},
      {"a file-size limit",
       {"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 1024; " + run},
       "File too large"}};
  std::string skipped;
  for (const full_case& c : cases) {
    fs::remove_all(dir.file("small"));
    fs::create_directory(dir.file("small"));
    const run_result r =
        run_program(c.command[0], {c.command.begin() + 1, c.command.end()}, dir.path);
    if (r.status == 77 || r.err.rfind("unshare: ", 0) == 0) {
      skipped = c.name + ": no file system can be mounted here: " + r.err;
      continue;
    }
    EXPECT_EQ(r.status, 1) << c.name << ": " << r.err;
    EXPECT_EQ(r.err,
              "classify-photos: big.ppm: not sorted: small/o/green/big.ppm: cannot be made: " +
                  c.reason + "\n" + not_kept(1, 2))
        << c.name;
    // The lines, then what the class folders hold.
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_GE(lines.size(), 2u) << r.out;
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.end()),
              (std::vector<std::string>{"small/o", "small/o/green", "small/o/red",
                                        "small/o/red/small.ppm"}))
        << c.name << "\n"
        << r.out;
  }
  if (!skipped.empty()) GTEST_SKIP() << skipped;
}

// A class folder that is a symbolic link (to a folder elsewhere, to the
// photographs' own, to nothing, to a file) is never written through: the
// photograph is not sorted, one line says why, and the link and what it
// leads to are left as they are.
TEST_F(Keep, ClassFoldersThatAreLinksAreNotWrittenThrough) {
  photo("photos/x.ppm", red);
  fs::create_directories(dir.file("elsewhere"));
  dir.write("a file", "someone's notes");
  const std::vector<std::pair<std::string, std::string>> targets = {
      {"a folder elsewhere", dir.file("elsewhere")},
      {"a class folder beside it", "green"},
      {"the photographs' folder", dir.file("photos")},
      {"nothing", dir.file("gone")},
      {"a file", dir.file("a file")}};
  for (const char* mode : {"symlink", "hardlink", "copy"}) {
    for (const auto& [what, target] : targets) {
      fs::remove_all(dir.file("o"));
      fs::create_directories(dir.file("o/green"));
      fs::create_symlink(target, dir.file("o/red"));
      const run_result r =
          classify_photos({"--sort-into", "o", "--sort-mode", mode, "photos/x.ppm"});
      EXPECT_EQ(r.status, 1) << what << " " << mode;
      EXPECT_EQ(r.err, "classify-photos: photos/x.ppm: not sorted: o/red: a symbolic link (to " +
                           target + "), which nothing is written through; it is left as it is\n" +
                           not_kept(1, 1))
          << what << " " << mode;
      EXPECT_EQ(fs::read_symlink(dir.file("o/red")), target) << what;
      EXPECT_TRUE(folder_entries(dir.file("elsewhere")).empty()) << what << " " << mode;
      EXPECT_TRUE(folder_entries(dir.file("o/green")).empty()) << what << " " << mode;
      EXPECT_EQ(folder_entries(dir.file("photos")).size(), 1u) << what << " " << mode;
      EXPECT_FALSE(fs::exists(dir.file("gone"))) << what << " " << mode;
      EXPECT_EQ(read_file(dir.file("a file")), "someone's notes") << what << " " << mode;
    }
  }
}

// `name` with its ASCII letters and those of Latin-1 in lower case: enough
// for the names below.
std::string lower_case(const std::string& name) {
  std::string lower;
  for (size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (c >= 'A' && c <= 'Z') {
      lower += static_cast<char>(c + 32);
    } else if (c == 0xc3 && i + 1 < name.size() &&
               static_cast<unsigned char>(name[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(name[i + 1]) <= 0x9e &&
               static_cast<unsigned char>(name[i + 1]) != 0x97) {
      lower += name.substr(i, 1) + static_cast<char>(name[i + 1] + 0x20);
      ++i;
    } else {
      lower += static_cast<char>(c);
    }
  }
  return lower;
}

// Labels and photographs whose names differ only in case: each photograph
// is sorted, under a name that no other in its folder has in any case, and
// each class has its own folder, so that nothing becomes one on a file
// system that ignores case (Windows', macOS', a memory card's) or when the
// folders are copied to one; a rerun adds nothing.
TEST_F(Keep, NamesThatDifferOnlyInCaseStayApart) {
  dir.write("labels.txt", "Äpfel\näpfel\nÄPFEL\n");
  const std::vector<std::string> names = {"a/x.ppm",     "b/X.ppm",     "c/x.PPM",
                                          "a/Été.ppm",   "b/été.ppm",   "c/ÉTÉ.ppm",
                                          "a/x (2).ppm", "b/X (2).ppm", "c/y.ppm"};
  const std::vector<rgb> colours = {red, green, blue};
  for (size_t i = 0; i < names.size(); ++i) {
    const uint8_t shade = static_cast<uint8_t>(250 - i);
    photo(names[i], i % 3 == 0   ? rgb{shade, 0, 0}
                    : i % 3 == 1 ? rgb{0, shade, 0}
                                 : rgb{0, 0, shade});
    // Of one class too.
    photo("same/" + std::to_string(i) + "/" + names[i].substr(2), rgb{shade, 1, 1});
  }
  for (const char* mode : {"symlink", "hardlink", "copy"}) {
    for (int run = 0; run < 2; ++run) {
      const run_result r =
          classify_photos({"--sort-into", "o", "--sort-mode", mode, "a", "b", "c", "same"});
      EXPECT_EQ(r.status, 0) << r.err;
      std::map<std::string, int> found;  // bytes -> how many times
      std::set<std::string> folders;
      for (const fs::directory_entry& folder : fs::directory_iterator(dir.file("o"))) {
        EXPECT_TRUE(folders.insert(lower_case(folder.path().filename().string())).second)
            << folder.path() << " " << mode;
        std::set<std::string> lower;
        for (const auto& [name, bytes] : folder_entries(folder.path().string())) {
          EXPECT_TRUE(lower.insert(lower_case(name)).second) << name << " " << mode;
          ++found[bytes];
        }
      }
      EXPECT_EQ(folders.size(), 3u) << mode;
      std::map<std::string, int> expected;
      for (const auto& [path, bytes] : photos) ++expected[bytes];
      EXPECT_EQ(found, expected) << mode << " run " << run;
    }
    fs::remove_all(dir.file("o"));
  }
}

// Whether `text` is whole UTF-8 characters.
bool valid_utf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t length = c < 0x80 ? 1 : c >> 5 == 6 ? 2 : c >> 4 == 14 ? 3 : c >> 3 == 30 ? 4 : 0;
    if (length == 0 || i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

// Two photographs of one name, of every length a name may have (1 to 255
// bytes) and of characters of 1 to 4 bytes: both are sorted, the second
// under a numbered name that fits too, cut between characters, its
// extension kept.
TEST_F(Keep, NumberedNamesFitEveryNameLength) {
  const std::vector<std::string> characters = {"a", "é", "日", "🐱"};
  std::vector<std::string> names;
  for (const std::string& character : characters) {
    for (size_t length = character.size() == 1 ? 1 : 230; length <= 255; ++length) {
      // Without an extension where it would be the whole name.
      const std::string extension = length > 8 ? ".ppm" : "";
      std::string stem;
      while (stem.size() + character.size() + extension.size() <= length) stem += character;
      stem.append(length - stem.size() - extension.size(), 'z');
      names.push_back(stem + extension);
    }
  }
  for (size_t i = 0; i < names.size(); ++i) {
    // Each of its own bytes.
    const uint8_t g = static_cast<uint8_t>(i % 200), b = static_cast<uint8_t>(i / 200);
    photo("one/" + names[i], rgb{250, g, b});
    photo("two/" + names[i], rgb{240, g, b});
  }
  const run_result r = classify_photos({"--sort-into", "o", "one", "two"});
  EXPECT_EQ(r.status, 0) << r.err.substr(0, 2000);
  const std::map<std::string, std::string> sorted = folder_entries(dir.file("o/red"));
  for (const std::string& name : names) {
    EXPECT_EQ(sorted.count(name), 1u) << name;
    const bool has_extension = name.size() > 8;
    const std::string stem = has_extension ? name.substr(0, name.size() - 4) : name;
    // The second: a part of the stem, " (N)" (names cut alike take the next
    // number), the extension.
    std::string second;
    for (const auto& [candidate, bytes] : sorted) {
      if (bytes == photos["two/" + name]) second = candidate;
    }
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(second, parts, std::regex("(.*)( \\([0-9]+\\))(\\.ppm)?")))
        << name << " -> " << second;
    EXPECT_EQ(parts[3].matched, has_extension) << second;
    EXPECT_EQ(stem.compare(0, parts[1].length(), parts[1].str()), 0) << second;
    EXPECT_LE(second.size(), 255u) << second;
    EXPECT_TRUE(valid_utf8(second)) << second;
    // Only as much cut as it takes.
    EXPECT_GE(second.size(), std::min<size_t>(name.size() + parts[2].length(), 255) - 3) << second;
  }
  EXPECT_EQ(sorted.size(), 2 * names.size());
}

// --sort-into the folder of photographs given, however it is spelled, is
// refused before any photograph is read; a folder inside it is passed over
// by the walk, as before.
TEST_F(Keep, SortingIntoTheFolderOfPhotographsIsRefused) {
  photo("photos/x.ppm", red);
  fs::create_directory_symlink("photos", dir.file("linked"));
  for (const std::string& into :
       {std::string("photos"), std::string("photos/"), std::string("./photos"),
        std::string("photos/."), std::string("linked"), std::string("linked/"),
        dir.file("photos")}) {
    for (const std::string& given : {std::string("photos"), std::string("photos/")}) {
      const run_result r = classify_photos({"--sort-into", into, given});
      EXPECT_EQ(r.status, 2) << into;
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, "classify-photos: --sort-into " + into +
                           ": it is the folder of photographs " + given +
                           "; the class folders go elsewhere, or in a folder inside it\n"
                           "Try 'classify-photos --help'.\n")
          << into;
    }
  }
  EXPECT_EQ(folder_entries(dir.file("photos")).size(), 1u);
  const run_result inside = classify_photos({"--sort-into", "photos/o", "photos"});
  EXPECT_EQ(inside.status, 0) << inside.err;
  EXPECT_EQ(lines_of(inside.out).size(), 1u) << inside.out;
  EXPECT_EQ(read_file(dir.file("photos/o/red/x.ppm")), photos["photos/x.ppm"]);
}

// The cache answers for photographs as they are: a rerun prints the same
// lines from it alone (a photograph garbled behind its size and time is not
// read), a photograph only touched is still known by its bytes, one that
// changed is classified again, and so is every photograph under another
// model or option.
TEST_F(Keep, CacheRerunsAndWhatMakesAPhotographNew) {
  photo("a.ppm", red);
  photo("b.ppm", green);
  photo("c.ppm", blue);
  const auto run = [&](std::vector<std::string> args, const std::string& model = "") {
    args.insert(args.begin(), {"--cache", "run.db"});
    args.insert(args.end(), {"a.ppm", "b.ppm", "c.ppm"});
    return classify_photos(args, model);
  };
  const run_result first = run({});
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.err, "classify-photos: 0 of 3 photographs from the cache run.db\n");

  // Garbled with its size and modification time kept: from the cache.
  struct stat before {};
  stat(dir.file("a.ppm").c_str(), &before);
  dir.write("a.ppm", std::string(photos["a.ppm"].size(), 'x'));
  const struct timespec times[2] = {before.st_atim, before.st_mtim};
  utimensat(AT_FDCWD, dir.file("a.ppm").c_str(), times, 0);
  const run_result second = run({});
  EXPECT_EQ(second.out, first.out);
  EXPECT_EQ(second.err, "classify-photos: 3 of 3 photographs from the cache run.db\n");
  dir.write("a.ppm", photos["a.ppm"]);

  // Touched, the same bytes: from the cache. Changed: classified again.
  photo("c.ppm", rgb{0, 0, 200});
  const run_result third = run({});
  EXPECT_EQ(third.err, "classify-photos: 2 of 3 photographs from the cache run.db\n");
  EXPECT_EQ(lines_of(third.out)[2], "c.ppm\t2\t200\tblue");
  EXPECT_EQ(run({}).err, "classify-photos: 3 of 3 photographs from the cache run.db\n");

  // Another model (the same classes, its bytes differ) or option.
  dir.write("other.tflite", serialize_model(picking_model(tflite::TensorType_UINT8, 1, 1, {0, 1, 2},
                                                          0.0f, 0, true)));
  for (const std::vector<std::string>& other : {std::vector<std::string>{"--crop", "0.5"},
                                                {"--top", "2"},
                                                {"--kernels", "builtin"},
                                                {"--mean", "1"}}) {
    EXPECT_EQ(run(other).err, "classify-photos: 0 of 3 photographs from the cache run.db\n")
        << other[0];
  }
  EXPECT_EQ(run({}, "other.tflite").err,
            "classify-photos: 0 of 3 photographs from the cache run.db\n");
  EXPECT_EQ(run({"--json"}).err, "classify-photos: 3 of 3 photographs from the cache run.db\n");
}

// A file that is not a cache of ours gives one message and exit 1, and is
// left byte for byte.
TEST_F(Keep, DamagedOrForeignCacheIsLeftAsItIs) {
  photo("a.ppm", red);
  ASSERT_EQ(classify_photos({"--cache", "good.db", "a.ppm"}).status, 0);
  std::string damaged = read_file(dir.file("good.db"));
  damaged.replace(damaged.size() / 2, 64, std::string(64, '\xa5'));
  const std::vector<std::pair<std::string, std::string>> files = {
      {"text.db", "a list of my photographs\n"},
      {"cut.db", read_file(dir.file("good.db")).substr(0, 100)},
      {"damaged.db", damaged},
      {"header.db", std::string("SQLite format 3\0", 16) + std::string(4080, '\xff')}};
  for (const auto& [name, bytes] : files) {
    dir.write(name, bytes);
    const run_result r = classify_photos({"--cache", name, "a.ppm"});
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_EQ(r.out, "") << name;
    EXPECT_EQ(lines_of(r.err).size(), 1u) << name << ": " << r.err;
    EXPECT_EQ(r.err.find("classify-photos: --cache " + name + ": "), 0u) << r.err;
    EXPECT_EQ(read_file(dir.file(name)), bytes) << name;
  }
  // Another program's SQLite database.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(dir.file("foreign.db").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE notes (text); INSERT INTO notes VALUES (1)", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  const std::string foreign = read_file(dir.file("foreign.db"));
  const run_result r = classify_photos({"--cache", "foreign.db", "a.ppm"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "classify-photos: --cache foreign.db: not a cache of classify-photos' (another "
            "program's file?); it is left as it is\n");
  EXPECT_EQ(read_file(dir.file("foreign.db")), foreign);
}

// The rows `sql` gives on the SQLite file `file`, each column as text, or
// its error.
std::vector<std::vector<std::string>> sql_rows(const std::string& file, const std::string& sql) {
  std::vector<std::vector<std::string>> rows;
  sqlite3* db = nullptr;
  char* error = nullptr;
  EXPECT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK) << file;
  const auto add = [](void* to, int columns, char** values, char**) {
    auto* table = static_cast<std::vector<std::vector<std::string>>*>(to);
    table->emplace_back();
    for (int i = 0; i < columns; ++i) table->back().push_back(values[i] ? values[i] : "NULL");
    return 0;
  };
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), add, &rows, &error), SQLITE_OK)
      << (error ? error : "") << ": " << sql;
  sqlite3_free(error);
  sqlite3_close(db);
  return rows;
}

// A cache of the first layout, whose records kept each score as the six
// digits the line printed, is upgraded once as it is opened: its
// photographs come from it with the lines they had, its records hold exact
// scores after, and a record that never read is dropped. Where the upgrade
// cannot be written (a full disk: a file-size limit stands for it), one line
// says so and the file is left as it was. A cache of a newer layout is
// refused in one line and left byte for byte.
TEST_F(Keep, AnOlderCacheIsUpgradedOnceAndANewerOneRefused) {
  photo("a.ppm", red);
  photo("b.ppm", green);
  const std::vector<std::string> args = {"--cache", "old.db", "a.ppm", "b.ppm"};
  // The records a run of today keeps: their paths, setups and identities.
  ASSERT_EQ(classify_photos({"--cache", "now.db", "a.ppm", "b.ppm"}).status, 0);
  // The same records as the first layout kept them, with scores no run of
  // this model gives, another that never read, and many more, so that the
  // upgrade has more to write than the limit below lets it.
  sql_rows(dir.file("old.db"),
           "PRAGMA application_id = 1668051048; PRAGMA user_version = 1;"
           "PRAGMA journal_mode = WAL;"
           "CREATE TABLE results (photo TEXT NOT NULL, setup TEXT NOT NULL,"
           " size INTEGER NOT NULL, modified INTEGER NOT NULL, content TEXT NOT NULL,"
           " classes TEXT NOT NULL, PRIMARY KEY (photo, setup)) WITHOUT ROWID;"
           "ATTACH '" +
               dir.file("now.db") +
               "' AS now;"
               "INSERT INTO results SELECT photo, setup, size, modified, content,"
               " CASE WHEN photo LIKE '%/a.ppm' THEN '0 0.123457' || char(10)"
               " ELSE '1 1.17549e-38' || char(10) END FROM now.results;"
               "INSERT INTO results VALUES ('/nowhere/x.ppm', 's', 1, 1, 'c', '0 0.5 and more');"
               "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000)"
               " INSERT INTO results SELECT '/nowhere/p' || i || '.ppm', 's', 1, 1,"
               " hex(randomblob(100)), '2 0.25' || char(10) || '0 -nan' || char(10) FROM n;");
  const std::string old_bytes = read_file(dir.file("old.db"));
  ASSERT_GT(old_bytes.size(), 512u * 1024);

  std::string command = "trap '' XFSZ; ulimit -f 64; exec " CLASSIFY_PHOTOS_EXE
                        " --model model.tflite --labels labels.txt";
  for (const std::string& arg : args) command += " " + arg;
  const run_result full = run_program("/bin/sh", {"-c", command}, dir.path);
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.out, "");
  EXPECT_EQ(lines_of(full.err).size(), 1u) << full.err;
  EXPECT_EQ(
      full.err.find("classify-photos: --cache old.db: cannot be upgraded from layout 1 to 2 ("), 0u)
      << full.err;
  EXPECT_EQ(read_file(dir.file("old.db")), old_bytes);

  for (int run = 0; run < 2; ++run) {
    const run_result r = classify_photos(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "a.ppm\t0\t0.123457\tred\nb.ppm\t1\t1.17549e-38\tgreen\n") << run;
    EXPECT_EQ(r.err, "classify-photos: 2 of 2 photographs from the cache old.db\n") << run;
  }
  const std::string old_file = dir.file("old.db");
  EXPECT_EQ(sql_rows(old_file, "PRAGMA user_version"),
            (std::vector<std::vector<std::string>>{{"2"}}));
  EXPECT_EQ(sql_rows(old_file, "SELECT count(*) FROM results"),
            (std::vector<std::vector<std::string>>{{"3002"}}));
  EXPECT_EQ(sql_rows(old_file,
                     "SELECT DISTINCT classes FROM results WHERE photo NOT LIKE '/nowhere/%'"
                     " OR photo = '/nowhere/p7.ppm' ORDER BY classes"),
            (std::vector<std::vector<std::string>>{
                {"0\t0.123457"}, {"1\t1.17549e-38"}, {"2\t0.25\t0\t-nan"}}));

  // A newer layout, even of the same table.
  sql_rows(dir.file("now.db"), "PRAGMA user_version = 3");
  const std::string now_bytes = read_file(dir.file("now.db"));
  const run_result newer = classify_photos({"--cache", "now.db", "a.ppm"});
  EXPECT_EQ(newer.status, 1);
  EXPECT_EQ(newer.out, "");
  EXPECT_EQ(
      newer.err,
      "classify-photos: --cache now.db: made by a newer version of classify-photos (layout 3, "
      "this one reads layouts 1 to 2); it is left as it is: use it with that version, or "
      "give this one another file\n");
  EXPECT_EQ(read_file(dir.file("now.db")), now_bytes);
}

// A disk that fills partway (a file-size limit stands for it): the batch
// prints every line, says what it could not keep, and leaves no copy cut
// short; a run with room again resumes from what the cache kept and copies
// what it could not.
TEST_F(Keep, AFullDiskLeavesNothingHalfWrittenAndTheRunResumes) {
  std::vector<std::string> names;
  for (int i = 0; i < 12; ++i) {
    names.push_back("p" + std::to_string(i) + ".ppm");
    photo(names.back(), i % 3 == 0 ? red : i % 3 == 1 ? green : blue);
  }
  // Larger than the limit: its copy cannot be made whole.
  photos["p4.ppm"] = ppm(200, 200, std::vector<rgb>(40000, green));
  dir.write("p4.ppm", photos["p4.ppm"]);
  std::string args = "--model model.tflite --labels labels.txt --jobs 1 --cache run.db";
  args += " --sort-into sorted --sort-mode copy";
  for (const std::string& name : names) args += " " + name;
  // 64 blocks of 512 bytes: a few of the cache's commits, then no more.
  const run_result full = run_program(
      "/bin/sh", {"-c", "trap '' XFSZ; ulimit -f 64; exec " CLASSIFY_PHOTOS_EXE " " + args},
      dir.path);
  EXPECT_EQ(full.status, 1) << full.err;
  EXPECT_EQ(lines_of(full.out).size(), names.size()) << full.out;
  EXPECT_NE(full.err.find("p4.ppm: not sorted: "), std::string::npos) << full.err;
  EXPECT_NE(full.err.find("the rest of the batch is not kept in it"), std::string::npos)
      << full.err;
  EXPECT_FALSE(fs::exists(dir.file("sorted/green/p4.ppm")));

  std::vector<std::string> room_args = {"--jobs",      "1",      "--cache",     "run.db",
                                        "--sort-into", "sorted", "--sort-mode", "copy"};
  room_args.insert(room_args.end(), names.begin(), names.end());
  const run_result resumed = classify_photos(room_args);
  EXPECT_EQ(resumed.status, 0) << resumed.err;
  EXPECT_EQ(resumed.out, full.out);
  const long from_cache = from_cache_count(resumed.err);
  EXPECT_GE(from_cache, 1) << resumed.err;
  EXPECT_LT(from_cache, 12) << resumed.err;
  for (size_t i = 0; i < names.size(); ++i) {
    const char* folder[] = {"red", "green", "blue"};
    EXPECT_TRUE(read_file(dir.file(std::string("sorted/") + folder[i % 3] + "/" + names[i])) ==
                photos[names[i]])
        << names[i];
  }
  EXPECT_EQ(classify_photos(room_args).err,
            "classify-photos: 12 of 12 photographs from the cache run.db\n");
}

// A run stopped partway by Ctrl-C or killed (SIGKILL: nothing of its own
// runs after) resumes from what it committed, and the two runs' lines are
// those of one whole run; two runs at once share one cache.
TEST_F(Keep, KilledRunResumesAndTwoRunsShareOneCache) {
  const std::string model = pretrained_model;
  std::vector<std::string> names;
  for (int i = 0; i < 60; ++i) {
    names.push_back("p" + std::to_string(i) + ".ppm");
    photo(names.back(), rgb{static_cast<uint8_t>(i * 4), 90, static_cast<uint8_t>(250 - i * 4)});
  }
  std::vector<std::string> args = {"--model", model, "--jobs", "1"};
  args.insert(args.end(), names.begin(), names.end());
  const run_result whole = run_program(CLASSIFY_PHOTOS_EXE, args, dir.path);
  ASSERT_EQ(whole.status, 0) << whole.err;

  args.insert(args.begin() + 4, {"--cache", "run.db"});
  std::vector<std::string> command = args;
  command.insert(command.begin(), CLASSIFY_PHOTOS_EXE);
  // Ctrl-C ends the batch after the photographs in hand, each line written
  // kept; SIGKILL may come between a line and its commit.
  for (const int signal : {SIGINT, SIGKILL}) {
    for (const char* file : {"run.db", "run.db-wal", "run.db-shm", "out.tsv"}) {
      fs::remove(dir.file(file));
    }
    const pid_t pid = start_program(command, dir.path, "out.tsv");
    ASSERT_GE(pid, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (lines_of(read_file(dir.file("out.tsv"))).size() < 10 &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    kill(pid, signal);
    waitpid(pid, nullptr, 0);
    const std::string stopped = read_file(dir.file("out.tsv"));
    EXPECT_EQ(whole.out.compare(0, stopped.size(), stopped), 0) << signal;
    const run_result resumed = run_program(CLASSIFY_PHOTOS_EXE, args, dir.path);
    EXPECT_EQ(resumed.out, whole.out) << signal;
    const long from_cache = from_cache_count(resumed.err);
    const long written = static_cast<long>(lines_of(stopped).size());
    if (signal == SIGINT) {
      EXPECT_EQ(from_cache, written) << resumed.err;
    } else {
      EXPECT_GE(from_cache, written - 1) << resumed.err;
    }
    EXPECT_LT(from_cache, 60) << resumed.err;
  }

  // Two at once over a new cache, then a third that finds everything there.
  args[5] = command[6] = "shared.db";
  const pid_t other = start_program(command, dir.path, "other.tsv");
  const run_result one = run_program(CLASSIFY_PHOTOS_EXE, args, dir.path);
  int status = -1;
  waitpid(other, &status, 0);
  EXPECT_EQ(one.status, 0) << one.err;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(one.out, whole.out);
  EXPECT_EQ(read_file(dir.file("other.tsv")), whole.out);
  const run_result third = run_program(CLASSIFY_PHOTOS_EXE, args, dir.path);
  EXPECT_EQ(third.out, whole.out);
  EXPECT_EQ(third.err, "classify-photos: 60 of 60 photographs from the cache shared.db\n");
}

// Photographs classified (their lines all written) but not all kept as
// asked: exit status 1, each failure with its line, and the batch's last
// line says how many of those classified were not kept.
TEST_F(Keep, ClassifiedButNotKeptExitsOneAndTheLastLineCountsThem) {
  std::vector<std::string> names;
  for (int i = 0; i < 4; ++i) {
    names.push_back("p" + std::to_string(i) + ".ppm");
    photo(names.back(), i % 2 == 0 ? red : blue);
  }
  dir.write("notes.ppm", "not a photograph\n");
  for (const size_t bad : {0, 1, 4}) {
    for (const bool with_broken : {false, true}) {
      SCOPED_TRACE(std::to_string(bad) + " sidecars not XMP" +
                   (with_broken ? ", a photograph not classified" : ""));
      std::vector<std::string> args = {"--xmp"};
      for (size_t i = 0; i < names.size(); ++i) {
        if (i < bad) {
          dir.write(names[i] + ".xmp", "<html>not XMP</html>");
        } else {
          fs::remove(dir.file(names[i] + ".xmp"));
        }
        args.push_back(names[i]);
      }
      if (with_broken) args.push_back("notes.ppm");
      const run_result r = classify_photos(args);
      EXPECT_EQ(lines_of(r.out).size(), names.size()) << r.out;
      EXPECT_EQ(r.status, bad > 0 || with_broken ? 1 : 0) << r.err;
      const std::vector<std::string> errors = lines_of(r.err);
      EXPECT_EQ(errors.size(), bad + (bad > 0 ? 1 : 0) + (with_broken ? 1 : 0)) << r.err;
      if (bad == 0) continue;
      ASSERT_FALSE(errors.empty());
      EXPECT_EQ(errors.back(), "classify-photos: " + std::to_string(bad) + " of " +
                                   std::to_string(names.size()) +
                                   " photographs classified were not kept as asked (sidecar, "
                                   "cache or class folder); exit status 1");
    }
  }
  for (size_t i = 0; i < names.size(); ++i) fs::remove(dir.file(names[i] + ".xmp"));
}

// --help names the sidecar as it is written: the photograph's whole file
// name then .xmp by default, its name less the extension with --xmp-name
// basename.
TEST_F(Keep, HelpNamesTheSidecarsAsTheyAreWritten) {
  const std::string help = classify_photos({"--help"}).out;
  const size_t xmp = help.find("\n  --xmp "), xmp_name = help.find("\n  --xmp-name ");
  ASSERT_NE(xmp, std::string::npos) << help;
  ASSERT_NE(xmp_name, std::string::npos) << help;
  const std::string xmp_text = help.substr(xmp, xmp_name - xmp);
  const std::string xmp_name_text = help.substr(xmp_name, help.find('\n', xmp_name + 1) - xmp_name);
  photo("PHOTO.jpg", red);
  for (const std::string naming : {"full", "basename"}) {
    const run_result r = classify_photos({"--xmp", "--xmp-name", naming, "PHOTO.jpg"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> sidecars;
    for (const auto& entry : fs::directory_iterator(dir.path)) {
      const std::string name = entry.path().filename().string();
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".xmp") == 0) {
        sidecars.push_back(name);
        fs::remove(entry.path());
      }
    }
    ASSERT_EQ(sidecars.size(), 1u) << naming;
    const std::string written = sidecars.front();
    EXPECT_NE(xmp_name_text.find(naming + " (" + written), std::string::npos)
        << naming << ": " << xmp_name_text;
    if (naming != "full") continue;
    // Every sidecar name the --xmp text gives is the one written.
    const std::regex sidecar_name("PHOTO[.A-Za-z]*\\.xmp");
    size_t named = 0;
    for (auto it = std::sregex_iterator(xmp_text.begin(), xmp_text.end(), sidecar_name);
         it != std::sregex_iterator(); ++it, ++named) {
      EXPECT_EQ(it->str(), written) << xmp_text;
    }
    EXPECT_GE(named, 1u) << xmp_text;
  }
}

// A file or folder made immutable (chattr +i: root cannot write it either)
// for as long as the object lives; `made` is false where the file system or
// the capabilities do not allow it.
struct immutable {
  explicit immutable(const std::string& path) : path(path) {
    made = run_program("/usr/bin/chattr", {"+i", path}, ".").status == 0;
  }
  ~immutable() {
    if (made) run_program("/usr/bin/chattr", {"-i", path}, ".");
  }
  immutable(const immutable&) = delete;
  immutable& operator=(const immutable&) = delete;
  std::string path;
  bool made = false;
};

// A cache that cannot be used gives one line that names it and says what is
// wrong, and the file is left as it is: a folder that cannot be written
// (SQLite keeps its journal there), a read-only file, a folder in the
// file's place, a file that is not SQLite, a damaged one.
TEST_F(Keep, AnUnusableCacheSaysWhatIsWrong) {
  photo("a.ppm", red);
  for (int i = 0; i < 40; ++i) photo("more/p" + std::to_string(i) + ".ppm", i % 2 ? red : green);
  ASSERT_EQ(classify_photos({"--cache", "good.db", "a.ppm", "more"}).status, 0);
  const std::string good = read_file(dir.file("good.db"));
  ASSERT_GT(good.size(), 3 * 4096u);
  // Pages past the first (its tables' list) overwritten.
  std::string damaged = good;
  damaged.replace(4096, damaged.size() - 4096, std::string(damaged.size() - 4096, '\xa5'));
  fs::create_directories(dir.file("locked"));
  dir.write("locked/old.db", good);
  dir.write("text.db", "my photographs, a list\n");
  dir.write("damaged.db", damaged);
  dir.write("read-only.db", good);
  fs::create_directory(dir.file("folder.db"));
  const immutable locked(dir.file("locked")), read_only(dir.file("read-only.db"));
  struct cache_case {
    std::string file, cause;
    bool possible;
  };
  const std::vector<cache_case> cases = {
      {"locked/new.db", "its folder locked cannot be written (", locked.made},
      {"locked/old.db", "its folder locked cannot be written (", locked.made},
      {"read-only.db", "the file is read-only", read_only.made},
      {"folder.db", "not a regular file (a folder)", true},
      {"text.db", "not an SQLite file", true},
      {"damaged.db", "is damaged (", true}};
  for (const cache_case& c : cases) {
    if (!c.possible) continue;
    const std::string before = read_file(dir.file(c.file));
    const run_result r = classify_photos({"--cache", c.file, "a.ppm"});
    EXPECT_EQ(r.status, 1) << c.file;
    EXPECT_EQ(r.out, "") << c.file;
    EXPECT_EQ(lines_of(r.err).size(), 1u) << r.err;
    EXPECT_EQ(r.err.rfind("classify-photos: --cache " + c.file + ": " + c.cause, 0), 0u) << r.err;
    EXPECT_EQ(read_file(dir.file(c.file)), before) << c.file;
  }
  EXPECT_EQ(fs::exists(dir.file("locked/new.db")), false);
  if (!locked.made || !read_only.made) {
    GTEST_SKIP() << "chattr +i is not possible here: the read-only cases are left out";
  }
}

}  // namespace

}  // namespace classify
