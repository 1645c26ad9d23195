// A synthetic sounding: DFT records that look like a real recording, for the bundled example,
// the tests and the benchmarks.
//
// Every record carries FREQ 2500, 3200 or 4100 kHz in turn and one second more than the one
// before (from day 342, 12:00:00). Its subblocks step through four sounding frequencies and four
// heights. Amplitudes: a noise floor of codes 8 to 13 with an echo peak of up to code 47 at a
// sample index that moves with the subblock's frequency; antennas differ by a code or two. The
// echo comes from a layer that drifts from 105 km up to 310 km and back over ten records
// (105, 146, 187, 228, 269, 310, 269, ... km), strongest in the subblocks at the layer's height
// and fading to nothing 90 km from it, and strongest at 3200 kHz. Phases: one value
// per subblock (50 to 205 on the 0..255 scale, with a jitter of one step), tilted across
// antennas and samples exactly as the antenna correction undoes it. With 16*D2 + D1 = 32 and a
// rate of 25 the tilt is j * (k - sample_count/2, plus 1 from k = 64 on) * 32 / sample_count
// steps for antenna index j and sample index k: one step per antenna and sample for N = 5.
//
// The echo arrives from a direction that drifts. On the lines whose amplitude the echo raises
// (up to six lines either side of its peak, in the subblocks within 90 km of the layer) the
// phase of antenna index j after the correction is, in addition, 360 degrees * (r_j . u) /
// wavelength, rounded to whole steps of 360/256 degrees (phase_sign +1: the phase grows with
// r . u), the wavelength c / (subblock frequency in kHz * 1000) with c = 299792458 m/s. Lines
// without the echo keep only the tilt and the jitter. u = (sin z sin a, sin z cos a, cos z)
// points east, north and up; for record r (from 0) the zenith angle z is 10 degrees plus 3 for
// each step of the layer above 105 km (10, 13, 16, 19, 22, 25, 22, ... over ten records) and
// the azimuth a, from north towards east, is 9 * r degrees: it turns through 90 degrees every
// ten records. r_j is the antenna's position in metres (east, north, 0), antenna 1 at the
// origin: a T whose bar runs east-west, its stem south, as examples/layout.toml lists them,
//   antenna  1    2    3    4    5    6    7    8    9
//   east     0   40  -40    0   80  -80    0   40  -40
//   north    0    0    0  -60    0    0 -120  -60  -60
// Antennas 1 to 4 of every shape take the same places; antennas 5 to 9 widen the bar and
// lengthen the stem. Every baseline is longer than half the shortest wavelength (26.8 m at
// 5600 kHz), so that the phase differences there wrap. The steps follow the record's own phase
// direction (the scale runs backwards for FF 0xFE, also in the records of `varied` and
// `random` that have it), so the degrees carry the same direction either way. In `varied` and
// `random` records the correction uses other parameters than the tilt, so it does not take the
// tilt off; the direction's steps are still added on top of it.
#pragma once

#include <cstdint>
#include <vector>

#include "src/header.h"
#include "tools/encoder.h"

namespace vexo::synthetic {

struct Options {
  int N = 5;               // 2^N samples per antenna and subblock
  int A = 4;               // antennas
  bool backwards = false;  // FF 0xFE: the phase scale runs backwards
  // The instrument program changes every record: D1, D2, R, X and FF take other values in
  // turn (with periods 7, 3, 4, 2 and 5 records), so that no two records in a row share the
  // phase parameters, and the parameters repeat only after 420 records.
  bool varied = false;
  // The subblocks of a record differ from those of the record before: the last r % 3
  // subblocks of record r are sounded at 1000 kHz (so a selection by frequency takes a
  // different number of subblocks from record to record).
  bool uneven = false;
  // The instrument program of random_options(r): D1, D2, R, X and FF of the record, which
  // replace the usual ones when `random` is set.
  bool random = false;
  int D1 = 0, D2 = 2, R = 0, X = 1, FF = 0x12;
};

// The antennas that have a place in the layout of the echo's direction (see above).
constexpr int kLayoutAntennas = 9;

// The number of programs that random_options draws from.
constexpr int kRandomPrograms = 1000;

// The options of record r of a file whose program changes every record: one of kRandomPrograms
// programs, each a shape N/A (among all with 2^N * A <= 2048, each shape as likely) and D1, D2
// (0..9 each), R (0..9), X (0 or 1) and FF (0x12 or 0xFE) drawn from a fixed pseudo-random
// sequence. Record r takes program perm[r % kRandomPrograms] of a fixed random permutation, so
// two records in a row never share their program. The same on every platform and every run.
Options random_options(int64_t r);

// The header of record r (counted from 0).
HeaderFields record_header(int64_t r, const Options& options);

// The descriptor of subblock i of every record. Only the first 34 descriptors fit into a
// record's own header channel; those of later subblocks (N below 5 with 4 antennas) are read
// from the bytes of the following record, as with any DFT file.
encode::DescriptorValues descriptor(int i);

// Record r as 4096 bytes.
std::vector<unsigned char> make_record(int64_t r, const Options& options);

}  // namespace vexo::synthetic
