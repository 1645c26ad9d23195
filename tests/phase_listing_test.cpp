// Phase values in degrees and the phase listing's layout.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "listing/text/text_format.h"
#include "src/record_values.h"
#include "tests/test_support.h"
#include "vexo/values.h"

namespace vexo {
namespace {

// What " %3.0f" writes for a phase value, without the leading blank.
std::string written(float degrees) {
  char text[kFixedMax];
  return std::string(text, put_fixed(text, static_cast<double>(degrees), 0, 3));
}

PhaseParameters forwards() {
  return PhaseParameters{};
}

PhaseParameters backwards() {
  PhaseParameters p;
  p.phase_offset = 255, p.phase_sign = -1;
  return p;
}

TEST(FixedFormat, ExactHalvesGoToTheEvenNeighbour) {
  const struct {
    double value;
    int decimals, width;
    const char* text;
  } cases[] = {{22.5, 0, 3, " 22"},
               {67.5, 0, 3, " 68"},
               {0.5, 0, 3, "  0"},
               {1.5, 0, 3, "  2"},
               {2.25, 1, 5, "  2.2"},
               {0.75, 1, 5, "  0.8"},
               {2.375, 1, 5, "  2.4"},
               {94.5, 1, 5, " 94.5"},
               {-720, 0, 3, "-720"},
               {-0.4, 0, 3, " -0"},
               {-0.0, 1, 5, " -0.0"},
               {1e-300, 1, 5, "  0.0"},
               {53088.44, 1, 5, "53088.4"},
               {12498.75, 1, 6, "12498.8"},
               {0.049999999999999996, 1, 5, "  0.0"},
               {0.05, 1, 5, "  0.1"},  // the double nearest 0.05 lies above it
               {0x1p62, 0, 3, "4611686018427387904"}};
  for (const auto& c : cases) {
    char text[kFixedMax];
    EXPECT_EQ(std::string(text, put_fixed(text, c.value, c.decimals, c.width)), c.text) << c.value;
  }
}

TEST(PhaseValues, WithoutCorrectionInBothDirections) {
  EXPECT_EQ(phase_degrees(0, 0, 0, forwards()), 0.0f);
  EXPECT_EQ(phase_degrees(1, 0, 0, forwards()), 1.40625f);
  EXPECT_EQ(phase_degrees(128, 2, 9, forwards()), 180.0f);
  EXPECT_EQ(phase_degrees(255, 0, 0, forwards()), 358.59375f);
  EXPECT_EQ(phase_degrees(0, 0, 0, backwards()), 358.59375f);
  EXPECT_EQ(phase_degrees(127, 0, 0, backwards()), 180.0f);
  EXPECT_EQ(phase_degrees(128, 0, 0, backwards()), 178.59375f);
  EXPECT_EQ(phase_degrees(255, 0, 0, backwards()), 0.0f);
  EXPECT_EQ(written(phase_degrees(1, 0, 0, forwards())), "  1");
  EXPECT_EQ(written(phase_degrees(255, 0, 0, forwards())), "359");
}

TEST(PhaseValues, ExactHalvesAndTheOneThatFallsShort) {
  const struct {
    int sample;
    const char* text;
  } halves[] = {{16, " 22"},  {48, " 68"},  {80, "112"},  {112, "158"},
                {144, "202"}, {176, "247"}, {208, "292"}, {240, "338"}};
  for (const auto& h : halves) {
    EXPECT_EQ(written(phase_degrees(h.sample, 0, 0, forwards())), h.text) << h.sample;
    EXPECT_EQ(written(phase_degrees(255 - h.sample, 0, 0, backwards())), h.text) << h.sample;
  }
  // 176 * 1.40625 is 247.5, but the 32-bit steps leave it just below.
  const float v = phase_degrees(176, 0, 0, forwards());
  EXPECT_LT(v, 247.5f);
  EXPECT_GT(v, 247.4999f);
}

// The steps after the correction for a value v on the 0..256 scale, forwards: a correction
// term of -v on sample 0 gives exactly v.
float degrees_from_scale(float v) {
  PhaseParameters p;
  p.corrected = true;
  return phase_degrees_by_term(0, -static_cast<long double>(v), p);
}

TEST(PhaseValues, EitherSideOfTwoPi) {
  // 256 - 2^-16 lands on the largest 32-bit real below 2 pi: kept, and written as 360.
  const float below = degrees_from_scale(256.0f - 0x1p-16f);
  EXPECT_GT(below, 359.9999f);
  EXPECT_EQ(written(below), "360");
  // 256 lands on the 32-bit real nearest 2 pi, which lies above the 64-bit 2 pi: reduced once.
  const float above = degrees_from_scale(256.0f);
  EXPECT_GT(above, 0.0f);
  EXPECT_LT(above, 0.0001f);
  EXPECT_EQ(written(above), "  0");
  // Only once: 512 (4 pi) stays above 2 pi after the reduction.
  EXPECT_GT(degrees_from_scale(512.0f), 359.0f);
}

// A run of values (how the listing makes many at once) gives each value bit for bit, also where
// the steps land on either side of 2 pi or of 0, forwards and backwards.
TEST(PhaseValues, ARunGivesEachValue) {
  const long double terms[] = {0.0L,   0x1p-16L, -0x1p-16L, 0.5L,     -0.5L,      1e-30L,
                               255.5L, 256.0L,   -256.0L,   3000.25L, -917504.0L, 1.0L / 3};
  std::vector<unsigned char> samples(256);
  for (int s = 0; s < 256; ++s) samples[s] = static_cast<unsigned char>(s);
  PhaseParameters p;
  p.corrected = true;
  for (int32_t sign : {1, -1}) {
    p.phase_sign = sign, p.phase_offset = sign == 1 ? 0 : 255;
    for (long double term : terms) {
      const std::vector<long double> run_terms(256, term);
      float out[256];
      phase_degrees_run(samples.data(), run_terms.data(), 256, p, out);
      for (int s = 0; s < 256; ++s) {
        const float one = phase_degrees_by_term(s, term, p);
        EXPECT_EQ(std::memcmp(&out[s], &one, sizeof one), 0)
            << sign << " " << static_cast<double>(term) << " " << s;
      }
    }
  }
}

TEST(PhaseValues, LineOffsetThresholdIsSixtyFourForEverySampleCount) {
  EXPECT_EQ(line_offset(0, 64), -32.0f);
  EXPECT_EQ(line_offset(63, 64), 31.0f);
  EXPECT_EQ(line_offset(0, 128), -64.0f);
  EXPECT_EQ(line_offset(63, 128), -1.0f);
  EXPECT_EQ(line_offset(64, 128), 1.0f);
  EXPECT_EQ(line_offset(127, 128), 64.0f);
  EXPECT_EQ(line_offset(63, 256), -65.0f);
  EXPECT_EQ(line_offset(64, 256), -63.0f);
  EXPECT_EQ(line_offset(255, 256), 128.0f);
}

PhaseParameters correction_example() {
  PhaseParameters p;
  p.corrected = true, p.sample_count = 128, p.line_spacing = 0.78125, p.rate = 50;
  return p;
}

TEST(PhaseValues, AntennaCorrection) {
  const PhaseParameters p = correction_example();
  EXPECT_EQ(phase_degrees(0, 1, 0, p), 0.0f);     // -256 -> -360 degrees -> 0
  EXPECT_EQ(phase_degrees(0, 3, 0, p), -720.0f);  // -768 -> -1080 degrees -> -720
  EXPECT_EQ(written(phase_degrees(0, 3, 0, p)), "-720");
  EXPECT_EQ(phase_degrees(100, 2, 64, p), 151.875f);                           // 108 on the scale
  EXPECT_EQ(phase_degrees(77, 0, 5, p), phase_degrees(77, 0, 5, forwards()));  // antenna 0 as is
  // Sample 0 of antenna 1 at offset 64 is corrected to exactly 256: reduced once, written 0.
  EXPECT_EQ(written(phase_degrees(0, 1, 127, p)), "  0");
  // Backwards the correction changes sign: antenna 1, offset -64 gives 10 + 256 = 266 before the
  // scale is turned, (255 - 266) * 1.40625 = -15.46875, plus 360.
  PhaseParameters b = p;
  b.phase_offset = 255, b.phase_sign = -1;
  EXPECT_EQ(phase_degrees(10, 1, 0, b), 344.53125f);
}

TEST(PhaseValues, NoCorrectionWithoutARateOrALineSpacing) {
  DerivedValues d;
  d.sample_count = 128, d.line_spacing = 0.78125;
  d.rate = 50, d.rate_known = true;
  EXPECT_TRUE(phase_parameters(d, true).corrected);
  EXPECT_FALSE(phase_parameters(d, false).corrected);
  d.rate_known = false;  // no record of the run has set a rate yet
  EXPECT_FALSE(phase_parameters(d, true).corrected);
  d.rate_known = true;
  d.line_spacing = HUGE_VAL;  // 16*D2 + D1 is 0
  EXPECT_FALSE(phase_parameters(d, true).corrected);
  Settings s;
  s.phase_correction = 2;  // only exactly 1 asks for it
  EXPECT_FALSE(make_plan(s).correction);
}

// A record of the regular header whose phase sample s is `phase(s)`.
template <typename PhaseOf>
std::vector<unsigned char> phase_record(const HeaderFields& h, int subblocks, PhaseOf phase) {
  std::vector<unsigned char> phases(kSamplesPerKind);
  for (int s = 0; s < kSamplesPerKind; ++s) phases[s] = static_cast<unsigned char>(phase(s));
  std::vector<encode::DescriptorValues> descriptors(subblocks, {2500, 150, 3, 1});
  return encode::encode_record(encode::channel_nibbles(encode::header_nibbles(h), descriptors),
                               std::vector<unsigned char>(kSamplesPerKind, 0x40), phases);
}

Settings phase_settings() {
  Settings s;
  s.listing_mode = 1, s.show_header = 2, s.show_subblock = 1, s.select_frequency = -1;
  s.select_height = -1, s.select_polarization = -1, s.select_antenna = -1;
  s.subblock_step = -1, s.convert_samples = 1;
  return s;
}

using test::repeat;

constexpr const char* kPhaseLine = "Phase  F=  2500 kHz H=  150.0 km G= 3 dB Pol= 1 12: 0: 0 342\n";

TEST(PhaseListing, LinesForEachAntennaSelection) {
  // Antenna j of every subblock has phase 16 * (j + 1): 22.5, 45, 67.5, 90 degrees.
  const auto record =
      phase_record(test::regular_header(), 16, [](int s) { return 16 * (s / 32 % 4 + 1); });
  const std::string antenna[] = {repeat("  22", 32) + "\n", repeat("  45", 32) + "\n",
                                 repeat("  68", 32) + "\n", repeat("  90", 32) + "\n"};
  Settings s = phase_settings();
  EXPECT_EQ(test::Loop(record, s).listing_text,
            repeat(kPhaseLine + antenna[0] + antenna[1] + antenna[2] + antenna[3], 16));
  s.select_antenna = 3;
  EXPECT_EQ(test::Loop(record, s).listing_text, repeat(kPhaseLine + antenna[2], 16));
  for (int none : {0, 5, -2}) {
    s.select_antenna = none;
    EXPECT_EQ(test::Loop(record, s).listing_text, repeat(kPhaseLine, 16)) << none;
  }
  s.select_antenna = 3, s.show_subblock = 0;
  EXPECT_EQ(test::Loop(record, s).listing_text, repeat(antenna[2], 16));
  s.convert_samples = 0, s.phase_correction = 1;  // raw samples, whatever the correction
  EXPECT_EQ(test::Loop(record, s).listing_text, repeat(repeat("  48", 32) + "\n", 16));
}

TEST(PhaseListing, SubblockLineCarriesTheDescriptorAndABlankPaddedTime) {
  HeaderFields h = test::regular_header();
  h.hour = 9, h.minute = 5, h.second = 17, h.day = 7, h.H = 2;
  std::vector<encode::DescriptorValues> descriptors(16, {2500, 150, 3, 1});
  descriptors[1] = {12345, 1, 9, 15};  // 1 km times 1.25 is 1.25: written 1.2
  descriptors[2] = {800, 3, 0, 0};     // 3.75: written 3.8
  const auto record = encode::encode_record(
      encode::channel_nibbles(encode::header_nibbles(h), descriptors), {}, {});
  Settings s = phase_settings();
  s.select_antenna = 0;
  const std::string listing = test::Loop(record, s).listing_text;
  std::size_t third_end = 0;
  for (int line = 0; line < 3; ++line) third_end = listing.find('\n', third_end) + 1;
  EXPECT_EQ(listing.substr(0, third_end),
            "Phase  F=  2500 kHz H=  187.5 km G= 3 dB Pol= 1  9: 5:17 7\n"
            "Phase  F= 12345 kHz H=    1.2 km G= 9 dB Pol= 15  9: 5:17 7\n"
            "Phase  F=   800 kHz H=    3.8 km G= 0 dB Pol= 0  9: 5:17 7\n");
}

TEST(PhaseListing, CorrectionNeedsARateFromSomeRecord) {
  // The first record's R folds to 1 and sets no rate: listed as without correction. The second
  // (R = 0, X = 1: rate 25; 16*D2 + D1 = 32: line_spacing 100/32/32) corrects antenna j at
  // sample index k by j * (k - 16) scale steps, which the samples were made to cancel.
  HeaderFields h = test::regular_header();
  h.D2 = 2, h.D1 = 0, h.X = 1, h.R = 5;
  auto straight = [](int s) { return 64 - (s / 32 % 4) * (s % 32 - 16); };
  const auto first = phase_record(h, 16, straight);
  h.R = 0;
  const auto second = phase_record(h, 16, straight);
  Settings s = phase_settings();
  s.phase_correction = 1, s.show_subblock = 0, s.select_antenna = 3;
  const std::string listing = test::Loop(test::join({first, second}), s).listing_text;
  std::string uncorrected;  // antenna index 2: 64 - 2 * (k - 16) = 96 - 2k, times 45/32
  for (int k = 0; k < 32; ++k) {
    const int n = (96 - 2 * k) * 45;
    const int degrees = n / 32 + (n % 32 > 16 || (n % 32 == 16 && n / 32 % 2 == 1) ? 1 : 0);
    char field[8];
    std::snprintf(field, sizeof field, " %3d", degrees);
    uncorrected += field;
  }
  EXPECT_EQ(listing, repeat(uncorrected + "\n", 16) + repeat(repeat("  90", 32) + "\n", 16));
}

TEST(PhaseListing, NoCorrectionWhenTheLineSpacingIsUndefined) {
  HeaderFields h = test::regular_header();
  h.D1 = 0, h.D2 = 0, h.R = 0;
  Settings s = phase_settings();
  s.phase_correction = 1, s.show_subblock = 0, s.select_antenna = 4;
  const std::string listing =
      test::Loop(phase_record(h, 16, [](int s) { return s % 2 == 0 ? 0 : 255; }), s).listing_text;
  EXPECT_EQ(listing, repeat(repeat("   0 359", 16) + "\n", 16));
}

}  // namespace
}  // namespace vexo

namespace vexo {
namespace {

TEST(PhaseListing, RecordsWhoseLinesNeedMoreRowsThanAreKept) {
  // A = 9 and N = 9 give no subblock at all; the lines of A = 4 and N = 9 need about 1,500
  // rows, and the two records alternate with A = 8, N = 8 in other correction parameters, so
  // the kept rows run out again and again. Every line is still right, and the run ends.
  Settings s = phase_settings();
  s.phase_correction = 1, s.show_subblock = 0;
  HeaderFields none = test::regular_header();
  none.A = 9, none.N = 9, none.R = 0, none.D1 = 1, none.D2 = 0;
  HeaderFields wide = none, other = none;
  wide.A = 4;
  other.A = 8, other.N = 8, other.D1 = 3;
  std::vector<std::vector<unsigned char>> records;
  for (int r = 0; r < 4; ++r) {
    records.push_back(phase_record(none, 0, [](int) { return 0; }));
    records.push_back(phase_record(wide, 1, [](int s) { return s % 256; }));
    records.push_back(phase_record(other, 1, [](int s) { return 255 - s % 256; }));
  }
  test::Loop loop(test::join(records), s);
  EXPECT_EQ(loop.result.read.reason, StopReason::end_of_file);
  // Each line as the plain computation gives it, field by field.
  auto lines_of = [&s](const HeaderFields& h, int (*phase)(int)) {
    HeaderFields header = h;
    DerivedValues d;
    derive_values(header, d);
    const PhaseParameters p = phase_parameters(d, s.phase_correction == 1);
    std::string lines;
    for (int j = 0, sample = 0; j < h.A; ++j, lines += "\n") {
      for (int k = 0; k < p.sample_count; ++k, ++sample) {
        lines += " " + written(phase_degrees(phase(sample), j, k, p));
      }
    }
    return lines;
  };
  const std::string one_round = lines_of(wide, [](int s) { return s % 256; }) +
                                lines_of(other, [](int s) { return 255 - s % 256; });
  EXPECT_EQ(loop.listing_text, test::repeat(one_round, 4));
}

}  // namespace
}  // namespace vexo
