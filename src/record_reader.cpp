#include "src/record_reader.h"

namespace vexo {

RecordRead read_record(BlockInput& input, HeaderFields& header, DescriptorTable* table) {
  RecordRead result;
  if (!fill_input(input, kMaxRecordReach)) {
    result.status = RecordStatus::read_error;
    return result;
  }
  const RecordView view = current_record(input);
  result.available = view.size;
  if (view.size == 0) {
    result.status = RecordStatus::end_of_file;
    return result;
  }
  result.first_byte = view.bytes[0];
  if (result.first_byte != kRecordMarker) {
    result.status = RecordStatus::bad_marker;
    return result;
  }
  if (view.size < kRecordSize) {
    // Decoding it would mean inventing the missing samples.
    result.status = RecordStatus::truncated;
    return result;
  }
  read_header(view, header);
  if (table != nullptr) read_descriptors(view, header, *table);
  result.status = RecordStatus::decoded;
  return result;
}

}  // namespace vexo
