#include "tools/classify-photos/classify/kernels.h"

#include <type_traits>

#if CLASSIFY_HAVE_XNNPACK
#include "tensorflow/lite/delegates/xnnpack/xnnpack_delegate.h"
#endif

namespace classify {

bool xnnpack_built_in() { return CLASSIFY_HAVE_XNNPACK != 0; }

std::string kernel_text(kernel_choice asked, const kernel_use& use) {
  if (use.xnnpack) {
    std::string text = "XNNPACK (" + std::to_string(use.delegated) + " of " +
                       std::to_string(use.operators) + " operators";
    if (use.delegated < use.operators) text += "; the rest on the builtin kernels";
    return text + ")";
  }
  if (asked == kernel_choice::builtin) return "builtin (--kernels builtin)";
  if (!xnnpack_built_in()) return "builtin (this build has no XNNPACK)";
  return "builtin (XNNPACK refused the model: " + use.refusal + ")";
}

#if CLASSIFY_HAVE_XNNPACK

static_assert(std::is_standard_layout<xnnpack_delegate::counting>::value,
              "the library's pointer to `outer` is taken back as the whole");

namespace {

xnnpack_delegate::counting* counting_of(TfLiteDelegate* delegate) {
  return reinterpret_cast<xnnpack_delegate::counting*>(delegate);
}

TfLiteStatus counted_replace(TfLiteContext* context, TfLiteRegistration registration,
                             const TfLiteIntArray* nodes, TfLiteDelegate* delegate) {
  xnnpack_delegate::counting* self = counting_of(delegate);
  const TfLiteStatus status = self->replace(context, registration, nodes, delegate);
  if (status == kTfLiteOk) self->delegated += nodes->size;
  return status;
}

// The library's Prepare, with the operators it hands over counted: the
// library itself only logs them.
TfLiteStatus counted_prepare(TfLiteContext* context, TfLiteDelegate* delegate) {
  xnnpack_delegate::counting* self = counting_of(delegate);
  TfLiteIntArray* plan = nullptr;
  if (context->GetExecutionPlan(context, &plan) == kTfLiteOk) self->operators = plan->size;
  self->replace = context->ReplaceNodeSubsetsWithDelegateKernels;
  context->ReplaceNodeSubsetsWithDelegateKernels = counted_replace;
  const TfLiteStatus status = self->inner->Prepare(context, delegate);
  context->ReplaceNodeSubsetsWithDelegateKernels = self->replace;
  return status;
}

}  // namespace

std::unique_ptr<xnnpack_weights> xnnpack_weights::create(size_t model_bytes) {
  // Packed weights take about the model's own bytes, and a little for the
  // layout of XNNPACK's kernels. Reserved at once, they are written into
  // one mapping, not into one that is moved as it grows.
  TfLiteXNNPackDelegateWeightsCache* cache =
      TfLiteXNNPackDelegateWeightsCacheCreateWithSize(model_bytes + model_bytes / 4 + (1 << 20));
  if (cache == nullptr) return nullptr;
  return std::unique_ptr<xnnpack_weights>(new xnnpack_weights(cache));
}

xnnpack_weights::~xnnpack_weights() { TfLiteXNNPackDelegateWeightsCacheDelete(cache_); }

void xnnpack_weights::finish_packing() {
  // Fails only when called twice; the cache works either way.
  TfLiteXNNPackDelegateWeightsCacheFinalizeSoft(cache_);
}

std::unique_ptr<xnnpack_delegate> xnnpack_delegate::create(const xnnpack_weights& weights) {
  TfLiteXNNPackDelegateOptions options = TfLiteXNNPackDelegateOptionsDefault();
  options.num_threads = 1;
  options.flags |= TFLITE_XNNPACK_DELEGATE_FLAG_QS8 | TFLITE_XNNPACK_DELEGATE_FLAG_QU8;
  options.weights_cache = weights.cache();
  TfLiteDelegate* inner = TfLiteXNNPackDelegateCreate(&options);
  if (inner == nullptr) return nullptr;
  std::unique_ptr<xnnpack_delegate> made(new xnnpack_delegate());
  made->counting_.inner = inner;
  // Everything the library reads of a delegate is the inner one's (its data
  // above all, which its kernels find themselves by), but Prepare.
  made->counting_.outer = *inner;
  made->counting_.outer.Prepare = counted_prepare;
  return made;
}

xnnpack_delegate::~xnnpack_delegate() { TfLiteXNNPackDelegateDelete(counting_.inner); }

#else

std::unique_ptr<xnnpack_weights> xnnpack_weights::create(size_t) { return nullptr; }
xnnpack_weights::~xnnpack_weights() = default;
void xnnpack_weights::finish_packing() {}
std::unique_ptr<xnnpack_delegate> xnnpack_delegate::create(const xnnpack_weights&) {
  return nullptr;
}
xnnpack_delegate::~xnnpack_delegate() = default;

#endif

}  // namespace classify
