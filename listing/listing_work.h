// The work of listing a record, counted as the listings write it: what the record loop weighs
// against the cost of handing records to worker threads (record_loop.cpp). The unit is a tenth
// of a nanosecond of one core of the 2-core machine the weights were measured on (the listing's
// CPU time in one thread, written to /dev/null, over files of one record shape each, less that
// of the same files with nothing but the walk of the subblocks); on another machine all of them
// and the costs of the batches scale alike.
#pragma once

#include <cstdint>

#include "listing/plan.h"

namespace vexo {

// A field copied from kept or tabled text: a phase in degrees from the rows of its parameter
// set, an amplitude from its table (0.8 to 0.9 ns).
constexpr int64_t kFieldWork = 9;
// A raw phase byte, " %3u" from a table of four characters (0.45 ns).
constexpr int64_t kRawFieldWork = 5;
// A phase in degrees of a record listed directly, its value worked out (3.5 ns): the first
// record of a parameter set not kept, every record where the program changes all the time.
constexpr int64_t kDirectFieldWork = 35;
// A sample added into the four-antenna sums (0.2 ns).
constexpr int64_t kSumWork = 2;
// A subblock line or an antenna line, beyond its fields (3 ns for raw bytes, 7 for a subblock
// line, 8 in degrees, 11 for amplitudes, up to 16 summed into the mean).
constexpr int64_t kLineWork = 100;
// The two header lines of a record (120 ns).
constexpr int64_t kHeaderLinesWork = 1200;

// What workers cost, in the same unit: for each record, its copy into a batch (4 KiB and its
// descriptors), the hand-over, and the writing of its text from another core's memory. Measured
// on 2 cores with a listing of one antenna at one frequency (its own work under 0.5 us a
// record): 0.6 to 0.8 us more a record on the reading thread with workers, 1.3 us more of CPU
// time in all; listings of about 1 us of work a record (one antenna of every subblock) took the
// same time either way, 1.5 us (every second subblock) a little less with workers.
constexpr int64_t kBatchRecordWork = 10000;
// Starting the workers: the threads, their buffers and batches (a file of 1 MiB took 2.6 to 3.4
// ms more with two workers than in one thread, listed as amplitudes, raw phase bytes or header
// lines only)...
constexpr int64_t kStartWork = 30000000;
// ...and, for the phase in degrees, each worker making its own table of degree fields and rows
// of kept fields: the phase in degrees with the correction of that file of three shapes took
// 4.5 ms more than its raw bytes in one thread.
constexpr int64_t kDegreeFieldsStartWork = 45000000;

// What starting `threads` workers costs for the listing of `plan`.
inline int64_t worker_start_work(const ListingPlan& plan, int threads) {
  const bool degrees = plan.kind == ListingKind::phase && !plan.raw_samples;
  return kStartWork + (degrees ? threads * kDegreeFieldsStartWork : 0);
}

}  // namespace vexo
