// Which classes count for a photograph: --threshold (unsure photographs in
// the lines, the JSON, the sidecars, the class folders, the contact sheet,
// --truth and the cache), --only and --except by name, index and @FILE and
// their refusals, multi-label models (a final LOGISTIC, or --multi-label),
// logits turned into probabilities by --scores, and a batch over --sshlogin
// giving the lines of the batch here. The models pick a solid photograph's
// channels as their scores, so every expected line is worked out here from
// its bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>

#include "model/scores.h"
#include "tests/support/image_support.h"
#include "tests/support/loopback_sshd.h"
#include "tests/support/model_builder.h"
#include "tests/support/run_support.h"

namespace classify {

namespace {

namespace fs = std::filesystem;

// Three classes, a channel each: with --mean 0 --std 255 a score is the
// channel's byte / 255, as the tool works it out.
const std::vector<std::string> colour_names = {"red", "green", "blue"};

// The picking model, its scores passed through `last` (a final SOFTMAX or
// LOGISTIC) unless it is CUSTOM: then the graph ends in GATHER, logits.
std::string colour_model(tflite::BuiltinOperator last) {
  model_def def = picking_model(tflite::TensorType_FLOAT32, 1, 1, {0, 1, 2});
  if (last != tflite::BuiltinOperator_CUSTOM) {
    def.tensors.push_back({"probabilities", {1, 3}});
    def.ops.push_back({last, {def.outputs[0]}, {static_cast<int32_t>(def.tensors.size() - 1)}});
    def.outputs = {static_cast<int32_t>(def.tensors.size() - 1)};
  }
  return serialize_model(def);
}

struct photo {
  std::string name;
  rgb colour;
};

// The model's scores of `p`, converted as --scores says ("" for none).
std::vector<float> scores_of(const photo& p, const std::string& conversion) {
  std::vector<float> scores;
  for (const unsigned char byte : {p.colour.r, p.colour.g, p.colour.b}) {
    scores.push_back(static_cast<float>((byte - 0.0) / 255.0));
  }
  if (conversion == "sigmoid") {
    for (float& s : scores) s = static_cast<float>(1.0 / (1.0 + std::exp(-double{s})));
  } else if (conversion == "softmax") {
    const double greatest = *std::max_element(scores.begin(), scores.end());
    double sum = 0;
    for (const float s : scores) sum += std::exp(s - greatest);
    for (float& s : scores) s = static_cast<float>(std::exp(s - greatest) / sum);
  }
  return scores;
}

// The TSV line of `p` for the classes that count: allowed, at least
// `threshold` (as printed), at most `top`, best first.
std::string expected_line(const photo& p, const std::vector<float>& scores, double threshold,
                          size_t top, const std::vector<int>& allowed = {0, 1, 2}) {
  std::vector<int> order;
  for (const int c : allowed) {
    if (std::strtod(score_text(scores[c]).c_str(), nullptr) >= threshold) order.push_back(c);
  }
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
    return scores[a] > scores[b] || (scores[a] == scores[b] && a < b);
  });
  if (order.size() > top) order.resize(top);
  std::string line = p.name;
  if (order.empty()) line += "\tunsure";
  for (const int c : order) {
    line += "\t" + std::to_string(c) + "\t" + score_text(scores[c]) + "\t" + colour_names[c];
  }
  return line;
}

class Selection : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const photo& p : photos) {
      dir.write(p.name, ppm(4, 4, std::vector<rgb>(16, p.colour)));
    }
    dir.write("colours.txt", "red\ngreen\nblue\n");
    dir.write("hues.tsv", "red\twarm\ngreen\tcool|leafy\n2\tcool\n");
    dir.write("picks.tflite", colour_model(tflite::BuiltinOperator_CUSTOM));
    dir.write("logistic.tflite", colour_model(tflite::BuiltinOperator_LOGISTIC));
    dir.write("softmax.tflite", colour_model(tflite::BuiltinOperator_SOFTMAX));
  }

  // Runs classify-photos in the test folder with its own HOME and TMPDIR
  // (GNU parallel keeps files in both), on the photographs unless told not.
  run_result run(const std::string& model, std::vector<std::string> args, bool with_photos = true) {
    for (const char* folder : {"home", "here_tmp"}) fs::create_directories(dir.file(folder));
    args.insert(args.begin(),
                {"-c",
                 "cd \"$1\" && HOME=\"$1/home\" TMPDIR=\"$1/here_tmp\" && export HOME TMPDIR && "
                 "shift && exec \"$@\"",
                 "sh", dir.path, CLASSIFY_PHOTOS_EXE, "--model", model, "--labels", "colours.txt",
                 "--mean", "0", "--std", "255", "--jobs", "2"});
    if (with_photos) {
      for (const photo& p : photos) args.push_back(p.name);
    }
    return run_program("/bin/sh", args, dir.path);
  }

  // Scores 0.8, 0.4, 0.2 and 0.2, 0.8, 0.4.
  const std::vector<photo> photos = {{"a.ppm", {204, 102, 51}}, {"b.ppm", {51, 204, 102}}};
  scratch_dir dir;
};

TEST_F(Selection, ThresholdsListsMultiLabelAndConversionsGiveTheClassesWorkedOut) {
  struct sweep_case {
    std::string title;
    std::string model;
    std::vector<std::string> args;
    double threshold = 0;
    size_t top = 1;
    std::vector<int> allowed = {0, 1, 2};
    std::string conversion = "";
  };
  const float best = scores_of(photos[0], "")[0];
  const std::string at_best = score_text(best);
  const std::vector<sweep_case> cases = {
      {"no option: the best class", "picks.tflite", {}},
      {"a threshold at the best score counts it",
       "picks.tflite",
       {"--threshold", at_best},
       std::strtod(at_best.c_str(), nullptr)},
      {"a threshold above every score: unsure",
       "picks.tflite",
       {"--threshold", "0.80001"},
       0.80001},
      {"a threshold below the second with --top 3",
       "picks.tflite",
       {"--threshold", "0.3", "--top", "3"},
       0.3,
       3},
      {"a threshold at the second with --top 3",
       "picks.tflite",
       {"--threshold", "0.4", "--top", "3"},
       0.4,
       3},
      {"--only by name", "picks.tflite", {"--only", "green"}, 0, 1, {1}},
      {"--only by index", "picks.tflite", {"--only", "2"}, 0, 1, {2}},
      {"--only twice, --top 3",
       "picks.tflite",
       {"--only", "blue", "--only", "red", "--top", "3"},
       0,
       3,
       {0, 2}},
      {"--except by name, --top 3",
       "picks.tflite",
       {"--except", "red", "--top", "3"},
       0,
       3,
       {1, 2}},
      {"--only @FILE", "picks.tflite", {"--only", "@wanted.txt", "--top", "3"}, 0, 3, {1, 2}},
      {"--only a category, at any level",
       "picks.tflite",
       {"--categories", "hues.tsv", "--only", "cool", "--top", "3"},
       0,
       3,
       {1, 2}},
      {"--except a category's narrower level",
       "picks.tflite",
       {"--categories", "hues.tsv", "--except", "leafy", "--top", "3"},
       0,
       3,
       {0, 2}},
      {"--only with a threshold: unsure where the allowed do not reach it",
       "picks.tflite",
       {"--only", "blue", "--threshold", "0.3"},
       0.3,
       1,
       {2}},
      {"--scores softmax",
       "picks.tflite",
       {"--scores", "softmax", "--top", "3"},
       0,
       3,
       {0, 1, 2},
       "softmax"},
      {"--scores sigmoid: multi-label, at least 0.5",
       "picks.tflite",
       {"--scores", "sigmoid"},
       0.5,
       3,
       {0, 1, 2},
       "sigmoid"},
      {"--scores sigmoid with a threshold",
       "picks.tflite",
       {"--scores", "sigmoid", "--threshold", "0.6"},
       0.6,
       3,
       {0, 1, 2},
       "sigmoid"},
      {"--multi-label: every class at the threshold",
       "picks.tflite",
       {"--multi-label", "--threshold", "0.3"},
       0.3,
       3},
      {"--multi-label: --top caps the count",
       "picks.tflite",
       {"--multi-label", "--threshold", "0.1", "--top", "2"},
       0.1,
       2},
      {"--multi-label at its default threshold", "picks.tflite", {"--multi-label"}, 0.5, 3},
  };
  dir.write("wanted.txt", "green\r\n\n2\n");
  for (const sweep_case& c : cases) {
    SCOPED_TRACE(c.title);
    const run_result got = run(c.model, c.args);
    ASSERT_EQ(got.status, 0) << got.err;
    std::string expected;
    for (const photo& p : photos) {
      expected +=
          expected_line(p, scores_of(p, c.conversion), c.threshold, c.top, c.allowed) + "\n";
    }
    EXPECT_EQ(got.out, expected);
  }

  // A final LOGISTIC: multi-label, every class at 0.5 or more. Its kernel
  // computes the sigmoid its own way: the classes, not the last digit.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"--top", "2"}, {"--threshold", "0.6"}}) {
    const run_result got = run("logistic.tflite", args);
    ASSERT_EQ(got.status, 0) << got.err;
    const double threshold = args.size() == 2 && args[0] == "--threshold" ? 0.6 : 0.5;
    const size_t top = args.size() == 2 && args[0] == "--top" ? 2 : 3;
    const std::vector<std::string> lines = lines_of(got.out);
    ASSERT_EQ(lines.size(), photos.size());
    for (size_t i = 0; i < photos.size(); ++i) {
      const std::string want =
          expected_line(photos[i], scores_of(photos[i], "sigmoid"), threshold, top);
      // The same classes in the same order: the same number of fields, each
      // index and name the same, each score within a millionth.
      std::vector<std::string> a, b;
      for (std::istringstream in(lines[i]); std::getline(in, a.emplace_back(), '\t');) {
      }
      for (std::istringstream in(want); std::getline(in, b.emplace_back(), '\t');) {
      }
      ASSERT_EQ(a.size(), b.size()) << lines[i] << " / " << want;
      for (size_t f = 1; f + 1 < a.size(); ++f) {
        if (f % 3 == 2) {
          EXPECT_NEAR(std::strtod(a[f].c_str(), nullptr), std::strtod(b[f].c_str(), nullptr), 1e-6);
        } else {
          EXPECT_EQ(a[f], b[f]);
        }
      }
    }
  }

  // --describe says what the scores are and which classes count.
  const std::vector<std::pair<std::string, std::vector<std::string>>> described = {
      {"picks.tflite", {"logits (the output comes from GATHER", "single-label"}},
      {"logistic.tflite", {"final LOGISTIC", "multi-label", "at least 0.5"}},
      {"softmax.tflite", {"final SOFTMAX", "single-label"}}};
  for (const auto& [model, words] : described) {
    const run_result got = run(model, {"--describe"}, false);
    ASSERT_EQ(got.status, 0) << got.err;
    for (const std::string& word : words)
      EXPECT_NE(got.out.find(word), std::string::npos) << got.out;
  }
  const run_result converted = run("picks.tflite", {"--describe", "--scores", "softmax"}, false);
  EXPECT_NE(converted.out.find("--scores softmax turns them"), std::string::npos) << converted.out;

  // Refusals: bad usage, naming what is wrong.
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"--only", "purple"}, "purple"},
      {{"--categories", "none", "--only", "cool"}, "--only cool: no class of the model"},
      {{"--except", "3"}, "--except 3"},
      {{"--only", "@absent.txt"}, "absent.txt"},
      {{"--only", "@/dev/zero"}, "--only @/dev/zero: not a regular file"},
      {{"--except", "@blank.txt"}, "--except @blank.txt: the file names no class"},
      {{"--only", "green", "--only", "mauve"}, "mauve"},
      {{"--only", "red", "--except", "blue"}, "--only and --except"},
      {{"--threshold", "1.5"}, "--threshold 1.5"},
      {{"--scores", "tanh"}, "--scores tanh"}};
  dir.write("wanted.txt", "green\nviolet\n");
  dir.write("blank.txt", "\r\n\n");
  for (const auto& [args, named] : refused) {
    SCOPED_TRACE(args[1]);
    const run_result got = run("picks.tflite", args);
    EXPECT_EQ(got.status, 2);
    EXPECT_EQ(got.out, "");
    EXPECT_NE(got.err.find(named), std::string::npos) << got.err;
  }
  EXPECT_NE(run("picks.tflite", {"--only", "@wanted.txt"}).err.find("violet"), std::string::npos);
  // Probabilities are not converted again.
  for (const auto& [model, conversion, made_by] :
       std::vector<std::array<std::string, 3>>{{"softmax.tflite", "softmax", "SOFTMAX"},
                                               {"softmax.tflite", "sigmoid", "SOFTMAX"},
                                               {"logistic.tflite", "softmax", "LOGISTIC"}}) {
    const run_result got = run(model, {"--scores", conversion});
    EXPECT_EQ(got.status, 2) << model << " " << conversion;
    EXPECT_NE(got.err.find("--scores " + conversion +
                           ": the model's scores are probabilities already (they come from a "
                           "final " +
                           made_by + ")"),
              std::string::npos)
        << got.err;
  }
}

TEST_F(Selection, UnsurePhotographsAreKeptListedAndSortedApart) {
  const std::vector<std::string> unsure = {"--threshold", "0.9"};
  // JSON: null best class, no classes, "unsure"; with --truth, not right.
  dir.write("truth.csv", "a.ppm,red\nb.ppm,green\n");
  std::vector<std::string> args = unsure;
  args.insert(args.end(), {"--json", "--truth", "truth.csv"});
  const run_result json = run("picks.tflite", args);
  ASSERT_EQ(json.status, 0) << json.err;
  const std::vector<std::string> lines = lines_of(json.out);
  ASSERT_EQ(lines.size(), 2u);
  for (const std::string& line : lines) {
    const nlohmann::json object = nlohmann::json::parse(line);
    EXPECT_TRUE(object["index"].is_null());
    EXPECT_TRUE(object["probability"].is_null());
    EXPECT_TRUE(object["label"].is_null());
    EXPECT_EQ(object["classes"], nlohmann::json::array());
    EXPECT_EQ(object["unsure"], true);
    EXPECT_EQ(object["correct"], false);
  }
  EXPECT_NE(json.err.find("top-1: 0.0000 (0 of 2)"), std::string::npos) << json.err;
  EXPECT_NE(json.err.find("unsure (no class counted): 2"), std::string::npos) << json.err;
  // The TSV line with --truth: unsure, then the true class.
  args = unsure;
  args.insert(args.end(), {"--truth", "truth.csv"});
  EXPECT_EQ(run("picks.tflite", args).out, "a.ppm\tunsure\t0\nb.ppm\tunsure\t1\n");

  // --xmp: a sidecar of an earlier run loses our keyword; none is made where
  // there was none. --sort-into: the folder "unsure", apart from a class
  // named so in another case. --html: a section of its own.
  ASSERT_EQ(run("picks.tflite", {"--xmp", "a.ppm"}, false).status, 0);
  ASSERT_NE(read_file(dir.file("a.ppm.xmp")).find("<rdf:li>red</rdf:li>"), std::string::npos);
  dir.write("colours.txt", "Unsure\ngreen\nblue\n");
  args = unsure;
  args.insert(args.end(), {"--xmp", "--sort-into", "sorted", "--html", "sheet.html"});
  const run_result kept = run("picks.tflite", args);
  ASSERT_EQ(kept.status, 0) << kept.err;
  EXPECT_EQ(kept.out, "a.ppm\tunsure\nb.ppm\tunsure\n");
  EXPECT_EQ(read_file(dir.file("a.ppm.xmp")).find("<rdf:li>red</rdf:li>"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir.file("b.ppm.xmp")));
  EXPECT_TRUE(fs::is_symlink(dir.file("sorted/unsure (2)/a.ppm")));
  EXPECT_TRUE(fs::is_symlink(dir.file("sorted/unsure (2)/b.ppm")));
  const std::string sheet = read_file(dir.file("sheet.html"));
  EXPECT_NE(sheet.find("<section class=\"class\" id=\"unsure\""), std::string::npos);
  EXPECT_NE(sheet.find("unsure (2)</a>"), std::string::npos);

  // --cache: a result of another threshold is not taken; an unsure one is
  // kept and taken back as it was.
  dir.write("colours.txt", "red\ngreen\nblue\n");
  ASSERT_EQ(run("picks.tflite", {"--cache", "c.db"}).status, 0);
  args = unsure;
  args.insert(args.end(), {"--cache", "c.db"});
  for (const char* taken : {"0 of 2", "2 of 2"}) {
    const run_result cached = run("picks.tflite", args);
    EXPECT_EQ(cached.out, "a.ppm\tunsure\nb.ppm\tunsure\n");
    EXPECT_NE(cached.err.find(taken), std::string::npos) << cached.err;
  }
  for (const std::vector<std::string>& other : {std::vector<std::string>{"--only", "blue"},
                                                {"--except", "blue"},
                                                {"--scores", "softmax"},
                                                {"--top", "2"},
                                                {"--multi-label"},
                                                {"--threshold", "0.5"}}) {
    args = other;
    args.insert(args.end(), {"--cache", "c.db"});
    EXPECT_NE(run("picks.tflite", args).err.find("0 of 2"), std::string::npos) << other[0];
  }
}

// Over ssh the far side has neither the labels nor the lists of this one:
// it gets the classes as indices, and the lines are those of the batch here.
TEST_F(Selection, OverSshTheSameClassesCount) {
  scratch_dir keys;
  fs::create_directory(dir.file("far_tmp"));
  loopback_sshd sshd{keys, {"TMPDIR=" + dir.file("far_tmp")}};
  ASSERT_TRUE(sshd.running) << "sshd did not start";
  dir.write("wanted.txt", "green\nblue\n");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--only", "@wanted.txt", "--threshold", "0.4", "--top", "3"},
        {"--except", "red", "--scores", "sigmoid", "--json"},
        {"--threshold", "0.85", "--json"}}) {
    const run_result here = run("picks.tflite", args);
    ASSERT_EQ(here.status, 0) << here.err;
    std::vector<std::string> spread = {"--sshlogin", sshd.login()};
    spread.insert(spread.end(), args.begin(), args.end());
    const run_result far = run(dir.file("picks.tflite"), spread);
    EXPECT_EQ(far.status, 0) << far.err;
    EXPECT_EQ(far.out, here.out) << args[0];
  }
}

}  // namespace

}  // namespace classify
