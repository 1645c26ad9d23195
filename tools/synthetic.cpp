#include "tools/synthetic.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "src/descriptors.h"

namespace vexo::synthetic {
namespace {

// A small fixed pseudo-random sequence, the same on every platform.
struct Noise {
  uint32_t state;
  int next(int range) {
    state = state * 1103515245u + 12345u;
    return static_cast<int>((state >> 16) % static_cast<uint32_t>(range));
  }
};

// Echo strength over the distance from the peak, in amplitude codes above the floor.
constexpr int kEchoProfile[] = {34, 30, 23, 15, 8, 3, 1};
constexpr int kEchoWidth = sizeof kEchoProfile / sizeof kEchoProfile[0];

// The echo layer drifts up and down between 105 and 310 km, 41 km a record, over ten records.
int layer_height(int64_t r) {
  const int phase = static_cast<int>(r % 10);
  return 105 + 41 * (phase <= 5 ? phase : 10 - phase);
}

// Echo strength (0 to 34 codes) of subblock i in record r: strongest at the layer, none 90 km
// or more away from it, and weighted by sounding frequency (3200 kHz the strongest).
int echo_strength(int i, int64_t r) {
  const int weight[] = {3, 4, 3, 2};
  const int distance = std::abs(descriptor(i).height - layer_height(r));
  return (distance < 90 ? 90 - distance : 0) * 34 * weight[i % 4] / 360;
}

int line_offset(int k, int sample_count) {
  return k - sample_count / 2 + (k >= 64 ? 1 : 0);
}

// Antenna positions in metres east and north of antenna 1: the first four a T, 80 m across and
// 60 m down its stem; antennas 5 to 9 widen the bar and lengthen the stem.
constexpr double kAntennaEast[kLayoutAntennas] = {0, 40, -40, 0, 80, -80, 0, 40, -40};
constexpr double kAntennaNorth[kLayoutAntennas] = {0, 0, 0, -60, 0, 0, -120, -60, -60};

// The echo's direction in record r: zenith angle 10 degrees plus 3 for each step of the layer
// up from 105 km (10 to 25), azimuth from north towards east 9 degrees a record.
struct Direction {
  double east, north;
};
Direction echo_direction(int64_t r) {
  constexpr double kDegree = 3.14159265358979323846 / 180;
  const int step = static_cast<int>(r % 10);
  const double zenith = (10 + 3 * (step <= 5 ? step : 10 - step)) * kDegree;
  const double azimuth = static_cast<double>(9 * (r % 40)) * kDegree;
  return {std::sin(zenith) * std::sin(azimuth), std::sin(zenith) * std::cos(azimuth)};
}

// The phase the echo's direction gives antenna index j at `frequency` kHz, in whole steps of
// the scale: 256 (r_j . u) / wavelength, rounded.
int direction_steps(int j, Direction u, int frequency) {
  if (j >= kLayoutAntennas) return 0;
  constexpr double kLightSpeed = 299792458.0;  // m/s
  const double wavelength = kLightSpeed / (frequency * 1000.0);
  const double path = kAntennaEast[j] * u.east + kAntennaNorth[j] * u.north;
  return static_cast<int>(std::lround(256.0 * path / wavelength));
}

}  // namespace

HeaderFields record_header(int64_t r, const Options& options) {
  HeaderFields h;
  const int64_t t = 12 * 3600 + r;  // seconds since the start of day 342
  h.year = 26, h.day = static_cast<int32_t>(342 + t / 86400 % 23);
  h.hour = static_cast<int32_t>(t / 3600 % 24), h.minute = static_cast<int32_t>(t / 60 % 60);
  h.second = static_cast<int32_t>(t % 60);
  h.sp_s = 1, h.FF = options.backwards ? 0xFE : 0x12, h.J = 1, h.H = 0;
  const float frequencies[] = {2500.0f, 3200.0f, 4100.0f};
  h.FREQ = frequencies[r % 3];
  h.DIFF_D = 3, h.DIFF_FF = 10, h.l = 1, h.u = 0, h.L = 3, h.C = 0xB, h.V = 7;
  h.X = 1, h.R = 0;                                      // rate 50 / 2 = 25
  h.A = options.A, h.N = options.N, h.D1 = 0, h.D2 = 2;  // 16*D2 + D1 = 32
  h.OO = 12;
  if (options.varied) {
    h.D1 = static_cast<int32_t>(r % 7), h.D2 = static_cast<int32_t>(1 + r % 3);
    h.R = static_cast<int32_t>(r % 4), h.X = static_cast<int32_t>(r % 2);
    if (r % 5 == 4) h.FF = options.backwards ? 0x12 : 0xFE;
  }
  if (options.random) {
    h.D1 = options.D1, h.D2 = options.D2, h.R = options.R, h.X = options.X, h.FF = options.FF;
  }
  return h;
}

Options random_options(int64_t r) {
  struct Table {
    Options programs[kRandomPrograms];
    int order[kRandomPrograms];
  };
  static const Table table = [] {
    Table t{};
    Noise noise{20260342u};
    const auto same = [](const Options& a, const Options& b) {
      return a.N == b.N && a.A == b.A && a.D1 == b.D1 && a.D2 == b.D2 && a.R == b.R && a.X == b.X &&
             a.FF == b.FF;
    };
    for (int i = 0; i < kRandomPrograms; ++i) {
      Options& o = t.programs[i];
      bool repeated = true;
      while (repeated) {  // a program already drawn is drawn again
        do {
          o.N = noise.next(10), o.A = 1 + noise.next(9);
        } while ((1 << o.N) * o.A > 2048);
        o.D1 = noise.next(10), o.D2 = noise.next(10), o.R = noise.next(10);
        o.X = noise.next(2), o.FF = noise.next(2) == 0 ? 0x12 : 0xFE;
        o.random = true;
        repeated =
            std::any_of(t.programs, t.programs + i, [&](const Options& p) { return same(p, o); });
      }
    }
    for (int i = 0; i < kRandomPrograms; ++i) t.order[i] = i;
    for (int i = kRandomPrograms - 1; i > 0; --i) {  // Fisher-Yates
      const int k = noise.next(i + 1);
      const int swapped = t.order[i];
      t.order[i] = t.order[k], t.order[k] = swapped;
    }
    return t;
  }();
  return table.programs[table.order[r % kRandomPrograms]];
}

encode::DescriptorValues descriptor(int i) {
  const int frequency[] = {2500, 3200, 4100, 5600};
  const int height[] = {105, 180, 240, 310};
  return {frequency[i % 4], height[i / 4 % 4], i % 4 * 2, 1 + i % 2};
}

std::vector<unsigned char> make_record(int64_t r, const Options& options) {
  const HeaderFields h = record_header(r, options);
  const int sample_count = 1 << options.N;
  const int subblocks = subblock_count(options.A, options.N);
  const int sign = options.backwards ? -1 : 1;
  // The direction's steps go against the scale when it runs backwards, so that the degrees
  // grow with r . u in either direction.
  const int scale = h.FF == 0xFE ? -1 : 1;
  const Direction u = echo_direction(r);
  Noise noise{static_cast<uint32_t>(r) * 2654435761u + 17u};

  std::vector<encode::DescriptorValues> descriptors;
  std::vector<unsigned char> amplitude(kSamplesPerKind), phase(kSamplesPerKind);
  int s = 0;
  for (int i = 0; i < subblocks; ++i) {
    descriptors.push_back(descriptor(i));
    if (options.uneven && i >= subblocks - static_cast<int>(r % 3))
      descriptors.back().frequency = 1000;
    const int peak = (sample_count / 4 + i % 4 * sample_count / 8) % sample_count;
    const int strength = echo_strength(i, r);
    const int base = 50 + static_cast<int>((37 * i + 11 * r) % 156);
    for (int j = 0; j < options.A; ++j) {
      const int arrival = scale * direction_steps(j, u, descriptors.back().frequency);
      for (int k = 0; k < sample_count; ++k, ++s) {
        const int distance = k > peak ? k - peak : peak - k;
        const int echo = distance < kEchoWidth ? kEchoProfile[distance] * strength / 34 : 0;
        int code = 8 + noise.next(6);
        if (distance < kEchoWidth) code += echo - j % 3;
        amplitude[s] = static_cast<unsigned char>(4 * code + 2 * noise.next(2));
        // The tilt that the correction takes off again, rounded to whole steps; on the lines
        // the echo raises, the phase of its direction besides.
        const double tilt = sign * j * line_offset(k, sample_count) * 32.0 / sample_count;
        const int value = base + noise.next(3) - 1 - static_cast<int>(std::lround(tilt)) +
                          (echo > 0 ? arrival : 0);
        phase[s] = static_cast<unsigned char>(value & 0xFF);
      }
    }
  }
  return encode::encode_record(encode::channel_nibbles(encode::header_nibbles(h), descriptors),
                               amplitude, phase);
}

}  // namespace vexo::synthetic
