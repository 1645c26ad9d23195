// The search of a grid of directions for the one of largest coherence, for a block of rows at
// once (the rows side by side in the lanes of the processor's vectors).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexo {
namespace detail {

// Rows searched at once.
constexpr std::size_t kSearchLanes = 16;

// For each of kSearchLanes rows, the first of the grid's `points` directions of the largest
// |sum_j exp(i theta_j) exp(-i phi_j)|^2. grid_cos and grid_sin hold cos and sin of phi_j,
// the model phase of antenna j from each direction (points x antennas, point by point);
// row_cos and row_sin cos and sin of the rows' phases theta_j (antennas x kSearchLanes,
// antenna by antenna). A row of NaN gives 0, as a row of no coherence anywhere.
void search_block(const float* grid_cos, const float* grid_sin, std::size_t points,
                  std::size_t antennas, const float* row_cos, const float* row_sin, int32_t* best);

}  // namespace detail
}  // namespace vexo
