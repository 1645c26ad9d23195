// The record reader: marker test, the header channel's nibbles, truncated records and the block
// reading of the file.
#include "src/record_reader.h"

#include <gtest/gtest.h>

#include <memory>

#include "src/file_source.h"
#include "tests/test_support.h"

namespace vexo {
namespace {

struct RawReader {
  explicit RawReader(const std::vector<unsigned char>& bytes,
                     std::size_t block = Reader::kDefaultBlockSize) {
    test::write_file(dir.path("f.dft"), bytes);
    source = std::make_unique<FileSource>(std::fopen(dir.path("f.dft").c_str(), "rb"), true);
    input = make_block_input(source.get(), block);
  }
  RecordRead read() { return read_record(input, header, &table); }

  test::TempDir dir;
  std::unique_ptr<FileSource> source;
  BlockInput input;
  HeaderFields header;
  DescriptorTable table{};
};

TEST(Nibble, BitZeroOfFourChannelBytes) {
  std::vector<unsigned char> record(kRecordSize, 0);
  record[4] = 0x0A, record[5] = 0x01, record[6] = 0xFF, record[7] = 0x00;
  const RecordView view{record.data(), record.size()};
  EXPECT_EQ(read_nibble(view, 1), 6);
}

TEST(Nibble, TheChannelSkipsThePhaseRuns) {
  std::vector<unsigned char> record(kRecordSize, 0);
  for (int i = 128; i < 256; ++i) record[i] = 1;  // phase run: never part of the channel
  record[124] = record[125] = record[126] = record[127] = 1;  // nibble 31
  record[256] = 1, record[258] = 1;                           // nibble 32: 0101
  record[360 + 3] = 1;                                        // nibble 58, first descriptor
  record[512] = 1;                                            // nibble 64, third run
  const RecordView view{record.data(), record.size()};
  EXPECT_EQ(read_nibble(view, 31), 15);
  EXPECT_EQ(read_nibble(view, 32), 5);
  EXPECT_EQ(read_nibble(view, 33), 0);
  EXPECT_EQ(read_nibble(view, 58), 8);
  EXPECT_EQ(read_nibble(view, 64), 1);
}

// Bit 0 of every byte of one pattern, counted straight from the layout: channel byte c lies in
// amplitude run c / 128 (every 256 bytes) at place c % 128; past `size` bytes it reads as 0.
int expected_nibble(const std::vector<unsigned char>& bytes, std::size_t size, std::size_t n) {
  int nibble = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    const std::size_t c = 4 * n + i;
    const std::size_t offset = 256 * (c / 128) + c % 128;
    if (offset < size && (bytes[offset] & 1) != 0) nibble |= 1 << i;
  }
  return nibble;
}

TEST(Nibble, EveryGatherFollowsTheLayoutUpToAnyEndOfFile) {
  // Four groups: 128 nibbles in four runs. The pattern's bit 0 varies from byte to byte in no
  // short period, and every other bit is set now and then so that only bit 0 may count.
  std::vector<unsigned char> bytes(4 * kGroupSize);
  uint32_t state = 12345;
  for (unsigned char& b : bytes) {
    state = state * 1103515245u + 12345u;
    b = static_cast<unsigned char>(state >> 16);
  }
  constexpr std::size_t kNibbles = 4 * kRunNibbles;
  // Both gathers of whole runs, bit by bit.
  for (std::size_t r = 0; r < 4; ++r) {
    uint64_t fast[kWordsPerRun], portable[kWordsPerRun];
    gather_run(bytes.data() + kGroupSize * r, fast);
    gather_run_portable(bytes.data() + kGroupSize * r, portable);
    for (std::size_t n = 0; n < kRunNibbles; ++n) {
      const int want = expected_nibble(bytes, bytes.size(), kRunNibbles * r + n);
      EXPECT_EQ(nibble_of(fast, n), want) << r << " " << n;
      EXPECT_EQ(nibble_of(portable, n), want) << r << " " << n;
    }
  }
  // The file ending at every byte: the whole channel, and stretches starting inside a run.
  for (std::size_t size = 0; size <= bytes.size(); ++size) {
    const RecordView view{bytes.data(), size};
    int nibbles[kNibbles];
    read_nibbles(view, 0, kNibbles, nibbles);
    for (std::size_t n = 0; n < kNibbles; ++n) {
      ASSERT_EQ(nibbles[n], expected_nibble(bytes, size, n)) << size << " " << n;
    }
    for (int first : {1, 31, 33, 58, 127}) {
      read_nibbles(view, first, static_cast<int>(kNibbles) - first, nibbles);
      for (std::size_t n = static_cast<std::size_t>(first); n < kNibbles; ++n) {
        ASSERT_EQ(nibbles[n - first], expected_nibble(bytes, size, n)) << size << " " << n;
      }
    }
  }
}

TEST(ReadRecord, EmptyFileIsTheEnd) {
  RawReader r({});
  EXPECT_EQ(r.read().status, RecordStatus::end_of_file);
}

TEST(ReadRecord, WrongMarker) {
  auto record = test::make_record(test::regular_header());
  record[0] = 11;
  RawReader r(record);
  const RecordRead read = r.read();
  EXPECT_EQ(read.status, RecordStatus::bad_marker);
  EXPECT_EQ(read.first_byte, 11);
  EXPECT_EQ(r.header.A, 0);  // nothing decoded
}

TEST(ReadRecord, TruncatedRecordIsNotDecoded) {
  auto bytes = test::join({test::make_record(test::regular_header())});
  bytes.resize(kRecordSize - 1);
  RawReader r(bytes);
  const RecordRead read = r.read();
  EXPECT_EQ(read.status, RecordStatus::truncated);
  EXPECT_EQ(read.available, kRecordSize - 1);
  EXPECT_EQ(r.header.A, 0);
  EXPECT_EQ(r.table[0].frequency, 0.0f);
}

TEST(ReadRecord, RecordsFollowEvery4096Bytes) {
  HeaderFields h = test::regular_header();
  std::vector<std::vector<unsigned char>> records;
  for (int second = 0; second < 5; ++second) {
    h.second = second;
    records.push_back(test::make_record(h));
  }
  const auto bytes = test::join(records);
  // Small blocks make records and their channel reach straddle the buffer refills.
  for (std::size_t block : {std::size_t{1}, std::size_t{4097}, Reader::kDefaultBlockSize}) {
    RawReader r(bytes, block);
    for (int second = 0; second < 5; ++second) {
      ASSERT_EQ(r.read().status, RecordStatus::decoded) << block;
      EXPECT_EQ(r.header.second, second);
      EXPECT_EQ(r.header.day, 342);
      EXPECT_EQ(r.table[15].frequency, 2500.0f);
      EXPECT_EQ(r.input.start_offset, static_cast<uint64_t>(second) * kRecordSize);
      advance_record(r.input);
    }
    EXPECT_EQ(r.read().status, RecordStatus::end_of_file);
  }
}

}  // namespace
}  // namespace vexo
