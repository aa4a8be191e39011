// The Windows photograph tools under Wine (make windows-test sets
// CLASSIFY_WINDOWS_DIR to the folder of the .exe files and
// CLASSIFY_TEST_RUNNER to Wine; elsewhere these tests are skipped): the
// sample photograph as JPEG, PNG and BMP prepares to the same bytes as on
// Linux and classifies as 653 through prepare-input.exe then classify.exe and
// through classify-photos.exe; a folder and a file named in Chinese work; a
// quantized model of a model zoo's names its own labels; the cache, the
// sidecars and the class folders work there too.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <exiv2/exiv2.hpp>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "tests/support/image_support.h"
#include "tests/support/model_builder.h"
#include "tests/support/run_support.h"
#include "tests/support/sample_data.h"

namespace classify {

namespace {

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Text as Windows' text mode writes it, with its CR LF line ends made LF.
std::string unix_lines(std::string text) {
  for (size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
  return text;
}

class WindowsPhotos : public ::testing::Test {
 protected:
  void SetUp() override {
    if (windows_dir.empty() || runner.empty()) {
      GTEST_SKIP() << "CLASSIFY_WINDOWS_DIR and CLASSIFY_TEST_RUNNER name no Windows build";
    }
    if (!std::filesystem::exists(sample_photo)) GTEST_SKIP() << "no sample photograph";
    std::filesystem::create_directory(std::filesystem::u8path(dir.file("照片")));
    magick(dir, {sample_photo, "-quality", "90", "照片/霍珀.jpg"});
    magick(dir, {sample_photo, "hopper.png"});
    std::filesystem::copy_file(sample_photo, dir.file("hopper.bmp"));
    magick(dir, {sample_photo, "hopper.gif"});
  }

  run_result windows(const std::string& program, std::vector<std::string> args) {
    args.insert(args.begin(), windows_dir + "/" + program);
    return run_program(runner, args, dir.path);
  }

  // The result line classify.exe (or `program`) prints for `photo`, prepared
  // by prepare-input.exe; and the input it read, which must be what Linux's
  // prepare-input makes of the same file.
  std::string classify_exe_line(const std::string& photo,
                                const std::string& program = "classify.exe") {
    const run_result prepared = windows("prepare-input.exe", {photo, "win.bin"});
    EXPECT_EQ(prepared.status, 0) << photo << ": " << prepared.err;
    EXPECT_EQ(run_program(PREPARE_INPUT_EXE, {photo, "linux.bin"}, dir.path).status, 0);
    EXPECT_EQ(read_file(dir.file("win.bin")), read_file(dir.file("linux.bin"))) << photo;
    scratch_dir work;
    std::filesystem::copy_file(pretrained_model, work.file(model_file));
    std::filesystem::copy_file(dir.file("win.bin"), work.file("input.bin"));
    return run_program(runner, {windows_dir + "/" + program}, work.path).out;
  }

  const std::string windows_dir = env("CLASSIFY_WINDOWS_DIR");
  const std::string runner = env("CLASSIFY_TEST_RUNNER");
  scratch_dir dir;
};

TEST_F(WindowsPhotos, SamplePhotographIsAMilitaryUniformByBothRoutes) {
  const std::vector<std::string> photos = {"照片/霍珀.jpg", "hopper.png", "hopper.bmp"};
  std::string expected;
  for (const std::string& photo : photos) {
    const std::string line = classify_exe_line(photo);
    ASSERT_EQ(line.rfind(class_label + "653" + probability_label, 0), 0u) << photo << ": " << line;
    const std::string score =
        line.substr(class_label.size() + 3 + probability_label.size(),
                    line.size() - class_label.size() - 3 - probability_label.size() - 2);
    expected += photo + "\t653\t" + score + "\tmilitary uniform\n";
  }
  // The build for any x86-64 CPU, which classify.exe runs where the CPU
  // lacks AVX2 or FMA: the same class, the probability within FMA's
  // rounding.
  const std::string plain = classify_exe_line(photos[1], "x86-64/classify.exe");
  ASSERT_EQ(plain.rfind(class_label + "653" + probability_label, 0), 0u) << plain;
  const size_t at = class_label.size() + 3 + probability_label.size();
  EXPECT_NEAR(std::stod(plain.substr(at)), 0.447165, 2e-6) << plain;

  // classify-photos.exe with the photographs alone: the model and the
  // labels beside it, the paths as UTF-8, the lines in order. On the
  // builtin kernels its scores are classify.exe's to the last digit.
  std::vector<std::string> args = {"--kernels", "builtin"};
  args.insert(args.end(), photos.begin(), photos.end());
  const run_result r = windows("classify-photos.exe", args);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(unix_lines(r.out), expected);
  // On XNNPACK, the default here too: the same classes.
  const run_result fast = windows("classify-photos.exe", photos);
  EXPECT_EQ(fast.status, 0) << fast.err;
  const std::vector<std::string> lines = lines_of(unix_lines(fast.out));
  ASSERT_EQ(lines.size(), photos.size()) << fast.out;
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].rfind(photos[i] + "\t653\t", 0), 0u) << lines[i];
  }
  const run_result described = windows("classify-photos.exe", {"--describe"});
  EXPECT_NE(unix_lines(described.out).find("\nkernels: XNNPACK (119 of 119 operators)\n"),
            std::string::npos)
      << described.out;
  // The builds for any x86-64 CPU, which the programs run where the CPU
  // lacks AVX2 or FMA, are there and classify.
  const run_result plain_photos = windows("x86-64/classify-photos.exe", {photos[1]});
  EXPECT_EQ(plain_photos.out.rfind(photos[1] + "\t653\t", 0), 0u) << plain_photos.out;
}

// A quantized model of a model zoo's, with its labels in its metadata's
// archive, under a Chinese path: the same lines as on Linux; and the folder
// of photographs walked.
TEST_F(WindowsPhotos, QuantizedModelWithItsOwnLabelsUnderAChinesePath) {
  const std::string zoo_model =
      CLASSIFY_SHARED_DIR "/models/zoo/tf2_mobilenet_v2_1.0_224_ptq.tflite";
  if (!std::filesystem::exists(zoo_model)) GTEST_SKIP() << "no " << zoo_model;
  std::filesystem::create_directory(std::filesystem::u8path(dir.file("模型")));
  std::filesystem::copy_file(zoo_model, std::filesystem::u8path(dir.file("模型/量化.tflite")));
  dir.write("照片/说明.txt", "not a photograph\n");
  const std::vector<std::string> args = {"--model", "模型/量化.tflite", "--top", "2", "照片"};
  const run_result linux = run_program(CLASSIFY_PHOTOS_EXE, args, dir.path);
  ASSERT_EQ(linux.status, 0) << linux.err;
  EXPECT_EQ(linux.out.rfind("照片/霍珀.jpg\t653\t", 0), 0u) << linux.out;
  EXPECT_NE(linux.out.find("\tmilitary uniform\t"), std::string::npos) << linux.out;
  const run_result r = windows("classify-photos.exe", args);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(unix_lines(r.out), linux.out);

  // The contact sheet under a Chinese name: the page in UTF-8 names the
  // photograph, and its folder holds the thumbnail.
  std::vector<std::string> with_sheet = args;
  with_sheet.insert(with_sheet.begin(), {"--html", "报告.html"});
  const run_result sheet = windows("classify-photos.exe", with_sheet);
  EXPECT_EQ(sheet.status, 0) << sheet.err;
  EXPECT_EQ(unix_lines(sheet.out), linux.out);
  const std::string page = read_file(dir.file("报告.html"));
  EXPECT_NE(page.find("<meta charset=\"utf-8\">"), std::string::npos);
  EXPECT_NE(page.find(">霍珀.jpg</span>"), std::string::npos) << page.substr(0, 2000);
  EXPECT_NE(page.find("src=\"%E6%8A%A5%E5%91%8A_files/000001.jpg\""), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::u8path(dir.file("报告_files/000001.jpg"))));
}

// --cache, --xmp and --sort-into under Chinese names: the sidecar holds the
// keywords, the class folder the photograph (linked or copied), and a rerun
// takes the photograph from the cache.
TEST_F(WindowsPhotos, CacheSidecarsAndClassFoldersUnderChineseNames) {
  const std::vector<std::string> args = {"--cache",     "缓存.db", "--xmp",
                                         "--sort-into", "分类",    "照片"};
  const run_result first = windows("classify-photos.exe", args);
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(unix_lines(first.out).rfind("照片/霍珀.jpg\t653\t", 0), 0u) << first.out;
  EXPECT_NE(read_file(dir.file("照片/霍珀.jpg.xmp")).find("classify|clothing|military uniform"),
            std::string::npos);
  EXPECT_EQ(read_file(dir.file("分类/military uniform/霍珀.jpg")),
            read_file(dir.file("照片/霍珀.jpg")));
  const run_result again = windows("classify-photos.exe", args);
  EXPECT_EQ(again.out, first.out);
  EXPECT_NE(unix_lines(again.err).find("1 of 1 photographs from the cache 缓存.db\n"),
            std::string::npos)
      << again.err;
}

TEST_F(WindowsPhotos, FormatsItLacksAndSshAreRefusedClearly) {
  const run_result gif = windows("prepare-input.exe", {"hopper.gif", "out.bin"});
  EXPECT_EQ(gif.status, 1);
  EXPECT_NE(gif.err.find("hopper.gif: not an image this tool can read (this Windows build reads "
                         "JPEG, PNG and BMP)"),
            std::string::npos)
      << gif.err;
  const run_result batch = windows("classify-photos.exe", {"hopper.gif", "hopper.png"});
  EXPECT_EQ(batch.status, 1);
  EXPECT_EQ(unix_lines(batch.out).rfind("hopper.png\t653\t", 0), 0u) << batch.out;
  const run_result ssh = windows("classify-photos.exe", {"--sshlogin", "alice@gpu1", "hopper.png"});
  EXPECT_EQ(ssh.status, 2);
  EXPECT_NE(ssh.err.find("--sshlogin needs GNU parallel"), std::string::npos) << ssh.err;
  // A walked folder takes the JPEG, PNG and BMP files of every variant, and
  // passes over the rest, as on Linux.
  const format_sweep sweep = write_every_format(dir, "formats");
  const run_result walk = windows("classify-photos.exe", {"formats"});
  EXPECT_EQ(walk.status, 0) << walk.err;
  std::vector<std::string> walked;
  for (const std::string& line : lines_of(unix_lines(walk.out))) {
    walked.push_back(line.substr(0, line.find('\t')));
  }
  EXPECT_EQ(walked, sweep.windows);
  // This machine alone needs nothing of the kind.
  EXPECT_EQ(windows("classify-photos.exe", {"--sshlogin", ":", "hopper.png"}).status, 0);
  // An output in a folder named in Chinese.
  std::filesystem::create_directory(std::filesystem::u8path(dir.file("输出")));
  EXPECT_EQ(windows("prepare-input.exe", {"hopper.png", "输出/输入.bin"}).status, 0);
  EXPECT_EQ(read_file(dir.file("输出/输入.bin")).size(), 224u * 224 * 3);
}

// Every property of an XMP document as "NAMESPACE-URI name=value", read with
// exiv2's registries of namespaces as they start: properties by their
// namespace, not their prefix.
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
const std::string other_ns = "http://example.com/other/";

// A sidecar holding the user's keyword `keyword`, with `lr` bound to
// `lr_uri` (Lightroom's, or another program's that holds a note of its own).
std::string user_sidecar(const std::string& keyword, const std::string& lr_uri = lr_ns) {
  const bool lightroom = lr_uri == lr_ns;
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">"
         "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description "
         "rdf:about=\"\" xmlns:dc=\"" +
         dc_ns + "\" xmlns:lr=\"" + lr_uri + "\" xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\" " +
         (lightroom ? "" : "lr:note=\"theirs\" ") +
         "xmp:Rating=\"4\"><dc:subject><rdf:Bag><rdf:li>" + keyword +
         "</rdf:li></rdf:Bag></dc:subject>" +
         (lightroom ? "<lr:hierarchicalSubject><rdf:Bag><rdf:li>mine|" + keyword +
                          "</rdf:li></rdf:Bag></lr:hierarchicalSubject>"
                    : "") +
         "</rdf:Description></rdf:RDF></x:xmpmeta>\n";
}

// The same document in UTF-16 LE, with its byte order mark.
std::string utf16le(std::string ascii) {
  ascii.replace(ascii.find("UTF-8"), 5, "UTF-16");
  std::string text = "\xff\xfe";
  for (const char c : ascii) text += std::string{c, '\0'};
  return text;
}

// The files under `root` by relative path (generic form): what each holds,
// "<folder>" for a folder.
std::map<std::string, std::string> tree_of(const std::string& root) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    tree[entry.path().lexically_relative(root).generic_string()] =
        entry.is_directory() ? "<folder>" : read_file(entry.path().string());
  }
  return tree;
}

// A library of sidecars of every shape Windows meets, and a class folder of
// copies, through classify-photos.exe and through the Linux build over the
// same files, in one order and in the other: every photograph has its line;
// the sidecars it can take hold the user's keywords and ours, as Linux
// writes them and whatever the order (a sidecar binding lr to another
// program's namespace changes no other); a read-only one, a folder and one
// over 16 MiB are each refused with a line and left as they are; the copies
// are the photographs byte for byte, two of one name both kept, nothing of
// ours left beside them or the sidecars; a rerun changes nothing. Then two
// photographs sharing one sidecar under --xmp-name basename.
TEST_F(WindowsPhotos, SidecarsAndCopiesInAPhotoLibrary) {
  namespace fs = std::filesystem;
  const std::string model =
      serialize_model(picking_model(tflite::TensorType_UINT8, 1, 1, {0, 1, 2}, 0.0f, 0, false));
  magick(dir, {"-size", "2x2", "xc:rgb(255,0,0)", "red.png"});
  magick(dir, {"-size", "2x2", "xc:rgb(250,0,0)", "red2.png"});
  magick(dir, {"-size", "2x2", "xc:rgb(0,255,0)", "green.png"});
  magick(dir, {"-size", "2x2", "xc:rgb(0,0,255)", "blue.bmp"});
  struct library_case {
    std::string photo, colour;  // relative to lib/, and the picture it is a copy of
    std::string keyword;        // the user's in its sidecar
    std::string sidecar;        // its sidecar's bytes before the run; "" for none
    std::string refused;        // why its sidecar is left as it is, as the line says
  };
  const std::string big(size_t{16} << 20 | 1, ' ');
  const std::vector<library_case> cases = {
      {"ordinary.png", "red.png", "holiday", user_sidecar("holiday"), ""},
      {"none.bmp", "blue.bmp", "", "", ""},
      {"utf16.png", "green.png", "Paris", utf16le(user_sidecar("Paris")), ""},
      {"foreign lr.png", "blue.bmp", "Rex", user_sidecar("Rex", other_ns), ""},
      {"beside foreign.png", "green.png", "garden", user_sidecar("garden"), ""},
      {"read-only.png", "red.png", "kept", user_sidecar("kept"), "is read-only"},
      {"folder.png", "green.png", "", "<folder>", "is a folder"},
      {"large.png", "red.png", "", big, "is larger than 16 MiB"},
      {"one/x.png", "red.png", "", "", ""},
      {"two/x.png", "red2.png", "", "", ""}};
  // The library afresh in `root`, each sidecar as before a run.
  const auto make_library = [&](const scratch_dir& root) {
    fs::remove_all(root.file("lib"));
    fs::remove_all(root.file("sorted"));
    root.write("model.tflite", model);
    root.write("labels.txt", "red\ngreen\nblue\n");
    for (const library_case& c : cases) {
      fs::create_directories(fs::path(root.file("lib/" + c.photo)).parent_path());
      fs::copy_file(dir.file(c.colour), root.file("lib/" + c.photo));
      if (c.sidecar == "<folder>") {
        fs::create_directory(root.file("lib/" + c.photo + ".xmp"));
      } else if (!c.sidecar.empty()) {
        root.write("lib/" + c.photo + ".xmp", c.sidecar);
      }
    }
  };
  const auto arguments = [&](bool forward) {
    std::vector<std::string> args = {"--model", "model.tflite", "--labels", "labels.txt",
                                     "--xmp",   "--jobs",       "1",        "--sort-into",
                                     "sorted",  "--sort-mode",  "copy"};
    for (size_t i = 0; i < cases.size(); ++i) {
      args.push_back("lib/" + cases[forward ? i : cases.size() - 1 - i].photo);
    }
    return args;
  };
  // Each sidecar's properties after the forward run, by photograph.
  std::map<std::string, std::map<std::string, std::string>> first_order;
  for (const bool forward : {true, false}) {
    const std::string order = forward ? "forward" : "backward";
    scratch_dir linux_dir;
    make_library(linux_dir);
    make_library(dir);
    // The read-only attribute as Windows sets it.
    const run_result attrib =
        run_program(runner, {"attrib", "+r", "lib\\read-only.png.xmp"}, dir.path);
    ASSERT_EQ(attrib.status, 0) << attrib.out << attrib.err;
    chmod(linux_dir.file("lib/read-only.png.xmp").c_str(), 0444);
    const std::vector<std::string> args = arguments(forward);
    const run_result linux = run_program(CLASSIFY_PHOTOS_EXE, args, linux_dir.path);
    const run_result r = windows("classify-photos.exe", args);
    EXPECT_EQ(r.status, 1) << order << "\n" << r.err;
    EXPECT_EQ(linux.status, 1) << order << "\n" << linux.err;
    EXPECT_EQ(unix_lines(r.out), linux.out) << order;
    EXPECT_EQ(unix_lines(r.err), linux.err) << order;
    const std::vector<std::string> lines = lines_of(unix_lines(r.out));
    ASSERT_EQ(lines.size(), cases.size()) << order << "\n" << r.out;
    const std::map<std::string, std::string> library = tree_of(dir.file("lib"));
    const std::map<std::string, std::string> linux_library = tree_of(linux_dir.file("lib"));
    for (size_t i = 0; i < cases.size(); ++i) {
      const library_case& c = cases[i];
      const std::string where = order + ", " + c.photo;
      EXPECT_EQ(lines[forward ? i : cases.size() - 1 - i].rfind("lib/" + c.photo + "\t", 0), 0u)
          << where << ": " << lines[forward ? i : cases.size() - 1 - i];
      EXPECT_EQ(library.at(c.photo), read_file(dir.file(c.colour))) << where;
      const std::string sidecar = c.photo + ".xmp";
      const std::string line =
          "lib/" + c.photo + ": its sidecar lib/" + sidecar + ": " + c.refused + "; left as it is";
      EXPECT_EQ(unix_lines(r.err).find(line) != std::string::npos, !c.refused.empty())
          << where << "\n"
          << r.err;
      if (!c.refused.empty()) {
        EXPECT_TRUE(library.at(sidecar) == c.sidecar) << where;
        continue;
      }
      ASSERT_EQ(library.count(sidecar), 1u) << where;
      std::map<std::string, std::string> properties = xmp_by_namespace(library.at(sidecar));
      EXPECT_EQ(properties, xmp_by_namespace(linux_library.at(sidecar))) << where;
      // The sidecars as in the other order, every one.
      if (forward) first_order[c.photo] = properties;
      EXPECT_EQ(properties, first_order[c.photo]) << where;
      const std::string label = c.colour.substr(0, c.colour.find_first_of("2."));
      const std::string ours = ", classify|" + label;
      const std::string hierarchy = ", " + properties[lr_ns + " hierarchicalSubject"];
      EXPECT_EQ(hierarchy.compare(hierarchy.size() - std::min(hierarchy.size(), ours.size()),
                                  ours.size(), ours),
                0)
          << where << "\n"
          << library.at(sidecar);
      if (!c.keyword.empty()) {
        const std::string flat = properties[dc_ns + " subject"];
        EXPECT_EQ(flat.substr(0, flat.find(',')), c.keyword) << where << "\n"
                                                             << library.at(sidecar);
      }
      // Another program's lr stays with the sidecar that has it.
      EXPECT_EQ(properties.count(other_ns + " note"),
                c.sidecar.find(other_ns) == std::string::npos ? 0u : 1u)
          << where << "\n"
          << library.at(sidecar);
    }
    // Nothing of ours beside the sidecars or in the class folders.
    const std::map<std::string, std::string> sorted = tree_of(dir.file("sorted"));
    for (const auto& tree : {library, sorted}) {
      for (const auto& [path, bytes] : tree) {
        EXPECT_EQ(path.find(".classify-photos-"), std::string::npos) << order << ": " << path;
      }
    }
    // Each photograph copied once, byte for byte, where Linux puts it.
    EXPECT_EQ(sorted, tree_of(linux_dir.file("sorted"))) << order;
    std::multiset<std::string> copies, photographs;
    for (const auto& [path, bytes] : sorted) {
      if (bytes != "<folder>") copies.insert(bytes);
    }
    for (const library_case& c : cases) photographs.insert(read_file(dir.file(c.colour)));
    EXPECT_EQ(copies, photographs) << order;
    EXPECT_EQ(sorted.count("red/x (2).png"), 1u) << order;
    // A rerun: the same lines, and nothing written, not even the same
    // bytes again.
    if (forward) {
      const fs::file_time_type before = fs::file_time_type::clock::now() - std::chrono::hours(1);
      for (const library_case& c : cases) {
        if (c.refused.empty()) {
          fs::last_write_time(dir.file("lib/" + c.photo + ".xmp"), before);
        }
      }
      const run_result again = windows("classify-photos.exe", args);
      EXPECT_EQ(again.out, r.out);
      EXPECT_TRUE(tree_of(dir.file("lib")) == library);
      EXPECT_EQ(tree_of(dir.file("sorted")), sorted);
      for (const library_case& c : cases) {
        if (c.refused.empty()) {
          EXPECT_EQ(fs::last_write_time(dir.file("lib/" + c.photo + ".xmp")), before) << c.photo;
        }
      }
    }
  }

  // A raw file and its JPEG, as it were: IMG_1.png and IMG_1.bmp share
  // IMG_1.xmp, which holds the keywords of both in the order given; so do
  // IMG_3.png and img_3.bmp, whose names Windows takes for one without case.
  fs::create_directory(dir.file("shared"));
  fs::copy_file(dir.file("red.png"), dir.file("shared/IMG_1.png"));
  fs::copy_file(dir.file("blue.bmp"), dir.file("shared/IMG_1.bmp"));
  fs::copy_file(dir.file("green.png"), dir.file("shared/IMG_2.png"));
  fs::copy_file(dir.file("red.png"), dir.file("shared/IMG_3.png"));
  fs::copy_file(dir.file("blue.bmp"), dir.file("shared/img_3.bmp"));
  for (const bool png_first : {true, false}) {
    dir.write("shared/IMG_1.xmp", user_sidecar("holiday"));
    fs::remove(dir.file("shared/IMG_3.xmp"));
    fs::remove(dir.file("shared/img_3.xmp"));
    const std::vector<std::string> args = {"--model",
                                           "model.tflite",
                                           "--labels",
                                           "labels.txt",
                                           "--xmp",
                                           "--xmp-name",
                                           "basename",
                                           png_first ? "shared/IMG_1.png" : "shared/IMG_1.bmp",
                                           png_first ? "shared/IMG_3.png" : "shared/img_3.bmp",
                                           "shared/IMG_2.png",
                                           png_first ? "shared/IMG_1.bmp" : "shared/IMG_1.png",
                                           png_first ? "shared/img_3.bmp" : "shared/IMG_3.png"};
    const std::string flat = png_first ? "red, blue" : "blue, red";
    for (int run = 0; run < 2; ++run) {
      const run_result r = windows("classify-photos.exe", args);
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(lines_of(r.out).size(), 5u) << r.out;
      EXPECT_EQ(xmp_by_namespace(read_file(dir.file("shared/IMG_1.xmp")))[dc_ns + " subject"],
                "holiday, " + flat)
          << "run " << run;
      EXPECT_EQ(xmp_by_namespace(read_file(dir.file("shared/IMG_2.xmp")))[dc_ns + " subject"],
                "green");
      std::vector<std::string> third;  // the sidecars of IMG_3.png and img_3.bmp
      for (const auto& [path, bytes] : tree_of(dir.file("shared"))) {
        EXPECT_EQ(path.find(".classify-photos-"), std::string::npos) << path;
        if (path == "IMG_3.xmp" || path == "img_3.xmp") third.push_back(path);
      }
      ASSERT_EQ(third.size(), 1u) << "run " << run;
      EXPECT_EQ(xmp_by_namespace(read_file(dir.file("shared/" + third[0])))[dc_ns + " subject"],
                flat)
          << "run " << run << ", " << (png_first ? "IMG_3.png" : "img_3.bmp") << " first";
    }
  }
}

}  // namespace

}  // namespace classify
