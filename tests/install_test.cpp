// make install: the programs, the libvips and exiv2 modules, the manual
// pages, the README and the shipped model and labels land under the prefix,
// and the
// installed programs need nothing from the build or the TensorFlow Lite cache
// at run time (the library is linked in); classify-photos finds the model
// and labels installed beside it, and its exiv2 module for --xmp alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>

#include "tests/support/run_support.h"
#include "tools/classify-photos/cli/option_table.h"
#include "tools/classify-photos/cli/options.h"

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

namespace {

// What the manual page says of an option: its value's name, its choices
// and its default.
struct page_option {
  std::string value;
  std::vector<std::string> choices;
  std::string default_text;
};

// scdoc's text as it reads: no bold or underline marks (an underscore inside
// a word, as in a file name, stays), no escapes.
std::string plain(const std::string& text) {
  const auto word = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\' && i + 1 < text.size()) {
      out += text[++i];
    } else if (c == '_' &&
               !(i > 0 && word(text[i - 1]) && i + 1 < text.size() && word(text[i + 1]))) {
      continue;
    } else if (c != '*') {
      out += c;
    }
  }
  return out;
}

// The first sentence of `text`: up to the first ". ", without its stop.
std::string first_sentence(const std::string& text) {
  std::string sentence = text.substr(0, text.find(". "));
  if (!sentence.empty() && sentence.back() == '.') sentence.pop_back();
  return sentence;
}

// The choices an entry's text opens with, as the page writes them: its first
// sentence ends with a colon and the choices in bold ("Which kernels run the
// model: *xnnpack* or *builtin*.").
std::vector<std::string> page_choices(const std::string& body) {
  static const std::regex listed(R"(: (\*[a-z0-9-]+\*(?:(?:, | or )\*[a-z0-9-]+\*)*)$)");
  static const std::regex bold(R"(\*([a-z0-9-]+)\*)");
  std::smatch found;
  const std::string sentence = first_sentence(body);
  std::vector<std::string> choices;
  if (!std::regex_search(sentence, found, listed)) return choices;
  const std::string list = found[1];
  for (std::sregex_iterator m(list.begin(), list.end(), bold), end; m != end; ++m) {
    choices.push_back((*m)[1]);
  }
  return choices;
}

// The default an entry's text gives: the sentence "Default: X."; "" without
// one, "twice" where it gives two.
std::string page_default(const std::string& body) {
  const std::string text = plain(body);
  const size_t at = text.find("Default: ");
  if (at == std::string::npos) return "";
  if (text.find("Default: ", at + 1) != std::string::npos) return "twice";
  return first_sentence(text.substr(at + 9));
}

// The options of the page's OPTIONS section, by name: an entry is a line
// that begins with an option in bold, then its indented text.
std::map<std::string, page_option> page_options(const std::string& page) {
  static const std::regex option(R"((--[a-z][a-z-]*)(?: ([A-Z][A-Za-z,|\[\]]*))?)");
  std::map<std::string, page_option> options;
  std::vector<std::string> named;  // the options of the entry being read
  std::string body;
  const auto close_entry = [&] {
    for (const std::string& name : named) {
      options[name].choices = page_choices(body);
      options[name].default_text = page_default(body);
    }
    named.clear();
    body.clear();
  };
  const std::string heading = "\n# OPTIONS\n";
  std::istringstream lines(page.substr(page.find(heading) + heading.size()));
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("# ", 0) == 0) break;
    if (line.rfind("*-", 0) == 0) {
      close_entry();
      const std::string header = plain(line);
      for (std::sregex_iterator m(header.begin(), header.end(), option), end; m != end; ++m) {
        std::string value = (*m)[2];
        while (!value.empty() && value.back() == ',') value.pop_back();
        named.push_back((*m)[1]);
        options[(*m)[1]].value = value;
      }
    } else if (!line.empty() && line[0] == '\t') {
      body += (body.empty() ? "" : " ") + line.substr(1);
    }
  }
  close_entry();
  return options;
}

// Every manual page renders without a warning in the POSIX locale, as a
// minimal system starts it: troff there has a glyph for no character beyond
// those the pages' fallbacks give (a division slash once stopped the
// package).
TEST(Manual, EveryPageRendersWithoutAWarningInThePosixLocale) {
  for (const std::string page : {"classify.1.gz", "prepare-input.1.gz", "classify-photos.1.gz"}) {
    const run_result shown = run_program("/bin/sh",
                                         {"-c", "LC_ALL=C exec man -l \"$1\" >/dev/null", "sh",
                                          std::string(CLASSIFY_BINARY_DIR) + "/man/" + page},
                                         ".");
    EXPECT_EQ(shown.status, 0) << page << ": " << shown.err;
    EXPECT_EQ(shown.err, "") << page;
  }
}

}  // namespace

// The manual page's OPTIONS section names the options of the table, each
// with the table's value name, choices and default, and --help, written from
// the table, says each choice and default. The options the tool passes to
// itself over --sshlogin are in neither.
TEST(Manual, PageOptionsAreThoseOfTheOptionTable) {
  photos_options bound;
  const std::vector<option_entry> table = user_options(&bound);
  const std::map<std::string, page_option> page =
      page_options(read_file(std::string(CLASSIFY_SOURCE_DIR) + "/man/classify-photos.1.scd"));
  std::vector<std::string> table_names, page_names;
  for (const option_entry& entry : table) table_names.push_back(entry.name);
  for (const auto& [name, option] : page) page_names.push_back(name);
  std::sort(table_names.begin(), table_names.end());
  EXPECT_EQ(table_names, page_names);

  const run_result help = run_program(CLASSIFY_PHOTOS_EXE, {"--help"}, ".");
  ASSERT_EQ(help.status, 0) << help.err;
  // Each paragraph of the help, by the option its first line gives, its
  // lines joined as they read; a group that shares its text spans the
  // paragraphs of its options.
  std::map<std::string, std::string> paragraphs;
  std::string current;
  std::istringstream lines(help.out.substr(help.out.find("\nOptions:\n")));
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("  -", 0) == 0) current = line.substr(2, line.find(' ', 2) - 2);
    std::istringstream words(line);
    for (std::string word; words >> word;) paragraphs[current] += word + " ";
  }
  std::map<std::string, std::string> group_text;
  std::string group;
  for (const option_entry& entry : table) {
    if (!entry.shares_help) group = entry.name;
    group_text[group] += paragraphs[entry.name];
  }
  for (const option_entry& entry : table) {
    SCOPED_TRACE(entry.name);
    if (!entry.shares_help) group = entry.name;
    const auto found = page.find(entry.name);
    if (found == page.end()) continue;
    std::vector<std::string> choices;
    for (const option_choice& choice : entry.choices) choices.push_back(choice.name);
    EXPECT_EQ(found->second.value, entry.value_name);
    EXPECT_EQ(found->second.choices, choices);
    EXPECT_EQ(found->second.default_text, entry.default_text);
    const std::string& said = group_text[group];
    EXPECT_NE(said.find(entry.name + (entry.value_name.empty() ? " " : " " + entry.value_name)),
              std::string::npos)
        << said;
    for (const std::string& choice : choices) EXPECT_NE(said.find(choice), std::string::npos);
    if (!entry.default_text.empty()) {
      EXPECT_NE(said.find("default: " + entry.default_text + ")"), std::string::npos) << said;
    }
  }
  for (const option_entry& entry : far_side_options(&bound)) {
    EXPECT_EQ(page.count(entry.name), 0u) << entry.name;
    EXPECT_EQ(help.out.find(entry.name), std::string::npos) << entry.name;
  }
}

}  // namespace classify
