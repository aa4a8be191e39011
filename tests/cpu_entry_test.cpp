// The programs built for a higher x86-64 level check the CPU at their entry,
// before any constructor runs: on a CPU without the level (qemu-user as a
// Nehalem, which has no AVX) they become their build for any x86-64 CPU,
// with the same arguments, or say that it is missing; on one with it (qemu
// as a Haswell) they run as they are. qemu-user runs a program started by
// execve on the host's own CPU, so the stand-in for the portable build here
// is a script that says how it was started.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/support/run_support.h"

namespace classify {

namespace {

const std::string qemu = "/usr/bin/qemu-x86_64";

class CpuEntry : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (CLASSIFY_CPU_LEVEL == 0) GTEST_SKIP() << "this build is for any x86-64 CPU";
    if (!std::filesystem::exists(qemu)) GTEST_SKIP() << "no " << qemu << " (Debian: qemu-user)";
    std::filesystem::create_directories(dir.file("bin"));
    std::filesystem::copy_file(program(), dir.file("bin/" + name()));
  }
  std::string name() const { return GetParam(); }
  std::string program() const {
    return name() == "classify" ? std::string(CLASSIFY_EXE) : std::string(CLASSIFY_PHOTOS_EXE);
  }
  scratch_dir dir;
};

TEST_P(CpuEntry, BecomesThePortableBuildWhereTheCpuLacksTheLevel) {
  // Without the portable build beside it: a message and status 1, not an
  // illegal instruction.
  const run_result alone =
      run_program(qemu, {"-cpu", "Nehalem", dir.file("bin/" + name()), "--version"}, dir.path);
  EXPECT_EQ(alone.status, 1) << alone.err;
  EXPECT_EQ(alone.out, "");
  EXPECT_EQ(alone.err.rfind(name() + ": this CPU lacks the x86-64-v", 0), 0u) << alone.err;
  EXPECT_NE(alone.err.find("libexec/classify/x86-64/" + name()), std::string::npos) << alone.err;

  // With it: that program, with the same arguments.
  const std::string twin = dir.file("libexec/classify/x86-64/" + name());
  std::filesystem::create_directories(dir.file("libexec/classify/x86-64"));
  dir.write("libexec/classify/x86-64/" + name(), "#!/bin/sh\necho \"portable $*\"\n");
  chmod(twin.c_str(), 0755);
  for (const char* cpu : {"Nehalem", "qemu64"}) {
    const run_result moved =
        run_program(qemu, {"-cpu", cpu, dir.file("bin/" + name()), "a b", "--c"}, dir.path);
    EXPECT_EQ(moved.status, 0) << cpu << ": " << moved.err;
    EXPECT_EQ(moved.out, "portable a b --c\n") << cpu;
  }

  // A CPU with the level runs the program itself.
  const run_result itself =
      run_program(qemu, {"-cpu", "Haswell", dir.file("bin/" + name()), "--version"}, dir.path);
  EXPECT_EQ(itself.out.find("portable"), std::string::npos) << itself.out;
  const std::string expected =
      name() == "classify" ? "Failed to create interpreter" : "classify-photos ";
  EXPECT_EQ(itself.out.rfind(expected, 0), 0u) << itself.out << itself.err;
}

INSTANTIATE_TEST_SUITE_P(Programs, CpuEntry, ::testing::Values("classify", "classify-photos"));

}  // namespace

}  // namespace classify
