// The first code classify.exe and classify-photos.exe run when their
// TensorFlow Lite is compiled for a higher x86-64 level (x86-64-v3): before the C runtime starts,
// it asks the CPU whether it has that level's instructions. Where it has, the program starts as
// usual, at the cost of a few instructions. Where it has not, it runs the same program built for
// any x86-64 CPU, x86-64\NAME.exe beside it, with the same command line, standard handles and
// environment, and ends with its exit status; where that is missing, it says so and ends with
// status 1 instead of dying on an illegal instruction.
//
// Nothing of the C runtime is ready here: only the kernel's own functions
// are called, and this file is compiled for the base x86-64 instructions.
#include <windows.h>

#include "src/cpu_level.h"

extern "C" int mainCRTStartup();

namespace {

void say(const char* text) {
  DWORD n = 0;
  while (text[n] != '\0') ++n;
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, n, &written, nullptr);
}

static wchar_t self[32768];

// This program's file name, its letters outside ASCII as '?'.
void say_name() {
  static char name[512];
  DWORD at = 0, slash = 0;
  for (DWORD i = 0; self[i] != L'\0'; ++i) {
    if (self[i] == L'\\' || self[i] == L'/') slash = i + 1;
  }
  for (DWORD i = slash; self[i] != L'\0' && at + 1 < sizeof name; ++i) {
    name[at++] = self[i] < 128 ? static_cast<char>(self[i]) : '?';
  }
  name[at] = '\0';
  say(at > 0 ? name : "classify");
}

// Runs x86-64\NAME.exe beside this program; false where it cannot be run.
bool run_plain_build(DWORD* status) {
  static wchar_t other[32768 + 16];
  const DWORD length = GetModuleFileNameW(nullptr, self, 32768);
  if (length == 0 || length >= 32768) return false;
  DWORD slash = length;
  while (slash > 0 && self[slash - 1] != L'\\' && self[slash - 1] != L'/') --slash;
  DWORD at = 0;
  for (DWORD i = 0; i < slash; ++i) other[at++] = self[i];
  for (const wchar_t* part = L"x86-64\\"; *part != L'\0'; ++part) other[at++] = *part;
  for (DWORD i = slash; i <= length; ++i) other[at++] = self[i];
  STARTUPINFOW startup;
  for (DWORD i = 0; i < sizeof startup; ++i) reinterpret_cast<char*>(&startup)[i] = 0;
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process;
  if (!CreateProcessW(other, GetCommandLineW(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return false;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  if (!GetExitCodeProcess(process.hProcess, status)) *status = 1;
  return true;
}

}  // namespace

// The program's entry point (linked with -e classify_entry).
extern "C" __attribute__((used)) int classify_entry() {
  if (cpu_has_level()) return mainCRTStartup();
  DWORD status = 1;
  if (run_plain_build(&status)) ExitProcess(status);
  say_name();
  say(": this CPU lacks the x86-64-v");
  say(CLASSIFY_CPU_LEVEL == 2 ? "2" : CLASSIFY_CPU_LEVEL == 3 ? "3" : "4");
  say(" instructions this build uses, and its build for any x86-64 CPU is not beside it, "
      "in x86-64\\\n");
  ExitProcess(1);
}
