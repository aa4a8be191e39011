// The whole program, run as users run it: models built for each case, an
// input.bin beside them, standard output compared byte for byte.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <limits>

#include "tests/support/model_builder.h"
#include "tests/support/run_support.h"

namespace classify {

namespace {

// A working directory holding a model and an input.
struct classify_case {
  classify_case(const model_def& model, const std::string& input) {
    dir.write(model_file, serialize_model(model));
    dir.write("input.bin", input);
  }
  run_result run(const std::vector<std::string>& args = {}) const {
    return run_classify(dir.path, args);
  }
  scratch_dir dir;
};

std::string bytes_with(size_t n, unsigned char fill, size_t at, unsigned char value) {
  std::string bytes(n, static_cast<char>(fill));
  bytes[at] = static_cast<char>(value);
  return bytes;
}

TEST(Classify, SoftmaxReportsTheMostProbableClass) {
  // One byte of 255 among zeros: softmax gives it e^2 / (e^2 + 1000 e^0).
  classify_case c(softmax_model(), bytes_with(1001, 0, 653, 255));
  const run_result r = c.run();
  EXPECT_EQ(r.out, result_line("653", "0.00733486"));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
}

TEST(Classify, ScoresEqualToTheInputValues) {
  struct score_case {
    const char* what;
    std::string input;
    std::string expected;
  };
  std::string ties(1001, '\x10');
  ties[500] = ties[700] = ties[900] = '\xf0';
  const std::vector<score_case> cases = {
      {"ties keep the lowest index", ties, result_line("500", "0.882353")},
      {"all bytes 0 map to -1, which never beats the start", std::string(1001, '\0'),
       result_line("-1", "-1")},
      {"a byte of 128 maps to 1/255", bytes_with(1001, 0, 3, 128), result_line("3", "0.00392157")},
      {"a byte of 255 maps to exactly 1", bytes_with(1001, 0, 1000, 255), result_line("1000", "1")},
      {"index 0 can win", bytes_with(1001, 100, 0, 101), result_line("0", "-0.207843")},
  };
  for (const score_case& sc : cases) {
    SCOPED_TRACE(sc.what);
    classify_case c(scaling_model(1.0f), sc.input);
    const run_result r = c.run();
    EXPECT_EQ(r.out, sc.expected);
    EXPECT_EQ(r.status, 0);
  }
}

TEST(Classify, ScoresPrintInTheStreamsDefaultForm) {
  struct format_case {
    float factor;
    std::string score;
  };
  // Byte 255 maps to 1, so the best score is the factor itself.
  const std::vector<format_case> cases = {
      {1e-05f, "1e-05"},
      {0.5f, "0.5"},
      {0.000123456789f, "0.000123457"},
      {123456.7f, "123457"},
      {1234567.0f, "1.23457e+06"},
  };
  for (const format_case& fc : cases) {
    SCOPED_TRACE(fc.score);
    classify_case c(scaling_model(fc.factor), bytes_with(1001, 128, 42, 255));
    const run_result r = c.run();
    EXPECT_EQ(r.out, result_line("42", fc.score));
    EXPECT_EQ(r.status, 0);
  }
}

TEST(Classify, InfiniteScoreWinsAndPrintsAsInf) {
  // Byte 128 maps to 1/255, and (1/255)^-100 overflows to +infinity; byte 255
  // maps to 1, which stays 1.
  classify_case c(power_model(-100.0f), bytes_with(1001, 255, 42, 128));
  const run_result r = c.run();
  EXPECT_EQ(r.out, result_line("42", "inf"));
  EXPECT_EQ(r.status, 0);
}

TEST(Classify, NaNScoresNeverWin) {
  classify_case all_nan(scaling_model(std::numeric_limits<float>::quiet_NaN()),
                        std::string(1001, 'x'));
  EXPECT_EQ(all_nan.run().out, result_line("-1", "-1"));
  // A negative base to a fractional power is NaN: bytes below 128 give NaN,
  // and the one byte of 255 (value 1) is the best real score.
  classify_case some_nan(power_model(0.5f), bytes_with(1001, 3, 900, 255));
  const run_result r = some_nan.run();
  EXPECT_EQ(r.out, result_line("900", "1"));
  EXPECT_EQ(r.status, 0);
}

TEST(Classify, ArgumentsChangeNothing) {
  classify_case c(softmax_model(), bytes_with(1001, 7, 12, 200));
  const run_result plain = c.run();
  const run_result with_args = c.run({"--help", "other.bin", "-v"});
  EXPECT_EQ(with_args.out, plain.out);
  EXPECT_EQ(with_args.status, plain.status);
  EXPECT_EQ(plain.status, 0);
}

TEST(Classify, FilesAreLookedUpInTheWorkingDirectory) {
  classify_case c(softmax_model(), bytes_with(1001, 0, 77, 255));
  ASSERT_EQ(mkdir(c.dir.file("elsewhere").c_str(), 0755), 0);
  // The program's own folder holds no model; the working directory does.
  EXPECT_EQ(c.run().out, result_line("77", "0.00733486"));
  const run_result elsewhere = run_classify(c.dir.file("elsewhere"));
  EXPECT_EQ(elsewhere.out, create_failure);
  EXPECT_EQ(elsewhere.status, 1);
}

TEST(Classify, InputThatCannotFillTheTensorIsAnError) {
  struct input_case {
    const char* what;
    std::string input;
    std::string message;
  };
  const std::vector<input_case> cases = {
      {"empty", "", "input.bin: holds 0 bytes, but the model's input tensor takes 1001"},
      {"one byte short", std::string(1000, 'a'),
       "holds 1000 bytes, but the model's input tensor takes 1001"},
      {"one byte long", std::string(1002, 'a'),
       "holds 1002 bytes, but the model's input tensor takes 1001"},
  };
  for (const input_case& ic : cases) {
    SCOPED_TRACE(ic.what);
    classify_case c(softmax_model(), ic.input);
    const run_result r = c.run();
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(ic.message), std::string::npos) << r.err;
    EXPECT_EQ(r.status, 1);
  }
}

TEST(Classify, UnusableInputFilesAreErrors) {
  classify_case missing(softmax_model(), "");
  ASSERT_EQ(unlink(missing.dir.file("input.bin").c_str()), 0);
  run_result r = missing.run();
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "classify: input.bin: No such file or directory" + eol());
  EXPECT_EQ(r.status, 1);

  classify_case directory(softmax_model(), "");
  ASSERT_EQ(unlink(directory.dir.file("input.bin").c_str()), 0);
  ASSERT_EQ(mkdir(directory.dir.file("input.bin").c_str(), 0755), 0);
  r = directory.run();
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "classify: input.bin: is a directory, not an input file" + eol());
  EXPECT_EQ(r.status, 1);

  classify_case huge(softmax_model(), "");
  ASSERT_EQ(truncate(huge.dir.file("input.bin").c_str(), (off_t{1} << 32) + 1001), 0);
  r = huge.run();
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("input.bin: is 2 GiB or larger"), std::string::npos) << r.err;
  EXPECT_EQ(r.status, 1);
}

TEST(Classify, OutputOfAnotherSizeIsAnError) {
  classify_case c(scaling_model(1.0f, 1000), std::string(1000, 'a'));
  const run_result r = c.run();
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("holds 4000 bytes of FLOAT32, not 1001 FLOAT32 scores"), std::string::npos)
      << r.err;
  EXPECT_EQ(r.status, 1);
}

TEST(Classify, InputTensorOfAnotherTypeIsAnError) {
  model_def def;
  def.tensors = {{"input", {1, 1001}, tflite::TensorType_INT32},
                 {"MobilenetV3/Predictions/Softmax", {1, 1001}, tflite::TensorType_FLOAT32}};
  def.ops = {{tflite::BuiltinOperator_CAST, {0}, {1}}};
  def.inputs = {0};
  def.outputs = {1};
  classify_case c(def, std::string(1001, 'a'));
  const run_result r = c.run();
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("holds elements of type INT32, not FLOAT32"), std::string::npos) << r.err;
  EXPECT_EQ(r.status, 1);
}

}  // namespace

// A result line or a set-up message that cannot be written is lost, and a run
// that lost it has failed: standard output full, or closed.
TEST(Classify, OutputThatCannotBeWrittenIsAnError) {
  classify_case good(softmax_model(), bytes_with(1001, 0, 653, 255));
  scratch_dir no_model;
  for (const char* redirect : {"exec \"$@\" >/dev/full", "exec \"$@\" >&-"}) {
    for (const std::string* cwd : {&good.dir.path, &no_model.path}) {
      SCOPED_TRACE(std::string(redirect) + " in " + *cwd);
      std::vector<std::string> args = {"-c", redirect, "sh"};
      for (const std::string& word : classify_command()) args.push_back(word);
      const run_result r = run_program("/bin/sh", args, *cwd);
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err.rfind("classify: cannot write to standard output", 0), 0u) << r.err;
    }
  }
}

}  // namespace classify
