#pragma once
// Runs the real classify program in a scratch working directory and captures
// what it writes, so that tests check its bytes and exit status as users see
// them.

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace classify {

// True in a build under AddressSanitizer (GCC's macro, or clang's feature),
// whose memory and page faults are not the program's own.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool address_sanitized = true;
#elif defined(__has_feature)
inline constexpr bool address_sanitized = __has_feature(address_sanitizer);
#else
inline constexpr bool address_sanitized = false;
#endif

// A fresh directory under the system's temporary folder, removed with all its
// contents when the object goes.
struct scratch_dir {
  scratch_dir();
  ~scratch_dir();
  scratch_dir(const scratch_dir&) = delete;
  scratch_dir& operator=(const scratch_dir&) = delete;

  std::string path;
  std::string file(const std::string& name) const { return path + "/" + name; }
  void write(const std::string& name, const std::string& bytes) const;
};

struct run_result {
  std::string out;
  std::string err;
  int status = -1;  // the exit status, or 128 + signal number when killed
};

// Runs `program` with `args` in `cwd`, standard input closed, and waits.
run_result run_program(const std::string& program, const std::vector<std::string>& args,
                       const std::string& cwd);

// The classify program under test: the one built beside the tests, or, when
// CLASSIFY_TEST_EXE names another build (the Windows classify.exe), that one
// run through CLASSIFY_TEST_RUNNER (Wine). The command's words, runner first.
std::vector<std::string> classify_command();

// Runs the classify program under test.
run_result run_classify(const std::string& cwd, const std::vector<std::string>& args = {});

// The end of line of the program under test's text output: CR LF when
// CLASSIFY_TEST_EOL is "crlf" (Windows), LF otherwise.
std::string eol();

std::string read_file(const std::string& path);

// The lines of `text`, without their line ends.
std::vector<std::string> lines_of(const std::string& text);

// Starts `args` (the program's path first) in `cwd` without waiting for it:
// standard output to the file `out` there (or /dev/null), standard error to
// /dev/null, `environment` added, and, where `own_group`, in a process group
// of its own, so that a signal to the group reaches what it starts. Its id.
pid_t start_program(std::vector<std::string> args, const std::string& cwd, const std::string& out,
                    const std::vector<std::pair<std::string, std::string>>& environment = {},
                    bool own_group = false);

// What the program reads and prints, spelled out here rather than taken from
// the program, so that a change there shows up as a failing test.
inline const std::string model_file = "v3-small_224_0.75_float.tflite";
inline const std::string create_failure = "Failed to create interpreter" + model_file + eol();
// The result line's labels "类别：" and "，概率：" in GBK.
inline const std::string class_label = "\xC0\xE0\xB1\xF0\xA3\xBA";
inline const std::string probability_label = "\xA3\xAC\xB8\xC5\xC2\xCA\xA3\xBA";

// The byte string the program prints for a result.
std::string result_line(const std::string& index, const std::string& score);

}  // namespace classify
