#pragma once
// Which kernels run the model: the library's builtin ones, or XNNPACK's
// through the library's XNNPACK delegate, which runs quantized models about
// five times faster on x86 and float ones about twice as fast. The workers'
// delegates share one copy of the packed weights, so that memory does not
// grow with --jobs. classify itself never uses the delegate.

#include <cstddef>
#include <memory>
#include <string>

#include "tensorflow/lite/c/common.h"
#include "tools/classify-photos/core/choices.h"
#include "tools/classify-photos/layers.h"

struct TfLiteXNNPackDelegateWeightsCache;

CLASSIFY_PHOTOS_IN_LAYER(classify);

namespace classify {

// True when this build has the XNNPACK delegate.
bool xnnpack_built_in();

// What runs one interpreter's model.
struct kernel_use {
  bool xnnpack = false;  // XNNPACK runs some or all of the operators
  int delegated = 0;     // the operators XNNPACK took
  int operators = 0;     // the model's operators
  // Why the builtin kernels run the whole model where XNNPACK was asked for.
  std::string refusal;
};

// "XNNPACK (62 of 64 operators; the rest on the builtin kernels)",
// "builtin (XNNPACK refused the model: ...)": what --describe says.
std::string kernel_text(kernel_choice asked, const kernel_use& use);

// The packed weights of one model, for every worker's delegate.
class xnnpack_weights {
 public:
  // A cache with room for the packed weights of a model of `model_bytes`
  // (it grows beyond where it must: room reserved is not memory used), or
  // null when this build has no XNNPACK delegate or the cache cannot be made.
  static std::unique_ptr<xnnpack_weights> create(size_t model_bytes);
  ~xnnpack_weights();
  xnnpack_weights(const xnnpack_weights&) = delete;
  xnnpack_weights& operator=(const xnnpack_weights&) = delete;

  // Called once the first interpreter has packed the weights and before any
  // runs: the cache is trimmed, and the other workers' interpreters find
  // their weights in it instead of packing their own.
  void finish_packing();
  TfLiteXNNPackDelegateWeightsCache* cache() const { return cache_; }

 private:
  explicit xnnpack_weights(TfLiteXNNPackDelegateWeightsCache* cache) : cache_(cache) {}
  TfLiteXNNPackDelegateWeightsCache* cache_;
};

// One interpreter's XNNPACK delegate, on one thread (the workers already
// use every core), for float, int8 and uint8 models, which counts the
// operators it takes. It must outlive the interpreter it is given to.
class xnnpack_delegate {
 public:
  // Null when this build has no XNNPACK delegate or it cannot be made.
  static std::unique_ptr<xnnpack_delegate> create(const xnnpack_weights& weights);
  ~xnnpack_delegate();
  xnnpack_delegate(const xnnpack_delegate&) = delete;
  xnnpack_delegate& operator=(const xnnpack_delegate&) = delete;

  // What the interpreter's options take.
  TfLiteDelegate* get() { return &counting_.outer; }
  int delegated() const { return counting_.delegated; }
  int operators() const { return counting_.operators; }

  // The library's delegate, wrapped: the library hands `outer` back to the
  // replacement of operators, where they are counted.
  struct counting {
    TfLiteDelegate outer;
    TfLiteDelegate* inner = nullptr;
    int delegated = 0;
    int operators = 0;
    TfLiteStatus (*replace)(TfLiteContext*, TfLiteRegistration, const TfLiteIntArray*,
                            TfLiteDelegate*) = nullptr;
  };

 private:
  xnnpack_delegate() = default;
  counting counting_;
};

}  // namespace classify
