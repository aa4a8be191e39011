// Reports which of ruy's kernel paths a program linked against this
// TensorFlow Lite build can use and which one a float multiplication actually
// takes, as "enabled=0x.. used=0x..". ruy picks its path at run time from
// what cpuinfo reports about the CPU, so a cpuinfo that disagrees with the
// one ruy was compiled against shows here as a lower path than the CPU has.
#include <cstdio>
#include <vector>

#include "ruy/context.h"
#include "ruy/matrix.h"
#include "ruy/mul_params.h"
#include "ruy/path.h"
#include "ruy/ruy.h"

int main() {
  constexpr int n = 64;
  std::vector<float> lhs(n * n, 1.0f), rhs(n * n, 2.0f), dst(n * n, 0.0f);
  ruy::Context context;
  ruy::Matrix<float> lhs_matrix, rhs_matrix, dst_matrix;
  ruy::MakeSimpleLayout(n, n, ruy::Order::kRowMajor, lhs_matrix.mutable_layout());
  ruy::MakeSimpleLayout(n, n, ruy::Order::kColMajor, rhs_matrix.mutable_layout());
  ruy::MakeSimpleLayout(n, n, ruy::Order::kColMajor, dst_matrix.mutable_layout());
  lhs_matrix.set_data(lhs.data());
  rhs_matrix.set_data(rhs.data());
  dst_matrix.set_data(dst.data());
  ruy::MulParams<float, float> params;
  ruy::Mul(lhs_matrix, rhs_matrix, params, &context, &dst_matrix);
  // Every element is the sum of n products 1 x 2.
  if (dst[0] != 2.0f * n || dst[n * n - 1] != 2.0f * n) {
    std::fprintf(stderr, "ruy_path_probe: wrong product %g\n", dst[0]);
    return 1;
  }
  std::printf("enabled=0x%02x used=0x%02x\n",
              static_cast<unsigned>(context.get_runtime_enabled_paths()),
              static_cast<unsigned>(context.last_used_path()));
  return 0;
}
