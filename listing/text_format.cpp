#include "listing/text_format.h"

namespace vexo {
namespace {

// Digits of `magnitude`, most significant first, into a buffer of 20; returns how many.
int digits_of(uint64_t magnitude, char* digits) {
  int count = 0;
  char reversed[20];
  do {
    reversed[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  for (int i = 0; i < count; ++i) digits[i] = reversed[count - 1 - i];
  return count;
}

uint64_t magnitude_of(int64_t value) {
  return value < 0 ? uint64_t{0} - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
}

char* put_padded(char* p, int64_t value, int width, bool zeros) {
  char digits[20];
  int count = digits_of(magnitude_of(value), digits);
  int length = count + (value < 0 ? 1 : 0);
  if (!zeros) {
    for (; length < width; ++length) *p++ = ' ';
  }
  if (value < 0) *p++ = '-';
  if (zeros) {
    for (; length < width; ++length) *p++ = '0';
  }
  for (int i = 0; i < count; ++i) *p++ = digits[i];
  return p;
}

}  // namespace

char* put_int(char* p, int64_t value) {
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

}  // namespace vexo
