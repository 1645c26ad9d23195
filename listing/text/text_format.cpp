#include "listing/text/text_format.h"

#include <cmath>
#include <cstdio>

namespace vexo {
namespace {

uint64_t magnitude_of(int64_t value) {
  return value < 0 ? uint64_t{0} - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
}

char* put_padded(char* p, int64_t value, int width, bool zeros) {
  char digits[20];
  char* const end = digits + sizeof digits;
  char* d = end;
  uint64_t magnitude = magnitude_of(value);
  do {
    *--d = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  const int count = static_cast<int>(end - d);
  int length = count + (value < 0 ? 1 : 0);
  if (!zeros) {
    for (; length < width; ++length) *p++ = ' ';
  }
  if (value < 0) *p++ = '-';
  if (zeros) {
    for (; length < width; ++length) *p++ = '0';
  }
  for (int i = 0; i < count; ++i) *p++ = d[i];
  return p;
}

constexpr ShortDegreeTable make_short_degrees() {
  ShortDegreeTable table{};
  for (int n = 0; n < 1000; ++n) {
    table.text[n][0] = ' ';
    table.text[n][1] = n >= 100 ? static_cast<char>('0' + n / 100) : ' ';
    table.text[n][2] = n >= 10 ? static_cast<char>('0' + n / 10 % 10) : ' ';
    table.text[n][3] = static_cast<char>('0' + n % 10);
  }
  return table;
}

}  // namespace

char* put_int(char* p, int64_t value) {
  if (value >= 0 && value < 10) {  // most header fields are one digit
    *p = static_cast<char>('0' + value);
    return p + 1;
  }
  return put_padded(p, value, 0, false);
}

char* put_int_zero_padded(char* p, int64_t value, int width) {
  return put_padded(p, value, width, true);
}

char* put_int_right(char* p, int64_t value, int width) {
  return put_padded(p, value, width, false);
}

char* put_hex(char* p, int32_t value, bool upper_case) {
  const char* hex = upper_case ? "0123456789ABCDEF" : "0123456789abcdef";
  uint32_t bits = static_cast<uint32_t>(value);
  char reversed[8];
  int count = 0;
  do {
    reversed[count++] = hex[bits & 0xF];
    bits >>= 4;
  } while (bits != 0);
  while (count > 0) *p++ = reversed[--count];
  return p;
}

char* put_fixed(char* p, double value, int decimals, int width) {
  const double magnitude = std::fabs(value);
  if (!(magnitude < 0x1p60)) {
    // Infinity, NaN or a whole number too large for the integer path; a double this large has
    // no fraction, so there is nothing to round.
    return p + std::snprintf(p, kFixedMax, "%*.*f", width, decimals, value);
  }
  if (magnitude < 0x1p31 && magnitude == static_cast<double>(static_cast<int32_t>(magnitude)) &&
      !std::signbit(value)) {
    // A whole number, as frequencies and most heights are: nothing to round.
    p = put_int_right(p, static_cast<int32_t>(magnitude), width - 2 * decimals);
    if (decimals == 1) *p++ = '.', *p++ = '0';
    return p;
  }
  const uint64_t scale = decimals == 0 ? 1 : 10;
  // magnitude = mantissa * 2^exponent with a 53-bit integer mantissa, so the value in units of
  // the last decimal is mantissa * scale * 2^exponent, a 57-bit product shifted: exact.
  int exponent = 0;
  const double fraction = std::frexp(magnitude, &exponent);
  const uint64_t mantissa = static_cast<uint64_t>(std::ldexp(fraction, 53));
  exponent -= 53;
  uint64_t units = 0;
  if (exponent >= 0) {
    units = (mantissa << exponent) * scale;
  } else if (exponent > -64) {
    const int shift = -exponent;
    const uint64_t scaled = mantissa * scale;
    units = scaled >> shift;
    const uint64_t rest = scaled & ((uint64_t{1} << shift) - 1);
    const uint64_t half = uint64_t{1} << (shift - 1);
    if (rest > half || (rest == half && (units & 1) != 0)) ++units;
  }  // else below 2^-11 in units: rounds to 0

  char digits[24];
  char* d = put_int(digits, static_cast<int64_t>(units / scale));
  if (decimals == 1) {
    *d++ = '.';
    *d++ = static_cast<char>('0' + units % 10);
  }
  const bool negative = std::signbit(value);
  for (int length = static_cast<int>(d - digits) + (negative ? 1 : 0); length < width; ++length) {
    *p++ = ' ';
  }
  if (negative) *p++ = '-';
  for (const char* c = digits; c < d; ++c) *p++ = *c;
  return p;
}

const ShortDegreeTable kShortDegrees = make_short_degrees();

char* put_degree_field(char* p, float degrees) {
  *p++ = ' ';
  return put_fixed(p, static_cast<double>(degrees), 0, 3);
}

}  // namespace vexo
