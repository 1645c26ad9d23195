#include "vexo/owned_record.h"

#include <algorithm>

namespace vexo {

void OwnedRecord::assign(const Record& record) {
  number_ = record.number();
  offset_ = record.offset();
  has_bytes_ = record.bytes() != nullptr;
  if (has_bytes_) std::copy(record.bytes(), record.bytes() + kRecordSize, bytes_.begin());
  header_ = record.header();
  derived_ = record.derived();
  const std::size_t count = static_cast<std::size_t>(record.subblock_count());
  descriptors_.resize(count);
  for (std::size_t s = 0; s < count; ++s) {
    descriptors_[s] = record.descriptor(static_cast<int32_t>(s));
  }
}

Record OwnedRecord::view() const {
  return Record(Record::Parts{number_, offset_, bytes(), &header_, &derived_, descriptors_.data()});
}

}  // namespace vexo
