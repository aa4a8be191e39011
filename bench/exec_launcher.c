/* A small start that chooses a build and runs it: here it only runs the
 * program it is given, with the rest of its arguments, as a start that
 * picked one of two builds by the CPU's features would. The benchmarks
 * measure what this extra process start costs beside the check at the
 * program's own entry. */
#include <stdio.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 2) {
    fputs("usage: exec_launcher PROGRAM [ARGUMENT...]\n", stderr);
    return 2;
  }
  execv(argv[1], argv + 1);
  perror("exec_launcher");
  return 127;
}
