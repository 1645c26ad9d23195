// Fuzz target: any bytes as a DFT file, read record by record to the end.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "src/block_input.h"
#include "src/file_source.h"
#include "src/record_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  // Once with blocks larger than the input, once with blocks of about a record, so that the
  // buffer is refilled in the middle of records and of their header channels.
  for (std::size_t block : {std::size_t{1} << 16, std::size_t{5000}}) {
    std::FILE* file = size == 0 ? std::fopen("/dev/null", "rb")
                                : fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (file == nullptr) return 0;
    vexo::FileSource source(file, false);
    vexo::BlockInput input = vexo::make_block_input(&source, block);
    vexo::HeaderFields header;
    auto table = std::make_unique<vexo::DescriptorTable>();
    std::size_t records = 0;
    for (;;) {
      const vexo::RecordRead read = vexo::read_record(input, header, table.get());
      if (read.status != vexo::RecordStatus::decoded) break;
      if (input.start_offset % vexo::kRecordSize != 0) __builtin_trap();
      vexo::advance_record(input);
      ++records;
    }
    if (records > size / vexo::kRecordSize) __builtin_trap();  // a record out of nothing
    std::fclose(file);
  }
  return 0;
}
