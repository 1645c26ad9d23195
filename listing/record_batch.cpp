#include "listing/record_batch.h"

namespace vexo {

void RecordBatch::add(const Record& record) {
  numbers_.push_back(record.number());
  offsets_.push_back(record.offset());
  bytes_.insert(bytes_.end(), record.bytes(), record.bytes() + kRecordSize);
  headers_.push_back(record.header());
  derived_.push_back(record.derived());
  first_descriptor_.push_back(descriptors_.size());
  for (int32_t i = 0; i < record.subblock_count(); ++i) {
    descriptors_.push_back(record.descriptor(i));
  }
}

void RecordBatch::clear() {
  numbers_.clear();
  offsets_.clear();
  bytes_.clear();
  headers_.clear();
  derived_.clear();
  descriptors_.clear();
  first_descriptor_.clear();
}

Record RecordBatch::view(std::size_t i) const {
  return Record(Record::Parts{numbers_[i], offsets_[i], bytes_.data() + i * kRecordSize,
                              &headers_[i], &derived_[i],
                              descriptors_.data() + first_descriptor_[i]});
}

}  // namespace vexo
