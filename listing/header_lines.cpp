#include "listing/header_lines.h"

#include <cmath>
#include <cstdio>

#include "listing/text/text_format.h"

namespace vexo {
namespace {

// "%6.0f". FREQ always holds a whole number of up to six digits, written exactly as an integer;
// anything else goes through the library's conversion.
char* put_freq(char* p, float freq) {
  double value = freq;
  if (value == std::trunc(value) && value >= 0.0 && value < 1e15) {
    return put_int_right(p, static_cast<int64_t>(value), 6);
  }
  char text[400];
  int length = std::snprintf(text, sizeof text, "%6.0f", value);
  for (int i = 0; i < length; ++i) *p++ = text[i];
  return p;
}

}  // namespace

std::size_t format_header_values(char* buffer, int64_t record_number, const HeaderFields& h) {
  char* p = buffer;
  p = put_int(p, record_number);
  *p++ = ' ', *p++ = ' ', *p++ = ' ';
  p = put_int(p, h.year), p = put_int(p, h.day);
  *p++ = ' ';
  p = put_int(p, h.hour), p = put_int(p, h.minute), p = put_int(p, h.second);
  *p++ = ' ';
  p = put_int(p, h.sp_s), p = put_int(p, h.sp_p);
  *p++ = ' ';
  p = put_hex(p, h.FF, true), p = put_int(p, h.J), p = put_int(p, h.E);
  p = put_hex(p, h.H, true), p = put_int(p, h.M);
  *p++ = ' ';
  p = put_freq(p, h.FREQ);
  *p++ = ' ';
  p = put_hex(p, h.DIFF_D, true), p = put_int(p, h.I), p = put_int(p, h.DIFF_FF);
  p = put_int(p, h.S), p = put_int(p, h.l), p = put_int(p, h.u);
  *p++ = ' ';
  p = put_int_zero_padded(p, h.L, 2);
  *p++ = ' ';
  p = put_hex(p, h.C, false);
  *p++ = ' ';
  p = put_int_zero_padded(p, h.U, 2);
  *p++ = ' ';
  p = put_int(p, h.B), p = put_int(p, h.T), p = put_int(p, h.O);
  *p++ = ' ';
  p = put_int_zero_padded(p, h.V, 3);
  *p++ = ' ';
  for (int32_t value : {h.X, h.A, h.D1, h.D2, h.N, h.R, h.w, h.k, h.f, h.g}) p = put_int(p, value);
  p = put_int_zero_padded(p, h.OO, 2), p = put_int(p, h.P), p = put_int(p, h.G);
  *p++ = '\n';
  return static_cast<std::size_t>(p - buffer);
}

}  // namespace vexo
