// The walk over a file's records that every reader of the library shares: decodes each
// record's header (and, when asked, its descriptors), checks it, works out its derived values
// and carries what persists from record to record (header fields that a record cannot read,
// the rate). Where it stops, and why, is the same for every reader.
#pragma once

#include <cstdint>

#include "src/block_input.h"
#include "src/descriptors.h"
#include "vexo/reader.h"

namespace vexo {

struct RecordScan {
  BlockInput input;
  HeaderFields header;  // as the next record's header starts from (R folded)
  HeaderFields shown;   // the current record's header as read
  DerivedValues derived;
  DescriptorTable descriptors{};
  Stop stop;
  int64_t record_number = 0;
  bool has_record = false;  // the input stands at a record that passed the check

  // Moves on to the next record; with_descriptors false leaves the descriptor table as it
  // was. False when it stops (stop says why; after a failed check, shown and derived are the
  // failed record's).
  bool next(bool with_descriptors);
  void stop_at(StopReason reason);
};

}  // namespace vexo
