#pragma once
// A model's scores read as classes: classify's best score, the batch tool's
// best K, and the text a score is printed as.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace classify {

// The best score and its index: the first strictly greatest score above
// -1.0, or index -1 and score -1 when none exceeds -1.0 (NaN never wins).
void find_best_score(const float* scores, int32_t count, int32_t* best_index, float* best_score);

// A class and its score, the output value as the model means it.
struct ranked_class {
  int32_t index = -1;
  float score = 0.0f;
};

// The `count` best of `scores`, best first; a tie goes to the lower index,
// and NaN ranks below every number.
std::vector<ranked_class> best_classes(const float* scores, size_t size, size_t count);

// A quantized score as the model means it: scale * (q - zero point), or q as
// it is where the tensor has no scale.
float dequantized(int32_t q, float scale, int32_t zero_point);

// A score as the result line gives it: the stream's default float form (six
// significant digits) in the classic locale.
std::string score_text(float score);

}  // namespace classify
