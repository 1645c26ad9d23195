// Rendering of the header text and the fixed-width conversions of the header fields.
#include "src/header.h"

#include <gtest/gtest.h>

#include <string>

#include "listing/header_lines.h"

namespace vexo {
namespace {

using Nibbles = std::array<int, kHeaderNibbles>;

std::string text_of(const Nibbles& n) {
  return render_header_text(n).data();
}

HeaderFields parse(const Nibbles& n, HeaderFields previous = {}) {
  parse_header(render_header_text(n), previous);
  return previous;
}

TEST(HeaderText, RendersHexAndDecimalPositions) {
  Nibbles n{};
  for (int p = 0; p < kHeaderNibbles; ++p) n[p] = p % 16;
  // Decimal positions 1-13, 16-25 and 27-31 show '1' for nibbles 10..15.
  EXPECT_EQ(text_of(n),
            "0"
            "1234567891111"
            "EF"
            "0123456789"
            "A"
            "11111"
            "0123456789ABCDEF0123456789");
  EXPECT_EQ(render_header_text(n)[kHeaderNibbles], '\0');
}

TEST(HeaderText, FieldsOfAMixedText) {
  Nibbles n{};
  for (int p = 0; p < kHeaderNibbles; ++p) n[p] = p % 16;
  HeaderFields previous;
  previous.X = previous.A = previous.D1 = previous.D2 = 5;
  // Text "0 1234567891111 EF 0123456789 A 11111 0123456789ABCDEF0123456789": year 12, day 345,
  // 67:89:11, sp 1 1, FF 0xEF, J E H M 0 1 2 3, FREQ 456789, DIFF_D 0xA, I 1, DIFF_FF 11, S l u
  // 1 1 0, L 12, C 3, U 45, B T O 6 7 8, V 9 ("9AB" stops at the letter); X A D1 D2 fail on
  // "CDEF" and keep 5; N..g 0..5, OO 67, P 8, G 9.
  char line[kHeaderValuesMax];
  EXPECT_EQ(std::string(line, format_header_values(line, 1, parse(n, previous))),
            "1   12345 678911 11 EF0123 456789 A111110 12 3 45 678 009 55550123456789\n");
}

TEST(HeaderText, AllZeroNibblesSetEveryField) {
  HeaderFields previous;
  previous.year = previous.day = previous.FF = previous.u = previous.A = previous.G = 7;
  previous.FREQ = 7.0f;
  previous.DIFF_D = 7;
  const HeaderFields h = parse(Nibbles{}, previous);
  EXPECT_EQ(h.year, 0);
  EXPECT_EQ(h.day, 0);
  EXPECT_EQ(h.FF, 0);
  EXPECT_EQ(h.u, 0);
  EXPECT_EQ(h.A, 0);
  EXPECT_EQ(h.G, 0);
  EXPECT_EQ(h.DIFF_D, 0);
  EXPECT_EQ(h.FREQ, 0.0f);
}

TEST(HeaderText, WorkedExamples) {
  Nibbles n{};
  n[14] = 15, n[15] = 14;  // FF
  n[1] = 12, n[2] = 3;     // year: a decimal 12 leaves '1'
  n[13] = 10;              // sp_p
  n[20] = 0, n[21] = 0, n[22] = 2, n[23] = 5, n[24] = 0, n[25] = 0;  // FREQ
  n[33] = 3, n[34] = 11;                                             // L
  n[41] = 1, n[42] = 10, n[43] = 2;                                  // V
  const std::string text = text_of(n);
  EXPECT_EQ(text.substr(14, 2), "FE");
  EXPECT_EQ(text.substr(1, 2), "13");
  EXPECT_EQ(text.substr(13, 2), "1F");
  EXPECT_EQ(text.substr(33, 2), "3B");
  EXPECT_EQ(text.substr(41, 3), "1A2");
  const HeaderFields h = parse(n);
  EXPECT_EQ(h.FF, 254);
  EXPECT_EQ(h.year, 13);
  EXPECT_EQ(h.sp_p, 1);
  EXPECT_EQ(h.FREQ, 2500.0f);
  EXPECT_EQ(h.L, 3);
  EXPECT_EQ(h.V, 1);
}

TEST(HeaderText, FailedConversionKeepsThePreviousRecordsValue) {
  Nibbles first{};
  first[32] = 4;   // u
  first[45] = 11;  // A: a letter in the first record leaves the start value 0
  HeaderFields h = parse(first);
  EXPECT_EQ(h.u, 4);
  EXPECT_EQ(h.A, 0);

  Nibbles second{};
  second[32] = 12;  // 'C' under a decimal conversion
  second[45] = 4;
  second[54] = 11, second[55] = 3;  // OO "B3" fails as a whole
  h.OO = 21;
  h = parse(second, h);
  EXPECT_EQ(h.u, 4);
  EXPECT_EQ(h.A, 4);
  EXPECT_EQ(h.OO, 21);

  Nibbles third{};
  third[54] = 4, third[55] = 12;  // OO "4C" stops at the letter
  EXPECT_EQ(parse(third, h).OO, 4);
}

TEST(HeaderText, NibbleZeroChangesNoField) {
  Nibbles a{};
  for (int p = 0; p < kHeaderNibbles; ++p) a[p] = (p * 7) % 16;
  Nibbles b = a;
  a[0] = 0;
  b[0] = 14;
  // The values line prints every field.
  char x[kHeaderValuesMax], y[kHeaderValuesMax];
  EXPECT_EQ(std::string(x, format_header_values(x, 1, parse(a))),
            std::string(y, format_header_values(y, 1, parse(b))));
}

}  // namespace
}  // namespace vexo
