#pragma once
// The operating-system services the program uses beyond the standard
// library, behind one seam: platform_posix.cpp (Linux) and
// platform_windows.cpp (64-bit Windows) implement it, and the build picks
// one. Everything else in the program is portable C++.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace classify {

// Paths are UTF-8 text throughout; on Windows the wide-character API takes
// them, so that a folder named in any script works whatever the console's
// code page.

// The file at `path` opened for reading in binary mode, or null with errno
// set.
std::FILE* open_for_reading(const std::string& path);

// The program's command-line arguments as UTF-8 text, the program's name
// first.
std::vector<std::string> program_arguments(int argc, char** argv);

// The file at `path` mapped read-only, or null when it is not a non-empty
// regular file that can be opened and mapped. The mapping is kept until the
// process ends.
const uint8_t* map_file_readonly(const std::string& path, size_t* size);

// Maps the program's own code and read-only data into the address space at
// once (they are in the page cache after the first run), so that running
// them takes no page fault; does nothing where the platform cannot.
void map_program_image();

// Grows the heap at once by `bytes` and keeps large allocations on it, in
// transparent huge pages where the platform offers them; does nothing where
// it offers nothing of the kind.
void grow_heap(size_t bytes);

// From now on, what the process writes to standard error (libraries' own
// complaints) goes to the null device; the result is a descriptor of the
// original standard error for the program's own messages, or -1 when it
// cannot be diverted (standard error is then left as it is).
int divert_standard_error();

// Points standard error back at `saved` (from divert_standard_error) and
// closes `saved`; does nothing for -1.
void restore_standard_error(int saved);

// True when the descriptor `fd` is a terminal.
bool is_terminal(int fd);

// A write to a pipe whose reader has gone fails with an error, instead of
// ending the process by a signal, so that the program can say what happened.
void ignore_broken_pipe();

// A stream that writes to the descriptor `fd`, or null.
std::FILE* write_stream(int fd);

// The full path of the running program's file, or "" when it cannot be told.
std::string program_path();

// The program's path as it is installed: for the build for any x86-64 CPU
// that a program in bin/ becomes on a CPU without the level it is built for
// (libexec/classify/x86-64/NAME; on Windows x86-64\NAME.exe beside it),
// the path of that program (bin/NAME, NAME.exe), where the files installed
// with it are found from; otherwise program_path().
std::string installed_program_path();

// Linux: the path of the programs' private module `file_name` (a library
// they load only when a run needs it): beside the program in a build
// folder, otherwise in libexec/classify beside the installed bin/.
std::string private_module_path(const std::string& file_name);

// Linux: a private module, loaded for the rest of the process, and the
// addresses of its functions `names`, in their order (module_posix.cpp, an
// object of its own, so that a program that loads none links none of it).
struct module_functions {
  enum class state { loaded, missing, unloadable, damaged };
  state outcome = state::unloadable;
  std::vector<void*> functions;
  // What is wrong, for the caller to put after the module's name: "does not
  // load: " and the loader's reason, or "is damaged" (a function is
  // missing); "" when it is loaded.
  std::string problem;
};
module_functions load_module(const std::string& path, const std::vector<const char*>& names);

}  // namespace classify
