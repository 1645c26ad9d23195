// Exact integer forms of the printf conversions that the listing uses, writing into a character
// buffer and returning the position after the last character. They give the same characters
// as "%d", "%0Nd", "%Nd", "%X" and "%x", without the cost of parsing a format per value.
#pragma once

#include <cstdint>

namespace vexo {

// "%d".
char* put_int(char* p, int64_t value);

// "%0<width>d": zeros after the sign up to `width` characters in all.
char* put_int_zero_padded(char* p, int64_t value, int width);

// "%<width>d": blanks before the number up to `width` characters in all.
char* put_int_right(char* p, int64_t value, int width);

// "%X" (upper case) or "%x" of an int: a negative value shows its 32-bit two's complement.
char* put_hex(char* p, int32_t value, bool upper_case);

}  // namespace vexo
