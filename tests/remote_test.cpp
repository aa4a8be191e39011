// classify-photos over other machines, with a real sshd on 127.0.0.1 standing
// in for them: the same lines as the local run, two photographs of one name
// kept apart, no word from ssh or GNU parallel when nothing fails, the
// photographs already there (--remote-root), a login that is refused, and
// Ctrl-C in the middle leaving nothing behind on either side. Then the
// parts, with GNU parallel and ssh played by scripts: how a helper program
// is started and signalled, the batch's stop racing its end, and a chunk
// interrupted on either side.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <thread>

#include "tests/support/image_support.h"
#include "tests/support/loopback_sshd.h"
#include "tests/support/run_support.h"
#include "tests/support/sample_data.h"
#include "tools/classify-photos/core/results.h"
#include "tools/classify-photos/remote/chunk.h"
#include "tools/classify-photos/remote/protocol.h"
#include "tools/classify-photos/remote/remote.h"
#include "tools/common/scratch_folder.h"
#include "tools/common/subprocess.h"

namespace classify {

namespace {

namespace fs = std::filesystem;

bool empty_folder(const std::string& path) { return fs::is_empty(path); }

class RemoteBatch : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string photo = fs::exists(sample_photo) ? sample_photo : "logo:";
    for (const char* folder : {"one", "two", "here_tmp", "far_tmp", "home"}) {
      fs::create_directory(dir.file(folder));
    }
    magick(dir, {photo, "-quality", "90", "one/same.jpg"});
    magick(dir, {photo, "-crop", "200x200+0+0", "-quality", "90", "two/same.jpg"});
    magick(dir, {photo, "hopper.png"});
    const std::string jpeg = read_file(dir.file("one/same.jpg"));
    dir.write("truncated.jpg", jpeg.substr(0, jpeg.size() / 3));
    ASSERT_TRUE(sshd.running) << "sshd did not start";
  }

  // Runs classify-photos in the test folder with its own TMPDIR and HOME.
  run_result classify_photos(const std::vector<std::string>& args) {
    std::vector<std::string> sh_args = {
        "-c",
        "cd \"$1\" && HOME=\"$1/home\" TMPDIR=\"$1/here_tmp\" && export HOME TMPDIR && shift && "
        "exec \"$@\"",
        "sh", dir.path, CLASSIFY_PHOTOS_EXE};
    sh_args.insert(sh_args.end(), args.begin(), args.end());
    return run_program("/bin/sh", sh_args, dir.path);
  }

  std::vector<std::string> with_model(std::vector<std::string> args) {
    args.insert(args.begin(), {"--model", pretrained_model, "--labels", pretrained_labels});
    return args;
  }

  scratch_dir dir;
  scratch_dir keys;
  loopback_sshd sshd{keys, {"TMPDIR=" + dir.file("far_tmp")}};
};

TEST_F(RemoteBatch, SameLinesAsTheLocalRunWithNamesApartAndNoNoise) {
  std::vector<std::string> photos = {"one/same.jpg", "two/same.jpg", "truncated.jpg", "missing.jpg",
                                     "hopper.png"};
  // Enough for several chunks.
  for (int i = 0; i < 20; ++i) {
    const std::string name = "link" + std::to_string(i) + (i % 2 ? ".jpg" : ".png");
    fs::create_symlink(i % 2 ? "one/same.jpg" : "hopper.png", dir.file(name));
    photos.push_back(name);
  }
  const run_result local = classify_photos(with_model(photos));
  EXPECT_EQ(local.status, 1);
  ASSERT_EQ(lines_of(local.out).size(), photos.size() - 2) << local.err;
  ASSERT_EQ(lines_of(local.err).size(), 2u) << local.err;
  EXPECT_NE(lines_of(local.out)[0].substr(13), lines_of(local.out)[1].substr(13));

  std::vector<std::string> spread = {"--sshlogin", sshd.login(), "--joblog", "jobs.log"};
  spread.insert(spread.end(), photos.begin(), photos.end());
  const run_result far = classify_photos(with_model(spread));
  EXPECT_EQ(far.status, 1);
  EXPECT_EQ(far.out, local.out);
  EXPECT_EQ(far.err, local.err);
  const std::vector<std::string> log = lines_of(read_file(dir.file("jobs.log")));
  EXPECT_GE(log.size(), 4u) << read_file(dir.file("jobs.log"));

  // Two logins to one machine, and this machine; then the photographs
  // already there, under "/" (the same file system).
  spread.insert(spread.begin(), {"--sshlogin", ":", "--sshlogin", sshd.login()});
  EXPECT_EQ(classify_photos(with_model(spread)).out, local.out);
  spread.insert(spread.begin(), {"--remote-root", "/"});
  const run_result in_place = classify_photos(with_model(spread));
  EXPECT_EQ(in_place.out, local.out);
  EXPECT_EQ(in_place.err, local.err);

  // --truth over ssh: the same true classes and the same summary as here.
  dir.write("truth.csv", "one/same.jpg,military uniform\ntwo/same.jpg,tench\nhopper.png,653\n");
  std::vector<std::string> truth = {"--truth", "truth.csv"};
  truth.insert(truth.end(), photos.begin(), photos.end());
  const run_result local_truth = classify_photos(with_model(truth));
  truth.insert(truth.begin(), {"--sshlogin", sshd.login()});
  const run_result far_truth = classify_photos(with_model(truth));
  EXPECT_NE(local_truth.err.find("accuracy over 3 photographs of a known class"), std::string::npos)
      << local_truth.err;
  EXPECT_EQ(far_truth.out, local_truth.out);
  EXPECT_EQ(far_truth.err, local_truth.err);

  // The cache, the sidecars and the class folders are written here, from
  // the lines that come back; a rerun sends nothing.
  const std::vector<std::string> keep = {"--sshlogin", sshd.login(),   "--cache",
                                         "run.db",     "--xmp",        "--sort-into",
                                         "sorted",     "one/same.jpg", "hopper.png"};
  const run_result kept = classify_photos(with_model(keep));
  EXPECT_EQ(kept.status, 0) << kept.err;
  EXPECT_NE(read_file(dir.file("one/same.jpg.xmp")).find("classify|clothing|military uniform"),
            std::string::npos);
  EXPECT_TRUE(fs::is_symlink(dir.file("sorted/military uniform/same.jpg")));
  const run_result again = classify_photos(with_model(keep));
  EXPECT_EQ(again.out, kept.out);
  EXPECT_EQ(again.err, "classify-photos: 2 of 2 photographs from the cache run.db\n");

  // Nothing left behind, and the originals are where they were.
  EXPECT_TRUE(empty_folder(dir.file("far_tmp")));
  EXPECT_TRUE(empty_folder(dir.file("here_tmp")));
  EXPECT_TRUE(fs::exists(dir.file("one/same.jpg")) && fs::exists(dir.file("two/same.jpg")));
}

// A login that cannot be reached: each photograph it was given gets a line
// that names the machine and says why; the others are classified.
TEST_F(RemoteBatch, ARefusedLoginGivesItsPhotographsErrorLinesThatNameIt) {
  const run_result refused =
      classify_photos(with_model({"--sshlogin", sshd.login(1), "hopper.png", "one/same.jpg"}));
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.out, "");
  const std::vector<std::string> errors = lines_of(refused.err);
  ASSERT_EQ(errors.size(), 2u) << refused.err;
  EXPECT_EQ(errors[0].rfind("classify-photos: hopper.png: no result from ", 0), 0u) << errors[0];
  EXPECT_NE(errors[0].find("@127.0.0.1: ssh: connect to host 127.0.0.1 port 1"), std::string::npos)
      << errors[0];

  const run_result mixed =
      classify_photos(with_model({"--sshlogin", sshd.login(), "--sshlogin", sshd.login(1),
                                  "hopper.png", "one/same.jpg", "hopper.png", "one/same.jpg"}));
  EXPECT_EQ(mixed.status, 1);
  EXPECT_EQ(lines_of(mixed.out).size() + lines_of(mixed.err).size(), 4u);
  EXPECT_FALSE(mixed.out.empty());
  EXPECT_NE(mixed.err.find("no result from "), std::string::npos) << mixed.err;
}

// Ctrl-C to the process group in the middle of a batch: it ends at once, and
// neither this machine nor the far one keeps a copy of any photograph.
TEST_F(RemoteBatch, InterruptedBatchLeavesNothingBehind) {
  std::vector<std::string> args = {
      CLASSIFY_PHOTOS_EXE, "--model", pretrained_model, "--jobs", "1", "--sshlogin", sshd.login()};
  for (int i = 0; i < 160; ++i) {
    const std::string name = "many" + std::to_string(i) + ".png";
    fs::create_symlink("hopper.png", dir.file(name));
    args.push_back(name);
  }
  const pid_t pid =
      start_program(args, dir.path, "/dev/null",
                    {{"TMPDIR", dir.file("here_tmp")}, {"HOME", dir.file("home")}}, true);
  ASSERT_GE(pid, 0);
  // Interrupt once the far side holds a chunk.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (empty_folder(dir.file("far_tmp")) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_FALSE(empty_folder(dir.file("far_tmp")));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto start = std::chrono::steady_clock::now();
  kill(-pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
  // Under AddressSanitizer both ends run several times slower: beside
  // another test (ctest -j 2) this batch once took 2.4 s to end there.
  EXPECT_LT(std::chrono::steady_clock::now() - start,
            std::chrono::seconds(address_sanitized ? 6 : 2));
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
  // The far side finds its connection gone within a photograph's time.
  const auto cleaned = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!empty_folder(dir.file("far_tmp")) && std::chrono::steady_clock::now() < cleaned) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(empty_folder(dir.file("far_tmp")));
  EXPECT_TRUE(empty_folder(dir.file("here_tmp")));
}

// The far side of each chunk whose environment names `far_tmp`, ended as a
// machine that goes away ends it; how many there were.
int end_far_sides(const std::string& far_tmp) {
  int ended = 0;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string pid = entry.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string command = read_file("/proc/" + pid + "/cmdline");
    const std::string environment = read_file("/proc/" + pid + "/environ");
    if (command.find(std::string("--receive") + '\0') != std::string::npos &&
        environment.find("TMPDIR=" + far_tmp + '\0') != std::string::npos) {
      ended += kill(std::stoi(pid), SIGTERM) == 0 ? 1 : 0;
    }
  }
  return ended;
}

// A machine that goes away in the middle of its chunks: the photographs it
// had get error lines that name it, the batch ends, what came back is whole
// and in order, and nothing is left on either side.
TEST_F(RemoteBatch, AMachineThatGoesAwayGivesErrorLinesForWhatItHad) {
  std::vector<std::string> args = {"--model", pretrained_model, "--jobs",
                                   "1",       "--sshlogin",     sshd.login()};
  for (int i = 0; i < 80; ++i) {
    const std::string name = "many" + std::to_string(i) + ".png";
    fs::create_symlink("hopper.png", dir.file(name));
    args.push_back(name);
  }
  std::thread ender([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (empty_folder(dir.file("far_tmp")) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // As soon as the first chunk's folder is there, often while its
    // photographs are still coming in.
    end_far_sides(dir.file("far_tmp"));
  });
  const run_result r = classify_photos(args);
  ender.join();
  EXPECT_EQ(r.status, 1);
  const std::vector<std::string> lines = lines_of(r.out), errors = lines_of(r.err);
  EXPECT_EQ(lines.size() + errors.size(), 80u) << r.err;
  ASSERT_FALSE(errors.empty());
  EXPECT_NE(errors[0].find(": no result from "), std::string::npos) << errors[0];
  EXPECT_NE(errors[0].find("@127.0.0.1: "), std::string::npos) << errors[0];
  EXPECT_TRUE(empty_folder(dir.file("far_tmp")));
  EXPECT_TRUE(empty_folder(dir.file("here_tmp")));
}

// --sshlogin : alone is this machine: no GNU parallel, its warning or its
// folder in the home folder.
TEST_F(RemoteBatch, ThisMachineAloneRunsHere) {
  const run_result local = classify_photos(with_model({"hopper.png", "one/same.jpg"}));
  const run_result here =
      classify_photos(with_model({"--sshlogin", ":", "hopper.png", "one/same.jpg"}));
  EXPECT_EQ(here.status, 0) << here.err;
  EXPECT_EQ(here.out, local.out);
  EXPECT_EQ(here.err, "");
  EXPECT_TRUE(empty_folder(dir.file("home")));
  // Where PATH has no GNU parallel, another login is bad usage that says so.
  const run_result without =
      run_program("/usr/bin/env",
                  {"PATH=" + dir.file("home"), CLASSIFY_PHOTOS_EXE, "--model", pretrained_model,
                   "--sshlogin", "ann@gpu1", "hopper.png"},
                  dir.path);
  EXPECT_EQ(without.status, 2);
  EXPECT_EQ(without.err,
            "classify-photos: --sshlogin needs GNU parallel, which is not installed (Debian: "
            "parallel)\nTry 'classify-photos --help'.\n");
}

// An environment variable set for a test's time, then as it was.
class setting {
 public:
  setting(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~setting() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  setting(const setting&) = delete;
  setting& operator=(const setting&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

void write_program(const scratch_dir& dir, const std::string& name, const std::string& script) {
  dir.write(name, script);
  fs::permissions(dir.file(name), fs::perms::owner_all);
}

// ssh played by a script: a shared connection's master waits to be ended,
// "-O exit" is noted in the file `closed`, and a session never answers (it
// waits only as long as what started it, so that it keeps no test's pipe
// open for longer).
void write_ssh(const scratch_dir& dir) {
  write_program(dir, "ssh",
                "#!/bin/sh\nfor word in \"$@\"; do\n  case \"$word\" in\n"
                "    -N) exec sleep 30 ;;\n    exit) echo exit >> '" +
                    dir.file("closed") +
                    "'; exit 0 ;;\n  esac\ndone\n"
                    "while kill -0 $PPID 2>/dev/null; do sleep 0.1; done\n");
}

// The signal masks that /proc shows in `status` on the line `name`.
unsigned long long signal_bits(const std::string& status, const std::string& name) {
  const size_t at = status.find(name + ":\t");
  return at == std::string::npos ? ~0ull
                                 : std::stoull(status.substr(at + name.size() + 2), nullptr, 16);
}

unsigned long long bit_of(int sig) { return 1ull << (sig - 1); }

// Where a batch's thread has Ctrl-C and SIGHUP blocked and ignores a broken
// pipe, the program it starts has none of that, and gets its own settings
// in place of this process's.
TEST(RemoteSpawn, AProgramStartsWithTheSignalsAShellGivesItAndItsOwnSettings) {
  sigset_t blocked, mask;
  sigemptyset(&blocked);
  for (const int sig : {SIGINT, SIGHUP}) sigaddset(&blocked, sig);
  pthread_sigmask(SIG_BLOCK, &blocked, &mask);
  struct sigaction ignore {
  }, pipe_action;
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &pipe_action);
  const setting mine("CLASSIFY_SPAWN_SETTING", "this process's");

  int out[2];
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  const pid_t pid =
      spawn({"sh", "-c", "env | grep '^CLASSIFY_SPAWN_SETTING='; exec cat /proc/self/status"}, -1,
            out[1], -1, {{"CLASSIFY_SPAWN_SETTING", "its own"}});
  pthread_sigmask(SIG_SETMASK, &mask, nullptr);
  sigaction(SIGPIPE, &pipe_action, nullptr);
  close(out[1]);
  std::string said;
  char buffer[4096];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) said.append(buffer, n);
  close(out[0]);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(wait_for(pid), 0);

  EXPECT_EQ(signal_bits(said, "SigBlk"), 0u) << said;
  for (const int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP}) {
    EXPECT_EQ(signal_bits(said, "SigIgn") & bit_of(sig), 0u) << sig << "\n" << said;
  }
  EXPECT_EQ(said.substr(0, said.find('\n') + 1), "CLASSIFY_SPAWN_SETTING=its own\n");
  EXPECT_EQ(said.find("CLASSIFY_SPAWN_SETTING=", 1), std::string::npos);
  // A program that is not there is not started, and nothing is waited for.
  EXPECT_EQ(spawn({"no-such-program-anywhere"}, -1, -1, -1), -1);
  EXPECT_EQ(wait_for(-1), -1);
}

// One thread waits for a program while another signals it over and over:
// not once after the wait has reaped it, when its id may be another's, and
// no other process of this user's is touched.
TEST(RemoteSpawn, AProgramIsSignalledOnlyUntilItIsReaped) {
  const pid_t bystander = spawn({"sleep", "60"}, -1, -1, -1);
  ASSERT_GT(bystander, 0);
  for (int round = 0; round < 100; ++round) {
    child_process child;
    child.adopt(spawn({"true"}, -1, -1, -1));
    ASSERT_TRUE(child.running());
    std::atomic<bool> reaped{false};
    int sent_after = 0;
    std::thread signaller([&] {
      for (int after = 0; after < 200;) {
        const bool was_reaped = reaped;
        const bool sent = child.signal(SIGTERM);
        if (!was_reaped) continue;
        sent_after += sent ? 1 : 0;
        ++after;
      }
    });
    const int status = child.wait();
    reaped = true;
    signaller.join();
    EXPECT_EQ(sent_after, 0);
    EXPECT_FALSE(child.running());
    EXPECT_TRUE((WIFEXITED(status) && WEXITSTATUS(status) == 0) ||
                (WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM))
        << status;
  }
  EXPECT_EQ(waitpid(bystander, nullptr, WNOHANG), 0) << "a signal reached a bystander";
  kill(bystander, SIGKILL);
  wait_for(bystander);
}

// The batch's stop (the writer's thread, after Ctrl-C) against GNU
// parallel's end (the reader's thread): stopped at once or a little later,
// GNU parallel ending at once or being stopped, or not stopped at all. Each
// time the shared connection is closed once, every photograph gets its
// line, and no process of this user's but GNU parallel gets a signal. A GNU
// parallel that takes its time to stop does not hold the connection open.
TEST(RemoteStop, TheSharedConnectionIsClosedOnceWhateverTheStopRaces) {
  scratch_dir dir;
  write_ssh(dir);
  // GNU parallel played by what the file `plays` says.
  write_program(dir, "parallel", "#!/bin/sh\n. '" + dir.file("plays") + "'\n");
  dir.write("a.jpg", "a");
  dir.write("b.jpg", "b");
  const setting path("PATH", dir.path + ":" + std::getenv("PATH"));
  photos_options options;
  options.model = dir.file("a.jpg");
  options.sshlogins = {"far", ":"};
  const std::vector<std::string> photos = {dir.file("a.jpg"), dir.file("b.jpg")};
  const pid_t bystander = spawn({"sleep", "60"}, -1, -1, -1);
  ASSERT_GT(bystander, 0);
  for (const char* plays : {"exec sleep 0", "exec sleep 0.3"}) {
    dir.write("plays", plays);
    for (const int delay_us : {-1, 0, 100, 250, 500, 1000, 2000, 4000, 8000}) {
      std::remove(dir.file("closed").c_str());
      result_board board(photos.size());
      {
        remote_batch batch(options, photos, -1, &board);
        if (delay_us >= 0) {
          std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
          batch.stop();
        }
      }
      EXPECT_EQ(read_file(dir.file("closed")), "exit\n") << plays << ", stopped at " << delay_us;
      for (size_t i = 0; i < photos.size(); ++i) {
        photo_result result;
        ASSERT_TRUE(board.take(i, std::chrono::milliseconds(0), &result));
        EXPECT_EQ(result.reason, "no result (its job did not finish)");
      }
    }
  }
  EXPECT_EQ(waitpid(bystander, nullptr, WNOHANG), 0) << "a signal reached a bystander";
  kill(bystander, SIGKILL);
  wait_for(bystander);

  dir.write("plays", "trap '' INT\n: > '" + dir.file("deaf") + "'\nexec sleep 1\n");
  std::remove(dir.file("closed").c_str());
  result_board board(photos.size());
  {
    remote_batch batch(options, photos, -1, &board);
    for (int i = 0; i < 500 && !fs::exists(dir.file("deaf")); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    batch.stop();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (!fs::exists(dir.file("closed")) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(fs::exists(dir.file("closed"))) << "still open while GNU parallel runs";
  }
  EXPECT_EQ(read_file(dir.file("closed")), "exit\n");
  remove_scratch_folders();
}

// Sends this thread `sig` after `delay`, from a thread of its own.
std::thread signal_later(int sig, std::chrono::milliseconds delay) {
  const pthread_t target = pthread_self();
  return std::thread([=] {
    std::this_thread::sleep_for(delay);
    pthread_kill(target, sig);
  });
}

// A chunk interrupted on this side (its ssh session under way) and on the
// far side (its photographs coming in): each says so to its caller, which
// ends the process, instead of ending it from inside.
TEST(RemoteChunk, AnInterruptedChunkSaysSoInsteadOfEndingTheProcess) {
  scratch_dir dir;
  write_ssh(dir);
  fs::create_directory(dir.file("far_tmp"));
  dir.write("a.jpg", "a");
  dir.write("list", dir.file("a.jpg") + '\0');
  dir.write("logins", "far\n");
  photos_options options;
  options.model = dir.file("a.jpg");
  options.send_chunk = 1;
  options.job_slot = 1;
  options.logins = dir.file("logins");
  options.photos = {dir.file("list")};
  const setting path("PATH", dir.path + ":" + std::getenv("PATH"));
  const setting tmp("TMPDIR", dir.file("far_tmp"));
  const auto delay = std::chrono::milliseconds(250);
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    EXPECT_EXIT(
        {
          std::thread interrupter = signal_later(sig, delay);
          std::vector<std::string> here;
          const std::optional<outcome> end = send_chunk(options, &here);
          interrupter.join();
          std::exit(end && !*end && end->error().signal == sig ? 42 : 1);
        },
        testing::ExitedWithCode(42), "")
        << "sending, signal " << sig;
    EXPECT_EXIT(
        {
          int input[2];
          if (pipe(input) != 0 || dup2(input[0], STDIN_FILENO) < 0) std::exit(2);
          const std::string head = chunk_head(true, {"a.jpg"});
          if (write(input[1], head.data(), head.size()) != static_cast<ssize_t>(head.size())) {
            std::exit(2);
          }
          std::thread interrupter = signal_later(sig, delay);
          const result<std::vector<std::string>> photos = receive_chunk();
          interrupter.join();
          remove_scratch_folders();
          std::exit(!photos && photos.error().signal == sig ? 42 : 1);
        },
        testing::ExitedWithCode(42), "")
        << "receiving, signal " << sig;
  }
  EXPECT_TRUE(empty_folder(dir.file("far_tmp")));
}

}  // namespace

}  // namespace classify
