// classify-photos on a mixed folder, as users run it: the lines in order with
// class names, the error lines, the exit status, the scratch folders gone,
// also after Ctrl-C; and the multi-machine path through a real sshd on
// loopback. Needs the shared model.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "support/image_support.h"
#include "support/run_support.h"

namespace {

const std::string shared_dir = CLASSIFY_SHARED_DIR;
const std::string model = shared_dir + "/models/mobilenet_v3_small_224_1.0_float.tflite";
const std::string labels_file = shared_dir + "/models/imagenet_labels.txt";
const std::string photo = shared_dir + "/images/grace_hopper.bmp";

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string label_of(int index) {
  const std::vector<std::string> labels = lines_of(read_file(labels_file));
  return index >= 0 && index < static_cast<int>(labels.size()) ? labels[index] : "";
}

class ClassifyPhotos : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(model) || !std::filesystem::exists(photo)) {
      GTEST_SKIP() << "the pretrained model or the photograph is not at " << shared_dir;
    }
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

  // What prepare-input and classify print for `name`, one after the other.
  std::string plain_chain(const std::string& name) {
    scratch_dir work;
    EXPECT_EQ(symlink(model.c_str(), work.file(model_file).c_str()), 0);
    EXPECT_EQ(run_program(PREPARE_INPUT_EXE, {dir.file(name), work.file("input.bin")}, ".").status,
              0);
    return run_classify(work.path).out;
  }

  // The expected line for `name`: index, probability as classify printed
  // them, and the class name.
  std::string expected_line(const std::string& name, bool with_label) {
    const std::string line = plain_chain(name);
    const size_t middle = line.find(probability_label);
    const std::string index = line.substr(class_label.size(), middle - class_label.size());
    const std::string score =
        line.substr(middle + probability_label.size(), line.size() - middle - 9);
    return name + "\t" + index + "\t" + score +
           (with_label ? "\t" + label_of(std::stoi(index)) : "");
  }

  run_result classify_photos(const std::vector<std::string>& args, const std::string& input = "") {
    std::string script = "cd \"$1\" && TMPDIR=\"$1/tmp\" exec \"$2\"";
    for (size_t i = 0; i < args.size(); ++i) script += " \"${" + std::to_string(i + 3) + "}\"";
    if (!input.empty()) {
      dir.write("list.txt", input);
      script += " <list.txt";
    }
    std::vector<std::string> sh_args = {"-c", script, "sh", dir.path, CLASSIFY_PHOTOS_EXE};
    sh_args.insert(sh_args.end(), args.begin(), args.end());
    return run_program("/bin/sh", sh_args, dir.path);
  }

  bool scratch_left() const { return !std::filesystem::is_empty(dir.file("tmp")); }

  scratch_dir dir;
};

TEST_F(ClassifyPhotos, MixedFolderGivesOrderedLinesNamesAndErrors) {
  const std::vector<std::string> names = {"hopper.jpg", "truncated.jpg", "hopper.png",
                                          "notes.txt",  "flag.jpg",      "hopper.webp"};
  std::vector<std::string> args = {"--model", model, "--labels", labels_file, "--jobs", "2"};
  args.insert(args.end(), names.begin(), names.end());
  const run_result r = classify_photos(args);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(lines_of(r.out),
            (std::vector<std::string>{
                expected_line("hopper.jpg", true), expected_line("hopper.png", true),
                expected_line("flag.jpg", true), expected_line("hopper.webp", true)}));
  EXPECT_NE(r.out.find("\t653\t"), std::string::npos);
  EXPECT_NE(r.out.find("military uniform"), std::string::npos);
  const std::vector<std::string> errors = lines_of(r.err);
  ASSERT_EQ(errors.size(), 2u) << r.err;
  EXPECT_EQ(errors[0].rfind("classify-photos: truncated.jpg: cannot decode", 0), 0u) << errors[0];
  EXPECT_EQ(errors[1].rfind("classify-photos: notes.txt: not an image", 0), 0u) << errors[1];
  EXPECT_FALSE(scratch_left());

  // The same photographs read from standard input, one job at a time, all
  // readable: every line, in order, and exit status 0.
  const run_result good =
      classify_photos({"--model", model, "--jobs", "1", "-"}, "hopper.png\nflag.jpg\nhopper.jpg\n");
  EXPECT_EQ(good.status, 0) << good.err;
  EXPECT_EQ(lines_of(good.out), (std::vector<std::string>{expected_line("hopper.png", false),
                                                          expected_line("flag.jpg", false),
                                                          expected_line("hopper.jpg", false)}));
  EXPECT_FALSE(scratch_left());
}

// A batch of photographs with long paths, whose arguments together pass GNU
// parallel's limit on the length of a command line (130 kB): every one gets
// its line, in order.
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

TEST_F(ClassifyPhotos, BadUsageIsRefused) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--model", "missing.tflite", "hopper.jpg"},
        {"--model", model, "--jobs", "0", "hopper.jpg"},
        {"--model", model, "--crop", "1.5", "hopper.jpg"},
        {"--model", model},
        {"--model", model, "--frobnicate", "hopper.jpg"}}) {
    const run_result r = classify_photos(args);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("classify-photos: ", 0), 0u) << r.err;
  }
  const run_result version = classify_photos({"--version"});
  EXPECT_EQ(version.out.rfind("classify-photos ", 0), 0u);
}

// Ctrl-C reaches the whole process group, as a terminal sends it.
TEST_F(ClassifyPhotos, InterruptedBatchLeavesNoScratchFolders) {
  std::vector<std::string> args = {CLASSIFY_PHOTOS_EXE, "--model", model, "--jobs", "2"};
  for (int i = 0; i < 40; ++i) args.push_back(i % 2 ? "hopper.jpg" : "hopper.png");
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setpgid(0, 0);
    if (chdir(dir.path.c_str()) != 0) _exit(126);
    setenv("TMPDIR", dir.file("tmp").c_str(), 1);
    std::freopen("/dev/null", "w", stdout);
    std::freopen("/dev/null", "w", stderr);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  // Interrupt once the jobs are under way.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!scratch_left() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  kill(-pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << status;
  // The jobs themselves may take a moment longer to go.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(scratch_left());
}

// The sanitizer settings of this run, for the sessions of the sshd below: a
// program started over ssh does not inherit them, and a sanitizer build of
// classify would report, as leaks, what it keeps on purpose until exit.
std::string sanitizer_settings() {
  // One SetEnv line: sshd takes the first of a keyword's lines only.
  std::string variables;
  for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name)) variables += std::string(" ") + name + "=" + value;
  }
  return variables.empty() ? "" : "SetEnv" + variables + "\n";
}

// A real sshd on 127.0.0.1, started for the test with keys made for it.
struct loopback_sshd {
  explicit loopback_sshd(const scratch_dir& dir) : dir(dir) {
    for (const char* key : {"host_key", "user_key"}) {
      run_program("/usr/bin/ssh-keygen", {"-q", "-t", "ed25519", "-N", "", "-f", dir.file(key)},
                  dir.path);
    }
    std::filesystem::copy_file(dir.file("user_key.pub"), dir.file("authorized_keys"));
    std::mt19937 random(static_cast<unsigned>(getpid()));
    if (geteuid() == 0) std::filesystem::create_directories("/run/sshd");
    for (int attempt = 0; attempt < 10 && !running; ++attempt) {
      port = 20000 + static_cast<int>(random() % 30000);
      dir.write("sshd_config", "Port " + std::to_string(port) +
                                   "\nListenAddress 127.0.0.1\nHostKey " + dir.file("host_key") +
                                   "\nAuthorizedKeysFile " + dir.file("authorized_keys") +
                                   "\nPidFile " + dir.file("sshd.pid") +
                                   "\nPasswordAuthentication no\nKbdInteractiveAuthentication no"
                                   "\nStrictModes no\nUsePAM no\nPermitRootLogin "
                                   "prohibit-password\n" +
                                   sanitizer_settings());
      running =
          run_program("/usr/sbin/sshd", {"-f", dir.file("sshd_config")}, dir.path).status == 0;
      for (int i = 0; running && i < 100 && !std::filesystem::exists(dir.file("sshd.pid")); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
  }
  ~loopback_sshd() {
    std::ifstream pid_file(dir.file("sshd.pid"));
    pid_t pid = 0;
    if (pid_file >> pid && pid > 0) kill(pid, SIGTERM);
  }
  std::string login() const {
    const passwd* user = getpwuid(geteuid());
    return "ssh -p " + std::to_string(port) + " -i " + dir.file("user_key") +
           " -o BatchMode=yes -o StrictHostKeyChecking=no -o UserKnownHostsFile=" +
           dir.file("known_hosts") + " -o GSSAPIAuthentication=no -o LogLevel=ERROR " +
           (user != nullptr ? user->pw_name : "root") + "@127.0.0.1";
  }
  const scratch_dir& dir;
  int port = 0;
  bool running = false;
};

TEST_F(ClassifyPhotos, SpreadsOverAnotherMachineThroughSsh) {
  scratch_dir keys;
  loopback_sshd sshd(keys);
  ASSERT_TRUE(sshd.running) << "sshd did not start";
  const run_result r =
      classify_photos({"--model", model, "--labels", labels_file, "--sshlogin", sshd.login(),
                       "--joblog", "jobs.log", "hopper.jpg", "truncated.jpg", "flag.jpg"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{expected_line("hopper.jpg", true),
                                                       expected_line("flag.jpg", true)}));
  EXPECT_EQ(r.err.rfind("classify-photos: truncated.jpg: cannot decode", 0), 0u) << r.err;
  // Every job ran through the ssh login, and the photographs it copied and
  // cleaned up were copies: the originals are all still here.
  const std::vector<std::string> log = lines_of(read_file(dir.file("jobs.log")));
  ASSERT_EQ(log.size(), 4u) << read_file(dir.file("jobs.log"));
  for (size_t i = 1; i < log.size(); ++i) {
    EXPECT_NE(log[i].find("127.0.0.1"), std::string::npos) << log[i];
  }
  for (const char* name : {"hopper.jpg", "truncated.jpg", "flag.jpg"}) {
    EXPECT_TRUE(std::filesystem::exists(dir.file(name))) << name;
  }
}

}  // namespace
