// Subblock descriptors: decoding, subblock_count, and descriptors that run on into the bytes of
// the following record.
#include "src/descriptors.h"

#include <gtest/gtest.h>

#include "src/file_source.h"
#include "src/record_reader.h"
#include "tests/test_support.h"

namespace vexo {
namespace {

using Nibbles = std::array<int, kDescriptorNibbles>;

TEST(Descriptor, WorkedExample) {
  const Nibbles n = {0, 2, 5, 0, 0, 0, 1, 5, 0, 9, 9, 3, 1};
  Descriptor d = decode_descriptor(n, 0);
  EXPECT_EQ(d.frequency, 2500.0f);
  EXPECT_EQ(d.height, 150.0f);
  EXPECT_EQ(d.gain, 3);
  EXPECT_EQ(d.polarization, 1);
  EXPECT_EQ(decode_descriptor(n, 2).height, 187.5f);  // times 1.25 when H is 2
  EXPECT_EQ(decode_descriptor(n, 1).height, 150.0f);
}

TEST(Descriptor, DecimalNibblesAboveNineCountAsOne) {
  EXPECT_EQ(decode_descriptor({0, 0, 12, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0).frequency, 150.0f);
  const Descriptor d = decode_descriptor({15, 15, 15, 15, 15, 9, 15, 9, 9, 0, 0, 12, 12}, 2);
  EXPECT_EQ(d.frequency, 11111.0f);
  EXPECT_EQ(d.height, 9199.0f * 1.25f);  // 11498.75, exact
  EXPECT_EQ(d.gain, 1);
  EXPECT_EQ(d.polarization, 12);  // written last, so it keeps the whole nibble
}

TEST(Descriptor, UnusedNibblesChangeNothing) {
  const Descriptor a = decode_descriptor({9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 0, 7, 15}, 0);
  const Descriptor b = decode_descriptor({9, 8, 7, 6, 5, 4, 3, 2, 1, 15, 11, 7, 15}, 0);
  EXPECT_EQ(a.frequency, b.frequency);
  EXPECT_EQ(a.height, b.height);
  EXPECT_EQ(a.gain, b.gain);
  EXPECT_EQ(a.polarization, b.polarization);
  EXPECT_EQ(a.frequency, 98765.0f);
  EXPECT_EQ(a.height, 4321.0f);
}

TEST(SubblockCount, Examples) {
  EXPECT_EQ(subblock_count(4, 5), 16);
  EXPECT_EQ(subblock_count(3, 3), 85);
  EXPECT_EQ(subblock_count(1, 3), 256);
  EXPECT_EQ(subblock_count(9, 9), 0);
  EXPECT_EQ(subblock_count(1, 0), 2048);
  EXPECT_EQ(subblock_count(0, 5), 0);
  // The real quotient truncates to the whole-number quotient for every header value.
  for (int A = 1; A <= 9; ++A) {
    for (int N = 0; N <= 9; ++N) EXPECT_EQ(subblock_count(A, N), 2048 / ((1 << N) * A));
  }
}

// Decodes the first record of a file image.
RecordRead read_first(const std::vector<unsigned char>& bytes, HeaderFields& h,
                      DescriptorTable& table, std::size_t block = Reader::kDefaultBlockSize) {
  test::TempDir dir;
  test::write_file(dir.path("f.dft"), bytes);
  FileSource source(std::fopen(dir.path("f.dft").c_str(), "rb"), true);
  BlockInput input = make_block_input(&source, block);
  return read_record(input, h, &table);
}

TEST(ReadDescriptors, RewritesOnlyTheRecordsEntries) {
  HeaderFields h = test::regular_header();
  h.N = 3, h.A = 3;  // 85 subblocks
  DescriptorTable table{};
  table[84].gain = 9;
  table[85].gain = 9;
  HeaderFields decoded;
  ASSERT_EQ(read_first(test::make_record(h, 85), decoded, table).status, RecordStatus::decoded);
  EXPECT_EQ(table[33].gain, 3);
  EXPECT_EQ(table[84].gain, 0);  // beyond the end of the file
  EXPECT_EQ(table[85].gain, 9);

  h.N = 9, h.A = 9;  // no subblock at all
  table[0].gain = 8;
  ASSERT_EQ(read_first(test::make_record(h, 0), decoded, table).status, RecordStatus::decoded);
  EXPECT_EQ(table[0].gain, 8);
}

// A record of 64 one-antenna subblocks has more descriptors than its own channel holds: the
// 35th ends with the next record's nibble 0, the 36th is made of that record's nibbles 1..13.
std::vector<unsigned char> long_table_record() {
  HeaderFields h = test::regular_header();
  h.A = 1, h.N = 5, h.H = 2;
  std::vector<encode::DescriptorValues> d(64, {2500, 150, 3, 1});
  d[34] = {12345, 6789, 4, 0};
  return encode::encode_record(encode::channel_nibbles(encode::header_nibbles(h), d), {}, {});
}

TEST(ReadDescriptors, DescriptorsBeyondThe34thComeFromTheNextRecord) {
  HeaderFields next = test::regular_header();
  next.year = 26, next.day = 342, next.hour = 12, next.minute = 34, next.second = 56;
  next.sp_s = 7, next.sp_p = 8;
  const auto nibbles = encode::header_nibbles(next, 6);
  const auto second =
      encode::encode_record(std::vector<int>(nibbles.begin(), nibbles.end()), {}, {});
  const auto file = test::join({long_table_record(), second});
  for (std::size_t block : {std::size_t{1}, std::size_t{5000}, Reader::kDefaultBlockSize}) {
    DescriptorTable table{};
    HeaderFields h;
    ASSERT_EQ(read_first(file, h, table, block).status, RecordStatus::decoded);
    EXPECT_EQ(table[33].frequency, 2500.0f);
    EXPECT_EQ(table[34].frequency, 12345.0f);
    EXPECT_EQ(table[34].height, 6789.0f * 1.25f);
    EXPECT_EQ(table[34].gain, 4);
    EXPECT_EQ(table[34].polarization, 6);          // the next record's nibble 0
    EXPECT_EQ(table[35].frequency, 26342.0f);      // year and day
    EXPECT_EQ(table[35].height, 1234.0f * 1.25f);  // hour and minute
    EXPECT_EQ(table[35].gain, 7);                  // sp_s
    EXPECT_EQ(table[35].polarization, 8);          // sp_p
    EXPECT_EQ(h.A, 1);                             // the record's own header is not disturbed
  }
}

TEST(ReadDescriptors, BytesPastTheEndOfTheFileReadAsZero) {
  DescriptorTable table{};
  for (Descriptor& d : table) d = {99.0f, 99.0f, 9, 9};
  HeaderFields h;
  ASSERT_EQ(read_first(long_table_record(), h, table).status, RecordStatus::decoded);
  EXPECT_EQ(table[34].frequency, 12345.0f);
  EXPECT_EQ(table[34].polarization, 0);
  for (int s = 35; s < 64; ++s) {
    EXPECT_EQ(table[s].frequency, 0.0f);
    EXPECT_EQ(table[s].height, 0.0f);
    EXPECT_EQ(table[s].gain, 0);
    EXPECT_EQ(table[s].polarization, 0);
  }
  EXPECT_EQ(table[64].gain, 9);
}

}  // namespace
}  // namespace vexo
