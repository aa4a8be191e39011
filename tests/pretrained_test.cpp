// The whole chain on the pretrained MobileNetV3-Small and a real photograph:
// photograph -> prepare-input -> classify. Needs the sample photograph.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/image_support.h"
#include "tests/support/run_support.h"
#include "tests/support/sample_data.h"

namespace classify {

namespace {

const std::string& photo = sample_photo;

// A working folder with the pretrained model under the name classify reads.
class PretrainedModel : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(symlink(pretrained_model.c_str(), dir.file(model_file).c_str()), 0);
  }
  scratch_dir dir;
};

class Pretrained : public PretrainedModel {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(photo)) GTEST_SKIP() << "no sample photograph at " << photo;
    PretrainedModel::SetUp();
  }
};

// Splits a result line into its index and score; false when it is not one.
bool parse_result(const std::string& line, int* index, double* score) {
  if (line.rfind(class_label, 0) != 0 || line.empty() || line.back() != '\n') return false;
  const size_t middle = line.find(probability_label);
  if (middle == std::string::npos) return false;
  *index = std::stoi(line.substr(class_label.size(), middle - class_label.size()));
  *score = std::stod(line.substr(middle + probability_label.size()));
  return true;
}

TEST_F(Pretrained, PhotographOfGraceHopperIsAMilitaryUniform) {
  const run_result prepared = run_program(PREPARE_INPUT_EXE, {photo}, dir.path);
  ASSERT_EQ(prepared.status, 0) << prepared.err;
  const run_result r = run_classify(dir.path);
  ASSERT_EQ(r.status, 0) << r.err;
  int index = -1;
  double score = 0;
  ASSERT_TRUE(parse_result(r.out, &index, &score)) << r.out;
  EXPECT_EQ(index, 653);
  EXPECT_GT(score, 0.3);
  EXPECT_LE(score, 1.0);
}

// The photograph as people have it: in every format, stored sideways with its
// orientation tag, and the whole chain still finds the uniform.
TEST_F(Pretrained, PhotographInEveryFormatIsAMilitaryUniform) {
  struct variant {
    std::string name;
    std::vector<std::string> convert_args;
  };
  const std::vector<variant> variants = {
      {"baseline.jpg", {"-quality", "85"}},
      {"progressive.jpg", {"-quality", "85", "-interlace", "JPEG"}},
      {"ycck.jpg", {"-quality", "90", "-colorspace", "CMYK"}},
      {"rgb8.png", {}},
      {"rgb16.png", {"-depth", "16", "-define", "png:bit-depth=16"}},
      {"PNG8:palette.png", {"-colors", "256"}},
      {"photo.webp", {"-quality", "85"}},
      {"photo.gif", {}},
      {"photo.tiff", {}},
      {"photo.ppm", {}},
      {"photo.heic", {"-quality", "85"}},
      {"photo.avif", {"-quality", "85"}},
      {"sideways.jpg", {"-rotate", "-90", "-quality", "85"}},
  };
  for (const variant& v : variants) {
    SCOPED_TRACE(v.name);
    std::vector<std::string> args = {photo};
    args.insert(args.end(), v.convert_args.begin(), v.convert_args.end());
    args.push_back(v.name);
    magick(dir, args);
    const std::string file = v.name.substr(v.name.find(':') + 1);
    // Stored turned a quarter to the left: tag 6 turns it back for display.
    if (file == "sideways.jpg") set_exif_orientation(dir, file, 6);
    const run_result prepared = run_program(PREPARE_INPUT_EXE, {file}, dir.path);
    ASSERT_EQ(prepared.status, 0) << prepared.err;
    const run_result r = run_classify(dir.path);
    int index = -1;
    double score = 0;
    ASSERT_TRUE(parse_result(r.out, &index, &score)) << r.out << r.err;
    EXPECT_EQ(index, 653) << score;
  }
}

TEST_F(PretrainedModel, AnyInputOfTheRightSizeGivesOneResultLine) {
  dir.write("input.bin", std::string(150528, '\0'));
  const run_result r = run_classify(dir.path);
  EXPECT_EQ(r.status, 0) << r.err;
  int index = -1;
  double score = 0;
  ASSERT_TRUE(parse_result(r.out, &index, &score)) << r.out;
  EXPECT_GE(index, 0);
  EXPECT_LT(index, 1001);
  EXPECT_GT(score, 0.0);
}

}  // namespace

}  // namespace classify
