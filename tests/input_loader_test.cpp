// The loader: byte mapping, file sizes and every way the input file can be
// unusable.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <limits>

#include "model/input_values.h"
#include "src/input_loader.h"
#include "tests/support/run_support.h"

namespace classify {

namespace {

// The float nearest to (2b - 255) / 255, found without the loader's formula:
// the exact quotient lies between two neighbouring floats, and the nearer
// one wins (checked in long double, which holds both exactly).
float nearest_float_to_mapped(int b) {
  const long double exact = (2.0L * b - 255.0L) / 255.0L;
  const float candidate = static_cast<float>(exact);
  const float below = std::nextafter(candidate, -2.0f);
  const float above = std::nextafter(candidate, 2.0f);
  float best = candidate;
  for (float f : {below, above}) {
    if (std::fabs(static_cast<long double>(f) - exact) <
        std::fabs(static_cast<long double>(best) - exact)) {
      best = f;
    }
  }
  return best;
}

TEST(ByteMapping, EveryByteGivesTheNearestFloat) {
  for (int b = 0; b < 256; ++b) {
    EXPECT_EQ(byte_to_value(static_cast<unsigned char>(b)), nearest_float_to_mapped(b))
        << "byte " << b;
  }
  EXPECT_EQ(byte_to_value(0), -1.0f);
  EXPECT_EQ(byte_to_value(255), 1.0f);
}

TEST(ByteMapping, SinglePrecisionArithmeticWouldDifferSoDoubleIsUsed) {
  int differing = 0;
  for (int b = 0; b < 256; ++b) {
    const float in_float = ((static_cast<float>(b) / 255.0f) - 0.5f) * 2.0f;
    if (in_float != byte_to_value(static_cast<unsigned char>(b))) ++differing;
  }
  EXPECT_GT(differing, 0);
}

TEST(LoadInput, MapsEachByteInOrder) {
  scratch_dir dir;
  dir.write("input.bin", std::string("\x00\xff\x80\x7f", 4));
  int32_t count = -7;
  const float* values = load_input(dir.file("input.bin"), &count);
  ASSERT_NE(values, nullptr);
  ASSERT_EQ(count, 4);
  EXPECT_EQ(values[0], -1.0f);
  EXPECT_EQ(values[1], 1.0f);
  EXPECT_EQ(values[2], static_cast<float>(1.0 / 255.0));
  EXPECT_EQ(values[3], static_cast<float>(-1.0 / 255.0));
  std::free(const_cast<float*>(values));
}

TEST(LoadInput, EmptyFileGivesNoValuesButSucceeds) {
  scratch_dir dir;
  dir.write("input.bin", "");
  int32_t count = -7;
  float* values = load_input(dir.file("input.bin"), &count);
  EXPECT_NE(values, nullptr);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(get_file_size(dir.file("input.bin")), 0);
  std::free(values);
}

TEST(LoadInput, UnusableFilesGiveNullAndZeroCount) {
  scratch_dir dir;
  ASSERT_EQ(mkdir(dir.file("a-directory").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(dir.file("a-fifo").c_str(), 0644), 0);
  for (const char* name : {"missing.bin", "a-directory", "a-fifo"}) {
    SCOPED_TRACE(name);
    int32_t count = -7;
    EXPECT_EQ(load_input(dir.file(name), &count), nullptr);
    EXPECT_EQ(count, 0);
  }
  EXPECT_EQ(get_file_size(dir.file("missing.bin")), 0);
}

TEST(LoadInput, FilesOf2GiBOrMoreAreRefusedBeforeAnyAllocation) {
  scratch_dir dir;
  // Sparse files: their length is set, nothing large is written to disk.
  const std::vector<std::pair<const char*, off_t>> sizes = {
      {"exactly 2 GiB", off_t{1} << 31},
      {"4 GiB + 1001, which a 32-bit count truncates to 1001", (off_t{1} << 32) + 1001},
  };
  for (const auto& [what, size] : sizes) {
    SCOPED_TRACE(what);
    dir.write("big.bin", "");
    ASSERT_EQ(truncate(dir.file("big.bin").c_str(), size), 0);
    EXPECT_EQ(get_file_size(dir.file("big.bin")), -1);
    int32_t count = -7;
    EXPECT_EQ(load_input(dir.file("big.bin"), &count), nullptr);
    EXPECT_EQ(count, 0);
  }
  dir.write("big.bin", "");
  ASSERT_EQ(truncate(dir.file("big.bin").c_str(), (off_t{1} << 31) - 1), 0);
  EXPECT_EQ(get_file_size(dir.file("big.bin")), std::numeric_limits<int32_t>::max());
}

}  // namespace

namespace {

// Files under /proc say they are empty and then deliver bytes: exactly a file
// that grew between the size probe and the read.
TEST(LoadInput, FileThatGrewAfterTheSizeProbeIsRefused) {
  int32_t count = -7;
  EXPECT_EQ(load_input("/proc/self/status", &count), nullptr);
  EXPECT_EQ(count, 0);
}

}  // namespace

}  // namespace classify
