#include "model/scores.h"

#include <algorithm>
#include <cmath>
#include <locale>
#include <numeric>
#include <sstream>

namespace classify {

void find_best_score(const float* scores, int32_t count, int32_t* best_index, float* best_score) {
  *best_score = -1.0f;
  *best_index = -1;
  for (int32_t i = 0; i < count; ++i) {
    // Strictly greater: a tie keeps the lower index, and NaN compares false.
    if (scores[i] > *best_score) {
      *best_score = scores[i];
      *best_index = i;
    }
  }
}

std::vector<ranked_class> best_classes(const float* scores, size_t size, size_t count) {
  std::vector<int32_t> order(size);
  std::iota(order.begin(), order.end(), 0);
  const auto better = [scores](int32_t a, int32_t b) {
    const bool a_nan = std::isnan(scores[a]), b_nan = std::isnan(scores[b]);
    if (a_nan != b_nan) return b_nan;
    if (!a_nan && scores[a] != scores[b]) return scores[a] > scores[b];
    return a < b;
  };
  count = std::min(count, size);
  std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(count), order.end(),
                    better);
  std::vector<ranked_class> best(count);
  for (size_t i = 0; i < count; ++i) best[i] = {order[i], scores[order[i]]};
  return best;
}

float dequantized(int32_t q, float scale, int32_t zero_point) {
  return (scale != 0.0f ? scale : 1.0f) * static_cast<float>(q - zero_point);
}

std::string score_text(float score) {
  // Formatted apart from any output stream so that neither the global locale
  // nor flags left on a stream change the digits.
  std::ostringstream text;
  text.imbue(std::locale::classic());
  text << score;
  return text.str();
}

}  // namespace classify
