// The Windows photograph tools under Wine (make windows-test sets
// CLASSIFY_WINDOWS_DIR to the folder of the .exe files and
// CLASSIFY_TEST_RUNNER to Wine; elsewhere these tests are skipped): the
// sample photograph as JPEG, PNG and BMP prepares to the same bytes as on
// Linux and classifies as 653 through prepare-input.exe then classify.exe and
// through classify-photos.exe; a folder and a file named in Chinese work; a
// quantized model of a model zoo's names its own labels; the cache, the
// sidecars and the class folders work there too.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "tests/support/image_support.h"
#include "tests/support/run_support.h"
#include "tests/support/sample_data.h"

namespace classify {

namespace {

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Text as Windows' text mode writes it, with its CR LF line ends made LF.
std::string unix_lines(std::string text) {
  for (size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
  return text;
}

class WindowsPhotos : public ::testing::Test {
 protected:
  void SetUp() override {
    if (windows_dir.empty() || runner.empty()) {
      GTEST_SKIP() << "CLASSIFY_WINDOWS_DIR and CLASSIFY_TEST_RUNNER name no Windows build";
    }
    if (!std::filesystem::exists(sample_photo)) GTEST_SKIP() << "no sample photograph";
    std::filesystem::create_directory(std::filesystem::u8path(dir.file("照片")));
    magick(dir, {sample_photo, "-quality", "90", "照片/霍珀.jpg"});
    magick(dir, {sample_photo, "hopper.png"});
    std::filesystem::copy_file(sample_photo, dir.file("hopper.bmp"));
    magick(dir, {sample_photo, "hopper.gif"});
  }

  run_result windows(const std::string& program, std::vector<std::string> args) {
    args.insert(args.begin(), windows_dir + "/" + program);
    return run_program(runner, args, dir.path);
  }

  // The result line classify.exe (or `program`) prints for `photo`, prepared
  // by prepare-input.exe; and the input it read, which must be what Linux's
  // prepare-input makes of the same file.
  std::string classify_exe_line(const std::string& photo,
                                const std::string& program = "classify.exe") {
    const run_result prepared = windows("prepare-input.exe", {photo, "win.bin"});
    EXPECT_EQ(prepared.status, 0) << photo << ": " << prepared.err;
    EXPECT_EQ(run_program(PREPARE_INPUT_EXE, {photo, "linux.bin"}, dir.path).status, 0);
    EXPECT_EQ(read_file(dir.file("win.bin")), read_file(dir.file("linux.bin"))) << photo;
    scratch_dir work;
    std::filesystem::copy_file(pretrained_model, work.file(model_file));
    std::filesystem::copy_file(dir.file("win.bin"), work.file("input.bin"));
    return run_program(runner, {windows_dir + "/" + program}, work.path).out;
  }

  const std::string windows_dir = env("CLASSIFY_WINDOWS_DIR");
  const std::string runner = env("CLASSIFY_TEST_RUNNER");
  scratch_dir dir;
};

TEST_F(WindowsPhotos, SamplePhotographIsAMilitaryUniformByBothRoutes) {
  const std::vector<std::string> photos = {"照片/霍珀.jpg", "hopper.png", "hopper.bmp"};
  std::string expected;
  for (const std::string& photo : photos) {
    const std::string line = classify_exe_line(photo);
    ASSERT_EQ(line.rfind(class_label + "653" + probability_label, 0), 0u) << photo << ": " << line;
    const std::string score =
        line.substr(class_label.size() + 3 + probability_label.size(),
                    line.size() - class_label.size() - 3 - probability_label.size() - 2);
    expected += photo + "\t653\t" + score + "\tmilitary uniform\n";
  }
  // The build for any x86-64 CPU, which classify.exe runs where the CPU
  // lacks AVX2 or FMA: the same class, the probability within FMA's
  // rounding.
  const std::string plain = classify_exe_line(photos[1], "x86-64/classify.exe");
  ASSERT_EQ(plain.rfind(class_label + "653" + probability_label, 0), 0u) << plain;
  const size_t at = class_label.size() + 3 + probability_label.size();
  EXPECT_NEAR(std::stod(plain.substr(at)), 0.447165, 2e-6) << plain;

  // classify-photos.exe with the photographs alone: the model and the
  // labels beside it, the paths as UTF-8, the lines in order. On the
  // builtin kernels its scores are classify.exe's to the last digit.
  std::vector<std::string> args = {"--kernels", "builtin"};
  args.insert(args.end(), photos.begin(), photos.end());
  const run_result r = windows("classify-photos.exe", args);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(unix_lines(r.out), expected);
  // On XNNPACK, the default here too: the same classes.
  const run_result fast = windows("classify-photos.exe", photos);
  EXPECT_EQ(fast.status, 0) << fast.err;
  const std::vector<std::string> lines = lines_of(unix_lines(fast.out));
  ASSERT_EQ(lines.size(), photos.size()) << fast.out;
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].rfind(photos[i] + "\t653\t", 0), 0u) << lines[i];
  }
  const run_result described = windows("classify-photos.exe", {"--describe"});
  EXPECT_NE(unix_lines(described.out).find("\nkernels: XNNPACK (119 of 119 operators)\n"),
            std::string::npos)
      << described.out;
  // The builds for any x86-64 CPU, which the programs run where the CPU
  // lacks AVX2 or FMA, are there and classify.
  const run_result plain_photos = windows("x86-64/classify-photos.exe", {photos[1]});
  EXPECT_EQ(plain_photos.out.rfind(photos[1] + "\t653\t", 0), 0u) << plain_photos.out;
}

// A quantized model of a model zoo's, with its labels in its metadata's
// archive, under a Chinese path: the same lines as on Linux; and the folder
// of photographs walked.
TEST_F(WindowsPhotos, QuantizedModelWithItsOwnLabelsUnderAChinesePath) {
  const std::string zoo_model =
      CLASSIFY_SHARED_DIR "/models/zoo/tf2_mobilenet_v2_1.0_224_ptq.tflite";
  if (!std::filesystem::exists(zoo_model)) GTEST_SKIP() << "no " << zoo_model;
  std::filesystem::create_directory(std::filesystem::u8path(dir.file("模型")));
  std::filesystem::copy_file(zoo_model, std::filesystem::u8path(dir.file("模型/量化.tflite")));
  dir.write("照片/说明.txt", "not a photograph\n");
  const std::vector<std::string> args = {"--model", "模型/量化.tflite", "--top", "2", "照片"};
  const run_result linux = run_program(CLASSIFY_PHOTOS_EXE, args, dir.path);
  ASSERT_EQ(linux.status, 0) << linux.err;
  EXPECT_EQ(linux.out.rfind("照片/霍珀.jpg\t653\t", 0), 0u) << linux.out;
  EXPECT_NE(linux.out.find("\tmilitary uniform\t"), std::string::npos) << linux.out;
  const run_result r = windows("classify-photos.exe", args);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(unix_lines(r.out), linux.out);

  // The contact sheet under a Chinese name: the page in UTF-8 names the
  // photograph, and its folder holds the thumbnail.
  std::vector<std::string> with_sheet = args;
  with_sheet.insert(with_sheet.begin(), {"--html", "报告.html"});
  const run_result sheet = windows("classify-photos.exe", with_sheet);
  EXPECT_EQ(sheet.status, 0) << sheet.err;
  EXPECT_EQ(unix_lines(sheet.out), linux.out);
  const std::string page = read_file(dir.file("报告.html"));
  EXPECT_NE(page.find("<meta charset=\"utf-8\">"), std::string::npos);
  EXPECT_NE(page.find(">霍珀.jpg</span>"), std::string::npos) << page.substr(0, 2000);
  EXPECT_NE(page.find("src=\"%E6%8A%A5%E5%91%8A_files/000001.jpg\""), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::u8path(dir.file("报告_files/000001.jpg"))));
}

// --cache, --xmp and --sort-into under Chinese names: the sidecar holds the
// keywords, the class folder the photograph (linked or copied), and a rerun
// takes the photograph from the cache.
TEST_F(WindowsPhotos, CacheSidecarsAndClassFoldersUnderChineseNames) {
  const std::vector<std::string> args = {"--cache",     "缓存.db", "--xmp",
                                         "--sort-into", "分类",    "照片"};
  const run_result first = windows("classify-photos.exe", args);
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(unix_lines(first.out).rfind("照片/霍珀.jpg\t653\t", 0), 0u) << first.out;
  EXPECT_NE(read_file(dir.file("照片/霍珀.jpg.xmp")).find("classify|military uniform"),
            std::string::npos);
  EXPECT_EQ(read_file(dir.file("分类/military uniform/霍珀.jpg")),
            read_file(dir.file("照片/霍珀.jpg")));
  const run_result again = windows("classify-photos.exe", args);
  EXPECT_EQ(again.out, first.out);
  EXPECT_NE(unix_lines(again.err).find("1 of 1 photographs from the cache 缓存.db\n"),
            std::string::npos)
      << again.err;
}

TEST_F(WindowsPhotos, FormatsItLacksAndSshAreRefusedClearly) {
  const run_result gif = windows("prepare-input.exe", {"hopper.gif", "out.bin"});
  EXPECT_EQ(gif.status, 1);
  EXPECT_NE(gif.err.find("hopper.gif: not an image this tool can read (this Windows build reads "
                         "JPEG, PNG and BMP)"),
            std::string::npos)
      << gif.err;
  const run_result batch = windows("classify-photos.exe", {"hopper.gif", "hopper.png"});
  EXPECT_EQ(batch.status, 1);
  EXPECT_EQ(unix_lines(batch.out).rfind("hopper.png\t653\t", 0), 0u) << batch.out;
  const run_result ssh = windows("classify-photos.exe", {"--sshlogin", "alice@gpu1", "hopper.png"});
  EXPECT_EQ(ssh.status, 2);
  EXPECT_NE(ssh.err.find("--sshlogin needs GNU parallel"), std::string::npos) << ssh.err;
  // A walked folder takes the JPEG, PNG and BMP files of every variant, and
  // passes over the rest, as on Linux.
  const format_sweep sweep = write_every_format(dir, "formats");
  const run_result walk = windows("classify-photos.exe", {"formats"});
  EXPECT_EQ(walk.status, 0) << walk.err;
  std::vector<std::string> walked;
  for (const std::string& line : lines_of(unix_lines(walk.out))) {
    walked.push_back(line.substr(0, line.find('\t')));
  }
  EXPECT_EQ(walked, sweep.windows);
  // This machine alone needs nothing of the kind.
  EXPECT_EQ(windows("classify-photos.exe", {"--sshlogin", ":", "hopper.png"}).status, 0);
  // An output in a folder named in Chinese.
  std::filesystem::create_directory(std::filesystem::u8path(dir.file("输出")));
  EXPECT_EQ(windows("prepare-input.exe", {"hopper.png", "输出/输入.bin"}).status, 0);
  EXPECT_EQ(read_file(dir.file("输出/输入.bin")).size(), 224u * 224 * 3);
}

}  // namespace

}  // namespace classify
