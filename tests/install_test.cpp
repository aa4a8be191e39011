// make install: the programs, the libvips and exiv2 modules, the manual
// pages, the README and the shipped model and labels land under the prefix,
// and the
// installed programs need nothing from the build or the TensorFlow Lite cache
// at run time (the library is linked in); classify-photos finds the model
// and labels installed beside it, and its exiv2 module for --xmp alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>

#include "tests/support/run_support.h"

namespace classify {

namespace {

// The libraries ldd resolves for `program`, one path each; "not found" for
// one it cannot resolve.
std::vector<std::string> shared_libraries(const std::string& program) {
  const run_result r = run_program("/usr/bin/ldd", {program}, ".");
  std::vector<std::string> paths;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    const size_t arrow = line.find("=> ");
    if (arrow == std::string::npos) continue;
    const std::string target = line.substr(arrow + 3);
    paths.push_back(target.rfind("not found", 0) == 0 ? "not found"
                                                      : target.substr(0, target.find(' ')));
  }
  return paths;
}

TEST(Install, ProgramsPagesAndReadmeLandUnderThePrefix) {
  scratch_dir dir;
  const run_result r =
      run_program("/bin/sh",
                  {"-c", "DESTDIR=\"$1\" exec cmake --install \"$2\" --prefix /opt/x", "sh",
                   dir.file("root"), CLASSIFY_BINARY_DIR},
                  ".");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::string prefix = dir.file("root/opt/x");
  for (const char* file :
       {"bin/classify", "bin/prepare-input", "bin/classify-photos",
        "libexec/classify/prepare-input-vips.so", "libexec/classify/classify-photos-xmp.so",
        "share/man/man1/classify.1.gz", "share/man/man1/prepare-input.1.gz",
        "share/man/man1/classify-photos.1.gz", "share/doc/classify/README.md",
        "share/doc/classify/copyright", "share/classify/mobilenet_v3_small_224_1.0_float.tflite",
        "share/classify/imagenet_labels.txt", "share/doc/classify-data/copyright"}) {
    EXPECT_TRUE(std::filesystem::exists(prefix + "/" + file)) << file;
  }
#ifdef TFLITE_SHARED_LIBRARY
  GTEST_SKIP() << "TensorFlow Lite is linked as a shared library in this build";
#endif
  for (const char* program :
       {"bin/classify", "bin/prepare-input", "bin/classify-photos",
        "libexec/classify/prepare-input-vips.so", "libexec/classify/classify-photos-xmp.so"}) {
    SCOPED_TRACE(program);
    const std::vector<std::string> libraries = shared_libraries(prefix + "/" + program);
    EXPECT_FALSE(libraries.empty());
    for (const std::string& library : libraries) {
      EXPECT_TRUE(library.rfind("/lib/", 0) == 0 || library.rfind("/usr/lib/", 0) == 0) << library;
      EXPECT_EQ(library.find("tensorflow"), std::string::npos) << library;
      // exiv2 (and the shared C++ runtime it brings) cost a run 190 page
      // faults: only the module, which --xmp loads, may bring it.
      if (std::string(program) == "bin/classify-photos") {
        EXPECT_EQ(library.find("libexiv2"), std::string::npos) << library;
      }
    }
  }
  // The installed programs run on their own: classify here with no model
  // beside it, prepare-input on a GIF, which takes its libvips module.
  const run_result run = run_program(prefix + "/bin/classify", {}, dir.path);
  EXPECT_EQ(run.out, create_failure);
  EXPECT_EQ(run.status, 1);
  dir.write("dot.gif", std::string("GIF89a\x01\x00\x01\x00\x80\x00\x00\x00\x00\xc8\x00\x00\x00"
                                   ",\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02\x44\x01\x00;",
                                   35));
  const run_result prepared =
      run_program(prefix + "/bin/prepare-input", {"--size", "1", "dot.gif", "dot.bin"}, dir.path);
  EXPECT_EQ(prepared.status, 0) << prepared.err;
  EXPECT_EQ(read_file(dir.file("dot.bin")), std::string("\x00\x00\xc8", 3));
  // classify-photos with nothing but a photograph: the installed model and
  // its class names.
  const run_result named = run_program(prefix + "/bin/classify-photos", {"dot.gif"}, dir.path);
  EXPECT_EQ(named.status, 0) << named.err;
  EXPECT_EQ(std::count(named.out.begin(), named.out.end(), '\t'), 3) << named.out;
  const run_result tagged =
      run_program(prefix + "/bin/classify-photos", {"--xmp", "dot.gif"}, dir.path);
  EXPECT_EQ(tagged.status, 0) << tagged.err;
  EXPECT_NE(read_file(dir.file("dot.gif.xmp")).find("classify|"), std::string::npos);
  const run_result help = run_program(prefix + "/bin/classify-photos", {"--help"}, dir.path);
  EXPECT_NE(help.out.find("Found: --model " + prefix + "/share/classify/"), std::string::npos)
      << help.out;
  // Without its module, --xmp says why before any photograph is classified.
  std::filesystem::remove(prefix + "/libexec/classify/classify-photos-xmp.so");
  const run_result lost =
      run_program(prefix + "/bin/classify-photos", {"--xmp", "dot.gif"}, dir.path);
  EXPECT_EQ(lost.status, 1);
  EXPECT_EQ(lost.out, "");
  EXPECT_NE(lost.err.find("--xmp cannot write sidecars: its exiv2 module does not load: "),
            std::string::npos)
      << lost.err;
}

}  // namespace

}  // namespace classify

namespace classify {

namespace {

// The options a text gives, by name, with the name of their value ("" for
// none): "--name" or "--name VALUE", the value in capitals as the help and
// the manual page write it. `entry` picks the lines that give options.
std::map<std::string, std::string> options_given(
    const std::string& text, const std::function<bool(const std::string&)>& entry,
    const std::string& first_line, const std::string& last_line) {
  static const std::regex option(R"((--[a-z][a-z-]*)(?: ([A-Z][A-Za-z,|\[\]]*))?)");
  std::map<std::string, std::string> options;
  std::istringstream lines(text);
  bool inside = false;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(first_line, 0) == 0) {
      inside = true;
      continue;
    }
    if (inside && !last_line.empty() && line.rfind(last_line, 0) == 0) break;
    if (!inside || !entry(line)) continue;
    line.erase(
        std::remove_if(line.begin(), line.end(), [](char c) { return c == '*' || c == '_'; }),
        line.end());
    for (std::sregex_iterator m(line.begin(), line.end(), option), end; m != end; ++m) {
      std::string value = (*m)[2];
      while (!value.empty() && value.back() == ',') value.pop_back();
      options[(*m)[1]] = value;
    }
  }
  return options;
}

}  // namespace

// The help and the manual page of each tool name the same options, and where
// the help names an option's value itself (not CLI11's TEXT), by the same
// name.
TEST(Manual, HelpAndManualPageNameTheSameOptions) {
  const std::vector<std::pair<std::string, std::string>> tools = {
      {CLASSIFY_PHOTOS_EXE, "classify-photos"}, {PREPARE_INPUT_EXE, "prepare-input"}};
  for (const auto& [program, name] : tools) {
    SCOPED_TRACE(name);
    const run_result help = run_program(program, {"--help"}, ".");
    ASSERT_EQ(help.status, 0) << help.err;
    const std::map<std::string, std::string> in_help = options_given(
        help.out, [](const std::string& line) { return line.rfind("  -", 0) == 0; },
        "Options:", "");
    std::ifstream page(std::string(CLASSIFY_SOURCE_DIR) + "/man/" + name + ".1.scd");
    ASSERT_TRUE(page) << name << ".1.scd";
    const std::string page_text((std::istreambuf_iterator<char>(page)),
                                std::istreambuf_iterator<char>());
    const std::map<std::string, std::string> in_page = options_given(
        page_text, [](const std::string& line) { return line.rfind("*-", 0) == 0; }, "# OPTIONS",
        "# ");
    ASSERT_GE(in_help.size(), 4u);
    std::vector<std::string> help_names, page_names;
    for (const auto& [option, value] : in_help) help_names.push_back(option);
    for (const auto& [option, value] : in_page) page_names.push_back(option);
    EXPECT_EQ(help_names, page_names);
    for (const auto& [option, value] : in_help) {
      const auto found = in_page.find(option);
      if (found == in_page.end() || value.empty() || value == "TEXT") continue;
      EXPECT_EQ(value, found->second) << option;
    }
  }
}

}  // namespace classify
