#include "listing/subblock_lines.h"

#include <cstring>

#include "listing/text_format.h"

namespace vexo {
namespace {

char* put_text(char* p, const char* text) {
  const std::size_t size = std::strlen(text);
  std::memcpy(p, text, size);
  return p + size;
}

// Everything from "F=" on; frequency and height are whole or quarter numbers below 10^5.
char* put_subblock_tail(char* p, const Descriptor& d, const HeaderFields& h) {
  p = put_text(p, " F= ");
  p = put_fixed(p, static_cast<double>(d.frequency), 0, 5);
  p = put_text(p, " kHz H= ");
  p = put_fixed(p, static_cast<double>(d.height), 1, 6);
  p = put_text(p, " km G= ");
  p = put_int(p, d.gain);
  p = put_text(p, " dB Pol= ");
  p = put_int(p, d.polarization);
  *p++ = ' ';
  p = put_int_right(p, h.hour, 2);
  *p++ = ':';
  p = put_int_right(p, h.minute, 2);
  *p++ = ':';
  p = put_int_right(p, h.second, 2);
  *p++ = ' ';
  p = put_int(p, h.day);
  *p++ = '\n';
  return p;
}

}  // namespace

char* format_phase_line(char* p, const Descriptor& d, const HeaderFields& h) {
  return put_subblock_tail(put_text(p, "Phase "), d, h);
}

char* format_ampl_line(char* p, int32_t subblock, const Descriptor& d, const HeaderFields& h) {
  p = put_text(p, "Ampl ");
  p = put_int(p, subblock);
  *p++ = ' ';
  return put_subblock_tail(p, d, h);
}

}  // namespace vexo
