// A record copied out of the reader, so that it outlives the reader's next step: its bytes,
// header, derived values and descriptors, handed out again as the reader hands records out.
// Copying another record into the same object keeps its storage: a set of them refilled from
// record to record allocates nothing once it has held records of every size.
//
//   vexo::Reader reader = vexo::Reader::open("day342.dft");
//   std::vector<vexo::OwnedRecord> kept;
//   while (reader.next()) kept.emplace_back(reader.record());
//   for (const vexo::OwnedRecord& copy : kept) {
//     const vexo::Record record = copy.view();  // as the reader handed it out
//     std::cout << record.number() << ": " << record.subblock_count() << " subblocks\n";
//   }
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "vexo/record.h"

namespace vexo {

class OwnedRecord {
 public:
  // No record: its view is a record of number 0, as Record() is.
  OwnedRecord() = default;
  explicit OwnedRecord(const Record& record) { assign(record); }

  // Copies the record: its bytes (when it has any), header, derived values and descriptors.
  void assign(const Record& record);

  // The copy as a record, valid until the next assign() or the copy's end.
  Record view() const;

  int64_t number() const { return number_; }
  uint64_t offset() const { return offset_; }
  // Its kRecordSize bytes; null when the record copied had none.
  const unsigned char* bytes() const { return has_bytes_ ? bytes_.data() : nullptr; }
  const HeaderFields& header() const { return header_; }
  const DerivedValues& derived() const { return derived_; }
  // One descriptor per subblock.
  const std::vector<Descriptor>& descriptors() const { return descriptors_; }

 private:
  int64_t number_ = 0;
  uint64_t offset_ = 0;
  // Read only where has_bytes_: left as it is when made (making a copy costs no clearing).
  std::array<unsigned char, kRecordSize> bytes_;
  bool has_bytes_ = false;
  HeaderFields header_;
  DerivedValues derived_;
  std::vector<Descriptor> descriptors_;
};

}  // namespace vexo
