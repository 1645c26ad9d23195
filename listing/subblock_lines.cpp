#include "listing/subblock_lines.h"

#include <cstring>

#include "listing/text/text_format.h"

namespace vexo {
namespace {

// A literal: its length is known here, so the copy is a few moves.
template <std::size_t N>
char* put_text(char* p, const char (&text)[N]) {
  std::memcpy(p, text, N - 1);
  return p + (N - 1);
}

// " F= ... Pol= n"; frequency and height are whole or quarter numbers below 10^5.
char* put_descriptor(char* p, const Descriptor& d) {
  p = put_text(p, " F= ");
  p = put_fixed(p, static_cast<double>(d.frequency), 0, 5);
  p = put_text(p, " kHz H= ");
  p = put_fixed(p, static_cast<double>(d.height), 1, 6);
  p = put_text(p, " km G= ");
  p = put_int(p, d.gain);
  p = put_text(p, " dB Pol= ");
  return put_int(p, d.polarization);
}

bool same_descriptor(const Descriptor& a, const Descriptor& b) {
  // Bit for bit: the cached text is that of exactly these values.
  return std::memcmp(&a.frequency, &b.frequency, sizeof a.frequency) == 0 &&
         std::memcmp(&a.height, &b.height, sizeof a.height) == 0 && a.gain == b.gain &&
         a.polarization == b.polarization;
}

static_assert(kSubblockLineMax >= sizeof "Ampl 2047 " - 1 + sizeof(SubblockLineCache::Entry::text) +
                                      sizeof(SubblockLineTime::text),
              "a subblock line's room holds the word, the number and both text arrays");

char* put_subblock_tail(char* p, int32_t subblock, const Descriptor& d,
                        const SubblockLineTime& time, SubblockLineCache& cache) {
  SubblockLineCache::Entry& entry = cache.entries[static_cast<std::size_t>(subblock)];
  if (!entry.valid || !same_descriptor(entry.descriptor, d)) {
    entry.size = static_cast<uint8_t>(put_descriptor(entry.text, d) - entry.text);
    entry.descriptor = d;
    entry.valid = true;
  }
  // Whole arrays, a copy of fixed size, and then only the text counts: the line's room
  // (kSubblockLineMax) holds both arrays after the line's start.
  std::memcpy(p, entry.text, sizeof entry.text);
  p += entry.size;
  std::memcpy(p, time.text, sizeof time.text);
  return p + time.size;
}

}  // namespace

void format_subblock_line_time(SubblockLineTime& time, const HeaderFields& h) {
  char* p = time.text;
  *p++ = ' ';
  p = put_int_right(p, h.hour, 2);
  *p++ = ':';
  p = put_int_right(p, h.minute, 2);
  *p++ = ':';
  p = put_int_right(p, h.second, 2);
  *p++ = ' ';
  p = put_int(p, h.day);
  *p++ = '\n';
  time.size = static_cast<int>(p - time.text);
}

char* format_phase_line(char* p, int32_t subblock, const Descriptor& d,
                        const SubblockLineTime& time, SubblockLineCache& cache) {
  return put_subblock_tail(put_text(p, "Phase "), subblock, d, time, cache);
}

char* format_ampl_line(char* p, int32_t subblock, const Descriptor& d, const SubblockLineTime& time,
                       SubblockLineCache& cache) {
  p = put_text(p, "Ampl ");
  p = put_int(p, subblock);
  *p++ = ' ';
  return put_subblock_tail(p, subblock, d, time, cache);
}

}  // namespace vexo
