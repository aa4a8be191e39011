// Damaged models and hostile files: nothing may crash the program, and each
// is reported the way a model that cannot be loaded is.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#include "model/interpreter.h"
#include "model/model_check.h"
#include "src/inference.h"
#include "tests/support/model_builder.h"
#include "tests/support/run_support.h"
#include "tests/support/setup_probe.h"

namespace classify {

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
  if (address_sanitized) {
    GTEST_SKIP() << "AddressSanitizer reserves more address space than the limit leaves";
  }
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
// the model, one makes the library ask for 1.4 TB for its tensors. Each
// must be refused at set-up, in process and by the program, with one of the
// two set-up messages and nothing else.
TEST(ModelCheck, FuzzerFindingsStayFixed) {
  const std::filesystem::path folder =
      std::filesystem::path(CLASSIFY_SOURCE_DIR) / "fuzz/regressions/model_fuzz";
  int replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    SCOPED_TRACE(entry.path().string());
    // AddressSanitizer's operator new aborts where it cannot allocate,
    // instead of throwing (the model fuzzer replaces it for that reason).
    if (address_sanitized && entry.path().filename().string().rfind("allocation-", 0) == 0) {
      continue;
    }
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

namespace {

// One operator of the sweep below: its operand counts, the type, shape and
// quantization scale all its operands share, and whether its output is
// boolean instead (as comparisons want).
struct operator_case {
  tflite::BuiltinOperator code;
  int inputs, outputs;
  tflite::TensorType type;
  bool boolean_output;
  std::vector<int32_t> shape;
  std::vector<float> scale;
};

std::string describe(const operator_case& c) {
  std::string shape;
  for (const int32_t d : c.shape) shape += std::to_string(d) + ",";
  return std::string(tflite::EnumNameBuiltinOperator(c.code)) + " " + std::to_string(c.inputs) +
         " in " + std::to_string(c.outputs) + " out " + tflite::EnumNameTensorType(c.type) +
         (c.boolean_output ? "->BOOL" : "") + " [" + shape + "] scale " +
         (c.scale.empty() ? "none" : std::to_string(c.scale[0]));
}

// Inputs are graph inputs, set to zeros when the model runs; the first
// output always has scale 1, so that input scales meet a sane output scale.
std::string model_of(const operator_case& c) {
  model_def def;
  op_def op{c.code, {}, {}};
  for (int i = 0; i < c.inputs + c.outputs; ++i) {
    const bool is_input = i < c.inputs;
    const tflite::TensorType type =
        !is_input && c.boolean_output ? tflite::TensorType_BOOL : c.type;
    const std::vector<float> scale =
        i == c.inputs && !c.scale.empty() ? std::vector<float>{1.0f} : c.scale;
    def.tensors.push_back({is_input ? "in" + std::to_string(i) : "out", c.shape, type, {}, scale});
    (is_input ? op.inputs : op.outputs).push_back(i);
  }
  def.ops = {op};
  def.inputs = op.inputs;
  def.outputs = op.outputs;
  return serialize_model(def);
}

std::vector<operator_case> every_operator_case() {
  using tflite::TensorType;
  const std::vector<std::vector<int32_t>> shapes = {{1, 4}, {}, {0}, {2, 0, 3}, {1, 2, 2, 1}};
  const std::vector<std::vector<float>> quantized_scales = {{}, {1.0f}, {1e30f}, {NAN}};
  const std::vector<std::vector<float>> no_scale = {{}};
  std::vector<operator_case> cases;
  for (int code = tflite::BuiltinOperator_MIN; code <= tflite::BuiltinOperator_MAX; ++code) {
    for (int inputs = 0; inputs <= 3; ++inputs) {
      for (int outputs = 0; outputs <= 2; ++outputs) {
        for (const TensorType type :
             {tflite::TensorType_FLOAT32, tflite::TensorType_INT32, tflite::TensorType_INT64,
              tflite::TensorType_BOOL, tflite::TensorType_INT8, tflite::TensorType_UINT8,
              tflite::TensorType_INT16}) {
          const bool quantized = type == tflite::TensorType_INT8 ||
                                 type == tflite::TensorType_UINT8 ||
                                 type == tflite::TensorType_INT16;
          for (const bool boolean_output : {false, true}) {
            for (const auto& shape : shapes) {
              for (const auto& scale : quantized ? quantized_scales : no_scale) {
                cases.push_back({static_cast<tflite::BuiltinOperator>(code), inputs, outputs, type,
                                 boolean_output, shape, scale});
              }
            }
          }
        }
      }
    }
  }
  return cases;
}

// What the sweep's crashes taught the check must not cost sound models:
// quantized arithmetic and comparisons at ordinary scales, integer division
// by a constant, the normalizations and index-reading operators on tensors
// that hold data.
TEST(ModelCheck, KernelAssumptionsLeaveOrdinaryModelsAlone) {
  using tflite::TensorType;
  std::vector<std::string> models;
  for (const auto code : {tflite::BuiltinOperator_ADD, tflite::BuiltinOperator_SUB,
                          tflite::BuiltinOperator_SQUARED_DIFFERENCE, tflite::BuiltinOperator_LESS,
                          tflite::BuiltinOperator_EQUAL}) {
    const bool comparison =
        code == tflite::BuiltinOperator_LESS || code == tflite::BuiltinOperator_EQUAL;
    for (const float scale : {0.0039f, 0.02f, 0.5f, 3.0f}) {
      for (const TensorType type : {tflite::TensorType_INT8, tflite::TensorType_UINT8}) {
        if (code == tflite::BuiltinOperator_SQUARED_DIFFERENCE && type != tflite::TensorType_INT8)
          continue;
        models.push_back(model_of({code, 2, 1, type, comparison, {1, 4}, {scale}}));
      }
    }
  }
  for (const auto code : {tflite::BuiltinOperator_SOFTMAX, tflite::BuiltinOperator_LOG_SOFTMAX,
                          tflite::BuiltinOperator_L2_NORMALIZATION, tflite::BuiltinOperator_SIGN}) {
    models.push_back(model_of({code, 1, 1, tflite::TensorType_FLOAT32, false, {1, 4}, {}}));
  }
  model_def division;
  division.tensors = {{"in", {1, 4}, tflite::TensorType_INT32},
                      {"divisor", {1}, tflite::TensorType_INT32, {3, 0, 0, 0}},
                      {"out", {1, 4}, tflite::TensorType_INT32}};
  division.ops = {{tflite::BuiltinOperator_DIV, {0, 1}, {2}}};
  division.inputs = {0};
  division.outputs = {2};
  models.push_back(serialize_model(division));
  for (const std::string& bytes : models)
    EXPECT_TRUE(model_is_sound(bytes_of(bytes), bytes.size()));
}

// Runs cases from `first` on in a child process, which reports each case on
// the pipe before it tries it; returns where it stopped: the end, or the
// case that killed it.
size_t run_until_crash(const std::vector<operator_case>& cases, size_t first) {
  int report[2];
  if (pipe(report) != 0) return first;
  const pid_t child = fork();
  if (child == 0) {
    close(report[0]);
    for (size_t i = first; i < cases.size(); ++i) {
      if (write(report[1], &i, sizeof i) != sizeof i) _exit(2);
      const std::string bytes = model_of(cases[i]);
      probe_set_up(bytes_of(bytes), bytes.size(), true);
    }
    _exit(0);
  }
  close(report[1]);
  size_t last = first, index = 0;
  while (read(report[0], &index, sizeof index) == sizeof index) last = index;
  close(report[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? cases.size() : last;
}

// Every builtin operator with few or many operands of every common type,
// shape and quantization, set up and run: a kernel that trusts its operands
// further than the model check vouches for crashes here. The fuzzer found
// such cases one at a time (EXP reading an omitted input, SIGN writing to a
// missing output); this covers the whole table at once. Under AddressSanitizer
// and valgrind (make check) a read or write past a tensor counts as a crash.
TEST(ModelCheck, EveryOperatorWithAnyOperandsIsRunOrRefused) {
  const std::vector<operator_case> cases = every_operator_case();
  // Every other case in a process of its own, one per core of a small
  // machine; each writes what crashed to a file of its own.
  constexpr size_t shards = 2;
  std::vector<std::pair<pid_t, FILE*>> runners;
  for (size_t shard = 0; shard < shards; ++shard) {
    std::vector<operator_case> part;
    for (size_t i = shard; i < cases.size(); i += shards) part.push_back(cases[i]);
    FILE* report = std::tmpfile();
    ASSERT_NE(report, nullptr);
    const pid_t runner = fork();
    if (runner == 0) {
      for (size_t next = 0; next < part.size();) {
        const size_t stopped = run_until_crash(part, next);
        if (stopped == part.size()) break;
        std::fprintf(report, "\n  %s", describe(part[stopped]).c_str());
        next = stopped + 1;
      }
      _exit(std::fflush(report) == 0 ? 0 : 1);
    }
    ASSERT_GT(runner, 0);
    runners.emplace_back(runner, report);
  }
  std::string list;
  for (const auto& [runner, report] : runners) {
    int status = 0;
    EXPECT_EQ(waitpid(runner, &status, 0), runner);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::rewind(report);
    for (int c = std::fgetc(report); c != EOF; c = std::fgetc(report)) list += static_cast<char>(c);
    std::fclose(report);
  }
  EXPECT_TRUE(list.empty()) << "of " << cases.size() << " models, these crashed:" << list;
}

}  // namespace

}  // namespace classify
