// Exact forms of the printf conversions that the listing uses, writing into a character buffer
// and returning the position after the last character. They give the same characters as "%d",
// "%0Nd", "%Nd", "%X", "%x" and "%N.Mf", without the cost of parsing a format per value, and
// the same on every platform.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

namespace vexo {

// "%d".
char* put_int(char* p, int64_t value);

// "%0<width>d": zeros after the sign up to `width` characters in all.
char* put_int_zero_padded(char* p, int64_t value, int width);

// "%<width>d": blanks before the number up to `width` characters in all.
char* put_int_right(char* p, int64_t value, int width);

// "%X" (upper case) or "%x" of an int: a negative value shows its 32-bit two's complement.
char* put_hex(char* p, int32_t value, bool upper_case);

// The most characters put_fixed writes: "-" and the 309 digits of the largest double, a point, a
// decimal and the width.
constexpr int kFixedMax = 330;

// "%<width>.<decimals>f" with decimals 0 or 1: the value rounded to that many decimals, an exact
// half to the even neighbour, blanks before it up to `width` characters. A negative value keeps
// its sign also when it rounds to 0 ("-0", as the C library writes it).
char* put_fixed(char* p, double value, int decimals, int width);

// " %3.0f" of a phase value in degrees, the field of the phase listing.
char* put_degree_field(char* p, float degrees);

// True when the field of `degrees` is " ddd" (0 <= degrees < 999.5, not -0): four characters,
// which put_short_degrees writes.
inline bool is_short_degrees(float degrees) {
  return degrees >= 0.0f && degrees < 999.5f && !std::signbit(degrees);
}

// " %3d" of 0..999, four characters each.
struct ShortDegreeTable {
  char text[1000][4];
};
extern const ShortDegreeTable kShortDegrees;

inline char* put_short_degrees(char* p, float degrees) {
  // To the nearest whole number, an exact half to the even neighbour, as the formatting does:
  // adding 2^23 leaves no bit for a fraction, so the sum is rounded so (without a branch).
  const float rounded = (degrees + 8388608.0f) - 8388608.0f;
  std::memcpy(p, kShortDegrees.text[static_cast<int>(rounded)], 4);
  return p + 4;
}

}  // namespace vexo
