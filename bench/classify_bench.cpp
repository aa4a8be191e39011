// In-process benchmarks of classify's stages on the pretrained model, each
// beside a baseline that does the same work the plain way with the bare C
// API, measured in the same run. The summary prints each stage as a ratio to
// its baseline.
#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "model/interpreter.h"
#include "src/inference.h"
#include "src/input_loader.h"

using namespace classify;

namespace {

const std::string model_path =
    std::string(CLASSIFY_SOURCE_DIR) + "/models/mobilenet_v3_small_224_1.0_float.tflite";
constexpr int32_t input_bytes = 224 * 224 * 3;

// A 150,528-byte input of pseudo-random bytes, written once.
const std::string& input_path() {
  static const std::string path = [] {
    char name[] = "/tmp/classify-bench-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) std::abort();
    close(fd);
    std::mt19937 random(7);
    std::string bytes(input_bytes, '\0');
    for (char& b : bytes) b = static_cast<char>(random());
    std::ofstream(name, std::ios::binary).write(bytes.data(), bytes.size());
    return std::string(name);
  }();
  return path;
}

void load_input_ours(benchmark::State& state) {
  for (auto _ : state) {
    int32_t count = 0;
    float* values = load_input(input_path(), &count);
    benchmark::DoNotOptimize(values);
    std::free(values);
  }
}

void load_input_baseline(benchmark::State& state) {
  for (auto _ : state) {
    FILE* file = std::fopen(input_path().c_str(), "rb");
    std::vector<unsigned char> bytes(input_bytes);
    const size_t n = std::fread(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
    auto* values = static_cast<float*>(std::calloc(n, sizeof(float)));
    for (size_t i = 0; i < n; ++i) values[i] = static_cast<float>((bytes[i] / 255.0 - 0.5) * 2.0);
    benchmark::DoNotOptimize(values);
    std::free(values);
  }
}

void set_up_ours(benchmark::State& state) {
  for (auto _ : state) {
    size_t size = 0;
    const uint8_t* data = map_model_file(model_path, &size);
    TfLiteModel* model = data != nullptr ? create_model(data, size) : nullptr;
    TfLiteInterpreterOptions* options = TfLiteInterpreterOptionsCreate();
    TfLiteInterpreter* interp = create_interpreter(model, options);
    if (interp == nullptr || allocate_tensors(interp) != kTfLiteOk) state.SkipWithError("set-up");
    benchmark::DoNotOptimize(find_input_tensor(interp, input_tensor_name));
    benchmark::DoNotOptimize(find_output_tensor(interp, output_tensor_name));
    TfLiteInterpreterDelete(interp);
    TfLiteInterpreterOptionsDelete(options);
    TfLiteModelDelete(model);
    munmap(const_cast<uint8_t*>(data), size);
  }
}

void set_up_baseline(benchmark::State& state) {
  for (auto _ : state) {
    TfLiteModel* model = TfLiteModelCreateFromFile(model_path.c_str());
    TfLiteInterpreterOptions* options = TfLiteInterpreterOptionsCreate();
    TfLiteInterpreter* interp = TfLiteInterpreterCreate(model, options);
    if (interp == nullptr || TfLiteInterpreterAllocateTensors(interp) != kTfLiteOk) {
      state.SkipWithError("set-up");
    }
    benchmark::DoNotOptimize(TfLiteInterpreterGetInputTensor(interp, 0));
    benchmark::DoNotOptimize(TfLiteInterpreterGetOutputTensor(interp, 0));
    TfLiteInterpreterDelete(interp);
    TfLiteInterpreterOptionsDelete(options);
    TfLiteModelDelete(model);
  }
}

// The program's own engine, set up once for the invocation benchmarks.
const float* engine_values() {
  static const float* values = [] {
    init_interpreter(model_path);
    int32_t count = 0;
    return load_input(input_path(), &count);
  }();
  return values;
}

// run_inference writes its line to standard output; the benchmark sends it
// nowhere.
struct null_buffer : std::streambuf {
  int overflow(int c) override { return c; }
};

void invoke_ours(benchmark::State& state) {
  const float* values = engine_values();
  null_buffer sink;
  std::streambuf* saved = std::cout.rdbuf(&sink);
  for (auto _ : state) {
    if (!run_inference(values, input_bytes)) state.SkipWithError("run_inference");
  }
  std::cout.rdbuf(saved);
}

void invoke_baseline(benchmark::State& state) {
  const float* values = engine_values();
  float scores[1001];
  for (auto _ : state) {
    TfLiteTensorCopyFromBuffer(TfLiteInterpreterGetInputTensor(interpreter, 0), values,
                               input_bytes * sizeof(float));
    TfLiteInterpreterInvoke(interpreter);
    TfLiteTensorCopyToBuffer(TfLiteInterpreterGetOutputTensor(interpreter, 0), scores,
                             sizeof scores);
    int best = 0;
    for (int i = 1; i < 1001; ++i) best = scores[i] > scores[best] ? i : best;
    benchmark::DoNotOptimize(best);
  }
}

void report_ours(benchmark::State& state) {
  null_buffer sink;
  std::ostream out(&sink);
  for (auto _ : state) write_result_line(out, 653, 0.379541f);
}

void report_baseline(benchmark::State& state) {
  FILE* sink = std::fopen("/dev/null", "w");
  for (auto _ : state) {
    std::fprintf(sink, "\xC0\xE0\xB1\xF0\xA3\xBA%d\xA3\xAC\xB8\xC5\xC2\xCA\xA3\xBA%g\n", 653,
                 0.379541);
    std::fflush(sink);
  }
  std::fclose(sink);
}

BENCHMARK(load_input_ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(load_input_baseline)->Unit(benchmark::kMicrosecond);
BENCHMARK(set_up_ours)->Unit(benchmark::kMillisecond);
BENCHMARK(set_up_baseline)->Unit(benchmark::kMillisecond);
BENCHMARK(invoke_ours)->Unit(benchmark::kMillisecond);
BENCHMARK(invoke_baseline)->Unit(benchmark::kMillisecond);
BENCHMARK(report_ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(report_baseline)->Unit(benchmark::kMicrosecond);

// Prints the usual table, then each "_ours" median as a ratio to its
// "_baseline".
class ratio_reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      std::string name = run.run_name.function_name;
      times_[name] = run.GetAdjustedRealTime() * unit_ns(run.time_unit);
    }
  }
  void summarise() const {
    std::cout << "\nratios to the baseline measured in this run (median real time):\n";
    for (const auto& [name, ns] : times_) {
      const std::string suffix = "_ours";
      if (name.size() <= suffix.size() ||
          name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        continue;
      const std::string stage = name.substr(0, name.size() - suffix.size());
      const auto base = times_.find(stage + "_baseline");
      if (base == times_.end()) continue;
      std::printf("  %-12s ours %10.1f us   baseline %10.1f us   x%.3f\n", stage.c_str(), ns / 1e3,
                  base->second / 1e3, ns / base->second);
    }
  }

 private:
  static double unit_ns(benchmark::TimeUnit unit) {
    switch (unit) {
      case benchmark::kSecond:
        return 1e9;
      case benchmark::kMillisecond:
        return 1e6;
      case benchmark::kMicrosecond:
        return 1e3;
      default:
        return 1;
    }
  }
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  if (access(model_path.c_str(), R_OK) != 0) {
    std::cerr << "classify_bench: the pretrained model is not at " << model_path << "\n";
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.summarise();
  std::remove(input_path().c_str());
  return 0;
}
