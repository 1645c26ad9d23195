// Records copied out of the reader, so that they outlive its next step: what one worker of the
// record loop lists while the reader goes on. The storage is kept from batch to batch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vexo/record.h"

namespace vexo {

class RecordBatch {
 public:
  // Copies the record (its bytes, header, derived values and descriptors).
  void add(const Record& record);
  void clear();
  std::size_t size() const { return numbers_.size(); }
  // A view of record i of the batch, valid until the next add() or clear().
  Record view(std::size_t i) const;

 private:
  std::vector<int64_t> numbers_;
  std::vector<uint64_t> offsets_;
  std::vector<unsigned char> bytes_;
  std::vector<HeaderFields> headers_;
  std::vector<DerivedValues> derived_;
  std::vector<Descriptor> descriptors_;
  std::vector<std::size_t> first_descriptor_;
};

}  // namespace vexo
