// One record of a DFT file as the reader hands it out: its place in the file, the record
// header, the values worked out from it, the subblock descriptors and the raw sample bytes.
//
// A DFT file is a plain sequence of 4096-byte records. Each record holds, for each of its
// subblocks and each antenna, 2^N one-byte phase samples and as many amplitude samples. The
// record header and one descriptor per subblock are carried bit by bit in bit 0 of the amplitude
// samples. Everything here is a view: a Record and the lines it hands out point into the
// reader's memory and stay valid until the reader's next call of next().
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>

namespace vexo {

constexpr std::size_t kRecordSize = 4096;
constexpr unsigned char kRecordMarker = 10;  // byte 0 of every record
constexpr int kSamplesPerKind = 2048;        // amplitude (or phase) samples in one record
constexpr int kMaxSubblocks = 2048;          // the most subblocks a record can have (N 0, A 1)
constexpr int kMaxAntennas = 9;              // A is one decimal digit
constexpr int kMaxSampleCount = 512;         // the most samples of one antenna in a subblock

// The record header, named after the letters of the listing's column title line, in the order
// of its header values line. The header is carried as 58 nibbles; a nibble of 10..15 where a
// decimal digit belongs reads as the digit 1, and a decimal field that starts at one of the
// positions written as a hex digit (positions 0, 14-15, 26 and 32-57: C to G below) and finds
// a letter there keeps the value of the record before. All are 0 before the first record.
//   year day hour minute second   date and time of the record
//   sp_s sp_p                     "sp"
//   FF                            phase direction: 0xFE runs the phase scale backwards
//   J E H M                       H = 2 makes every descriptor height 1.25 times its digits
//   FREQ                          the record's frequency, a six-digit whole number
//   DIFF_D I DIFF_FF S l u        16*u + l must not be 0 (the record check)
//   L C U B T O V                 further fields of the instrument program
//   X A D1 D2 N R                 X = 1 halves the rate; A antennas; 16*D2 + D1 sets the line
//                                 spacing; 2^N samples; R selects the rate (0, 2, 3: rates 50, 100,
//                                 200; 4..7 fold to 0..3, 8 and 9 to 0 and 1)
//   w k f g OO P G                further fields
struct HeaderFields {
  int32_t year = 0, day = 0, hour = 0, minute = 0, second = 0;
  int32_t sp_s = 0, sp_p = 0;
  int32_t FF = 0, J = 0, E = 0, H = 0, M = 0;
  float FREQ = 0.0f;
  int8_t DIFF_D = 0;
  int32_t I = 0, DIFF_FF = 0, S = 0, l = 0, u = 0;
  int32_t L = 0, C = 0, U = 0;
  int32_t B = 0, T = 0, O = 0;
  int32_t V = 0;
  int32_t X = 0, A = 0, D1 = 0, D2 = 0, N = 0, R = 0, w = 0, k = 0, f = 0, g = 0;
  int32_t OO = 0, P = 0, G = 0;
};

// What one subblock was sounded with.
struct Descriptor {
  float frequency = 0.0f;  // kHz, a whole number of up to five digits
  float height = 0.0f;     // km, up to four digits, times 1.25 when the header's H is 2
  int32_t gain = 0;        // dB, 0..9
  int32_t polarization = 0;
};

// Values worked out from the header of a record that passed the check.
struct DerivedValues {
  int32_t subblock_count = 0;  // trunc(4096 / (2^N * 2 * A))
  int32_t sample_count = 0;    // 2^N samples per antenna and subblock
  // 1 / (0.01 * (16*D2 + D1)) / sample_count, each step rounded as the listing does; +inf
  // when 16*D2 + D1 is 0 (no line spacing, so no phase correction).
  double line_spacing = 0.0;
  int32_t rate_divider = 1;  // 2 when X is 1
  // The rate is set by the records whose folded R selects one and kept by the records after
  // them; rate_known is false until the first such record.
  double rate = 0.0;
  bool rate_known = false;
  int32_t phase_offset = 0;  // 255 when FF is 0xFE (backwards), else 0
  int32_t phase_sign = 1;    // -1 when FF is 0xFE, else +1
};

enum class SampleKind { amplitude, phase };

// The samples of one antenna in one subblock, sample_count bytes in all. A line of up to 128
// samples lies in one piece of memory; a longer one is made of pieces of 128 bytes.
class SampleLine {
 public:
  SampleLine() = default;
  SampleLine(const unsigned char* record, SampleKind kind, int32_t first, int32_t count)
      : record_(record), kind_(kind), first_(first), count_(count) {}

  std::size_t size() const { return static_cast<std::size_t>(count_); }
  // Sample k of the line, 0 <= k < size() (not checked).
  unsigned char operator[](std::size_t k) const { return record_[byte_offset(k)]; }
  // The same, checked: std::out_of_range when k >= size().
  unsigned char at(std::size_t k) const {
    if (k >= size()) throw std::out_of_range("vexo::SampleLine::at: no such sample");
    return (*this)[k];
  }
  // The contiguous pieces: piece_count() pieces of piece_size() bytes each.
  std::size_t piece_size() const { return count_ < 128 ? size() : 128; }
  std::size_t piece_count() const { return count_ == 0 ? 0 : size() / piece_size(); }
  const unsigned char* piece(std::size_t i) const {
    return record_ + byte_offset(i * piece_size());
  }
  // Index of the line's first sample among the record's 2048 samples of its kind.
  int32_t first() const { return first_; }

 private:
  std::size_t byte_offset(std::size_t k) const {
    // Each 256-byte group of a record: 128 amplitude bytes, then 128 phase bytes.
    const std::size_t s = static_cast<std::size_t>(first_) + k;
    return 256 * (s / 128) + s % 128 + (kind_ == SampleKind::phase ? 128 : 0);
  }
  const unsigned char* record_ = nullptr;
  SampleKind kind_ = SampleKind::amplitude;
  int32_t first_ = 0;
  int32_t count_ = 0;
};

namespace detail {
inline const HeaderFields kNoHeader{};
inline const DerivedValues kNoDerivedValues{};
}  // namespace detail

// A record as the reader hands it out. A record that is not one (default-made, or what the
// reader shows before its first record and after it stopped at anything but a failed check)
// has number 0, no bytes, a header of zeros and no subblocks.
class Record {
 public:
  int64_t number() const { return number_; }             // the first record is 1
  uint64_t offset() const { return offset_; }            // byte offset of its byte 0 in the file
  const unsigned char* bytes() const { return bytes_; }  // its kRecordSize bytes
  // The header as this record's header lines show it (R not yet folded).
  const HeaderFields& header() const { return *header_; }
  // Valid when the record passed the check (every record that next() hands out).
  const DerivedValues& derived() const { return *derived_; }

  int32_t subblock_count() const { return derived_->subblock_count; }
  int32_t antenna_count() const { return header_->A; }
  int32_t sample_count() const { return derived_->sample_count; }
  // The subblock's descriptor; std::out_of_range unless 0 <= subblock < subblock_count().
  const Descriptor& descriptor(int32_t subblock) const {
    check(subblock, 0);
    return descriptors_[subblock];
  }
  // The samples of one antenna in one subblock; std::out_of_range unless 0 <= subblock <
  // subblock_count() and 0 <= antenna < antenna_count().
  SampleLine phase(int32_t subblock, int32_t antenna) const {
    return line(SampleKind::phase, subblock, antenna);
  }
  SampleLine amplitude(int32_t subblock, int32_t antenna) const {
    return line(SampleKind::amplitude, subblock, antenna);
  }
  SampleLine line(SampleKind kind, int32_t subblock, int32_t antenna) const {
    check(subblock, antenna);
    const int32_t n = derived_->sample_count;
    return SampleLine(bytes_, kind, (subblock * header_->A + antenna) * n, n);
  }

  // Filled in by the reader.
  struct Parts {
    int64_t number;
    uint64_t offset;
    const unsigned char* bytes;
    const HeaderFields* header;
    const DerivedValues* derived;
    const Descriptor* descriptors;
  };
  Record() = default;
  explicit Record(const Parts& p)
      : number_(p.number),
        offset_(p.offset),
        bytes_(p.bytes),
        header_(p.header),
        derived_(p.derived),
        descriptors_(p.descriptors) {}

 private:
  void check(int32_t subblock, int32_t antenna) const {
    if (subblock < 0 || subblock >= derived_->subblock_count || antenna < 0 ||
        antenna >= (subblock_count() > 0 ? header_->A : 0)) {
      throw std::out_of_range("vexo::Record: no such subblock or antenna");
    }
  }

  int64_t number_ = 0;
  uint64_t offset_ = 0;
  const unsigned char* bytes_ = nullptr;
  const HeaderFields* header_ = &detail::kNoHeader;
  const DerivedValues* derived_ = &detail::kNoDerivedValues;
  const Descriptor* descriptors_ = nullptr;
};

}  // namespace vexo
