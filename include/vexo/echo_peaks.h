// The echoes of a part (vexo/part.h): in each subblock, the runs of adjacent spectral lines whose
// power stands above the subblock's noise floor, one echo per run, with where between lines it
// lies, its signal-to-noise ratio, the phase noise that ratio gives and its phases: the rows of
// the Python package's vexo.echoes before the direction fit (vexo/direction_fit.h). The values
// are those of a plain numpy reference of the same steps (held to them in the package's tests),
// operation for operation.
//
//   vexo::PeakPart part;
//   part.decibels = amplitude_db.data();  // [record][place][antenna][line], dB
//   part.phases = phase_degrees.data();   // the same shape, degrees
//   part.subblock_number = numbers.data();  // [record][place], -1 for places left over
//   part.records = 3, part.places = 4, part.antennas = 4, part.lines = 32;
//   part.used = {0, 1, 2, 3};  // the layout's antennas, as indexes of the part's
//   part.offsets = {0.0, 10.0, 0.0, 0.0};  // degrees taken from each used antenna's phase
//   part.threshold_db = 6.0;
//   const vexo::EchoPeaks peaks = vexo::find_echo_peaks(part);
//   for (std::size_t i = 0; i < peaks.size(); ++i) {
//     std::cout << "subblock place " << peaks.row[i] << ", line " << peaks.line[i] << '\n';
//   }
//
// How an echo is found, per present subblock (subblock_number >= 0):
//  - the power of a line is the mean over the used antennas of the linear power 10^(dB/10);
//  - the noise floor is kFloorQuantile of the subblock's line powers (interpolated linearly
//  between the two nearest, as numpy.quantile does); then the same quantile of only the lines
//  below threshold times that first value, where at least kFewestLinesLeft such lines are
//  left (so that an echo over many lines does not raise it); either divided by
//  noise_floor_scale(used antennas), which makes it the mean noise power;
//  - a line is strong where its power >= floor * 10^(threshold_db/10); each run of adjacent
//  strong lines is one echo, its peak line that of the run's largest power (the first of
//  equals). The first and last lines of a spectrum are not neighbours: runs end there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vexo {

// The noise floor is this quantile of a subblock's line powers, scaled to the mean noise power:
// an echo may cover up to three quarters of the lines.
inline constexpr double kFloorQuantile = 0.25;

// The floor is taken a second time from the lines below the threshold where at least this many
// are left.
inline constexpr std::size_t kFewestLinesLeft = 4;

// One phase byte is 360/256 degrees; rounding to it adds a uniform error of this variance,
// degree² ((360/256)² / 12, exact in a 64-bit real).
inline constexpr double kPhaseQuantisationVariance = (360.0 / 256) * (360.0 / 256) / 12;

// The standard deviation of a phase anywhere on the circle (no signal), degrees: 360 / sqrt(12)
// as a 64-bit real. The phase noise is never taken larger.
inline constexpr double kUniformPhase = 103.92304845413264;

// Amplitudes come in steps of 1.5 dB: the uniform rounding error of one is this relative standard
// deviation of its linear amplitude, ln(10) / 20 * 1.5 / sqrt(12) as a 64-bit real (taken whole
// for the mean over the antennas, as the antennas' roundings need not be independent).
inline constexpr double kAmplitudeRounding = 0.04985242962270495;

// The standard deviation, in lines, of a position anywhere on a line: 1 / sqrt(12) as a 64-bit
// real. An echo's share_error is never taken larger.
inline constexpr double kUniformShare = 0.2886751345948129;

// The kFloorQuantile quantile of the mean of `antennas` noise powers that are exponentially
// distributed with mean 1 (complex Gaussian noise in each antenna): the quantile of a Gamma
// distribution of shape `antennas` and scale 1 / antennas, found by 200 bisections of
// 1 - e^-x sum_{i<antennas} x^i / i! on [0, 10 antennas + 50]. Dividing the quantile of the
// noise powers by it gives their mean. std::invalid_argument for antennas below 1.
double noise_floor_scale(int antennas);

// One part's arrays, as the part reader fills them (vexo/part.h): `records` records of `places`
// subblock places each, `antennas` antennas, `lines` spectral lines. The arrays are read only,
// and must stay put during the call.
struct PeakPart {
  const float* decibels = nullptr;  // [record][place][antenna][line]: amplitudes, dB
  const float* phases = nullptr;    // [record][place][antenna][line]: phases, degrees
  // [record][place]: the subblock's number in its record; below 0 for places left over, whose
  // values are not read.
  const int16_t* subblock_number = nullptr;
  std::size_t records = 0, places = 0, antennas = 0, lines = 0;
  // The antennas that make the echoes (the layout's), as indexes of the part's antennas
  // (0 to antennas - 1), in the layout's order: at least one.
  std::vector<int32_t> used;
  // Degrees taken from the phase of each used antenna (the layout's phase offsets), one per
  // entry of `used`.
  std::vector<double> offsets;
  // A line is strong where its power is at least 10^(threshold_db/10) times the floor.
  double threshold_db = 0.0;
};

// The echoes of a part, one entry of each column per echo: subblock by subblock (record after
// record, place after place), the echoes of a subblock in line order.
struct EchoPeaks {
  std::vector<int64_t> row;    // the subblock: record * places + place
  std::vector<int32_t> line;   // the peak line, 0 to lines - 1
  std::vector<int32_t> lines;  // how many adjacent strong lines the echo covers, at least 1
  // The side of the peak's larger neighbour, -1 (line - 1) or +1 (line + 1); 0 where both
  // neighbours' amplitudes are alike (a neighbour beyond the spectrum's edge has none).
  std::vector<int32_t> side;
  std::vector<double> ratio;  // the peak line's power over the floor, linear
  // The standard deviation of one antenna's phase at the peak, degrees:
  // sqrt((180/pi)² / (2 max(ratio - 1, 1e-12)) + kPhaseQuantisationVariance), at most
  // kUniformPhase.
  std::vector<double> phase_noise;
  // Where between lines the echo lies, from the signal amplitudes sqrt(max(power - floor, 0))
  // of the peak (A0) and its larger neighbour (A1): A1 / (A0 + A1) of a line from the peak
  // toward `side`, 0 to 0.5; 0 where side is 0.
  std::vector<double> share;
  // The standard deviation of share, lines, from the noise (each amplitude's variance
  // floor / used antennas) and the amplitude steps (kAmplitudeRounding of each amplitude):
  // sqrt(A1² var0 + A0² var1) / (A0 + A1)², at most kUniformShare (also where not finite).
  std::vector<double> share_error;
  std::vector<double> floor;  // the subblock's noise floor: mean noise power, linear
  // The sum of the peak line's dB values over the used antennas, in `used` order, as a 32-bit
  // real (numpy's pairwise order; exact for values in steps of 1.5 dB).
  std::vector<float> decibel_sum;
  // [echo][used antenna]: the peak line's phase of each used antenna less its offset, degrees.
  std::vector<double> phases;

  std::size_t size() const { return row.size(); }
};

// The echoes of a part. The values are those of the numpy reference, operation for operation in
// the same order: each line's power is ((p_0 + p_1) + ...) / n over the used
// antennas with p = std::pow(10.0, dB / 10.0) (a spectrum of one line: numpy's pairwise sum);
// the quantile low + (at - below) (high - low). A NaN amplitude in a present subblock makes its
// line's power NaN: never strong, sorted after every number for the floor as numpy sorts it, and
// beside a peak it leaves side 0. Safe to call from several threads at once (no state is kept
// between calls, a table of the amplitude steps' powers is made once and only read); scratch
// space is allocated once per call.
// std::invalid_argument when `used` is empty or names an antenna the part does not have, when
// `offsets` is not one per used antenna, or when an array is null where the part has values.
// A part without records, places or lines has no echoes.
EchoPeaks find_echo_peaks(const PeakPart& part);

}  // namespace vexo
