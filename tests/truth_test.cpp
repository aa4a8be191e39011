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
  for (const size_t top : {1u, 2u}) {
    for (int batch = 0; batch < 4; ++batch) {
      evaluation figures(top, &labels);
      if (batch == 1) figures.add("a.ppm", none, classified);
      if (batch == 2) figures.add("b.ppm", no_label, classified);
      if (batch == 3) figures.add("c.ppm", red, failed);
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
    }
  }
}

}  // namespace

}  // namespace classify
