#include "python/src/owned_record.h"

#include <cstring>

namespace vexo::python {

OwnedRecord::OwnedRecord(const Record& record)
    : number(record.number()),
      offset(record.offset()),
      header(record.header()),
      derived(record.derived()) {
  if (record.bytes() != nullptr) std::memcpy(bytes.data(), record.bytes(), kRecordSize);
  descriptors.reserve(static_cast<std::size_t>(record.subblock_count()));
  for (int32_t s = 0; s < record.subblock_count(); ++s) descriptors.push_back(record.descriptor(s));
}

Record OwnedRecord::view() const {
  return Record(Record::Parts{number, offset, bytes.data(), &header, &derived, descriptors.data()});
}

}  // namespace vexo::python
