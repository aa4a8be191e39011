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

#include <chrono>
#include <filesystem>
#include <map>
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

}  // namespace

}  // namespace classify
