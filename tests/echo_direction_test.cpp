// The echo of the synthetic sounding comes from a direction that drifts, seen by the antennas
// of examples/layout.toml: after the correction, on the lines the echo raises, antenna j leads
// antenna 1 by 360 degrees (r_j . u) / wavelength; on the other lines the antennas agree.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>

#include "tests/test_support.h"
#include "tools/synthetic.h"
#include "vexo/vexo.h"

namespace vexo {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kStep = 360.0 / 256;

struct Layout {
  int phase_sign = 0;
  std::map<int, std::pair<double, double>> antennas;  // number: east, north (m)
};

Layout read_layout() {
  Layout layout;
  std::istringstream in(
      test::read_text_file(std::string(VEXO_SOURCE_DIR) + "/examples/layout.toml"));
  for (std::string line; std::getline(in, line);) {
    int number = 0;
    double east = 0, north = 0;
    if (std::sscanf(line.c_str(), "%d = { east = %lf, north = %lf }", &number, &east, &north) ==
        3) {
      layout.antennas[number] = {east, north};
    }
    std::sscanf(line.c_str(), "phase_sign = %d", &layout.phase_sign);
  }
  return layout;
}

// a - b in degrees, taken into -180..180.
double turned(double a, double b) {
  return std::remainder(a - b, 360.0);
}

TEST(EchoDirection, AntennasLeadAlongTheDirectionOnTheEchosLines) {
  const Layout layout = read_layout();
  ASSERT_EQ(layout.phase_sign, 1);
  ASSERT_EQ(layout.antennas.size(), 4u);
  ASSERT_EQ(layout.antennas.at(1), std::make_pair(0.0, 0.0));  // the phases are antenna 1's less

  synthetic::Options shapes[5];
  shapes[1].backwards = true;
  shapes[2].N = 7, shapes[2].A = 2;
  shapes[3].N = 4, shapes[3].A = 8;
  shapes[4].N = 4, shapes[4].uneven = true;  // 1000 kHz in some subblocks
  for (const synthetic::Options& o : shapes) {
    std::vector<std::vector<unsigned char>> records;
    for (int r = 0; r < 10; ++r) records.push_back(synthetic::make_record(r, o));
    const std::vector<unsigned char> file = test::join(records);
    Reader reader = Reader::over_memory(file.data(), file.size());
    int echo_lines = 0, led_by_outer = 0;
    while (reader.next()) {
      const Record& rec = reader.record();
      const int r = static_cast<int>(rec.number() - 1), step = r % 10 <= 5 ? r % 10 : 10 - r % 10;
      const int layer = 105 + 41 * step;
      // u: zenith 10 degrees and 3 more for each step of the layer up; azimuth 9 a record.
      const double zenith = (10 + 3 * step) * kPi / 180, azimuth = 9 * r * kPi / 180;
      const double east = std::sin(zenith) * std::sin(azimuth);
      const double north = std::sin(zenith) * std::cos(azimuth);
      const PhaseParameters p = phase_parameters(rec, true);
      const int antennas = std::min(rec.antenna_count(), 4);
      for (int32_t i = 0; i < rec.subblock_count(); ++i) {
        const double wavelength = 299792458.0 / (rec.descriptor(i).frequency * 1000.0);
        const double distance = std::fabs(rec.descriptor(i).height - layer);
        const auto degrees = [&](int32_t j, int32_t k) {
          return phase_degrees(rec.phase(i, j)[k], j, k, p);
        };
        int strongest = 0, most = -1;
        for (int32_t k = 0; k < rec.sample_count(); ++k) {
          int codes = 0;
          for (int32_t j = 0; j < antennas; ++j) codes += rec.amplitude(i, j)[k] >> 2;
          if (codes > most) most = codes, strongest = k;
        }
        for (int32_t k = 0; k < rec.sample_count(); ++k) {
          // A step of jitter on either antenna; the direction and the tilt rounded to steps.
          bool along = true, flat = true;
          for (int32_t j = 1; j < antennas; ++j) {
            const auto [x, y] = layout.antennas.at(j + 1);
            const double lead = 360.0 * (x * east + y * north) / wavelength;
            const double got = turned(degrees(j, k), degrees(0, k));
            along = along && std::fabs(turned(got, lead)) <= 3 * kStep + 1e-3;
            flat = flat && std::fabs(got) <= 2.5 * kStep + 1e-3;
          }
          EXPECT_TRUE(along || flat) << "record " << r + 1 << " subblock " << i << " line " << k;
          if (distance >= 90) {
            EXPECT_TRUE(flat) << "no echo 90 km from the layer";
          }
          if (distance <= 45 && k == strongest) {
            EXPECT_TRUE(along) << "record " << r + 1 << " subblock " << i << " line " << k;
            ++echo_lines;
            for (int32_t j = 4; j < rec.antenna_count(); ++j) {
              if (std::fabs(turned(degrees(j, k), degrees(0, k))) > 3 * kStep) ++led_by_outer;
            }
          }
        }
      }
    }
    EXPECT_TRUE(reader.stop().clean());
    EXPECT_GT(echo_lines, 10);
    if (o.A > 4) {
      EXPECT_GT(led_by_outer, echo_lines);  // antennas 5 on have places of their own
    }
  }
}

}  // namespace
}  // namespace vexo
