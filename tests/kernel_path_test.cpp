// The matrix kernels the program links run on the best path the CPU offers.
// ruy picks its path at run time from what cpuinfo reports; a cpuinfo library
// that disagrees with the one ruy was compiled against makes it fall back to
// slower kernels without a sign. The expectation is read from the kernel's
// own CPU flags, not from cpuinfo.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include "tests/support/run_support.h"

namespace classify {

namespace {

std::set<std::string> cpu_flags() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::set<std::string> flags;
  for (std::string line; std::getline(cpuinfo, line);) {
    if (line.rfind("flags", 0) != 0) continue;
    std::istringstream words(line.substr(line.find(':') + 1));
    for (std::string flag; words >> flag;) flags.insert(flag);
    break;
  }
  return flags;
}

// ruy's Path values: kAvx512 0x40, kAvx2Fma 0x20, kAvx 0x10, kStandardCpp 0x01.
unsigned best_path_offered(const std::set<std::string>& flags) {
  const auto has = [&](std::initializer_list<const char*> names) {
    for (const char* name : names) {
      if (flags.count(name) == 0) return false;
    }
    return true;
  };
  if (has({"avx512f", "avx512dq", "avx512cd", "avx512bw", "avx512vl"})) return 0x40;
  if (has({"avx2", "fma"})) return 0x20;
  if (has({"avx"})) return 0x10;
  return 0x01;
}

TEST(KernelPath, FloatMultiplicationTakesTheBestPathTheCpuOffers) {
  const std::set<std::string> flags = cpu_flags();
  ASSERT_FALSE(flags.empty()) << "no flags line in /proc/cpuinfo";
  const run_result r = run_program(RUY_PATH_PROBE_EXE, {}, ".");
  ASSERT_EQ(r.status, 0) << r.err;
  unsigned enabled = 0, used = 0;
  ASSERT_EQ(std::sscanf(r.out.c_str(), "enabled=%x used=%x", &enabled, &used), 2) << r.out;
  EXPECT_EQ(used, best_path_offered(flags)) << r.out;
  EXPECT_NE(enabled & used, 0u) << r.out;
}

}  // namespace

}  // namespace classify
