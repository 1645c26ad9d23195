// The header values line and the integer conversions it is built from.
#include "listing/header_lines.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include "listing/text/text_format.h"

namespace vexo {
namespace {

std::string values_line(int64_t record, const HeaderFields& h) {
  char buffer[kHeaderValuesMax];
  return std::string(buffer, format_header_values(buffer, record, h));
}

TEST(HeaderValuesLine, AllZero) {
  EXPECT_EQ(values_line(1, HeaderFields{}),
            "1   00 000 00 00000      0 000000 00 0 00 000 000 00000000000000\n");
}

TEST(HeaderValuesLine, PaddingAndHexCase) {
  HeaderFields h;
  h.year = 99, h.day = 5;     // no fill between values: 995
  h.L = 3, h.V = 7, h.U = 4;  // 03, 007, 04
  h.FF = 0xFE, h.H = 12;      // upper case
  h.C = 11;                   // lower case
  h.FREQ = 2500.0f;
  h.OO = 5;
  EXPECT_EQ(values_line(123, h),
            "123   995 000 00 FE00C0   2500 000000 03 b 04 000 007 00000000000500\n");
}

TEST(TextFormat, MatchesTheLibraryConversions) {
  std::mt19937_64 random(7);
  std::vector<int64_t> values = {0,    1,   -1,   9,         10,        99,        100,
                                 -100, 999, 1000, INT32_MAX, INT32_MIN, INT64_MAX, INT64_MIN};
  for (int i = 0; i < 2000; ++i) values.push_back(static_cast<int64_t>(random()) >> (i % 64));
  for (int64_t v : values) {
    for (int width : {0, 2, 3, 6}) {
      char expected[64], got[64];
      std::snprintf(expected, sizeof expected, "%0*lld", width, static_cast<long long>(v));
      EXPECT_EQ(std::string(got, put_int_zero_padded(got, v, width)), expected) << v;
      std::snprintf(expected, sizeof expected, "%*lld", width, static_cast<long long>(v));
      EXPECT_EQ(std::string(got, put_int_right(got, v, width)), expected) << v;
    }
    const int32_t narrow = static_cast<int32_t>(v);
    char expected[64], got[64];
    std::snprintf(expected, sizeof expected, "%X", narrow);
    EXPECT_EQ(std::string(got, put_hex(got, narrow, true)), expected);
    std::snprintf(expected, sizeof expected, "%x", narrow);
    EXPECT_EQ(std::string(got, put_hex(got, narrow, false)), expected);
  }
}

}  // namespace
}  // namespace vexo
