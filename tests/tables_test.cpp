// Every field kept as text must be exactly what the plain computation and the C library's
// formatting give for the same value.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "listing/amplitude_tables.h"
#include "listing/phase_fields.h"
#include "listing/text/text_format.h"
#include "vexo/values.h"

namespace vexo {
namespace {

template <std::size_t N>
std::string text_of(const FieldText<N>& field) {
  return std::string(field.text, field.size);
}

std::string printed(const char* format, double value) {
  char text[400];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::vector<PhaseParameters> parameter_sets() {
  std::vector<PhaseParameters> sets;
  for (int32_t sign : {1, -1}) {
    PhaseParameters p;
    p.phase_offset = sign == 1 ? 0 : 255, p.phase_sign = sign;
    sets.push_back(p);  // without the correction
    p.corrected = true;
    for (const auto& [sample_count, spacing, rate] :
         {std::tuple{128, 0.78125, 50.0}, std::tuple{32, 0.09765625, 25.0},
          std::tuple{32, 1 / 0.07 / 32, 200.0}, std::tuple{1, 100.0, 25.0},
          std::tuple{512, 1 / 1.53 / 512, 100.0}}) {
      p.sample_count = sample_count, p.line_spacing = spacing, p.rate = rate;
      sets.push_back(p);
    }
  }
  return sets;
}

// Three records in a row of each parameter set, in an order that changes from round to round:
// the first of a set not kept is listed directly, the others from fields made on first use,
// kept while other sets come and go, and made without a row while the row pool is full, until
// it is emptied (ten rounds are enough for that).
TEST(PhaseFields, EveryFieldIsThePlainValuePrintedWhicheverWayItIsMade) {
  PhaseFields fields;
  ListingOutput out = make_listing_output(nullptr);
  std::vector<unsigned char> record(kRecordSize);
  const std::vector<PhaseParameters> sets = parameter_sets();
  for (int round = 0; round < 10; ++round) {
    for (std::size_t visit = 0; visit < sets.size(); ++visit) {
      const PhaseParameters& p = sets[(visit * 5 + static_cast<std::size_t>(round)) % sets.size()];
      const int32_t n = p.sample_count;
      const int32_t antennas = std::min(kMaxAntennas, 2048 / n);
      for (int repeat = 0; repeat < 3; ++repeat) {
        fields.begin_record(p);
        for (int32_t j = 0; j < antennas; ++j) {
          const SampleLine line(record.data(), SampleKind::phase, j * n, n);
          std::string expected;
          for (int32_t k = 0; k < n; ++k) {
            const int32_t sample = (k * 37 + round * 53 + repeat * 101 + j * 11) & 255;
            const int32_t s = j * n + k;  // the phase sample's place among the record's 2048
            record[static_cast<std::size_t>(256 * (s / 128) + s % 128 + 128)] =
                static_cast<unsigned char>(sample);
            expected += printed(" %3.0f", static_cast<double>(phase_degrees(sample, j, k, p)));
          }
          out.used = 0;
          char* const start = reserve_text(out, 1);
          char* const end = fields.put_line(out, start, line, j);
          ASSERT_EQ(std::string(start, static_cast<std::size_t>(end - start)), expected)
              << round << " " << visit << " " << j;
        }
      }
    }
  }
}

TEST(PhaseFields, RawAndShortFieldsAreThePrintedValues) {
  for (int32_t n = 0; n < 1000; ++n) {
    char text[8];
    std::snprintf(text, sizeof text, " %3d", n);
    EXPECT_EQ(std::string(kShortDegrees.text[n], 4), text);
  }
  // Halves go to the even neighbour, as the C library writes them.
  for (float degrees : {0.5f, 1.5f, 2.5f, 22.5f, 67.5f, 359.5f, 998.5f, 0.49999997f, 998.50006f}) {
    char text[8];
    put_short_degrees(text, degrees);
    EXPECT_EQ(std::string(text, 4), printed(" %3.0f", static_cast<double>(degrees))) << degrees;
  }
  EXPECT_FALSE(is_short_degrees(999.5f));
  EXPECT_FALSE(is_short_degrees(-0.0f));
}

TEST(AmplitudeTables, EveryFieldIsThePlainValuePrinted) {
  AmplitudeTables tables;
  build_amplitude_tables(tables);
  for (int32_t b = 0; b < 256; ++b) {
    const double db = (b >> 2) * 1.5;
    EXPECT_EQ(text_of(tables.db[b]), printed(" %5.1f", db)) << b;
    EXPECT_EQ(text_of(tables.ratio[b]), printed(" %5.1f", ratio_of_db(db))) << b;
    char raw[16];
    std::snprintf(raw, sizeof raw, " %5u", static_cast<unsigned>(b));
    EXPECT_EQ(text_of(tables.raw[b]), raw) << b;
  }
  // Sums of four codes, accumulated as quarters of dB in a double as the format describes.
  for (int32_t codes = 0; codes <= kMaxCodeSum; ++codes) {
    double sum = 0.0;
    for (int antenna = 0, left = codes; antenna < 4; ++antenna) {
      const int code = left < 63 ? left : 63;
      sum += code * 1.5 * 0.25;
      left -= code;
    }
    EXPECT_EQ(text_of(tables.sum_db[codes]), printed(" %5.1f", sum)) << codes;
    EXPECT_EQ(text_of(tables.sum_ratio[codes]), printed(" %5.1f", ratio_of_db(sum))) << codes;
  }
}

}  // namespace
}  // namespace vexo
