// Amplitude values and the amplitude listing: per antenna, raw, and the four-antenna mean.
#include "listing/amplitude_listing.h"

#include <gtest/gtest.h>

#include "src/descriptors.h"
#include "tests/test_support.h"
#include "vexo/values.h"

namespace vexo {
namespace {

TEST(AmplitudeValues, DecibelsAndRatios) {
  EXPECT_EQ(amplitude_db(83), 30.0);  // code 20
  EXPECT_EQ(amplitude_db(255), 94.5);
  EXPECT_EQ(amplitude_db(3), 0.0);
  EXPECT_EQ(amplitude_db(4), 1.5);
  EXPECT_NEAR(ratio_of_db(30.0), 31.6227766, 1e-7);
  EXPECT_NEAR(ratio_of_db(94.5), 53088.4444, 1e-4);
  EXPECT_EQ(ratio_of_db(0.0), 1.0);
}

// A record whose amplitude sample s is `amplitude(s)` (bit 0 of the first 1064 samples is the
// header channel, and sample 0 the record marker).
template <typename AmplitudeOf>
std::vector<unsigned char> amplitude_record(const HeaderFields& h, AmplitudeOf amplitude) {
  std::vector<unsigned char> amplitudes(kSamplesPerKind);
  for (int s = 0; s < kSamplesPerKind; ++s)
    amplitudes[s] = static_cast<unsigned char>(amplitude(s));
  std::vector<encode::DescriptorValues> descriptors(subblock_count(h.A, h.N), {2500, 150, 3, 1});
  return encode::encode_record(encode::channel_nibbles(encode::header_nibbles(h), descriptors),
                               amplitudes, {});
}

Settings amplitude_settings() {
  Settings s;
  s.listing_mode = 2, s.show_header = 2, s.show_subblock = 1, s.select_frequency = -1;
  s.select_height = -1, s.select_polarization = -1, s.select_antenna = -1;
  s.amplitude_scale = 0, s.subblock_step = -1, s.convert_samples = 1;
  return s;
}

using test::repeat;

std::string ampl_line(int i) {
  return "Ampl " + std::to_string(i) + "  F=  2500 kHz H=  150.0 km G= 3 dB Pol= 1 12: 0: 0 342\n";
}

// Codes 20, 24, 16 and 20 on antennas 1 to 4 (samples 83, 99, 67, 83, bit 0 aside).
int four_antennas(int s) {
  const int codes[] = {20, 24, 16, 20};
  return codes[s / 32 % 4] * 4 + 3;
}

TEST(AmplitudeListing, DecibelsRatiosAndRawForEachAntenna) {
  const auto record = amplitude_record(test::regular_header(), four_antennas);
  Settings s = amplitude_settings();
  // Antenna 1 of subblock 0 starts with the record marker 10: code 2, 3.0 dB.
  std::string db;
  for (int i = 0; i < 16; ++i) {
    db += ampl_line(i) + (i == 0 ? "   3.0" + repeat("  30.0", 31) : repeat("  30.0", 32)) + "\n" +
          repeat("  36.0", 32) + "\n" + repeat("  24.0", 32) + "\n" + repeat("  30.0", 32) + "\n";
  }
  EXPECT_EQ(test::Loop(record, s).listing_text, db);

  s.select_antenna = 2, s.amplitude_scale = 1;  // 10^(36/20) = 63.0957
  EXPECT_EQ(test::Loop(record, s).listing_text, [] {
    std::string text;
    for (int i = 0; i < 16; ++i) text += ampl_line(i) + repeat("  63.1", 32) + "\n";
    return text;
  }());

  s.select_antenna = 1, s.show_subblock = 2, s.convert_samples = 0;
  const std::string raw = test::Loop(record, s).listing_text;
  // The raw sample, bit 0 included: the marker, then 82 or 83 while the header channel runs
  // (it ends at sample 1064, in subblock 8), then 83.
  EXPECT_TRUE(raw.rfind("    10    82 ", 0) == 0 || raw.rfind("    10    83 ", 0) == 0) << raw;
  EXPECT_EQ(raw.substr(raw.size() - 31), repeat("    83", 5) + "\n");
  EXPECT_EQ(std::count(raw.begin(), raw.end(), '\n'), 16);
}

TEST(AmplitudeListing, LinearScaleAtTheEnds) {
  const auto record =
      amplitude_record(test::regular_header(), [](int s) { return s < 32 ? 255 : 1; });
  Settings s = amplitude_settings();
  s.amplitude_scale = 1, s.select_antenna = 1, s.show_subblock = 0;
  const std::string listing = test::Loop(record, s).listing_text;
  // 10^(3/20) = 1.41; 10^(94.5/20) = 53088.44, wider than five columns; code 0 gives 1.0.
  EXPECT_EQ(listing.substr(0, listing.find('\n') + 1), "   1.4" + repeat(" 53088.4", 31) + "\n");
  EXPECT_EQ(listing.substr(listing.find('\n') + 1, 6 * 32 + 1), repeat("   1.0", 32) + "\n");
}

TEST(AmplitudeListing, NoFieldsButLineEndsForOtherScales) {
  const auto record = amplitude_record(test::regular_header(), four_antennas);
  Settings s = amplitude_settings();
  s.amplitude_scale = 2, s.show_subblock = 0;
  EXPECT_EQ(test::Loop(record, s).listing_text, std::string(64, '\n'));
  for (int none : {5, -2}) {  // no antenna matches: only the Ampl lines
    s.select_antenna = none, s.amplitude_scale = 0, s.show_subblock = 1;
    std::string lines;
    for (int i = 0; i < 16; ++i) lines += ampl_line(i);
    EXPECT_EQ(test::Loop(record, s).listing_text, lines) << none;
  }
}

TEST(AmplitudeListing, FourAntennaMean) {
  const auto record = amplitude_record(test::regular_header(), four_antennas);
  Settings s = amplitude_settings();
  s.select_antenna = 0;
  // (30 + 36 + 24 + 30) / 4 = 30; subblock 0 starts with the marker: (3 + 36 + 24 + 30) / 4 =
  // 23.25, an exact half written with the even tenth.
  std::string mean = ampl_line(0) + "  23.2" + repeat("  30.0", 31) + "\n";
  for (int i = 1; i < 16; ++i) mean += ampl_line(i) + repeat("  30.0", 32) + "\n";
  EXPECT_EQ(test::Loop(record, s).listing_text, mean);
  s.convert_samples = 0;  // not looked at in the sum mode
  EXPECT_EQ(test::Loop(record, s).listing_text, mean);
  s.amplitude_scale = 1, s.show_subblock = 0;
  const std::string linear = test::Loop(record, s).listing_text;
  EXPECT_EQ(linear.substr(6, 12), "  31.6  31.6");  // 10^1.5
  EXPECT_EQ(linear.substr(0, 6), "  14.5");         // 10^(23.25/20) = 14.54
}

TEST(AmplitudeListing, MeanHalvesGoToTheEvenTenth) {
  // Codes 1, 2, 3, 0 sum to 6 quarters of 1.5 dB: 2.25 dB; codes 1, 1, 0, 0: 0.75 dB. The
  // marker's code 2 in place of 1 makes the first 2.625: 2.6.
  const auto record = amplitude_record(test::regular_header(), [](int s) {
    static const int kCodes[2][4] = {{1, 2, 3, 0}, {1, 1, 0, 0}};
    return 4 * kCodes[s / 128 % 2][s / 32 % 4];
  });
  Settings s = amplitude_settings();
  s.select_antenna = 0, s.show_subblock = 0;
  const std::string listing = test::Loop(record, s).listing_text;
  EXPECT_EQ(listing.substr(0, 2 * 6 * 32 + 2),
            "   2.6" + repeat("   2.2", 31) + "\n" + repeat("   0.8", 32) + "\n");
}

TEST(AmplitudeListing, MeanWithFewerOrMoreThanFourAntennas) {
  HeaderFields h = test::regular_header();
  Settings s = amplitude_settings();
  s.select_antenna = 0, s.show_subblock = 0;
  h.A = 2;  // 32 subblocks: no fields, one empty line each
  EXPECT_EQ(test::Loop(amplitude_record(h, four_antennas), s).listing_text, std::string(32, '\n'));
  h.A = 8;  // 8 subblocks: antennas 5 to 8 (code 60) take no part in the mean
  const auto record =
      amplitude_record(h, [](int s) { return s / 32 % 8 < 4 ? four_antennas(s) : 243; });
  EXPECT_EQ(test::Loop(record, s).listing_text,
            "  23.2" + repeat("  30.0", 31) + "\n" + repeat(repeat("  30.0", 32) + "\n", 7));
}

TEST(AmplitudeListing, MeanOfTheLongestLines) {
  // N = 9: one subblock of 512 samples per antenna; N = 8: two of 256.
  for (int N : {8, 9}) {
    HeaderFields h = test::regular_header();
    h.N = N;
    const int count = 1 << N;
    const auto record = amplitude_record(h, [count](int s) { return 4 * (s / count % 4 + 1) + 1; });
    Settings s = amplitude_settings();
    s.select_antenna = 0, s.show_subblock = 0;
    // Codes 1 to 4: (1.5 + 3 + 4.5 + 6) / 4 = 3.75, written 3.8; the marker's code 2 in place
    // of 1 makes (3 + 3 + 4.5 + 6) / 4 = 4.125: 4.1.
    std::string expected;
    for (int i = 0; i < 2048 / (4 * count); ++i) {
      expected +=
          (i == 0 ? "   4.1" + repeat("   3.8", count - 1) : repeat("   3.8", count)) + "\n";
    }
    EXPECT_EQ(test::Loop(record, s).listing_text, expected) << N;
  }
}

TEST(AmplitudeListing, StepThinningRunsAcrossRecordsAndUnselectedRecords) {
  // Four subblocks a record (N = 7); every third subblock over the run is open. Record 2 has
  // another FREQ and is not selected, but its subblocks are walked and counted.
  HeaderFields h = test::regular_header();
  h.N = 7;
  HeaderFields other = h;
  other.FREQ = 3000.0f;
  const auto record = amplitude_record(h, four_antennas);
  Settings s = amplitude_settings();
  s.subblock_step = 3, s.select_antenna = 7, s.record_frequency = 2500;
  const test::Loop loop(
      test::join({record, amplitude_record(other, four_antennas), record, record}), s);
  // Open: record 1 subblocks 0 and 3, record 2 subblock 2 (not selected), record 3 subblock 1,
  // record 4 subblocks 0 and 3.
  EXPECT_EQ(loop.listing_text,
            ampl_line(0) + ampl_line(3) + ampl_line(1) + ampl_line(0) + ampl_line(3));
  EXPECT_EQ(loop.step_counter, 16 % 3);
  EXPECT_EQ(loop.console_text, "342 12:00:00Incorrect file structure or end of file");
}

}  // namespace
}  // namespace vexo
