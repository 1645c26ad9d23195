// A record copied out of the reader, so that it outlives the reader's next step: what a
// Python record object holds.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "vexo/reader.h"
#include "vexo/record.h"

namespace vexo::python {

struct OwnedRecord {
  int64_t number = 0;
  uint64_t offset = 0;
  std::array<unsigned char, kRecordSize> bytes{};
  HeaderFields header;
  DerivedValues derived;
  std::vector<Descriptor> descriptors;

  explicit OwnedRecord(const Record& record);
  // A view of the copy, as the reader hands records out.
  Record view() const;
};

}  // namespace vexo::python
