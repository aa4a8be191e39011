// classify-photos --truth: the true classes from folders and from a file,
// names matched to labels (case, spaces, synonyms; none or several left out),
// the lines' last column and JSON fields, and the summary's figures, worked
// out by hand for a model whose answer for each photograph is known.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <tuple>

#include "tests/support/image_support.h"
#include "tests/support/model_builder.h"
#include "tests/support/run_support.h"
#include "tools/classify-photos/truth/categories.h"
#include "tools/classify-photos/truth/evaluation.h"
#include "tools/classify-photos/truth/truth.h"

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

  // Bad usage: --summary alone, a file that is not there or never ends, a
  // line without a class.
  EXPECT_EQ(classify_photos({"--summary", "s.json", "photos"}).status, 2);
  EXPECT_EQ(classify_photos({"--truth", "gone.csv", "photos"}).status, 2);
  const run_result endless = classify_photos({"--truth", "/dev/zero", "photos"});
  EXPECT_EQ(endless.status, 2);
  EXPECT_NE(endless.err.find("--truth /dev/zero: not a regular file"), std::string::npos)
      << endless.err;
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

// By category, over a small set worked out by hand. Six classes that pick a
// pixel's R, G, B, B, B, B: red is beagle (0), green tabby (1), blue apple
// (2); quince, rock and kiwi tie with apple and lose (a tie goes to the lower
// index), so they are truths but never predicted. The map:
//   beagle animal|pet|dog   tabby animal|pet|cat   apple food|fruit
//   quince food|fruit|rare  kiwi animal|fruit      rock: no category
// A truth that names a category is under it and under the levels before it
// that every class under it has: "Dog" {animal, pet, dog}, "ANIMAL"
// {animal}, "pet" {animal, pet}, "fruit" {fruit} (kiwi is not under food).
//
//   photo shows (path)      truth     under                 right by category
//   p1  beagle (a|p|dog)    beagle    animal pet dog        yes (dog)
//   p2  tabby  (a|p|cat)    0         animal pet dog        no
//   p3  tabby               Dog       animal pet dog        no
//   p4  beagle              ANIMAL    animal                yes
//   p5  apple  (food|fruit) quince    food fruit rare       no (rare)
//   p6  apple               fruit     fruit                 yes
//   p7  beagle              4 (rock)  -: left out by category
//   p8  tabby               purple    -: names nothing
//   p9  apple               pet       animal pet            no
//   p10 apple               kiwi      animal fruit          yes (fruit)
//
// By class: 5 photographs (p1 p2 p5 p7 p10), 1 right. By category: 8, 4
// right (0.5000; Wilson 0.2152 to 0.7848), 4 of them named by a category.
//   category  truths under  predicted under  both  recall  precision
//   animal    6 (1-4 9 10)  4 (1-4)          4     0.6667  1.0000
//   pet       4 (1-3 9)     4 (1-4)          3     0.7500  0.7500
//   cat       0             2 (2 3)          0     none    0.0000
//   dog       3 (1-3)       2 (1 4)          1     0.3333  0.5000
//   food      1 (5)         4 (5 6 9 10)     1     1.0000  0.2500
//   fruit     3 (5 6 10)    4 (5 6 9 10)     3     1.0000  0.7500
//   rare      1 (5)         0                0     0.0000  none
TEST_F(Truth, CategoriesGiveTheFiguresWorkedOutByHand) {
  dir.write("model.tflite", serialize_model(picking_model(tflite::TensorType_UINT8, 1, 1,
                                                          {0, 1, 2, 2, 2, 2}, 0.0f, 0, false)));
  dir.write("labels.txt", "beagle\ntabby\napple\nquince\nrock\nkiwi\n");
  dir.write(
      "map.tsv",
      "class\tpath\n# a class by name or index\nbeagle\tanimal|pet|dog\n"
      "1\tanimal | pet | cat\napple\tfood|fruit\nquince\tfood|fruit|rare\nkiwi\tanimal|fruit\n");
  const std::vector<std::pair<rgb, std::string>> set = {
      {red, "beagle"}, {green, "0"}, {green, "Dog"},    {red, "ANIMAL"}, {blue, "quince"},
      {blue, "fruit"}, {red, "4"},   {green, "purple"}, {blue, "pet"},   {blue, "kiwi"}};
  std::string truths;
  for (size_t i = 0; i < set.size(); ++i) {
    const std::string name = "set/p" + std::to_string(i + 1) + ".ppm";
    std::filesystem::create_directories(dir.file("set"));
    dir.write(name, ppm(4, 4, std::vector<rgb>(16, set[i].first)));
    truths += name + "," + set[i].second + "\n";
  }
  dir.write("truth.csv", truths);
  const run_result text =
      classify_photos({"--categories", "map.tsv", "--truth", "truth.csv", "set"});
  EXPECT_EQ(text.status, 0) << text.err;
  for (const char* part :
       {"accuracy over 5 photographs of a known class (4 named by a category alone, counted by "
        "category only)\n  top-1: 0.2000 (1 of 5)",
        "classify-photos: accuracy by category over 8 photographs of a known category (4 of them "
        "named by a category alone, 1 photograph of a class under no category left out)\n"
        "  top-1 by category: 0.5000 (4 of 8), 95% interval 0.2152 to 0.7848\n"
        "  per category: photographs, recall, precision\n"
        "    animal: 6, 0.6667, 1.0000\n    pet: 4, 0.7500, 0.7500\n    cat: 0, none, 0.0000\n"
        "    dog: 3, 0.3333, 0.5000\n    food: 1, 1.0000, 0.2500\n    fruit: 3, 1.0000, 0.7500\n"
        "    rare: 1, 0.0000, none\n",
        "classify-photos: warning: no recall (none) for cat: no photograph's truth is under it\n",
        "classify-photos: warning: no precision (none) for rare: no photograph's best class is "
        "under it\n",
        "the truth \"purple\" names no label and no category: 1 photograph left out\n"}) {
    EXPECT_NE(text.err.find(part), std::string::npos) << part << "\nin:\n" << text.err;
  }

  const run_result json =
      classify_photos({"--categories", "map.tsv", "--truth", "truth.csv", "--json", "--summary",
                       "s.json", "--html", "r.html", "set"});
  EXPECT_EQ(json.status, 0) << json.err;
  // The lines' own truth fields stay by class; category_correct is by
  // category, null where the truth has no category (p7, p8).
  const std::vector<std::string> lines = lines_of(json.out);
  ASSERT_EQ(lines.size(), set.size());
  const std::vector<const char*> by_category = {"true", "false", "false", "true",  "false",
                                                "true", "null",  "null",  "false", "true"};
  for (const std::string& line : lines) {
    const nlohmann::json object = nlohmann::json::parse(line);
    const std::string path = object["path"];
    const size_t i = std::stoul(path.substr(path.find("/p") + 2)) - 1;
    EXPECT_EQ(object["category_correct"].dump(), by_category[i]) << line;
    EXPECT_EQ(object["truth"].is_null(), set[i].second == "Dog" || set[i].second == "ANIMAL" ||
                                             set[i].second == "fruit" || set[i].second == "pet" ||
                                             set[i].second == "purple")
        << line;
  }
  const nlohmann::json summary = nlohmann::json::parse(read_file(dir.file("s.json")));
  EXPECT_EQ(summary["photographs"], 5);
  EXPECT_EQ(summary["named_by_category"], 4);
  const nlohmann::json& figures = summary["by_category"];
  EXPECT_EQ(figures["photographs"], 8);
  EXPECT_EQ(figures["named_by_category"], 4);
  EXPECT_EQ(figures["without_category"], 1);
  EXPECT_EQ(figures["top_1"]["correct"], 4);
  EXPECT_DOUBLE_EQ(figures["top_1"]["accuracy"].get<double>(), 0.5);
  // name, photographs under it, predicted under it, both.
  const std::vector<std::tuple<std::string, int, int, int>> table = {
      {"animal", 6, 4, 4}, {"pet", 4, 4, 3},   {"cat", 0, 2, 0}, {"dog", 3, 2, 1},
      {"food", 1, 4, 1},   {"fruit", 3, 4, 3}, {"rare", 1, 0, 0}};
  ASSERT_EQ(figures["categories"].size(), table.size()) << figures.dump();
  for (size_t i = 0; i < table.size(); ++i) {
    const auto& [name, under, predicted, right] = table[i];
    const nlohmann::json& row = figures["categories"][i];
    EXPECT_EQ(row["category"], name);
    EXPECT_EQ(row["photographs"], under) << name;
    EXPECT_EQ(row["predicted"], predicted) << name;
    EXPECT_EQ(row["right"], right) << name;
    if (under == 0) {
      EXPECT_TRUE(row["recall"].is_null()) << name;
    } else {
      EXPECT_DOUBLE_EQ(row["recall"].get<double>(), static_cast<double>(right) / under) << name;
    }
    if (predicted == 0) {
      EXPECT_TRUE(row["precision"].is_null()) << name;
    } else {
      EXPECT_DOUBLE_EQ(row["precision"].get<double>(), static_cast<double>(right) / predicted)
          << name;
    }
  }
  EXPECT_EQ(figures["warnings"].size(), 2u) << figures.dump();

  // The page: the figures by category, the sections by category with their
  // classes inside, and the marks by category.
  const std::string page = read_file(dir.file("r.html"));
  for (const char* part :
       {"By category: <b>0.5000</b> (4 of 8 photographs of a known category right)",
        "<tr><td>cat</td><td>0</td><td>none</td><td>0.0000</td></tr>",
        "<tr><td>rare</td><td>1</td><td>0.0000</td><td>none</td></tr>",
        "<p class=\"warning\">Warning: no recall (none) for cat: no photograph&#39;s truth is "
        "under it.</p>",
        "<section class=\"category\" id=\"category-1\" data-name=\"food|fruit\">\n<h2>food | fruit "
        "<small>4 photographs in 1 class</small></h2>\n<section class=\"class\" id=\"class-2\"",
        "<h2>animal | pet | dog <small>3 photographs in 1 class</small></h2>\n<section "
        "class=\"class\" id=\"class-0\"",
        "&#10008; wrong: kiwi (its category, fruit, right)</span>", "&#10004; right: animal</span>",
        "&#10008; wrong: dog</span>", "&#10008; wrong: beagle</span>"}) {
    EXPECT_NE(page.find(part), std::string::npos) << part;
  }
  EXPECT_EQ(run_program("/usr/bin/tidy", {"-q", "-e", "r.html"}, dir.path).status, 0);

  // Without a map, nothing is by category: the category names are truths
  // that name no label, and the page is by class.
  const run_result none = classify_photos({"--categories", "none", "--truth", "truth.csv",
                                           "--summary", "none.json", "--html", "none.html", "set"});
  EXPECT_EQ(none.status, 0) << none.err;
  const nlohmann::json plain = nlohmann::json::parse(read_file(dir.file("none.json")));
  EXPECT_FALSE(plain.contains("by_category")) << plain.dump();
  EXPECT_EQ(plain["unmatched"].size(), 5u) << plain.dump();
  const std::string plain_page = read_file(dir.file("none.html"));
  EXPECT_EQ(plain_page.find("section class=\"category\""), std::string::npos);
  EXPECT_EQ(plain_page.find("By category"), std::string::npos);
}

// However the truth file and the folders are written, a relative path in the
// file is read against the file's folder, or else against the working
// directory, and names the photograph that the batch reads.
TEST_F(Truth, PathsAreReadAgainstTheTruthFileOrTheWorkingDirectory) {
  namespace fs = std::filesystem;
  fs::create_directories(dir.file("lists"));
  const std::vector<std::string> names = {"red/r1.ppm", "red/r2.ppm", "red/r3.ppm"};
  // Where the file is, how its paths are written, and the folder argument.
  struct layout {
    std::string file, prefix, folder;
  };
  const std::vector<layout> layouts = {
      {"photos/truth.csv", "", "photos/red"},                  // beside the photographs
      {"photos/truth.csv", "./", "photos"},                    // the same, with ./
      {"truth.csv", dir.file("photos/"), "photos/red"},        // absolute, the folder relative
      {"lists/truth.csv", "photos/", "photos/red"},            // from the working directory
      {"truth.csv", "photos/", dir.file("photos/red")},        // the folder absolute
      {"lists/truth.csv", "../photos/", dir.file("photos")}};  // up from the file's folder
  for (const layout& each : layouts) {
    std::string lines;
    for (const std::string& name : names) lines += each.prefix + name + ",red\n";
    dir.write(each.file, lines);
    const run_result r = classify_photos({"--truth", each.file, each.folder});
    EXPECT_NE(r.err.find("  top-1: 0.6667 (2 of 3), 95% interval "), std::string::npos)
        << each.file << " with " << each.prefix << " over " << each.folder << ":\n"
        << r.err;
    EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
  }
}

// A truth file that names none of the photographs says so, and so does one
// that names a photograph twice; figures over no photograph are absent, not
// 0, in the text, the JSON summary and the contact sheet.
TEST_F(Truth, LinesThatNameNoPhotographOrOneTwiceAreReported) {
  dir.write("elsewhere.csv",
            "path,class\n/nowhere/red/r1.ppm,red\n/nowhere/red/r2.ppm,red\nred/r3.ppm,green\n");
  const run_result text = classify_photos({"--truth", "elsewhere.csv", "photos/red"});
  EXPECT_EQ(text.status, 0) << text.err;
  for (const char* part :
       {"classify-photos: --truth elsewhere.csv: warning: 3 lines name no photograph of this "
        "batch, such as line 2: /nowhere/red/r1.ppm\n",
        "classify-photos: warning: no accuracy: no photograph of a known class (3 without one)\n",
        "  top-1: none (no photograph of a known class)\n"}) {
    EXPECT_NE(text.err.find(part), std::string::npos) << part << "\nin:\n" << text.err;
  }
  EXPECT_EQ(text.err.find("0 of 0"), std::string::npos) << text.err;

  const run_result json = classify_photos({"--truth", "elsewhere.csv", "--top", "2", "--summary",
                                           "s.json", "--html", "r.html", "photos/red"});
  EXPECT_NE(json.err.find("warning: 3 lines name no photograph"), std::string::npos) << json.err;
  const nlohmann::json summary = nlohmann::json::parse(read_file(dir.file("s.json")));
  for (const char* figure : {"top_1", "top_2"}) {
    EXPECT_TRUE(summary[figure]["accuracy"].is_null()) << summary.dump();
    EXPECT_TRUE(summary[figure]["interval_95"].is_null()) << summary.dump();
    EXPECT_EQ(summary[figure]["correct"], 0);
  }
  const std::string page = read_file(dir.file("r.html"));
  EXPECT_NE(page.find("Accuracy: <b>none</b> (no photograph of a known class)"), std::string::npos);

  // Two lines for r1: the later counts, and the warning says so.
  dir.write("twice.csv",
            "photos/red/r1.ppm,green\nphotos/red/r2.ppm,red\nphotos/red/r1.ppm,red\n"
            "photos/red/r3.ppm,red\nphotos/red/r3.ppm,red\n");
  const run_result twice = classify_photos({"--truth", "twice.csv", "photos/red"});
  EXPECT_NE(twice.err.find("classify-photos: --truth twice.csv: warning: 2 photographs have more "
                           "than one line, such as photos/red/r1.ppm (lines 1 and 3); the last "
                           "line counts\n"),
            std::string::npos)
      << twice.err;
  EXPECT_NE(twice.err.find("  top-1: 0.6667 (2 of 3)"), std::string::npos) << twice.err;
}

// Every dialect of CSV and TSV that spreadsheets and scripts write gives the
// same truths: quoted fields (with the separator, doubled quotes or a line
// break in them) or bare ones, LF, CRLF or CR line ends, a byte-order mark,
// an empty line at the end, a header line.
TEST(TruthFile, EveryDialectOfCsvAndTsvGivesTheSameTruths) {
  scratch_dir dir;
  const std::vector<std::string> labels = {"tench, Tinca tinca", "goldfish, Carassius auratus",
                                           "say \"cheese\"", "green"};
  struct row {
    std::string path, truth;  // the path with "@" where the dialect's line end goes
    int32_t index;
  };
  const std::vector<row> rows = {{"p/tench/a.JPEG", "tench, Tinca tinca", 0},
                                 {"p/gold,fish/b.JPEG", "Goldfish", 1},
                                 {"p/\"quoted\"/c.JPEG", "say \"cheese\"", 2},
                                 {"p/two@lines/d.JPEG", "1", 1},
                                 {"p/plain/e.JPEG", " green ", 3}};
  const auto with_end = [](std::string text, const std::string& end) {
    for (size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at)) {
      text.replace(at, 1, end);
      at += end.size();
    }
    return text;
  };
  enum class quoting { needed, all, bare };  // bare: the separator left unquoted
  for (const char separator : {',', '\t'}) {
    for (const quoting quotes : {quoting::needed, quoting::all, quoting::bare}) {
      const auto field = [&](const std::string& text) {
        const bool special =
            text.find_first_of("\"\r\n") != std::string::npos ||
            (quotes == quoting::needed && text.find(separator) != std::string::npos);
        if (!special && quotes != quoting::all) return text;
        std::string quoted = "\"";
        for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
        return quoted + "\"";
      };
      for (const std::string end : {"\n", "\r\n", "\r"}) {
        for (const bool bom : {false, true}) {
          for (const bool header : {false, true}) {
            for (const std::string& tail : {std::string(), end, end + end}) {
              std::vector<std::string> photos;
              std::string file = bom ? "\xEF\xBB\xBF" : "";
              if (header) file += field("path") + separator + field("class") + end;
              for (size_t i = 0; i < rows.size(); ++i) {
                photos.push_back(with_end(dir.file(rows[i].path), end));
                file +=
                    (i == 0 ? "" : end) + field(photos.back()) + separator + field(rows[i].truth);
              }
              file += tail;
              photos.push_back(dir.file("p/no/line.JPEG"));
              dir.write("truth.txt", file);
              const std::string dialect =
                  std::string(separator == ',' ? "CSV" : "TSV") + " quoting " +
                  std::to_string(static_cast<int>(quotes)) + " end " + std::to_string(end.size()) +
                  " bom " + std::to_string(bom) + " header " + std::to_string(header) + " tail " +
                  std::to_string(tail.size());
              std::vector<std::string> warnings;
              const result<std::vector<photo_truth>> found =
                  find_truths(dir.file("truth.txt"), photos, labels, labels.size(), &warnings);
              ASSERT_TRUE(found) << dialect << ": " << found.error().message;
              const std::vector<photo_truth>& truths = *found;
              EXPECT_TRUE(warnings.empty()) << dialect << ": " << warnings.front();
              ASSERT_EQ(truths.size(), photos.size());
              for (size_t i = 0; i < rows.size(); ++i) {
                EXPECT_TRUE(truths[i].known) << dialect << ": " << rows[i].path;
                EXPECT_EQ(truths[i].index, rows[i].index)
                    << dialect << ": " << rows[i].path << " \"" << truths[i].text << "\"";
              }
              EXPECT_FALSE(truths.back().known) << dialect;
            }
          }
        }
      }
    }
  }
}

// A line whose class is a number that is not an index of the model (below
// zero, too large, with more after it) or whose quotes do not close is
// refused, with its number, as a line without a class is; from folders, a
// folder so named is a truth that names no class.
TEST(TruthFile, ANumberThatIsNoIndexOrAQuoteLeftOpenIsABadLine) {
  scratch_dir dir;
  const std::vector<std::string> labels = {"tench", "goldfish", "shark", "green"};
  const std::vector<std::string> photos = {dir.file("p/a.jpg"), dir.file("p/b.jpg")};
  // Line 3, after a quoted path over two lines.
  const std::string before = "\"" + dir.file("p/b") + "\n.jpg\",1\n";
  for (const std::string bad : {"-1", "-0", "+1", "1x", "1.0", "4", "99", "99999999999", "0x1",
                                "1e2", "3 d", "\"-1\"", "\"2\" 1", "\"tench"}) {
    dir.write("truth.csv", before + dir.file("p/a.jpg") + "," + bad + "\n");
    const result<std::vector<photo_truth>> found =
        find_truths(dir.file("truth.csv"), photos, labels, labels.size());
    ASSERT_FALSE(found) << bad;
    const std::string& error = found.error().message;
    EXPECT_NE(error.find("truth.csv: line 3"), std::string::npos) << bad << ": " << error;
  }
  for (const std::string good : {"0", " 3 ", "003", "\"2\"", "Shark", " \"tench\" "}) {
    dir.write("truth.csv", dir.file("p/a.jpg") + "," + good + "\n");
    const result<std::vector<photo_truth>> found =
        find_truths(dir.file("truth.csv"), photos, labels, labels.size());
    ASSERT_TRUE(found) << good << ": " << found.error().message;
    EXPECT_GE((*found)[0].index, 0) << good;
  }
  const std::vector<std::string> folders = {"p/-1/a.jpg", "p/+2/b.jpg", "p/2019-trip/c.jpg",
                                            "p/3/d.jpg", "p/4/e.jpg"};
  const result<std::vector<photo_truth>> found =
      find_truths("folders", folders, labels, labels.size());
  ASSERT_TRUE(found) << found.error().message;
  const std::vector<photo_truth>& truths = *found;
  for (size_t i = 0; i < folders.size(); ++i) {
    EXPECT_EQ(truths[i].index, folders[i] == "p/3/d.jpg" ? 3 : -1) << folders[i];
  }
}

// Figures over no photograph of a known class are absent, whatever else the
// batch held: none in the text, null in JSON.
TEST(Evaluation, FiguresOverNoPhotographAreAbsent) {
  const std::vector<std::string> labels = {"red", "green"};
  photo_result classified;
  classified.outcome = photo_result::state::classified;
  classified.classes = {{1, 0.9f}, {0, 0.1f}};
  photo_result failed;
  failed.outcome = photo_result::state::failed;
  failed.reason = "not a photograph";
  const photo_truth none, no_label{true, "purple", -1, {}}, red{true, "red", 0, {}};
  // With a map, by category too: a category truth whose photograph failed
  // is no figure either.
  category_map map;
  map.paths = {{"animal", "dog"}, {"animal"}};
  const photo_truth dog{true, "Dog", -1, "dog"};
  for (const size_t top : {1u, 2u}) {
    for (int batch = 0; batch < 5; ++batch) {
      const bool with_map = top == 1;
      evaluation figures(top, &labels, with_map ? &map : nullptr);
      if (batch == 1) figures.add("a.ppm", none, classified);
      if (batch == 2) figures.add("b.ppm", no_label, classified);
      if (batch == 3) figures.add("c.ppm", red, failed);
      if (batch == 4) figures.add("d.ppm", dog, failed);
      const std::string text = figures.text();
      EXPECT_NE(text.find("  top-1: none (no photograph of a known class)\n"), std::string::npos)
          << text;
      EXPECT_EQ(text.find("0.0000"), std::string::npos) << text;
      EXPECT_EQ(text.find("per class"), std::string::npos) << text;
      const nlohmann::json summary = nlohmann::json::parse(figures.json());
      EXPECT_EQ(summary["photographs"], 0);
      EXPECT_TRUE(summary["top_1"]["accuracy"].is_null()) << summary.dump();
      EXPECT_TRUE(summary["top_1"]["interval_95"].is_null()) << summary.dump();
      EXPECT_EQ(summary.contains("top_2"), top == 2) << summary.dump();
      EXPECT_TRUE(summary["classes"].empty());
      EXPECT_EQ(summary.contains("by_category"), with_map) << summary.dump();
      if (!with_map) continue;
      EXPECT_NE(text.find("classify-photos: warning: no accuracy by category: no photograph of a "
                          "known category\n  top-1 by category: none (no photograph of a known "
                          "category)\n"),
                std::string::npos)
          << text;
      EXPECT_TRUE(summary["by_category"]["top_1"]["accuracy"].is_null()) << summary.dump();
      EXPECT_TRUE(summary["by_category"]["categories"].empty()) << summary.dump();
    }
  }
}

}  // namespace

}  // namespace classify
