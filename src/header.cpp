#include "src/header.h"

namespace vexo {
namespace {

// Positions written as one hex digit; every other position is written in decimal.
constexpr bool is_hex_position(int p) {
  return p == 0 || p == 14 || p == 15 || p == 26 || p >= 32;
}

// The character of each nibble at each position. A decimal write of 10..15 gives "1" and a
// second digit; the write for the next position (every decimal group is followed by a hex
// position) overwrites the second digit.
struct PositionCharacters {
  char of[kHeaderNibbles][16] = {};
};

constexpr PositionCharacters make_position_characters() {
  PositionCharacters table;
  for (int p = 0; p < kHeaderNibbles; ++p) {
    for (int n = 0; n < 16; ++n) {
      table.of[p][n] = static_cast<char>(n < 10               ? '0' + n
                                         : is_hex_position(p) ? 'A' + (n - 10)
                                                              : '1');
    }
  }
  return table;
}

constexpr PositionCharacters kPositionCharacters = make_position_characters();

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

int hex_value(char c) {
  if (is_digit(c)) return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// A width-limited decimal read from position `pos`: at most `width` digits, stopping at the
// first character that is not one. Nothing is stored when the first character is no digit.
void read_decimal(const HeaderText& text, int pos, int width, int32_t& field) {
  if (!is_digit(text[pos])) return;
  int32_t value = 0;
  for (int p = pos; p < pos + width && is_digit(text[p]); ++p) value = value * 10 + (text[p] - '0');
  field = value;
}

// The same with hex digits of either case.
int32_t read_hex(const HeaderText& text, int pos, int width, int32_t previous) {
  if (hex_value(text[pos]) < 0) return previous;
  int32_t value = 0;
  for (int p = pos; p < pos + width && hex_value(text[p]) >= 0; ++p) {
    value = value * 16 + hex_value(text[p]);
  }
  return value;
}

}  // namespace

HeaderText render_header_text(const std::array<int, kHeaderNibbles>& nibbles) {
  HeaderText text{};
  for (int p = 0; p < kHeaderNibbles; ++p) {
    text[p] = kPositionCharacters.of[p][nibbles[p] & 0xF];
  }
  text[kHeaderNibbles] = '\0';
  return text;
}

void parse_header(const HeaderText& t, HeaderFields& h) {
  read_decimal(t, 1, 2, h.year);
  read_decimal(t, 3, 3, h.day);
  read_decimal(t, 6, 2, h.hour);
  read_decimal(t, 8, 2, h.minute);
  read_decimal(t, 10, 2, h.second);
  read_decimal(t, 12, 1, h.sp_s);
  read_decimal(t, 13, 1, h.sp_p);
  h.FF = read_hex(t, 14, 2, h.FF);
  read_decimal(t, 16, 1, h.J);
  read_decimal(t, 17, 1, h.E);
  read_decimal(t, 18, 1, h.H);
  read_decimal(t, 19, 1, h.M);
  // Positions 20-25 are decimal positions, so the six-character real read always meets six
  // digits: FREQ is that six-digit integer, exact as a 32-bit real (below 2^24).
  int32_t freq = 0;
  read_decimal(t, 20, 6, freq);
  h.FREQ = static_cast<float>(freq);
  h.DIFF_D = static_cast<int8_t>(read_hex(t, 26, 1, h.DIFF_D));
  read_decimal(t, 27, 1, h.I);
  read_decimal(t, 28, 2, h.DIFF_FF);
  read_decimal(t, 30, 1, h.S);
  read_decimal(t, 31, 1, h.l);
  read_decimal(t, 32, 1, h.u);
  read_decimal(t, 33, 2, h.L);
  h.C = read_hex(t, 35, 1, h.C);
  read_decimal(t, 36, 2, h.U);
  read_decimal(t, 38, 1, h.B);
  read_decimal(t, 39, 1, h.T);
  read_decimal(t, 40, 1, h.O);
  read_decimal(t, 41, 3, h.V);
  read_decimal(t, 44, 1, h.X);
  read_decimal(t, 45, 1, h.A);
  read_decimal(t, 46, 1, h.D1);
  read_decimal(t, 47, 1, h.D2);
  read_decimal(t, 48, 1, h.N);
  read_decimal(t, 49, 1, h.R);
  read_decimal(t, 50, 1, h.w);
  read_decimal(t, 51, 1, h.k);
  read_decimal(t, 52, 1, h.f);
  read_decimal(t, 53, 1, h.g);
  read_decimal(t, 54, 2, h.OO);
  read_decimal(t, 56, 1, h.P);
  read_decimal(t, 57, 1, h.G);
}

void read_header(const RecordView& view, HeaderFields& fields) {
  // Nibbles 0..57 lie in the first two runs, sixteen to a word.
  uint64_t words[2 * kWordsPerRun];
  read_channel_runs(view, 0, 2, words);
  HeaderText text;
  for (int p = 0; p < kHeaderNibbles; p += 16) {
    uint64_t word = words[p / 16];
    for (int q = p; q < p + 16 && q < kHeaderNibbles; ++q, word >>= 4) {
      text[q] = kPositionCharacters.of[q][word & 0xF];
    }
  }
  text[kHeaderNibbles] = '\0';
  parse_header(text, fields);
}

}  // namespace vexo
