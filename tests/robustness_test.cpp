// Damaged models and hostile files: nothing may crash the program, and each
// is reported the way a model that cannot be loaded is.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "inference.h"
#include "model_check.h"
#include "support/model_builder.h"
#include "support/run_support.h"
#include "support/setup_probe.h"

namespace {

const uint8_t* bytes_of(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// The model as the object API reads it back, to be damaged and packed again.
std::unique_ptr<tflite::ModelT> unpacked(const model_def& def) {
  const std::string bytes = serialize_model(def);
  return std::unique_ptr<tflite::ModelT>(tflite::GetModel(bytes.data())->UnPack());
}

std::string packed(const tflite::ModelT& model) {
  flatbuffers::FlatBufferBuilder builder;
  tflite::FinishModelBuffer(builder, tflite::Model::Pack(builder, &model));
  return std::string(reinterpret_cast<const char*>(builder.GetBufferPointer()), builder.GetSize());
}

TEST(ModelCheck, AcceptsWellFormedModels) {
  for (const model_def& def : {softmax_model(), scaling_model(2.0f), power_model(-1.0f)}) {
    const std::string bytes = serialize_model(def);
    EXPECT_TRUE(model_is_sound(bytes_of(bytes), bytes.size()));
    EXPECT_TRUE(probe_set_up(bytes_of(bytes), bytes.size()));
  }
}

TEST(ModelCheck, RefusesTablesTheLibraryCannotSurvive) {
  struct damage {
    const char* what;
    void (*apply)(tflite::ModelT&);
  };
  const std::vector<damage> damages = {
      {"no subgraphs", [](tflite::ModelT& m) { m.subgraphs.clear(); }},
      {"no buffers", [](tflite::ModelT& m) { m.buffers.clear(); }},
      {"no operator codes", [](tflite::ModelT& m) { m.operator_codes.clear(); }},
      {"no tensors", [](tflite::ModelT& m) { m.subgraphs[0]->tensors.clear(); }},
      {"buffer index out of range",
       [](tflite::ModelT& m) { m.subgraphs[0]->tensors[1]->buffer = 99; }},
      {"subgraph input out of range", [](tflite::ModelT& m) { m.subgraphs[0]->inputs = {7}; }},
      {"subgraph output negative", [](tflite::ModelT& m) { m.subgraphs[0]->outputs = {-1}; }},
      {"operator input out of range",
       [](tflite::ModelT& m) {
         m.subgraphs[0]->operators[0]->inputs = {0, 3};
       }},
      {"operator output out of range",
       [](tflite::ModelT& m) { m.subgraphs[0]->operators[0]->outputs = {5}; }},
      {"operator code out of range",
       [](tflite::ModelT& m) { m.subgraphs[0]->operators[0]->opcode_index = 4; }},
      {"negative dimension",
       [](tflite::ModelT& m) {
         m.subgraphs[0]->tensors[0]->shape = {1, -1001};
       }},
      // The damaged shape seen in the wild: 14,942,209 x 1001 floats, 60 GB.
      {"60 GB tensor",
       [](tflite::ModelT& m) {
         m.subgraphs[0]->tensors[0]->shape = {14942209, 1001};
       }},
      {"dimensions whose product overflows",
       [](tflite::ModelT& m) {
         m.subgraphs[0]->tensors[0]->shape = {65536, 65536, 65536, 65536};
       }},
      {"many tensors of 1 GB together",
       [](tflite::ModelT& m) {
         for (int i = 0; i < 5; ++i) {
           auto t = std::make_unique<tflite::TensorT>();
           t->name = "big";
           t->shape = {256, 1024, 1024};
           t->type = tflite::TensorType_FLOAT32;
           m.subgraphs[0]->tensors.push_back(std::move(t));
         }
       }},
  };
  for (const damage& d : damages) {
    SCOPED_TRACE(d.what);
    auto model = unpacked(scaling_model(1.0f));
    d.apply(*model);
    const std::string bytes = packed(*model);
    EXPECT_FALSE(model_is_sound(bytes_of(bytes), bytes.size()));
    EXPECT_FALSE(probe_set_up(bytes_of(bytes), bytes.size()));

    scratch_dir dir;
    dir.write(model_file, bytes);
    dir.write("input.bin", std::string(1001, 'a'));
    const run_result r = run_classify(dir.path);
    EXPECT_EQ(r.out, create_failure);
    EXPECT_EQ(r.status, 1);
  }
}

// Small valid models with 1 to 32 bytes changed at random, as a damaged
// download would be. Before the model check, about one in 700 of these
// crashed interpreter creation or allocation.
TEST(ModelCheck, RandomlyDamagedModelsNeverCrashSetUp) {
  const std::vector<std::string> seeds = {
      serialize_model(softmax_model()), serialize_model(scaling_model(1.0f)),
      serialize_model(power_model(-2.0f, 16)), serialize_model(unallocatable_model())};
  std::mt19937 random(20261207);
  int accepted = 0;
  constexpr int rounds = 20000;
  for (int round = 0; round < rounds; ++round) {
    std::string bytes = seeds[round % seeds.size()];
    const int changes = std::uniform_int_distribution<int>(1, 32)(random);
    for (int i = 0; i < changes; ++i) {
      const size_t at = std::uniform_int_distribution<size_t>(0, bytes.size() - 1)(random);
      bytes[at] = static_cast<char>(std::uniform_int_distribution<int>(0, 255)(random));
    }
    if (probe_set_up(bytes_of(bytes), bytes.size())) ++accepted;
  }
  // Damage in weights or names leaves a usable model; most damage does not.
  EXPECT_GT(accepted, 0);
  EXPECT_LT(accepted, rounds);
}

TEST(HostileFiles, ModelFilesThatAreNotModelsAreReportedAsSuch) {
  scratch_dir dir;
  const std::string model_path = dir.file(model_file);
  struct hostile {
    const char* what;
    void (*make)(const std::string& path);
  };
  const std::vector<hostile> cases = {
      {"directory", [](const std::string& p) { ASSERT_EQ(mkdir(p.c_str(), 0755), 0); }},
      {"FIFO", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0644), 0); }},
      {"symlink loop", [](const std::string& p) { ASSERT_EQ(symlink(p.c_str(), p.c_str()), 0); }},
      {"dangling symlink",
       [](const std::string& p) { ASSERT_EQ(symlink("/nonexistent", p.c_str()), 0); }},
      {"0 bytes", [](const std::string& p) { std::ofstream(p).close(); }},
  };
  for (const hostile& h : cases) {
    SCOPED_TRACE(h.what);
    std::filesystem::remove_all(model_path);
    h.make(model_path);
    const run_result r = run_classify(dir.path);
    EXPECT_EQ(r.out, create_failure);
    EXPECT_EQ(r.status, 1);
    size_t size = 0;
    EXPECT_EQ(map_model_file(model_path, &size), nullptr);
  }
}

TEST(HostileFiles, InputFilesThatCannotBeReadAreErrors) {
  struct hostile {
    const char* what;
    void (*make)(const std::string& path);
    const char* message;
  };
  const std::vector<hostile> cases = {
      {"FIFO", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0644), 0); },
       "is not a regular file"},
      {"symlink loop", [](const std::string& p) { ASSERT_EQ(symlink(p.c_str(), p.c_str()), 0); },
       "Too many levels of symbolic links"},
      {"dangling symlink",
       [](const std::string& p) { ASSERT_EQ(symlink("/nonexistent", p.c_str()), 0); },
       "No such file or directory"},
  };
  for (const hostile& h : cases) {
    SCOPED_TRACE(h.what);
    scratch_dir dir;
    dir.write(model_file, serialize_model(softmax_model()));
    h.make(dir.file("input.bin"));
    const run_result r = run_classify(dir.path);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, std::string("classify: input.bin: ") + h.message + eol());
    EXPECT_EQ(r.status, 1);
  }
}

// Permissions do not bind root, so this runs the program as another user
// where the tests run as root, and skips where that cannot be arranged.
TEST(HostileFiles, UnreadableFilesAreErrors) {
  scratch_dir dir;
  dir.write(model_file, serialize_model(softmax_model()));
  dir.write("input.bin", std::string(1001, 'a'));
  ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
  ASSERT_EQ(chmod(dir.file("input.bin").c_str(), 0), 0);
  std::string runner;
  std::vector<std::string> args;
  if (geteuid() == 0) {
    if (access("/usr/sbin/runuser", X_OK) != 0) GTEST_SKIP() << "no runuser to drop root";
    runner = "/usr/sbin/runuser";
    // A shared library may sit where that user cannot read it (a cache
    // under root's home): a copy in the scratch folder serves instead.
    ASSERT_EQ(mkdir(dir.file("lib").c_str(), 0755), 0);
#ifdef TFLITE_SHARED_LIBRARY
    std::filesystem::copy_file(TFLITE_SHARED_LIBRARY,
                               dir.file("lib/" TFLITE_SHARED_LIBRARY_SONAME));
#endif
    args = {"-u",        "nobody", "--", "/usr/bin/env", "LD_LIBRARY_PATH=" + dir.file("lib"),
            CLASSIFY_EXE};
  } else {
    runner = CLASSIFY_EXE;
  }
  // The program and its library must be reachable for that user (a cache
  // under root's home is not): it must start and miss the model in an empty
  // folder.
  if (geteuid() == 0) {
    scratch_dir empty;
    ASSERT_EQ(chmod(empty.path.c_str(), 0755), 0);
    const run_result probe = run_program(runner, args, empty.path);
    if (probe.out != create_failure) {
      GTEST_SKIP() << "classify does not start as user nobody here: " << probe.err;
    }
  }
  run_result r = run_program(runner, args, dir.path);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "classify: input.bin: cannot be opened: Permission denied\n");
  EXPECT_EQ(r.status, 1);

  ASSERT_EQ(chmod(dir.file("input.bin").c_str(), 0644), 0);
  ASSERT_EQ(chmod(dir.file(model_file).c_str(), 0), 0);
  r = run_program(runner, args, dir.path);
  EXPECT_EQ(r.out, create_failure);
  EXPECT_EQ(r.status, 1);
}

}  // namespace

namespace {

// A model within the bounds of the check whose tensors still do not fit in
// the memory the process may use: the library's failed allocation must be
// reported as a failed allocation, not end the process.
TEST(HostileFiles, AllocationBeyondAvailableMemoryIsReported) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reserves more address space than the limit leaves";
#endif
  model_def def = scaling_model(1.0f, 200 * 1000 * 1000);  // two tensors of 800 MB
  scratch_dir dir;
  dir.write(model_file, serialize_model(def));
  dir.write("input.bin", "");
  const run_result r =
      run_program("/bin/sh", {"-c", "ulimit -v 1000000 && exec " CLASSIFY_EXE}, dir.path);
  EXPECT_EQ(r.out, "Failed to allocate tensors!");
  EXPECT_EQ(r.status, 1) << r.err;
}

}  // namespace

namespace {

// Model files the fuzzer found troublesome: one crashed the library's set-up
// before the model check existed, one makes a kernel leak while it refuses
// the model. Each must be refused at set-up, in process and by the program,
// with one of the two set-up messages and nothing else.
TEST(ModelCheck, FuzzerFindingsStayFixed) {
  const std::filesystem::path folder =
      std::filesystem::path(CLASSIFY_SOURCE_DIR) / "fuzz/regressions/model_fuzz";
  int replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    SCOPED_TRACE(entry.path().string());
    const std::string bytes = read_file(entry.path().string());
    EXPECT_FALSE(probe_set_up(bytes_of(bytes), bytes.size()));
    scratch_dir dir;
    dir.write(model_file, bytes);
    const run_result r = run_classify(dir.path);
    EXPECT_TRUE(r.out == create_failure || r.out == "Failed to allocate tensors!") << r.out;
    EXPECT_EQ(r.status, 1);
    ++replayed;
  }
  EXPECT_GT(replayed, 0);
}

}  // namespace
