// classify-photos --html: the contact sheet of a batch. The page is valid
// HTML (tidy, from Debian, checks it), holds one thumbnail of each
// classified photograph, of its proportions and at most 160 pixels long, in
// the section of its best class, escapes hostile names, links nothing
// outside its own folder, and lists what could not be classified with the
// reason; the normal output is unchanged. A report that cannot be written
// gives one message and status 1, and Ctrl-C leaves an earlier report as it
// was. A real browser (headless Chromium, under make check) shows the
// thumbnails.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/support/image_support.h"
#include "tests/support/run_support.h"
#include "tests/support/sample_data.h"

namespace classify {

namespace {

namespace fs = std::filesystem;

std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  if (!fs::exists(folder)) return names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class ContactSheet : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string photo = fs::exists(sample_photo) ? sample_photo : "logo:";
    fs::create_directory(dir.file("photos"));
    magick(dir, {photo, "-quality", "90", "photos/hopper.jpg"});
    magick(dir, {photo, "-resize", "300x100!", "photos/wide.png"});
    magick(dir, {photo, "-resize", "100x300!", "-quality", "90", "photos/tall.jpg"});
    magick(dir, {"-size", "300x200", "xc:rgb(230,20,20)", "photos/red.png"});
    fs::copy_file(dir.file("photos/hopper.jpg"), dir.file(hostile));
    fs::copy_file(dir.file("photos/wide.png"), dir.file(ampersand));
    const std::string jpeg = read_file(dir.file("photos/hopper.jpg"));
    dir.write("photos/truncated.jpg", jpeg.substr(0, jpeg.size() / 3));
  }

  run_result classify_photos(std::vector<std::string> args) {
    args.insert(args.begin(), {"--model", pretrained_model, "--labels", pretrained_labels});
    return run_program(CLASSIFY_PHOTOS_EXE, args, dir.path);
  }

  scratch_dir dir;
  const std::string hostile = "photos/<script>alert('x')<\\script>.jpg";
  const std::string ampersand = "photos/a&b \"c\".png";
};

TEST_F(ContactSheet, GroupsThumbnailsByClassEscapedAndSelfContained) {
  const run_result plain = classify_photos({"--top", "2", "photos"});
  const run_result r = classify_photos({"--top", "2", "--html", "out/report.html", "photos"});
  // A folder the page goes in is not made for it.
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(lines_of(r.err).size(), 1u) << r.err;
  fs::create_directory(dir.file("out"));
  const run_result sheet = classify_photos({"--top", "2", "--html", "out/report.html", "photos"});
  EXPECT_EQ(sheet.status, plain.status) << sheet.err;
  EXPECT_EQ(sheet.out, plain.out);
  EXPECT_EQ(sheet.err, plain.err);
  const std::string page = read_file(dir.file("out/report.html"));
  ASSERT_FALSE(page.empty());

  // tidy, a validator from Debian, finds no error and no warning.
  const run_result tidy = run_program("/usr/bin/tidy", {"-q", "-e", "out/report.html"}, dir.path);
  EXPECT_EQ(tidy.status, 0) << tidy.err;

  // Every classified photograph: one thumbnail, in its class's section, the
  // size in the page the size of the file, its proportions kept.
  const std::vector<std::string> lines = lines_of(sheet.out);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(names_in(dir.file("out/report_files")).size(), lines.size());
  std::map<std::string, std::pair<int, int>> proportions = {{"hopper.jpg", {517, 606}},
                                                            {"wide.png", {300, 100}},
                                                            {"tall.jpg", {100, 300}},
                                                            {"red.png", {300, 200}}};
  const std::regex figure(
      "<figure data-name=\"([^\"]*)\"[^>]*><a href=\"([^\"]*)\"><img src=\"([^\"]*)\" "
      "width=\"([0-9]+)\" height=\"([0-9]+)\"");
  for (const std::string& line : lines) {
    const std::string path = line.substr(0, line.find('\t'));
    const std::string index =
        line.substr(path.size() + 1, line.find('\t', path.size() + 1) - path.size() - 1);
    const size_t section = page.find("<section class=\"class\" id=\"class-" + index + "\"");
    ASSERT_NE(section, std::string::npos) << index;
    // ImageNet's labels bring their categories: each class within one.
    EXPECT_NE(page.rfind("<section class=\"category\"", section), std::string::npos) << index;
    const std::string within = page.substr(section, page.find("</section>", section) - section);
    // The line's path is a TSV field: its backslash is written twice.
    std::string name = path.substr(path.rfind('/') + 1);
    for (size_t at = 0; (at = name.find("\\\\", at)) != std::string::npos; ++at) name.erase(at, 1);
    for (const auto& [raw, escaped] : std::vector<std::pair<std::string, std::string>>{
             {"&", "&amp;"}, {"<", "&lt;"}, {">", "&gt;"}, {"\"", "&quot;"}, {"'", "&#39;"}}) {
      for (size_t at = 0; (at = name.find(raw, at)) != std::string::npos; at += escaped.size()) {
        name.replace(at, raw.size(), escaped);
      }
    }
    std::smatch match;
    bool found = false;
    for (auto it = std::sregex_iterator(within.begin(), within.end(), figure);
         it != std::sregex_iterator(); ++it) {
      if ((*it)[1] != name) continue;
      found = true;
      match = *it;
    }
    ASSERT_TRUE(found) << name;
    const int width = std::stoi(match[4]), height = std::stoi(match[5]);
    EXPECT_LE(std::max(width, height), 160) << name;
    const std::string thumbnail = dir.file("out/" + match[3].str());
    const run_result identify =
        run_program("/usr/bin/identify", {"-format", "%w %h %m", thumbnail}, dir.path);
    EXPECT_EQ(identify.out, std::to_string(width) + " " + std::to_string(height) + " JPEG");
    const std::string base = path.substr(path.rfind('/') + 1);
    if (proportions.count(base) != 0) {
      const auto [w, h] = proportions[base];
      EXPECT_NEAR(static_cast<double>(width) / height, static_cast<double>(w) / h, 0.03) << base;
    }
  }
  // Hostile names are text; nothing is fetched from elsewhere.
  EXPECT_EQ(page.find("<script>alert"), std::string::npos);
  EXPECT_NE(page.find("&lt;script&gt;alert(&#39;x&#39;)&lt;\\script&gt;.jpg"), std::string::npos);
  EXPECT_NE(page.find("a&amp;b &quot;c&quot;.png"), std::string::npos);
  const std::regex link("(src|href)=\"([^\"]*)\"");
  for (auto it = std::sregex_iterator(page.begin(), page.end(), link); it != std::sregex_iterator();
       ++it) {
    const std::string target = (*it)[2];
    EXPECT_TRUE(target.rfind("report_files/", 0) == 0 || target.rfind("#", 0) == 0) << target;
  }
  EXPECT_EQ(std::regex_search(page, std::regex("(https?:)?//[a-z]")), false);
  EXPECT_NE(page.find("<meta charset=\"utf-8\">"), std::string::npos);
  // What could not be classified, with the reason.
  const size_t failed = page.find("id=\"failed\"");
  ASSERT_NE(failed, std::string::npos);
  EXPECT_NE(page.find("truncated.jpg</span>: cannot decode", failed), std::string::npos);
  // The header: the counts, the model, the command.
  EXPECT_NE(page.find("<h1>7 photographs in "), std::string::npos);
  EXPECT_NE(page.find("mobilenet_v3_small_224_1.0_float.tflite"), std::string::npos);
  EXPECT_NE(page.find("--html out/report.html"), std::string::npos);
}

// Ctrl-C in the middle leaves the earlier report as it was, and no folder of
// the batch's thumbnails.
TEST_F(ContactSheet, InterruptedBatchLeavesTheEarlierReport) {
  ASSERT_EQ(classify_photos({"--html", "report.html", "photos/red.png"}).status, 0);
  const std::string earlier = read_file(dir.file("report.html"));
  const std::vector<std::string> earlier_files = names_in(dir.file("report_files"));
  std::vector<std::string> args = {
      CLASSIFY_PHOTOS_EXE, "--model", pretrained_model, "--jobs", "1", "--html", "report.html"};
  for (int i = 0; i < 300; ++i) {
    const std::string name = "many" + std::to_string(i) + ".jpg";
    fs::create_symlink("photos/hopper.jpg", dir.file(name));
    args.push_back(name);
  }
  const pid_t pid = start_program(args, dir.path, "out.tsv");
  ASSERT_GE(pid, 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (read_file(dir.file("out.tsv")).size() < 1000 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
  EXPECT_EQ(read_file(dir.file("report.html")), earlier);
  EXPECT_EQ(names_in(dir.file("report_files")), earlier_files);
  for (const std::string& name : names_in(dir.path)) {
    EXPECT_EQ(name.find("thumbnails"), std::string::npos) << name;
  }
}

// A real browser shows the page: headless Chromium's screenshot of it is not
// blank, and the red photograph's thumbnail is there in red. Chromium is
// installed by make check (scripts/browser-check.sh); the test is skipped
// where it is missing.
TEST_F(ContactSheet, ABrowserShowsTheThumbnails) {
  if (!fs::exists(chromium_path)) {
    GTEST_SKIP() << "no " << chromium_path << " (make check installs it)";
  }
  ASSERT_EQ(classify_photos({"--html", "report.html", "photos"}).status, 1);
  const run_result shot = browser_screenshot(dir, "report.html", "shot.png", 1000, 1400);
  ASSERT_TRUE(fs::exists(dir.file("shot.png"))) << shot.err;
  const run_result size =
      run_program("/usr/bin/identify", {"-format", "%w %h", dir.file("shot.png")}, dir.path);
  EXPECT_EQ(size.out, "1000 1400");
  // Not blank: the spread of its grey levels.
  const run_result spread =
      run_program("/usr/bin/convert",
                  {dir.file("shot.png"), "-format", "%[fx:standard_deviation]", "info:"}, dir.path);
  EXPECT_GT(std::stod(spread.out), 0.05) << spread.out;
  // The red thumbnail (160x107): most of its pixels in the red of the
  // photograph, counted as the white ones once every other pixel is black.
  EXPECT_GT(pixels_near(dir, "shot.png", "rgb(230,20,20)", "8%"), 0.8 * 160 * 107);
}

// A TSV field read back: \t, \n, \r, \\, \b, \f and \u00XX as they are
// written.
std::string tsv_unescaped(const std::string& field) {
  std::string text;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\' || i + 1 == field.size()) {
      text += field[i];
      continue;
    }
    const char next = field[++i];
    if (next == 'u') {
      text += static_cast<char>(std::stoi(field.substr(i + 1, 4), nullptr, 16));
      i += 4;
      continue;
    }
    const std::string from = "tnrbf", to = "\t\n\r\b\f";
    text += from.find(next) != std::string::npos ? to[from.find(next)] : next;
  }
  return text;
}

// "%FF" and the like read back as their bytes.
std::string percent_decoded(const std::string& url) {
  std::string bytes;
  for (size_t i = 0; i < url.size(); ++i) {
    if (url[i] == '%' && i + 2 < url.size()) {
      bytes += static_cast<char>(std::stoi(url.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      bytes += url[i];
    }
  }
  return bytes;
}

// File names of any bytes: every control byte, sequences that are not UTF-8
// (a lone continuation byte, overlong forms, cut sequences, surrogates,
// beyond U+10FFFF) and UTF-8 of two to four bytes, under a page whose own
// name is not UTF-8. The page is UTF-8 all the same, each bad sequence
// U+FFFD as the JSON lines write it and UTF-8 as it is; its links keep the
// real bytes, percent-encoded, and reach the thumbnails; the TSV lines hold
// no control byte and read back to the names.
TEST_F(ContactSheet, NamesOfAnyBytesGiveAUtf8PageAndTsvLinesWithoutControlBytes) {
  std::vector<std::string> names;
  for (int b = 1; b < 0x20; ++b)
    names.push_back("c" + std::string(1, static_cast<char>(b)) + ".png");
  names.push_back("del\x7f.png");
  const std::vector<std::string> not_utf8 = {"lone\x80.png",
                                             "ff\xff.png",
                                             "overlong\xc0\xaf.png",
                                             "overlong3\xe0\x80\xaf.png",
                                             "cut\xe2\x82.png",
                                             "cut4\xf0\x9f\x98.png",
                                             "surrogate\xed\xa0\x80.png",
                                             "beyond\xf4\x90\x80\x80.png"};
  const std::vector<std::string> utf8 = {"caf\xc3\xa9.png", "\xe6\xbc\xa2\xe5\xad\x97.png",
                                         "\xf0\x9f\x98\x80.png"};
  names.insert(names.end(), not_utf8.begin(), not_utf8.end());
  names.insert(names.end(), utf8.begin(), utf8.end());
  fs::create_directory(dir.file("odd"));
  magick(dir, {"-size", "24x16", "xc:rgb(20,20,230)", "odd/blue.png"});
  for (const std::string& name : names)
    fs::copy_file(dir.file("odd/blue.png"), dir.file("odd/" + name));
  fs::remove(dir.file("odd/blue.png"));

  const std::string page_name = "report-\xff-caf\xc3\xa9.html";
  const run_result r = classify_photos({"--html", page_name, "odd"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string page = read_file(dir.file(page_name));
  ASSERT_FALSE(page.empty());
  // nlohmann's strict writer refuses text that is not UTF-8.
  EXPECT_NO_THROW(nlohmann::json(page).dump());

  // The TSV lines: no control byte but the tabs, and the paths read back.
  std::vector<std::string> listed;
  for (const std::string& line : lines_of(r.out)) {
    EXPECT_EQ(std::count_if(line.begin(), line.end(),
                            [](char c) {
                              return (static_cast<unsigned char>(c) < 0x20 && c != '\t') ||
                                     c == 0x7f;
                            }),
              0)
        << line;
    listed.push_back(tsv_unescaped(line.substr(0, line.find('\t'))));
  }
  std::vector<std::string> paths;
  for (const std::string& name : names) paths.push_back("odd/" + name);
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ(listed, paths);

  // Each name in the page as the JSON lines give it.
  const run_result json = classify_photos({"--json", "odd"});
  ASSERT_EQ(json.status, 0) << json.err;
  for (const std::string& line : lines_of(json.out)) {
    const std::string path = nlohmann::json::parse(line)["path"].get<std::string>();
    std::string name = path.substr(path.rfind('/') + 1);
    EXPECT_NE(page.find("data-name=\"" + name + "\""), std::string::npos) << name;
  }
  const std::string replacement = "\xef\xbf\xbd";
  for (const std::string& name : utf8) {
    EXPECT_NE(page.find("data-name=\"" + name + "\""), std::string::npos) << name;
  }
  for (const std::string& name : not_utf8) {
    // The ASCII before and after stays; between them, only U+FFFD.
    const size_t bad = name.find_first_of(std::string("\x80\xff\xc0\xe0\xe2\xf0\xed\xf4"));
    const std::string before = "data-name=\"" + name.substr(0, bad) + replacement;
    const size_t at = page.find(before);
    ASSERT_NE(at, std::string::npos) << name;
    size_t end = at + before.size();
    while (page.compare(end, replacement.size(), replacement) == 0) end += replacement.size();
    EXPECT_EQ(page.compare(end, 5, ".png\""), 0) << name;
  }

  // The links reach the thumbnails by the folder's real name.
  const std::regex image("<img src=\"([^\"]*)\"");
  size_t images = 0;
  for (auto it = std::sregex_iterator(page.begin(), page.end(), image);
       it != std::sregex_iterator(); ++it, ++images) {
    const std::string src = (*it)[1];
    EXPECT_EQ(src.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                    "0123456789-_.~%/"),
              std::string::npos)
        << src;
    EXPECT_TRUE(fs::is_regular_file(dir.file(percent_decoded(src)))) << src;
  }
  EXPECT_EQ(images, names.size());
}

}  // namespace

}  // namespace classify
