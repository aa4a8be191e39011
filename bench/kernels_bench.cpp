// Warm invocation of each real model on the builtin kernels and on XNNPACK,
// as classify-photos' workers run them (one thread each), in one process:
// the median of 40 invocations after the first, and XNNPACK's speed-up as a
// ratio to the builtin kernels measured in the same run.
// Usage: kernels_bench MODEL... [Google Benchmark's options]
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "model/interpreter.h"
#include "photo/photo.h"
#include "tools/classify-photos/classify/classifier.h"

namespace classify {
namespace {

struct model_under_test {
  std::string name;
  loaded_model model;
  std::unique_ptr<xnnpack_weights> weights;
  std::unique_ptr<classifier> runs[2];  // builtin, xnnpack
  std::vector<unsigned char> pixels;
};

void invocations(benchmark::State& state, model_under_test* m, int kind) {
  std::vector<ranked_class> best;
  if (!m->runs[kind]->classify(m->pixels, 1, &best)) state.SkipWithError("the model failed");
  for (auto _ : state) {
    m->runs[kind]->classify(m->pixels, 1, &best);
    benchmark::DoNotOptimize(best.data());
  }
  state.SetLabel(kind == 1 ? kernel_text(kernel_choice::xnnpack, m->runs[1]->kernels()) : "");
}

// Keeps every median as it is printed, for the ratios at the end.
class median_keeper : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.aggregate_name == "median")
        medians[run.run_name.function_name] = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> medians;
};

}  // namespace
}  // namespace classify

int main(int argc, char** argv) {
  using namespace classify;
  benchmark::Initialize(&argc, argv);
  const std::string photo = argc > 1 ? argv[1] : "";
  std::vector<std::unique_ptr<model_under_test>> models;
  for (int i = 2; i < argc; ++i) {
    auto m = std::make_unique<model_under_test>();
    std::string error;
    m->name = argv[i];
    m->name = m->name.substr(m->name.find_last_of('/') + 1);
    m->model = load_model(argv[i], &error);
    m->weights = xnnpack_weights::create(m->model.size);
    // Each kind's classifier, or why the model cannot be classified with.
    const auto make = [&](const xnnpack_weights* weights) {
      result<std::unique_ptr<classifier>> made =
          classifier::create(m->model.model.get(), {}, weights);
      if (!made) {
        error = made.error().message;
        return std::unique_ptr<classifier>();
      }
      return std::move(*made);
    };
    if (m->model.model) {
      m->runs[1] = make(m->weights.get());
      if (m->weights) m->weights->finish_packing();
      m->runs[0] = make(nullptr);
    }
    if (!m->runs[0] || !m->runs[1] ||
        !prepare_photo(photo, m->runs[0]->input_size(), 1.0, &m->pixels, &error)) {
      std::fprintf(stderr, "kernels_bench: %s: %s\n", argv[i], error.c_str());
      return 1;
    }
    for (int kind = 0; kind < 2; ++kind) {
      benchmark::RegisterBenchmark(((kind == 0 ? "builtin/" : "xnnpack/") + m->name).c_str(),
                                   invocations, m.get(), kind)
          ->Iterations(40)
          ->Repetitions(5)
          ->ReportAggregatesOnly(true)
          ->Unit(benchmark::kMillisecond);
    }
    models.push_back(std::move(m));
  }
  if (models.empty()) {
    std::fprintf(stderr, "usage: kernels_bench PHOTO MODEL...\n");
    return 2;
  }
  median_keeper reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nwarm invocation, median, builtin -> XNNPACK (speed-up):\n");
  for (const auto& m : models) {
    const double builtin = reporter.medians["builtin/" + m->name];
    const double xnnpack = reporter.medians["xnnpack/" + m->name];
    std::printf("  %-48s %8.3f -> %7.3f ms  x%.2f\n", m->name.c_str(), builtin, xnnpack,
                xnnpack > 0 ? builtin / xnnpack : 0.0);
  }
  benchmark::Shutdown();
  return 0;
}
