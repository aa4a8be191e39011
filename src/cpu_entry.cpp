// The first code a program built for a higher x86-64 level (TensorFlow Lite
// compiled for x86-64-v3) runs: before the C runtime starts, before any
// static constructor, it asks the CPU whether it has that level's
// instructions. Where it has, the program starts as usual, at the cost of a
// few instructions. Where it has not, the process becomes the same program
// built for any x86-64 CPU, installed at ../libexec/classify/x86-64/ beside
// the program's folder, with the same arguments and environment; where that
// is missing, it says so and ends with status 1 instead of dying on an
// illegal instruction.
//
// Nothing of the C library is ready here: the code makes its system calls
// itself, keeps to the base x86-64 instructions (this file is compiled for
// them) and uses no stack protector, whose guard the C library sets up.
#include <cstddef>
#include <cstdint>

#include "src/cpu_level.h"

namespace {

constexpr long sys_write = 1;
constexpr long sys_execve = 59;
constexpr long sys_exit_group = 231;
constexpr long sys_readlink = 89;

__attribute__((no_stack_protector)) long system_call(long number, long a, long b, long c) {
  long result;
  asm volatile("syscall"
               : "=a"(result)
               : "a"(number), "D"(a), "S"(b), "d"(c)
               : "rcx", "r11", "memory");
  return result;
}

__attribute__((no_stack_protector)) size_t length_of(const char* text) {
  size_t n = 0;
  while (text[n] != '\0') ++n;
  return n;
}

__attribute__((no_stack_protector)) void say(const char* text) {
  system_call(sys_write, 2, reinterpret_cast<long>(text), static_cast<long>(length_of(text)));
}

__attribute__((no_stack_protector)) void append(char* to, size_t* at, size_t room,
                                                const char* text) {
  for (size_t i = 0; text[i] != '\0' && *at + 1 < room; ++i) to[(*at)++] = text[i];
  to[*at] = '\0';
}

}  // namespace

// Called by classify_entry with the stack the kernel set up: argc, the
// arguments, a null, the environment, a null.
extern "C" __attribute__((no_stack_protector, used)) void classify_cpu_check(long* stack) {
  if (cpu_has_level()) return;
  char** arguments = reinterpret_cast<char**>(stack + 1);
  char** environment = arguments + stack[0] + 1;
  // .../bin/NAME becomes .../libexec/classify/x86-64/NAME.
  char self[4096];
  const long length = system_call(sys_readlink, reinterpret_cast<long>("/proc/self/exe"),
                                  reinterpret_cast<long>(self), sizeof self - 1);
  char other[4200];
  other[0] = '\0';
  const char* name = "classify";
  if (length > 0) {
    self[length] = '\0';
    size_t slash = static_cast<size_t>(length);
    while (slash > 0 && self[slash - 1] != '/') --slash;
    name = self + slash;
    self[slash > 0 ? slash - 1 : 0] = '\0';
    size_t at = 0;
    append(other, &at, sizeof other, self);
    append(other, &at, sizeof other, "/../libexec/classify/x86-64/");
    append(other, &at, sizeof other, name);
    system_call(sys_execve, reinterpret_cast<long>(other), reinterpret_cast<long>(arguments),
                reinterpret_cast<long>(environment));
  }
  say(name);
  say(": this CPU lacks the x86-64-v");
  say(CLASSIFY_CPU_LEVEL == 2 ? "2" : CLASSIFY_CPU_LEVEL == 3 ? "3" : "4");
  say(" instructions this build uses, and the build for any x86-64 CPU is not installed "
      "beside it (");
  say(other);
  say(")\n");
  system_call(sys_exit_group, 1, 0, 0);
}

// The program's entry point (linked with -e classify_entry): the check, then
// the C runtime's own entry, _start, with the stack and the register the
// dynamic loader handed over (rdx: the function to run at exit).
extern "C" __attribute__((naked, used)) void classify_entry() {
  asm("mov %rsp, %rdi\n"
      "push %rdx\n"
      "sub $8, %rsp\n"
      "call classify_cpu_check\n"
      "add $8, %rsp\n"
      "pop %rdx\n"
      "jmp _start\n");
}
