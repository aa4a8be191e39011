// classify-photos' two kinds of kernels: XNNPACK, through the library's
// delegate, must give the builtin kernels' best class, and scores within a
// rounding's reach, on every real model we have, at several crops of the
// sample photograph; a model XNNPACK refuses, or a delegate that fails,
// runs on the builtin kernels and says why.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "model/interpreter.h"
#include "photo/photo.h"
#include "tests/support/image_support.h"
#include "tests/support/model_builder.h"
#include "tests/support/run_support.h"
#include "tests/support/sample_data.h"
#include "tools/classify-photos/classify/classifier.h"

namespace classify {

namespace {

// Every class's score, by class index.
std::vector<float> all_scores(classifier* model, const std::vector<unsigned char>& pixels) {
  std::vector<ranked_class> ranked;
  EXPECT_TRUE(model->classify(pixels, model->classes(), &ranked));
  std::vector<float> scores(model->classes(), NAN);
  for (const ranked_class& c : ranked) scores[static_cast<size_t>(c.index)] = c.score;
  return scores;
}

// The sample photograph as a JPEG, which the in-process pipeline reads
// without the formats' module.
std::string sample_jpeg(const scratch_dir& dir) {
  magick(dir, {sample_photo, "-quality", "95", "sample.jpg"});
  return dir.file("sample.jpg");
}

}  // namespace

TEST(Xnnpack, EveryRealModelGivesTheBuiltinKernelsClassesAndScores) {
  if (!xnnpack_built_in()) GTEST_SKIP() << "this build has no XNNPACK delegate";
  const std::string zoo = CLASSIFY_SHARED_DIR "/models/zoo/";
  std::vector<std::string> models = {pretrained_model};
  for (const char* name :
       {"mobilenet_v1_0.25_224_1_default_1.tflite", "mobilenet_v1_0.25_224_1_metadata_1.tflite",
        "mobilenet_v1_0.25_128_quant.tflite", "tf2_mobilenet_v2_1.0_224_ptq.tflite",
        "mlperf_tiny_vww_96_int8.tflite"}) {
    if (std::filesystem::exists(zoo + name)) models.push_back(zoo + name);
  }
  scratch_dir dir;
  const std::string photo = sample_jpeg(dir);
  for (const std::string& path : models) {
    SCOPED_TRACE(path);
    std::string error;
    const loaded_model model = load_model(path, &error);
    ASSERT_TRUE(model.model) << error;
    const std::unique_ptr<xnnpack_weights> weights = xnnpack_weights::create(model.size);
    ASSERT_TRUE(weights);
    result<std::unique_ptr<classifier>> made_fast =
        classifier::create(model.model.get(), {}, weights.get());
    ASSERT_TRUE(made_fast) << made_fast.error().message;
    std::unique_ptr<classifier> fast = std::move(*made_fast);
    weights->finish_packing();
    result<std::unique_ptr<classifier>> made_builtin =
        classifier::create(model.model.get(), {}, nullptr);
    ASSERT_TRUE(made_builtin) << made_builtin.error().message;
    std::unique_ptr<classifier> builtin = std::move(*made_builtin);
    // A second interpreter over the packed weights, as the second worker's.
    result<std::unique_ptr<classifier>> made_second =
        classifier::create(model.model.get(), {}, weights.get());
    ASSERT_TRUE(made_second) << made_second.error().message;
    std::unique_ptr<classifier> second = std::move(*made_second);

    EXPECT_TRUE(fast->kernels().xnnpack) << fast->kernels().refusal;
    EXPECT_GT(fast->kernels().delegated, 0);
    EXPECT_LE(fast->kernels().delegated, fast->kernels().operators);
    EXPECT_TRUE(second->kernels().xnnpack) << second->kernels().refusal;
    EXPECT_FALSE(builtin->kernels().xnnpack);
    // Every score of a float output within 1e-4. A quantized output's best
    // score within ten steps: XNNPACK requantizes each layer in float where
    // the builtin kernels use fixed-point multipliers, and over the 28 to 50
    // layers of the uint8 MobileNets the two drift apart by up to 8 steps
    // (1/256 each) on these photographs; the int8 person detector by 2.
    const tensor_facts& out = builtin->output();
    const float tolerance = out.type == kTfLiteFloat32 ? 1e-4f : 10.0f * out.scale;
    for (const double crop : {1.0, 0.8, 0.55}) {
      SCOPED_TRACE("crop " + std::to_string(crop));
      std::vector<unsigned char> pixels;
      ASSERT_TRUE(prepare_photo(photo, builtin->input_size(), crop, &pixels, &error)) << error;
      const std::vector<float> expected = all_scores(builtin.get(), pixels);
      for (classifier* run : {fast.get(), second.get()}) {
        const std::vector<float> got = all_scores(run, pixels);
        if (out.type == kTfLiteFloat32) {
          for (size_t i = 0; i < expected.size(); ++i) EXPECT_NEAR(got[i], expected[i], tolerance);
        }
        const size_t best = static_cast<size_t>(std::max_element(expected.begin(), expected.end()) -
                                                expected.begin());
        EXPECT_EQ(static_cast<size_t>(std::max_element(got.begin(), got.end()) - got.begin()),
                  best);
        EXPECT_LE(std::fabs(got[best] - expected[best]), tolerance);
      }
    }
  }
}

TEST(Xnnpack, ARefusedModelAndAFailingDelegateLeaveTheBuiltinKernels) {
  if (!xnnpack_built_in()) GTEST_SKIP() << "this build has no XNNPACK delegate";
  std::string error;
  // An image of one pixel squeezed into three scores: SQUEEZE is no operator
  // of XNNPACK's, so it takes nothing of the model.
  model_def squeeze;
  squeeze.tensors = {{"input", {1, 1, 1, 3}}, {"scores", {3}}};
  squeeze.ops = {{tflite::BuiltinOperator_SQUEEZE, {0}, {1}}};
  squeeze.inputs = {0};
  squeeze.outputs = {1};
  const std::string bytes = serialize_model(squeeze);
  model_ptr refused(create_model(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
  ASSERT_TRUE(refused);
  const std::unique_ptr<xnnpack_weights> weights = xnnpack_weights::create(bytes.size());
  ASSERT_TRUE(weights);
  result<std::unique_ptr<classifier>> made_plain =
      classifier::create(refused.get(), {}, weights.get());
  ASSERT_TRUE(made_plain) << made_plain.error().message;
  std::unique_ptr<classifier> plain = std::move(*made_plain);
  EXPECT_FALSE(plain->kernels().xnnpack);
  EXPECT_EQ(kernel_text(kernel_choice::xnnpack, plain->kernels()),
            "builtin (XNNPACK refused the model: it takes none of the model's operators)");

  // A cache finished before anything was packed into it holds none of the
  // default model's weights and takes no more: XNNPACK fails while
  // preparing the model, and the builtin kernels run it, with the same
  // scores as ever.
  const loaded_model model = load_model(pretrained_model, &error);
  ASSERT_TRUE(model.model) << error;
  const std::unique_ptr<xnnpack_weights> full = xnnpack_weights::create(0);
  full->finish_packing();
  result<std::unique_ptr<classifier>> made_fallen =
      classifier::create(model.model.get(), {}, full.get());
  ASSERT_TRUE(made_fallen) << made_fallen.error().message;
  std::unique_ptr<classifier> fallen = std::move(*made_fallen);
  EXPECT_FALSE(fallen->kernels().xnnpack);
  EXPECT_FALSE(fallen->kernels().refusal.empty());
  result<std::unique_ptr<classifier>> made_builtin =
      classifier::create(model.model.get(), {}, nullptr);
  ASSERT_TRUE(made_builtin) << made_builtin.error().message;
  std::unique_ptr<classifier> builtin = std::move(*made_builtin);
  scratch_dir dir;
  std::vector<unsigned char> pixels;
  ASSERT_TRUE(prepare_photo(sample_jpeg(dir), builtin->input_size(), 1.0, &pixels, &error))
      << error;
  EXPECT_EQ(all_scores(fallen.get(), pixels), all_scores(builtin.get(), pixels));
}

}  // namespace classify

namespace classify {

// classify runs the builtin kernels only: no XNNPACK is linked into it, so
// the library cannot apply it by itself, while classify-photos has it.
TEST(Xnnpack, ClassifyHasNoneOfItAndClassifyPhotosHasIt) {
  const auto symbols = [](const std::string& program) {
    const run_result nm = run_program("/usr/bin/nm", {program}, ".");
    EXPECT_EQ(nm.status, 0) << nm.err;
    return nm.out;
  };
  const std::string classify = symbols(CLASSIFY_EXE);
  ASSERT_NE(classify.find(" TfLiteInterpreterCreate\n"), std::string::npos) << "stripped?";
  EXPECT_EQ(classify.find(" xnn_"), std::string::npos);
  EXPECT_EQ(classify.find(" TfLiteXNNPackDelegateCreate\n"), std::string::npos);
  if (xnnpack_built_in()) {
    const std::string photos = symbols(CLASSIFY_PHOTOS_EXE);
    EXPECT_NE(photos.find(" xnn_initialize\n"), std::string::npos);
    EXPECT_NE(photos.find(" TfLiteXNNPackDelegateCreate\n"), std::string::npos);
  }
}

}  // namespace classify
