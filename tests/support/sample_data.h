#pragma once
// The pretrained model and labels the repository ships, and the sample
// photograph beside the repository (../shared), which tests that need it
// skip without.

#include <string>

namespace classify {

inline const std::string pretrained_model =
    CLASSIFY_SOURCE_DIR "/models/mobilenet_v3_small_224_1.0_float.tflite";
inline const std::string pretrained_labels = CLASSIFY_SOURCE_DIR "/models/imagenet_labels.txt";
inline const std::string sample_photo = CLASSIFY_SHARED_DIR "/images/grace_hopper.bmp";

}  // namespace classify
