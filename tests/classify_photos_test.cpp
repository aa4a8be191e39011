// classify-photos as users run it: the same index and probability as
// prepare-input then classify over a sweep of sizes, formats, crops and
// orientations; lines in order with class names, TSV and JSON, error lines
// and exit statuses; results that cannot be written, Ctrl-C, the progress
// line on a terminal; the model and labels taken by default. The
// photographs are made from the sample photograph, or from ImageMagick's
// built-in picture where it is missing (a bare clone).
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "tests/support/image_support.h"
#include "tests/support/run_support.h"
#include "tests/support/sample_data.h"
#include "tools/classify-photos/batch/listing.h"
#include "tools/classify-photos/batch/progress.h"
#include "tools/classify-photos/cli/options.h"
#include "tools/classify-photos/output/report.h"

namespace classify {

namespace {

const std::string& model = pretrained_model;
const std::string& labels_file = pretrained_labels;
const bool have_sample_photo = std::filesystem::exists(sample_photo);
const std::string photo = have_sample_photo ? sample_photo : "logo:";

std::string label_of(int index) {
  const std::vector<std::string> labels = lines_of(read_file(labels_file));
  return index >= 0 && index < static_cast<int>(labels.size()) ? labels[index] : "";
}

// Milliseconds since `start`.
double elapsed_ms(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

class ClassifyPhotos : public ::testing::Test {
 protected:
  void SetUp() override {
    // The sample photograph in three formats, a second photograph (its
    // flag), a truncated file and a text file.
    magick(dir, {photo, "-quality", "90", "hopper.jpg"});
    magick(dir, {photo, "hopper.png"});
    magick(dir, {photo, "hopper.webp"});
    magick(dir, {photo, "-crop", "200x200+0+0", "-quality", "90", "flag.jpg"});
    const std::string jpeg = read_file(dir.file("hopper.jpg"));
    dir.write("truncated.jpg", jpeg.substr(0, jpeg.size() / 3));
    dir.write("notes.txt", "not a photograph\n");
    std::filesystem::create_directory(dir.file("tmp"));
  }

  // "INDEX TAB PROBABILITY" as prepare-input and classify print them for
  // `name`, one after the other, with --crop `crop` unless it is empty.
  std::string plain_chain(const std::string& name, const std::string& crop = "") {
    scratch_dir work;
    EXPECT_EQ(symlink(model.c_str(), work.file(model_file).c_str()), 0);
    std::vector<std::string> args = {dir.file(name), work.file("input.bin")};
    if (!crop.empty()) args.insert(args.begin(), {"--crop", crop});
    const run_result prepared = run_program(PREPARE_INPUT_EXE, args, ".");
    EXPECT_EQ(prepared.status, 0) << name << ": " << prepared.err;
    const std::string line = run_classify(work.path).out;
    const size_t middle = line.find(probability_label);
    if (line.rfind(class_label, 0) != 0 || middle == std::string::npos) return "no result";
    return line.substr(class_label.size(), middle - class_label.size()) + "\t" +
           line.substr(middle + probability_label.size(),
                       line.size() - middle - probability_label.size() - 1);
  }

  // The line classify-photos should write for `name`.
  std::string expected_line(const std::string& name, bool with_label) {
    const std::string result = plain_chain(name);
    return name + "\t" + result +
           (with_label ? "\t" + label_of(std::stoi(result.substr(0, result.find('\t')))) : "");
  }

  // Runs classify-photos in the test folder, with `input` on its standard
  // input and `redirect` (shell words) after its arguments.
  run_result classify_photos(const std::vector<std::string>& args, const std::string& input = "",
                             const std::string& redirect = "") {
    std::string script = "cd \"$1\" && TMPDIR=\"$1/tmp\" exec \"$2\"";
    for (size_t i = 0; i < args.size(); ++i) script += " \"${" + std::to_string(i + 3) + "}\"";
    if (!input.empty()) {
      dir.write("list.txt", input);
      script += " <list.txt";
    }
    script += " " + redirect;
    std::vector<std::string> sh_args = {"-c", script, "sh", dir.path, CLASSIFY_PHOTOS_EXE};
    sh_args.insert(sh_args.end(), args.begin(), args.end());
    return run_program("/bin/sh", sh_args, dir.path);
  }

  bool scratch_left() const { return !std::filesystem::is_empty(dir.file("tmp")); }

  // `count` links to `target` named "many/NNN.png", in order.
  std::vector<std::string> many_links(int count, const std::string& target) {
    std::filesystem::create_directories(dir.file("many"));
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "many/%03d.png", i);
      std::filesystem::create_symlink(dir.file(target), dir.file(name));
      names.push_back(name);
    }
    return names;
  }

  scratch_dir dir;
};

// The contract of classify-photos: on the builtin kernels, for every
// photograph the index and the probability are byte for byte what
// prepare-input then classify print; on XNNPACK (the default), the same
// index and a probability within 2e-5.
TEST_F(ClassifyPhotos, MatchesPrepareInputThenClassifyOverSizesFormatsCropsAndOrientations) {
  std::vector<std::string> names;
  for (const char* size : {"1x1", "2x3", "7x300", "300x7", "223x224", "224x224", "225x225",
                           "640x480", "1200x800", "1201x799", "4032x3024"}) {
    const std::string name = std::string("size_") + size + ".jpg";
    magick(dir, {photo, "-resize", std::string(size) + "!", "-quality", "90", name});
    names.push_back(name);
  }
  for (const char* format : {"png", "webp", "gif", "bmp", "tiff"}) {
    const std::string name = std::string("format.") + format;
    magick(dir, {photo, name});
    names.push_back(name);
  }
  magick(dir, {photo, "-depth", "16", "deep.png"});
  magick(dir, {photo, "-colorspace", "Gray", "-quality", "90", "grey.jpg"});
  magick(dir, {photo, "-colorspace", "CMYK", "-quality", "90", "cmyk.jpg"});
  names.insert(names.end(), {"deep.png", "grey.jpg", "cmyk.jpg"});
  for (int tag = 1; tag <= 8; ++tag) {
    const std::string name = "exif" + std::to_string(tag) + ".jpg";
    magick(dir, {photo, "-resize", "300x200!", "-quality", "90", name});
    set_exif_orientation(dir, name, tag);
    names.push_back(name);
  }
  for (const std::string crop : {"", "0.875", "0.3"}) {
    SCOPED_TRACE("--crop " + crop);
    std::vector<std::string> args = {"--model", model, "--jobs", "2"};
    if (!crop.empty()) args.insert(args.end(), {"--crop", crop});
    args.insert(args.end(), names.begin(), names.end());
    std::vector<std::string> builtin_args = args;
    builtin_args.insert(builtin_args.begin(), {"--kernels", "builtin"});
    const run_result r = classify_photos(builtin_args);
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> expected;
    for (const std::string& name : names) expected.push_back(name + "\t" + plain_chain(name, crop));
    EXPECT_EQ(lines_of(r.out), expected);

    const run_result fast = classify_photos(args);
    EXPECT_EQ(fast.status, 0) << fast.err;
    const std::vector<std::string> lines = lines_of(fast.out);
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < lines.size(); ++i) {
      const size_t score_at = expected[i].rfind('\t') + 1;
      EXPECT_EQ(lines[i].substr(0, score_at), expected[i].substr(0, score_at));
      EXPECT_NEAR(std::stod(lines[i].substr(score_at)), std::stod(expected[i].substr(score_at)),
                  2e-5)
          << lines[i];
    }
  }
}

TEST_F(ClassifyPhotos, MixedFolderGivesOrderedLinesNamesAndErrors) {
  const std::vector<std::string> names = {"hopper.jpg", "truncated.jpg", "hopper.png", "notes.txt",
                                          "flag.jpg",   "missing.jpg",   "hopper.webp"};
  // The builtin kernels: the lines are byte for byte classify's.
  std::vector<std::string> args = {"--model", model, "--labels",  labels_file,
                                   "--jobs",  "2",   "--kernels", "builtin"};
  args.insert(args.end(), names.begin(), names.end());
  const run_result r = classify_photos(args);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(lines_of(r.out),
            (std::vector<std::string>{
                expected_line("hopper.jpg", true), expected_line("hopper.png", true),
                expected_line("flag.jpg", true), expected_line("hopper.webp", true)}));
  if (have_sample_photo) {
    EXPECT_NE(r.out.find("\t653\t"), std::string::npos);
    EXPECT_NE(r.out.find("military uniform"), std::string::npos);
  }
  const std::vector<std::string> errors = lines_of(r.err);
  ASSERT_EQ(errors.size(), 3u) << r.err;
  EXPECT_EQ(errors[0].rfind("classify-photos: truncated.jpg: cannot decode", 0), 0u) << errors[0];
  EXPECT_EQ(errors[1].rfind("classify-photos: notes.txt: not an image", 0), 0u) << errors[1];
  EXPECT_EQ(errors[2], "classify-photos: missing.jpg: No such file or directory");
  EXPECT_FALSE(scratch_left());

  // The same photographs read from standard input, one job at a time, all
  // readable: every line, in order, and exit status 0.
  const run_result good =
      classify_photos({"--model", model, "--jobs", "1", "--kernels", "builtin", "-"},
                      "hopper.png\n\nflag.jpg\nhopper.jpg\n");
  EXPECT_EQ(good.status, 0) << good.err;
  EXPECT_EQ(lines_of(good.out), (std::vector<std::string>{expected_line("hopper.png", false),
                                                          expected_line("flag.jpg", false),
                                                          expected_line("hopper.jpg", false)}));
  EXPECT_FALSE(scratch_left());
}

// Long paths in a large batch: every one gets its line, in order.
TEST_F(ClassifyPhotos, LongPathsInLargeBatchesAreAllClassified) {
  std::string folder = "deep";
  for (int level = 0; level < 8; ++level) folder += "/" + std::string(250, 'a' + level);
  std::filesystem::create_directories(dir.file(folder));
  std::vector<std::string> args = {"--model", model, "--jobs", "1"};
  for (int i = 0; i < 130; ++i) {
    const std::string name = folder + "/" + std::to_string(i) + std::string(200, 'x') + ".png";
    std::filesystem::create_symlink(dir.file("hopper.png"), dir.file(name));
    args.push_back(name);
  }
  const run_result r = classify_photos(args);
  EXPECT_EQ(r.status, 0) << r.err.substr(0, 500);
  const std::vector<std::string> lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 130u);
  const std::string result = expected_line("hopper.png", false).substr(10);
  for (int i = 0; i < 130; ++i) {
    EXPECT_EQ(lines[i], args[4 + i] + result) << i;
  }
}

// Without --model: the working folder's model (and no class names), else
// the one shipped beside the program, with its class names; --help says
// which it found.
// A walked folder takes a file of every format and variant the tool reads,
// whatever its name, and passes over the rest without a word.
TEST_F(ClassifyPhotos, AWalkTakesEveryFormatItReadsAndPassesOverTheRest) {
  const format_sweep sweep = write_every_format(dir, "formats");
  const run_result r = classify_photos({"--model", model, "formats"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::vector<std::string> paths;
  for (const std::string& line : lines_of(r.out)) paths.push_back(line.substr(0, line.find('\t')));
  EXPECT_EQ(paths, sweep.linux);
}

TEST_F(ClassifyPhotos, DefaultsToTheWorkingFolderModelElseTheShippedOne) {
  const std::string shipped =
      std::string(CLASSIFY_BINARY_DIR) + "/" + "mobilenet_v3_small_224_1.0_float.tflite";
  const run_result help = classify_photos({"--help"});
  EXPECT_NE(help.out.find("Found: --model " + shipped + "\n"), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("--labels " + std::string(CLASSIFY_BINARY_DIR) + "/imagenet_labels.txt"),
            std::string::npos)
      << help.out;
  const run_result shipped_run = classify_photos({"hopper.png"});
  EXPECT_EQ(shipped_run.status, 0) << shipped_run.err;
  EXPECT_EQ(shipped_run.out, expected_line("hopper.png", true) + "\n");

  dir.write(model_file, read_file(model));
  const run_result here = classify_photos({"hopper.png"});
  EXPECT_EQ(here.out, expected_line("hopper.png", false) + "\n");
  EXPECT_NE(classify_photos({"--help"}).out.find("Found: --model " + model_file + "\n"),
            std::string::npos);
}

TEST_F(ClassifyPhotos, BadUsageIsRefusedAndABadModelEndsTheBatchFirst) {
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"--model", "missing.tflite", "hopper.jpg"}, "--model missing.tflite: "},
      {{"--model", model, "--jobs", "0", "hopper.jpg"}, "--jobs 0: not a number from 1 to 256"},
      {{"--model", model, "--jobs", "two", "hopper.jpg"}, "--jobs two: not a number"},
      {{"--model", model, "--crop", "1.5", "hopper.jpg"}, "--crop 1.5: not a fraction"},
      {{"--model", model, "--crop", "0", "hopper.jpg"}, "--crop 0: not a fraction"},
      {{"--model", model, "--top", "0", "hopper.jpg"}, "--top 0: not a number from 1"},
      {{"--model", model, "--top", "1002", "hopper.jpg"}, "--top 1002: the model has 1001 classes"},
      {{"--model", model, "--mean", "1,2", "hopper.jpg"}, "--mean 1,2: not one number or three"},
      {{"--model", model, "--std", "0", "hopper.jpg"}, "--std 0: a standard deviation of 0"},
      {{"--model", model, "--labels", "missing.txt", "hopper.jpg"}, "--labels missing.txt: "},
      {{"--model", model}, "no photographs given"},
      {{"--model", model, "--frobnicate", "hopper.jpg"}, "unknown option --frobnicate"},
      {{"--model", model, "--remote-root", "far", "hopper.jpg"}, "--remote-root far: not an"},
      {{"--model"}, "option --model needs a value"},
      {{"--model", model, "tmp"}, "no photographs: the folders given hold no file"},
      {{"--model", model, "--kernels", "fast", "hopper.jpg"},
       "--kernels fast: not xnnpack or builtin"},
      {{"--model", model, "--sort-into", "o", "--sort-mode", "move", "hopper.jpg"},
       "--sort-mode move: not symlink, hardlink or copy"},
      {{"--model", model, "--xmp", "--xmp-name", "short", "hopper.jpg"},
       "--xmp-name short: not full or basename"},
      {{"--model", model, "--xmp-name", "full", "hopper.jpg"}, "--xmp-name needs --xmp"},
      {{"--model", model, "--sort-mode", "copy", "hopper.jpg"}, "--sort-mode needs --sort-into"},
      {{"--model", model, "--summary", "s.json", "hopper.jpg"}, "--summary needs --truth"},
      {{"--model", model, "--xmp", "--keyword-threshold", "1x", "hopper.jpg"},
       "--keyword-threshold 1x: not a number"},
      {{"--model", model, "--jobs", "0x10", "hopper.jpg"},
       "--jobs 0x10: not a number from 1 to 256"},
      {{"--model", model, "--top", "1.5", "hopper.jpg"}, "--top 1.5: not a number from 1\n"},
      // A mistyped option is said before a value the check refuses.
      {{"--model", model, "--jobs", "0", "--frobnicate", "hopper.jpg"},
       "unknown option --frobnicate"},
  };
  for (const auto& c : cases) {
    const run_result r = classify_photos(c.args);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("classify-photos: " + c.message, 0), 0u) << r.err;
    EXPECT_NE(r.err.find("\nTry 'classify-photos --help'.\n"), std::string::npos) << r.err;
  }
  const run_result version = classify_photos({"--version"});
  EXPECT_EQ(version.out.rfind("classify-photos ", 0), 0u);
  EXPECT_EQ(classify_photos({"--help"}).status, 0);
  // A model that fails the checks: one message, before any photograph is
  // read (these do not exist, and nothing says so).
  dir.write("bad.tflite", "TFL3 is not enough");
  const run_result bad = classify_photos({"--model", "bad.tflite", "gone1.jpg", "gone2.jpg"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.out, "");
  ASSERT_EQ(lines_of(bad.err).size(), 1u) << bad.err;
  EXPECT_EQ(bad.err.rfind("classify-photos: bad.tflite: ", 0), 0u) << bad.err;
}

// Categories go with every class a line gives, from each kind of map: the
// built-in one for ImageNet's labels, a map file in either dialect, labels
// that carry their paths, none; a map that cannot be taken is refused before
// any photograph is read.
TEST_F(ClassifyPhotos, CategoriesGoWithEveryClassFromEveryKindOfMap) {
  // The built-in map, by class index, as committed.
  std::map<int, std::vector<std::string>> imagenet;
  for (const std::string& line :
       lines_of(read_file(std::string(CLASSIFY_SOURCE_DIR) + "/models/imagenet_categories.tsv"))) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string>& path = imagenet[std::stoi(line)];
    std::istringstream levels(line.substr(line.rfind('\t') + 1));
    for (std::string level; std::getline(levels, level, '|');) path.push_back(level);
  }
  ASSERT_EQ(imagenet.size(), 1000u);
  const auto json_of = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"--model", model, "--json", "--top", "5"});
    args.push_back("hopper.png");
    const run_result r = classify_photos(args);
    EXPECT_EQ(r.status, 0) << r.err;
    return nlohmann::json::parse(r.out.empty() ? "{}" : r.out);
  };
  const nlohmann::json built_in = json_of({"--labels", labels_file});
  ASSERT_EQ(built_in["classes"].size(), 5u) << built_in;
  EXPECT_EQ(built_in["category"], built_in["classes"][0]["category"]);
  for (const nlohmann::json& c : built_in["classes"]) {
    EXPECT_EQ(c["category"].get<std::vector<std::string>>(), imagenet[c["index"].get<int>()]) << c;
  }
  if (have_sample_photo) {
    EXPECT_EQ(built_in["category"], nlohmann::json({"clothing"}));
  }

  const nlohmann::json none = json_of({"--labels", labels_file, "--categories", "none"});
  EXPECT_FALSE(none.contains("category")) << none;
  EXPECT_FALSE(none["classes"][1].contains("category")) << none;
  nlohmann::json without = built_in["classes"];
  for (nlohmann::json& c : without) c.erase("category");
  EXPECT_EQ(none["classes"], without);

  // A map file gives the paths it names, and none to the rest.
  const int best = built_in["index"];
  const int second = built_in["classes"][1]["index"];
  dir.write("map.csv", "# mine\nclass,path\n" + std::to_string(best) +
                           ",\"people | uniform\"\r\n\"" + label_of(second) + "\",things\n");
  const nlohmann::json mapped = json_of({"--labels", labels_file, "--categories", "map.csv"});
  EXPECT_EQ(mapped["category"], nlohmann::json({"people", "uniform"}));
  EXPECT_EQ(mapped["classes"][1]["category"], nlohmann::json({"things"}));
  EXPECT_EQ(mapped["classes"][2]["category"], nlohmann::json::array());

  // Labels that carry their paths give them, and the name is the last level.
  std::vector<std::string> labels = lines_of(read_file(labels_file));
  labels[static_cast<size_t>(best)] = "people|uniform|" + labels[static_cast<size_t>(best)];
  std::string carried;
  for (const std::string& label : labels) carried += label + "\n";
  dir.write("carried.txt", carried);
  const nlohmann::json carrying = json_of({"--labels", "carried.txt"});
  EXPECT_EQ(carrying["label"], label_of(best));
  EXPECT_EQ(carrying["category"], nlohmann::json({"people", "uniform"}));
  EXPECT_EQ(carrying["classes"][1]["category"], nlohmann::json::array());

  // The TSV lines keep their columns unless asked.
  const run_result plain =
      classify_photos({"--model", model, "--labels", labels_file, "--top", "2", "hopper.png"});
  EXPECT_EQ(std::count(plain.out.begin(), plain.out.end(), '\t'), 6) << plain.out;
  const run_result column =
      classify_photos({"--model", model, "--labels", labels_file, "--top", "2", "--category-column",
                       "--categories", "map.csv", "hopper.png"});
  std::vector<std::string> fields;
  std::istringstream line(plain.out.substr(0, plain.out.size() - 1));
  for (std::string field; std::getline(line, field, '\t');) fields.push_back(field);
  ASSERT_EQ(fields.size(), 7u) << plain.out;
  fields.insert(fields.begin() + 4, "people|uniform");
  fields.push_back("things");
  std::string expected;
  for (const std::string& field : fields) expected += (expected.empty() ? "" : "\t") + field;
  EXPECT_EQ(column.out, expected + "\n");

  // --describe says which map is in use.
  for (const auto& [args, said] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--labels", labels_file}, "categories: 1000 of 1001 classes have a path, under "},
           {{"--labels", labels_file, "--categories", "none"},
            "categories: none (--categories none)\n"},
           {{"--labels", labels_file, "--categories", "map.csv"},
            "categories: 2 of 1001 classes have a path, under 2 broad categories, from map.csv "
            "(--categories)\n"},
           {{"--labels", "carried.txt"}, "from the paths the labels carry\n"},
           {{"--labels", "carried.txt", "--categories", "none"},
            "categories: none (--categories none)\n"}}) {
    std::vector<std::string> describe = {"--model", model, "--describe"};
    describe.insert(describe.end(), args.begin(), args.end());
    const run_result r = classify_photos(describe);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(said), std::string::npos) << r.out;
  }

  // A map that cannot be taken: bad usage, before any photograph is read.
  std::filesystem::create_directory(dir.file("folder"));
  ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0600), 0);
  dir.write("bad.tsv", "653\tclothing\nposodle\tanimal\n");
  dir.write("big.tsv", std::string((16u << 20) + 1, '#'));
  for (const auto& [file, message] : std::vector<std::pair<std::string, std::string>>{
           {"missing.csv", "--categories missing.csv: no such file"},
           {"folder", "--categories folder: not a regular file"},
           {"pipe", "--categories pipe: not a regular file"},
           {"big.tsv", "--categories big.tsv: larger than 16 MiB"},
           {"bad.tsv", "--categories bad.tsv: line 2: \"posodle\" is no class of the model"}}) {
    const run_result r = classify_photos(
        {"--model", model, "--labels", labels_file, "--categories", file, "gone.jpg"});
    EXPECT_EQ(r.status, 2) << file;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("classify-photos: " + message, 0), 0u) << r.err;
  }
}

// File names of any bytes stay on their line and in their column, in TSV
// and in JSON; a labels file shorter than the classes gives empty names.
TEST_F(ClassifyPhotos, OddNamesStayOnTheirLineInTsvAndJson) {
  const std::string odd = "a\tb\nc\\d\re.png";
  std::filesystem::copy_file(dir.file("hopper.png"), dir.file(odd));
  dir.write("short.txt", "background\ntench\n");
  const std::string result = plain_chain("hopper.png");
  const run_result tsv = classify_photos({"--model", model, "--labels", "short.txt", odd});
  EXPECT_EQ(tsv.status, 0) << tsv.err;
  EXPECT_EQ(tsv.out, "a\\tb\\nc\\\\d\\re.png\t" + result + "\t\n");

  const run_result json = classify_photos(
      {"--model", model, "--labels", labels_file, "--json", odd, "hopper.jpg", "notes.txt"});
  EXPECT_EQ(json.status, 1) << json.err;
  const std::vector<std::string> lines = lines_of(json.out);
  ASSERT_EQ(lines.size(), 2u) << json.out;
  const nlohmann::json first = nlohmann::json::parse(lines[0]);
  EXPECT_EQ(first["path"], odd);
  const int index = std::stoi(result);
  EXPECT_EQ(first["index"], index);
  EXPECT_EQ(first["probability"].get<double>(),
            std::strtod(result.substr(result.find('\t') + 1).c_str(), nullptr));
  EXPECT_EQ(first["label"], label_of(index));
  EXPECT_EQ(nlohmann::json::parse(lines[1])["path"], "hopper.jpg");
  EXPECT_EQ(lines[0].substr(0, 9), "{\"path\":\"");
}

TEST_F(ClassifyPhotos, ResultsThatCannotBeWrittenEndTheBatchAtOnce) {
  const run_result full = classify_photos({"--model", model, "hopper.jpg"}, "", ">/dev/full");
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.err,
            "classify-photos: cannot write to standard output: No space left on device\n");

  // A reader that has gone after one line: the batch stops there, long
  // before the time the whole of it takes.
  std::vector<std::string> args = {"--model", model, "--jobs", "1"};
  const std::vector<std::string> names = many_links(150, "hopper.png");
  args.insert(args.end(), names.begin(), names.end());
  auto start = std::chrono::steady_clock::now();
  const run_result whole = classify_photos(args, "", ">/dev/null");
  const double whole_ms = elapsed_ms(start);
  EXPECT_EQ(whole.status, 0) << whole.err;
  start = std::chrono::steady_clock::now();
  const run_result closed = classify_photos(args, "", "| (exec head -n 1 >/dev/null)");
  const double closed_ms = elapsed_ms(start);
  EXPECT_LT(closed_ms, whole_ms / 3) << "closed pipe " << closed_ms << " ms, whole " << whole_ms;
  EXPECT_EQ(closed.err, "classify-photos: cannot write to standard output: Broken pipe\n");
}

// Ctrl-C reaches the whole process group, as a terminal sends it: the batch
// stops at once, and every line written so far is whole and in its place.
TEST_F(ClassifyPhotos, InterruptedBatchKeepsTheLinesWrittenAndNoScratchFiles) {
  const std::vector<std::string> names = many_links(400, "hopper.png");
  std::vector<std::string> args = {CLASSIFY_PHOTOS_EXE, "--model", model, "--jobs", "2"};
  args.insert(args.end(), names.begin(), names.end());
  const pid_t pid = start_program(args, dir.path, "out.tsv", {{"TMPDIR", dir.file("tmp")}}, true);
  ASSERT_GE(pid, 0);
  // Interrupt once the first lines are out.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (read_file(dir.file("out.tsv")).size() < 2000 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const auto start = std::chrono::steady_clock::now();
  kill(-pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_LT(elapsed_ms(start), 1000);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
  const std::string out = read_file(dir.file("out.tsv"));
  const std::vector<std::string> lines = lines_of(out);
  ASSERT_FALSE(lines.empty());
  EXPECT_LT(lines.size(), names.size());
  EXPECT_EQ(out.back(), '\n');
  const std::string result = expected_line("hopper.png", false).substr(10);
  for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], names[i] + result) << i;
  EXPECT_FALSE(scratch_left());
}

// --bar draws its line where standard error is a terminal, and nowhere else.
TEST_F(ClassifyPhotos, ProgressLineOnlyOnATerminal) {
  const std::vector<std::string> names = many_links(30, "hopper.png");
  std::vector<std::string> args = {"--model", model, "--bar"};
  args.insert(args.end(), names.begin(), names.end());
  const run_result piped = classify_photos(args, "", ">/dev/null");
  EXPECT_EQ(piped.status, 0);
  EXPECT_EQ(piped.err, "");

  int terminal = -1;
  const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (chdir(dir.path.c_str()) != 0 || std::freopen("/dev/null", "w", stdout) == nullptr) {
      _exit(126);
    }
    std::vector<char*> argv = {const_cast<char*>(CLASSIFY_PHOTOS_EXE)};
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  std::string shown;
  char chunk[4096];
  for (ssize_t n; (n = read(terminal, chunk, sizeof chunk)) > 0;) shown.append(chunk, n);
  close(terminal);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_NE(shown.find("\r30/30 photographs, "), std::string::npos) << shown;
  EXPECT_NE(shown.find(" a second"), std::string::npos) << shown;
}

TEST(ClassifyPhotosReport, FieldsAndLinesKeepEveryByteOnItsLine) {
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  const std::string field = tsv_field(all);
  EXPECT_EQ(field.find_first_of("\t\n\r"), std::string::npos);
  // Read back, the field gives every byte again.
  std::string back;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\') {
      back += field[i];
      continue;
    }
    const char next = field[++i];
    if (next == 'u') {
      back += static_cast<char>(std::stoi(field.substr(i + 1, 4), nullptr, 16));
      i += 4;
      continue;
    }
    back += next == 't'   ? '\t'
            : next == 'n' ? '\n'
            : next == 'r' ? '\r'
            : next == 'b' ? '\b'
            : next == 'f' ? '\f'
                          : next;
  }
  EXPECT_EQ(back, all);

  std::vector<std::string> labels(654);
  labels[653] = "military uniform";
  for (const std::string score : {"0.447165", "1", "0.5", "0.000123457", "1e-05", "-1", "inf"}) {
    SCOPED_TRACE(score);
    const std::vector<class_score> best = {{653, std::strtof(score.c_str(), nullptr)}, {7, -3.5f}};
    const nlohmann::json object = nlohmann::json::parse(json_line({all, best, &labels}));
    // ASCII as it is; what is not UTF-8 as U+FFFD.
    const std::string path = object["path"].get<std::string>();
    EXPECT_EQ(path.substr(0, 127), all.substr(0, 127));
    EXPECT_NE(path.find("\xEF\xBF\xBD", 127), std::string::npos);
    EXPECT_EQ(object["label"], "military uniform");
    ASSERT_EQ(object["classes"].size(), 2u);
    EXPECT_EQ(object["classes"][1]["index"], 7);
    EXPECT_EQ(object["classes"][1]["score"].get<double>(), -3.5);
    EXPECT_EQ(object["classes"][1]["label"], "");
    for (const nlohmann::json& value : {object["probability"], object["classes"][0]["score"]}) {
      if (score == "inf") {
        EXPECT_TRUE(value.is_null());
      } else {
        EXPECT_EQ(value.get<double>(), std::strtod(score.c_str(), nullptr));
      }
    }
    EXPECT_EQ(tsv_line({"p", best, nullptr}), "p\t653\t" + score + "\t7\t-3.5\n");
    EXPECT_EQ(tsv_line({"p", best, &labels}),
              "p\t653\t" + score + "\tmilitary uniform\t7\t-3.5\t\n");
  }
  const std::vector<class_score> none = {{-1, -1.0f}};
  EXPECT_TRUE(nlohmann::json::parse(json_line({"p", none, nullptr}))["label"].is_null());

  EXPECT_EQ(progress_text(0, 10, 0.0), "0/10 photographs, 0.0 a second");
  EXPECT_EQ(progress_text(50, 650, 2.0), "50/650 photographs, 25.0 a second, 0:24 left");
  EXPECT_EQ(progress_text(650, 650, 5.0), "650/650 photographs, 130.0 a second");

  // Each --sshlogin takes one login: what follows it is a photograph.
  photos_options parsed;
  std::vector<std::string> words = {
      "classify-photos", "--model", "m.tflite", "--sshlogin", ":", "--sshlogin", "a@b",
      "x.jpg",           "--jobs",  "3",        "y.jpg"};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  EXPECT_EQ(parse_options(static_cast<int>(argv.size()), argv.data(), &parsed), std::nullopt);
  EXPECT_EQ(parsed.sshlogins, (std::vector<std::string>{":", "a@b"}));
  EXPECT_EQ(parsed.photos, (std::vector<std::string>{"x.jpg", "y.jpg"}));
  EXPECT_EQ(parsed.jobs, 3);

  std::istringstream listed("b.jpg\n\nc d.jpg\n");
  EXPECT_EQ(list_photos({"a.jpg", "-", "e.jpg", "-"}, listed).photos,
            (std::vector<std::string>{"a.jpg", "b.jpg", "c d.jpg", "e.jpg"}));
}

// Every control byte (0x00 to 0x1f, 0x7f) of a name is written in a TSV
// field as the JSON lines write it, so that a name cannot send a terminal
// commands; every other byte, UTF-8 or not, as it is.
TEST(ClassifyPhotosReport, ControlBytesInTsvAreEscapedAsInTheJsonLines) {
  for (int b = 0; b < 256; ++b) {
    const std::string name = "a" + std::string(1, static_cast<char>(b)) + "b.png";
    const std::string field = tsv_field(name);
    std::string want = name;
    if (b < 0x20 || b == '\\') {
      const std::string json = nlohmann::json(name).dump();
      want = json.substr(1, json.size() - 2);
    } else if (b == 0x7f) {
      // JSON may leave DEL as it is; a TSV field writes it as JSON would
      // escape it.
      want = "a\\u007fb.png";
    }
    EXPECT_EQ(field, want) << b;
    EXPECT_EQ(
        std::count_if(field.begin(), field.end(),
                      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }),
        0)
        << b;
    EXPECT_EQ(error_line(name, name), "classify-photos: " + want + ": " + want + "\n") << b;
  }
}

// A darktable sidecar of about 346 kB: a long history of edits.
std::string large_darktable_sidecar() {
  std::string history;
  for (int i = 0; history.size() < 345000; ++i) {
    std::string params;
    for (int k = 0; k < 128; ++k) params += "0123456789abcdef"[(i * 7 + k) % 16];
    history += "<rdf:li darktable:num=\"" + std::to_string(i) +
               "\" darktable:operation=\"exposure\" darktable:enabled=\"1\" "
               "darktable:modversion=\"6\" darktable:params=\"" +
               params + "\" darktable:multi_name=\"\" darktable:multi_priority=\"0\"/>\n";
  }
  return R"(<?xml version="1.0" encoding="UTF-8"?>
<x:xmpmeta xmlns:x="adobe:ns:meta/" x:xmptk="XMP Core 4.4.0-Exiv2">
 <rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">
  <rdf:Description rdf:about="" xmlns:xmp="http://ns.adobe.com/xap/1.0/"
    xmlns:darktable="http://darktable.sf.net/" xmp:Rating="3" darktable:history_end="1">
   <darktable:history><rdf:Seq>
)" + history +
         R"(</rdf:Seq></darktable:history>
  </rdf:Description>
 </rdf:RDF>
</x:xmpmeta>
)";
}

// Ctrl-C or a polite kill while standard output is a file, which is fully
// buffered: the lines in hand still reach the file, each whole, and every
// photograph whose sidecar was written by then has its line. Large sidecars
// and one job make the batch slow enough to stop in the middle.
TEST_F(ClassifyPhotos, InterruptedBatchToAFileHasTheLineOfEveryPhotographKept) {
  magick(dir, {photo, "-resize", "64x64!", "small.png"});
  const std::vector<std::string> names = many_links(200, "small.png");
  std::vector<std::string> args = {"--model", model, "--labels", labels_file, "--jobs", "1"};
  args.insert(args.end(), names.begin(), names.end());
  const run_result whole = classify_photos(args);
  ASSERT_EQ(whole.status, 0) << whole.err;
  ASSERT_EQ(lines_of(whole.out).size(), names.size());
  args.insert(args.begin(), {CLASSIFY_PHOTOS_EXE, "--xmp"});
  const std::string sidecar = large_darktable_sidecar();
  const auto tagged = [&](size_t i) {
    return read_file(dir.file(names[i] + ".xmp")).find("classify|") != std::string::npos;
  };
  for (const int sig : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(strsignal(sig));
    for (const std::string& name : names) dir.write(name + ".xmp", sidecar);
    const pid_t pid = start_program(args, dir.path, "out.tsv");
    ASSERT_GE(pid, 0);
    // Stopped once a few sidecars are written, long before the lines fill
    // a buffer.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!tagged(2) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(pid, sig);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
    size_t kept = 0;
    while (kept < names.size() && tagged(kept)) ++kept;
    EXPECT_GE(kept, 3u);
    EXPECT_LT(kept, names.size());
    for (size_t i = kept; i < names.size(); ++i) EXPECT_FALSE(tagged(i)) << names[i];
    const std::string out = read_file(dir.file("out.tsv"));
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(), '\n');
    EXPECT_EQ(whole.out.compare(0, out.size(), out), 0) << out;
    EXPECT_GE(lines_of(out).size(), kept);
  }
}

// A --summary that cannot be written is refused before any photograph is
// classified, not found out after the last: a folder that is missing, a
// file in its place, and one that takes no new file (made immutable, which
// root cannot write either; that case is left out where chattr cannot).
TEST_F(ClassifyPhotos, ASummaryThatCannotBeWrittenIsRefusedAtTheStart) {
  std::vector<std::string> summaries = {"missing/summary.json", "notes.txt/summary.json"};
  std::filesystem::create_directory(dir.file("locked"));
  const bool locked = run_program("/usr/bin/chattr", {"+i", dir.file("locked")}, ".").status == 0;
  if (locked) summaries.push_back("locked/summary.json");
  for (const std::string& summary : summaries) {
    const run_result r = classify_photos(
        {"--model", model, "--truth", "folders", "--summary", summary, "hopper.jpg", "flag.jpg"});
    EXPECT_EQ(r.status, 2) << summary << ": " << r.err;
    EXPECT_EQ(r.out, "") << summary;
    const std::string folder = summary.substr(0, summary.find('/'));
    EXPECT_EQ(r.err.rfind("classify-photos: --summary " + summary + ": its folder " + folder +
                              " cannot be written (",
                          0),
              0u)
        << r.err;
    EXPECT_NE(r.err.find("\nTry 'classify-photos --help'.\n"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file(summary)));
  }
  if (locked) {
    EXPECT_TRUE(std::filesystem::is_empty(dir.file("locked")));
    run_program("/usr/bin/chattr", {"-i", dir.file("locked")}, ".");
  }
  // A folder that takes it: the summary is written, and nothing is left
  // beside it.
  std::filesystem::create_directory(dir.file("out"));
  const run_result r = classify_photos(
      {"--model", model, "--truth", "folders", "--summary", "out/summary.json", "hopper.jpg"});
  EXPECT_NE(r.status, 2) << r.err;
  std::vector<std::string> written;
  for (const auto& entry : std::filesystem::directory_iterator(dir.file("out"))) {
    written.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(written, std::vector<std::string>{"summary.json"});
  if (!locked) GTEST_SKIP() << "chattr +i is not possible here: the immutable folder is left out";
}

}  // namespace

}  // namespace classify
