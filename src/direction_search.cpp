// Compiled with the contraction of multiplications and additions allowed: the search only
// chooses where the least-squares fit starts, and a tie it breaks otherwise changes no fit.
#include "src/direction_search.h"

#include <cstring>

namespace vexo {
namespace detail {

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__) && \
    !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// One version for the processor's widest vectors, chosen when the library loads.
#define VEXO_SEARCH_CLONES \
  __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#else
#define VEXO_SEARCH_CLONES
#endif

#if defined(__GNUC__)
// The rows' lanes as one vector of the compiler's (split into the processor's own).
typedef float Lanes __attribute__((vector_size(kSearchLanes * sizeof(float))));
typedef int32_t Indices __attribute__((vector_size(kSearchLanes * sizeof(int32_t))));

// The coherence of two grid points at once, the antennas' terms summed in two halves: eight
// sums that do not wait for one another.
VEXO_SEARCH_CLONES
void search_block(const float* grid_cos, const float* grid_sin, std::size_t points,
                  std::size_t antennas, const float* row_cos, const float* row_sin, int32_t* best) {
  Lanes top, zero = {};
  Indices at = {};
  for (std::size_t l = 0; l < kSearchLanes; ++l) top[l] = -1.0f;
  const auto keep = [&](const Lanes& re, const Lanes& im, std::size_t g) {
    const Lanes power = re * re + im * im;
    const Indices more = power > top;
    const Indices here = at - at + static_cast<int32_t>(g);
    at = more ? here : at;
    top = more ? power : top;
  };
  std::size_t g = 0;
  for (; g + 2 <= points; g += 2) {
    const float* c0 = grid_cos + g * antennas;
    const float* s0 = grid_sin + g * antennas;
    const float* c1 = c0 + antennas;
    const float* s1 = s0 + antennas;
    Lanes re0 = zero, im0 = zero, re1 = zero, im1 = zero;
    Lanes re2 = zero, im2 = zero, re3 = zero, im3 = zero;
    std::size_t j = 0;
    for (; j + 2 <= antennas; j += 2) {
      Lanes rc, rs, qc, qs;
      std::memcpy(&rc, row_cos + j * kSearchLanes, sizeof rc);
      std::memcpy(&rs, row_sin + j * kSearchLanes, sizeof rs);
      std::memcpy(&qc, row_cos + (j + 1) * kSearchLanes, sizeof qc);
      std::memcpy(&qs, row_sin + (j + 1) * kSearchLanes, sizeof qs);
      re0 += rc * c0[j] + rs * s0[j];
      im0 += rs * c0[j] - rc * s0[j];
      re1 += rc * c1[j] + rs * s1[j];
      im1 += rs * c1[j] - rc * s1[j];
      re2 += qc * c0[j + 1] + qs * s0[j + 1];
      im2 += qs * c0[j + 1] - qc * s0[j + 1];
      re3 += qc * c1[j + 1] + qs * s1[j + 1];
      im3 += qs * c1[j + 1] - qc * s1[j + 1];
    }
    if (j < antennas) {
      Lanes rc, rs;
      std::memcpy(&rc, row_cos + j * kSearchLanes, sizeof rc);
      std::memcpy(&rs, row_sin + j * kSearchLanes, sizeof rs);
      re0 += rc * c0[j] + rs * s0[j];
      im0 += rs * c0[j] - rc * s0[j];
      re1 += rc * c1[j] + rs * s1[j];
      im1 += rs * c1[j] - rc * s1[j];
    }
    re0 += re2;
    im0 += im2;
    re1 += re3;
    im1 += im3;
    keep(re0, im0, g);
    keep(re1, im1, g + 1);
  }
  for (; g < points; ++g) {
    const float* c0 = grid_cos + g * antennas;
    const float* s0 = grid_sin + g * antennas;
    Lanes re = zero, im = zero;
    for (std::size_t j = 0; j < antennas; ++j) {
      Lanes rc, rs;
      std::memcpy(&rc, row_cos + j * kSearchLanes, sizeof rc);
      std::memcpy(&rs, row_sin + j * kSearchLanes, sizeof rs);
      re += rc * c0[j] + rs * s0[j];
      im += rs * c0[j] - rc * s0[j];
    }
    keep(re, im, g);
  }
  for (std::size_t l = 0; l < kSearchLanes; ++l) best[l] = at[l];
}
#else
void search_block(const float* grid_cos, const float* grid_sin, std::size_t points,
                  std::size_t antennas, const float* row_cos, const float* row_sin, int32_t* best) {
  constexpr std::size_t L = kSearchLanes;
  float top[L];
  int32_t at[L];
  for (std::size_t l = 0; l < L; ++l) {
    top[l] = -1.0f;
    at[l] = 0;
  }
  for (std::size_t g = 0; g < points; ++g) {
    const float* gc = grid_cos + g * antennas;
    const float* gs = grid_sin + g * antennas;
    float re[L] = {};
    float im[L] = {};
    for (std::size_t j = 0; j < antennas; ++j) {
      const float* rc = row_cos + j * L;
      const float* rs = row_sin + j * L;
      for (std::size_t l = 0; l < L; ++l) {
        re[l] += rc[l] * gc[j] + rs[l] * gs[j];
        im[l] += rs[l] * gc[j] - rc[l] * gs[j];
      }
    }
    for (std::size_t l = 0; l < L; ++l) {
      const float power = re[l] * re[l] + im[l] * im[l];
      if (power > top[l]) {
        top[l] = power;
        at[l] = static_cast<int32_t>(g);
      }
    }
  }
  for (std::size_t l = 0; l < L; ++l) best[l] = at[l];
}
#endif

}  // namespace detail
}  // namespace vexo
