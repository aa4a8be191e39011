// classify-photos --truth: the true classes from folders and from a file,
// names matched to labels (case, spaces, synonyms; none or several left out),
// the lines' last column and JSON fields, and the summary's figures, worked
// out by hand for a model whose answer for each photograph is known.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "tests/support/image_support.h"
#include "tests/support/model_builder.h"
#include "tests/support/run_support.h"

namespace classify {

namespace {

const rgb red{255, 0, 0}, green{0, 255, 0}, blue{0, 0, 255};

class Truth : public ::testing::Test {
 protected:
  // A model of three classes that picks a pixel's R, G and B as its scores:
  // a red photograph is class 0, a green one 1, a blue one 2.
  void SetUp() override {
    dir.write("model.tflite", serialize_model(picking_model(tflite::TensorType_UINT8, 1, 1,
                                                            {0, 1, 2}, 0.0f, 0, false)));
    dir.write("labels.txt", "red, crimson\ngreen\nblue\n");
    // Folder by true class: what is in it, and what it shows.
    const std::vector<std::pair<std::string, rgb>> photos = {
        {"red/r1.ppm", red},     {"red/r2.ppm", red},   {"red/r3.ppm", green},
        {"Green/g1.ppm", green}, {"blue/b1.ppm", red},  {"blue/b2.ppm", blue},
        {"Crimson/c1.ppm", red}, {"purple/p1.ppm", red}};
    for (const auto& [path, colour] : photos) {
      std::filesystem::create_directories(
          dir.file("photos/" + path).substr(0, dir.file("photos/" + path).rfind('/')));
      dir.write("photos/" + path, ppm(4, 4, std::vector<rgb>(16, colour)));
    }
    dir.write("photos/blue/broken.jpg", std::string("\xFF\xD8\xFF\xE0", 4) + "cut short");
  }

  run_result classify_photos(std::vector<std::string> args) {
    args.insert(args.begin(), {"--model", "model.tflite", "--labels", "labels.txt"});
    return run_program(CLASSIFY_PHOTOS_EXE, args, dir.path);
  }

  scratch_dir dir;
};

// The classes in order: red (0), green (1), blue (2). Of the seven
// photographs with a class that names one label, five are right (r1, r2,
// g1, b2, c1), and six have the truth among their two best; r3 (red, shows
// green) and b1 (blue, shows red) are confused; purple names no label; the
// broken photograph is an error.
TEST_F(Truth, FoldersGiveTheFiguresWorkedOutByHand) {
  const run_result r = classify_photos({"--truth", "folders", "--top", "2", "photos"});
  EXPECT_EQ(r.status, 1) << r.err;  // the broken photograph
  const std::vector<std::string> lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 8u) << r.out;
  // The true class ends each line: empty where the truth names no label.
  EXPECT_EQ(lines[0], "photos/Crimson/c1.ppm\t0\t255\tred, crimson\t1\t0\tgreen\t0");
  EXPECT_EQ(lines[4], "photos/purple/p1.ppm\t0\t255\tred, crimson\t1\t0\tgreen\t");
  EXPECT_EQ(lines[5], "photos/red/r1.ppm\t0\t255\tred, crimson\t1\t0\tgreen\t0");
  EXPECT_EQ(lines[7].substr(lines[7].size() - 2), "\t0");
  const std::string& err = r.err;
  for (const char* part :
       {"accuracy over 7 photographs of a known class\n",
        "  top-1: 0.7143 (5 of 7), 95% interval 0.3589 to 0.9178\n",
        "  top-2: 0.8571 (6 of 7), 95% interval 0.4869 to 0.9743\n",
        "    red, crimson (0): 4, 0.7500, 0.7500\n", "    green (1): 1, 1.0000, 0.5000\n",
        "    blue (2): 2, 0.5000, 1.0000\n", "    red, crimson (0) -> green (1): 1\n",
        "    blue (2) -> red, crimson (0): 1\n",
        "the truth \"purple\" names no label: 1 photograph left out\n",
        "  could not be classified: 1\n    photos/blue/broken.jpg: "}) {
    EXPECT_NE(err.find(part), std::string::npos) << part << "\nin:\n" << err;
  }
}

TEST_F(Truth, AFileOfNamesAndIndicesAndTheJsonSummary) {
  // Names in any case, with "_" or "-" for spaces, a synonym, an index, a
  // name of no label, a name two classes share (a label and a synonym), and
  // a path written another way; a header line matches no photograph.
  dir.write("labels.txt", "red, crimson\ngreen thing\nGreen-Thing, blue\n");
  dir.write("truth.csv",
            "path,class\n"
            "photos/red/r1.ppm,RED\n"
            "./photos/red/r2.ppm,crimson\n"
            "photos/red/r3.ppm,0\n"
            "photos/Green/g1.ppm\tGreen_Thing\n"
            "photos/blue/b1.ppm,\"blue\"\n"
            "photos/blue/b2.ppm,  Blue \n"
            "photos/purple/p1.ppm,purple\n");
  const run_result r =
      classify_photos({"--truth", "truth.csv", "--summary", "summary.json", "--json", "photos/red",
                       "photos/Green", "photos/blue", "photos/purple"});
  EXPECT_EQ(r.status, 1) << r.err;
  // r1, r2 right; r3 (0, shows green) wrong; g1 names two labels; b1 wrong,
  // b2 right; p1 names none.
  size_t correct = 0, with_truth = 0;
  for (const std::string& line : lines_of(r.out)) {
    const nlohmann::json object = nlohmann::json::parse(line);
    if (object["correct"].is_boolean()) {
      ++with_truth;
      correct += object["correct"].get<bool>() ? 1 : 0;
    }
  }
  EXPECT_EQ(with_truth, 5u);
  EXPECT_EQ(correct, 3u);
  const nlohmann::json summary = nlohmann::json::parse(read_file(dir.file("summary.json")));
  EXPECT_EQ(summary["photographs"], 5);
  EXPECT_EQ(summary["top_1"]["correct"], 3);
  // Accuracy is the share of the lines whose "correct" is true.
  EXPECT_DOUBLE_EQ(summary["top_1"]["accuracy"].get<double>(), 3.0 / 5.0);
  ASSERT_EQ(summary["unmatched"].size(), 2u) << summary.dump();
  EXPECT_EQ(summary["unmatched"][0]["truth"], "Green_Thing");
  EXPECT_EQ(summary["unmatched"][0]["why"], "several labels");
  EXPECT_EQ(summary["unmatched"][1]["truth"], "purple");
  EXPECT_EQ(summary["unmatched"][1]["why"], "no label");
  ASSERT_EQ(summary["errors"].size(), 1u);
  EXPECT_EQ(summary["errors"][0]["path"], "photos/blue/broken.jpg");
  EXPECT_EQ(r.err.find("accuracy over"), std::string::npos) << "the summary went to the file";

  // Bad usage: --summary alone, a file that is not there, a line without a
  // class.
  EXPECT_EQ(classify_photos({"--summary", "s.json", "photos"}).status, 2);
  EXPECT_EQ(classify_photos({"--truth", "gone.csv", "photos"}).status, 2);
  dir.write("bad.csv", "photos/red/r1.ppm\n");
  const run_result bad = classify_photos({"--truth", "bad.csv", "photos"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("bad.csv: line 1 is not a path and a class"), std::string::npos)
      << bad.err;
}

// The contact sheet: the accuracy, each photograph marked right or wrong
// with its true class, the filter for the wrong ones, the confusion table of
// the classes that occur with links to the photographs; valid HTML (tidy);
// and in headless Chromium, the right and the wrong ones in their colours.
TEST_F(Truth, TheContactSheetShowsWhatWasWrongAndWithWhat) {
  const run_result r = classify_photos(
      {"--truth", "folders", "--html", "report.html", "--summary", "s.json", "photos"});
  EXPECT_EQ(r.status, 1) << r.err;
  const std::string page = read_file(dir.file("report.html"));
  for (const char* part :
       {"Accuracy: <b>0.7143</b> (5 of 7 photographs of a known class right)",
        "<input id=\"wrong\" type=\"checkbox\">",
        "<tr><td>red, crimson</td><td>4</td><td>3</td><td><a href=\"#confused-0-1\">green "
        "(1)</a></td></tr>",
        "<tr><td>green</td><td>1</td><td>1</td><td></td></tr>",
        "<tr><td>blue</td><td>2</td><td>1</td><td><a href=\"#confused-2-0\">red, crimson "
        "(1)</a></td></tr>",
        "<p id=\"confused-2-0\">blue taken for red, crimson: <a href=\"#photo-",
        "class=\"wrong\" data-name=\"b1.ppm\"",
        "<span class=\"mark-wrong\">&#10008; wrong: blue</span>",
        "class=\"right\" data-name=\"b2.ppm\"", "<span class=\"mark-right\">&#10004; right</span>",
        "data-name=\"p1.ppm\""}) {
    EXPECT_NE(page.find(part), std::string::npos) << part;
  }
  // The photograph of no known class has no mark.
  const size_t p1 = page.find("data-name=\"p1.ppm\"");
  ASSERT_NE(p1, std::string::npos);
  EXPECT_EQ(page.rfind("<figure data-name=\"p1.ppm\"", p1), p1 - 8)
      << "p1 is neither right nor wrong";
  const run_result tidy = run_program("/usr/bin/tidy", {"-q", "-e", "report.html"}, dir.path);
  EXPECT_EQ(tidy.status, 0) << tidy.err;

  // Class names with markup in them are text in every place they appear.
  dir.write("labels.txt", "<red> & \"crimson\"\ngreen\nblue'<script>\n");
  dir.write("marked.csv", "photos/red/r3.ppm,0\nphotos/blue/b1.ppm,2\n");
  ASSERT_EQ(classify_photos({"--truth", "marked.csv", "--html", "marked.html", "photos/red",
                             "photos/blue/b1.ppm"})
                .status,
            0);
  const std::string marked = read_file(dir.file("marked.html"));
  EXPECT_EQ(marked.find("<red>"), std::string::npos);
  EXPECT_EQ(marked.find("'<script>"), std::string::npos);
  EXPECT_NE(marked.find("<tr><td>&lt;red&gt; &amp; &quot;crimson&quot;</td>"), std::string::npos);
  EXPECT_NE(marked.find("&#10008; wrong: blue&#39;&lt;script&gt;</span>"), std::string::npos);
  EXPECT_EQ(run_program("/usr/bin/tidy", {"-q", "-e", "marked.html"}, dir.path).status, 0);

  if (!std::filesystem::exists(chromium_path)) GTEST_SKIP() << "no " << chromium_path;
  const run_result shot = browser_screenshot(dir, "report.html", "shot.png", 1000, 1600);
  ASSERT_TRUE(std::filesystem::exists(dir.file("shot.png"))) << shot.err;
  // The pixels of a border or mark in the colour of the right ones (#4a4,
  // #292) and of the wrong ones (#c33, #b22).
  EXPECT_GT(pixels_near(dir, "shot.png", "rgb(68,170,68)", "12%"), 300.0);
  EXPECT_GT(pixels_near(dir, "shot.png", "rgb(204,51,51)", "12%"), 300.0);
}

}  // namespace

}  // namespace classify
