#include "src/record_scan.h"

#include "src/record_reader.h"
#include "src/record_values.h"

namespace vexo {

void RecordScan::stop_at(StopReason reason) {
  stop.reason = reason;
  stop.record_number = record_number;
  stop.offset = input.start_offset;
}

bool RecordScan::next(bool with_descriptors) {
  if (stop.reason != StopReason::none) return false;
  if (has_record) advance_record(input);
  has_record = false;
  ++record_number;
  const RecordRead read = read_record(input, header, with_descriptors ? &descriptors : nullptr);
  switch (read.status) {
    case RecordStatus::decoded:
      break;
    case RecordStatus::end_of_file:
      stop_at(StopReason::end_of_file);
      return false;
    case RecordStatus::bad_marker:
      stop_at(StopReason::bad_marker);
      stop.first_byte = read.first_byte;
      return false;
    case RecordStatus::truncated:
      stop_at(StopReason::truncated);
      stop.available = read.available;
      return false;
    case RecordStatus::read_error:
      stop_at(StopReason::read_error);
      stop.error_number = input.read_error;
      return false;
  }
  shown = header;
  if (!record_passes_check(header)) {
    DerivedValues none;
    none.rate = derived.rate;
    none.rate_known = derived.rate_known;
    derived = none;
    stop_at(StopReason::check_failed);
    stop.no_antennas = header.A == 0;
    return false;
  }
  derive_values(header, derived);
  has_record = true;
  return true;
}

}  // namespace vexo
