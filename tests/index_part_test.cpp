// The index and the parts: the index stops where the reader stops and knows of every record
// what its values depend on, and a part read from the middle of a file holds exactly what the
// reader gives for its records.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

#include "tests/test_support.h"
#include "tools/synthetic.h"
#include "vexo/vexo.h"

namespace vexo {
namespace {

// Records of shape N 5, A 4 with random samples: record 1 sets the rate 100 (R 2), records 2
// to 7 cannot set one (R 1) and keep it, record 4 halves nothing (X 1 only matters where R
// sets a rate), records 5 and 6 run the phase scale backwards, record 6 has no line spacing.
// Subblocks alternate between 2500 and 3200 kHz; record 3 has none at 3200.
std::vector<unsigned char> kept_rate_file() {
  std::mt19937 random(7);
  std::vector<std::vector<unsigned char>> records;
  for (int r = 0; r < 7; ++r) {
    HeaderFields h = test::regular_header();
    h.second = r;
    h.R = r == 0 ? 2 : 1;
    h.X = r == 3 ? 1 : 0;
    h.FF = r == 4 || r == 5 ? 0xFE : 0;
    h.D1 = r == 5 ? 0 : 8 + r, h.D2 = r == 5 ? 0 : 2;
    std::vector<encode::DescriptorValues> d;
    for (int s = 0; s < 16; ++s)
      d.push_back({s % 2 == 0 || r == 2 ? 2500 : 3200, 100 + s, 3, s % 3});
    std::vector<unsigned char> amplitude(kSamplesPerKind), phase(kSamplesPerKind);
    for (auto& b : amplitude) b = static_cast<unsigned char>(random());
    for (auto& b : phase) b = static_cast<unsigned char>(random());
    records.push_back(encode::encode_record(encode::channel_nibbles(encode::header_nibbles(h), d),
                                            amplitude, phase));
  }
  return test::join(records);
}

// The values of the reader's records, [record][place][antenna][line], as vexo/values.h gives
// them one by one; the places a record does not fill as a part leaves them.
struct Expected {
  std::vector<uint8_t> phase, amplitude;
  std::vector<float> degrees, db;
  std::vector<int16_t> number;
  std::vector<float> frequency;
};

Expected expected(const std::vector<unsigned char>& file, const Selection& s, bool correct,
                  int32_t width) {
  Expected out;
  Reader reader = Reader::over_memory(file.data(), file.size());
  while (reader.next()) {
    const Record& r = reader.record();
    if (!s.takes_record(r.number())) continue;
    const PhaseParameters p = phase_parameters(r, correct);
    const std::vector<int32_t> antennas = s.antenna_indexes(r.antenna_count());
    int32_t places = 0;
    for (int32_t i = 0; i < r.subblock_count(); ++i) {
      if (!s.takes_subblock(r.descriptor(i))) continue;
      ++places;
      out.number.push_back(static_cast<int16_t>(i));
      out.frequency.push_back(r.descriptor(i).frequency);
      for (int32_t j : antennas) {
        for (std::size_t k = 0; k < r.phase(i, j).size(); ++k) {
          const unsigned char ph = r.phase(i, j)[k], am = r.amplitude(i, j)[k];
          out.phase.push_back(ph);
          out.amplitude.push_back(am);
          out.degrees.push_back(phase_degrees(ph, j, static_cast<int32_t>(k), p));
          out.db.push_back(static_cast<float>(amplitude_db(am)));
        }
      }
    }
    for (; places < width; ++places) {
      out.number.push_back(-1);
      out.frequency.push_back(NAN);
      const std::size_t n = antennas.size() * static_cast<std::size_t>(r.sample_count());
      out.phase.insert(out.phase.end(), n, 0);
      out.amplitude.insert(out.amplitude.end(), n, 0);
      out.degrees.insert(out.degrees.end(), n, NAN);
      out.db.insert(out.db.end(), n, NAN);
    }
  }
  return out;
}

// Bitwise: NaN places equal NaN places, and every value to the last bit.
template <typename T>
void expect_same(const std::vector<T>& want, const T* got, std::size_t from, const char* what) {
  for (std::size_t i = 0; i < want.size() - from; ++i) {
    ASSERT_EQ(std::memcmp(&want[from + i], &got[i], sizeof(T)), 0) << what << " at " << i;
  }
}

TEST(IndexPart, IndexStopsWhereTheReaderStops) {
  std::vector<unsigned char> good = kept_rate_file();
  std::vector<unsigned char> bad_marker = good, truncated = good, failed = good;
  bad_marker[3 * kRecordSize] = 65;
  truncated.resize(5 * kRecordSize + 100);
  HeaderFields h = test::regular_header();
  h.l = 0;  // fails the check
  const std::vector<unsigned char> failing = test::make_record(h);
  std::copy(failing.begin(), failing.end(), failed.begin() + 2 * kRecordSize);
  for (const auto* file : {&good, &bad_marker, &truncated, &failed}) {
    Reader reader = Reader::over_memory(file->data(), file->size());
    const Index index = Index::of_memory(file->data(), file->size());
    std::size_t i = 0;
    for (; reader.next(); ++i) {
      ASSERT_LT(i, index.entries().size());
      const Record& r = reader.record();
      const IndexEntry& e = index.entries()[i];
      EXPECT_EQ(e.number, r.number());
      EXPECT_EQ(e.offset, r.offset());
      EXPECT_EQ(e.second, r.header().second);
      EXPECT_EQ(e.subblock_count, r.subblock_count());
      EXPECT_EQ(e.line_spacing, r.derived().line_spacing);
      EXPECT_EQ(std::isnan(e.rate) ? 0.0 : e.rate, r.derived().rate);
      EXPECT_EQ(e.backwards != 0, r.derived().phase_sign < 0);
    }
    EXPECT_EQ(i, index.entries().size());
    EXPECT_EQ(describe(index.stop()), describe(reader.stop()));
  }
  EXPECT_EQ(Index::of_memory(bad_marker.data(), bad_marker.size()).entries().size(), 3u);
  // Records 2 to 7 keep the rate of record 1: 100.
  const Index index = Index::of_memory(good.data(), good.size());
  for (const IndexEntry& e : index.entries()) EXPECT_EQ(e.rate, 100.0) << e.number;
}

TEST(IndexPart, SelectionsAreCheckedWhereTheyEnter) {
  const std::vector<unsigned char> file = kept_rate_file();  // records 1 to 7
  auto source = RandomSource::over_memory(file.data(), file.size());
  // Ranges out of order, overlapping and meeting: records 1 to 4, then 6.
  Selection s;
  s.records = {{6, 6}, {1, 2}, {2, 3}, {4, 4}};
  const Index index = Index::of_memory(file.data(), file.size(), s);
  EXPECT_EQ(index.entries().size(), 6u);  // up to record 6, the last asked for
  EXPECT_FALSE(index.read_to_end());
  const PartReader parts(*source, s);
  EXPECT_EQ(parts.selection().records, (std::vector<std::pair<int64_t, int64_t>>{{1, 4}, {6, 6}}));
  EXPECT_FALSE(parts.selection().takes_record(5));
  // Of many ranges, each record found: records 3 + 7k below 10^4, then 2^62 alone.
  Selection many;
  for (int64_t r = 3; r < 10000; r += 7) many.records.push_back({r, r});
  many.records.push_back({int64_t{1} << 62, int64_t{1} << 62});
  many = many.checked();
  for (int64_t r = -2; r < 10010; ++r) {
    ASSERT_EQ(many.takes_record(r), r >= 3 && r < 10000 && r % 7 == 3) << r;
  }
  EXPECT_TRUE(many.takes_record(int64_t{1} << 62));
  EXPECT_FALSE(many.takes_record((int64_t{1} << 62) - 1));
  // What cannot be mended is refused, with the fault's text, before anything is read.
  std::vector<Selection> faulty(4);
  faulty[0].antennas = {2, 2};
  faulty[1].frequencies = {NAN};
  faulty[2].records = {{0, 3}};
  faulty[3].records = {{5, 3}, {4, 6}};  // not mended by {4, 6}
  for (const Selection& bad : faulty) {
    ASSERT_NE(bad.fault(), nullptr);
    try {
      Index::of_file("no such file.dft", bad);
      ADD_FAILURE() << bad.fault();
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), bad.fault());
    }
    EXPECT_THROW(Index::of_memory(file.data(), file.size(), bad), std::invalid_argument);
    EXPECT_THROW((PartReader{*source, bad}), std::invalid_argument);
  }
}

TEST(IndexPart, PartsFromTheMiddleEqualTheWholeRead) {
  const std::vector<unsigned char> file = kept_rate_file();
  struct Case {
    Selection s;
    bool correct;
  };
  Selection at3200;
  at3200.frequencies = {3200};
  at3200.antennas = {3, 1};
  Selection some;
  some.records = {{2, 3}, {5, 7}};
  some.polarizations = {0, 2};
  for (const Case& c :
       {Case{Selection(), true}, Case{Selection(), false}, Case{at3200, true}, Case{some, true}}) {
    const Index index = Index::of_memory(file.data(), file.size(), c.s);
    std::vector<IndexEntry> entries;
    int32_t width = 0;
    for (const IndexEntry& e : index.entries()) {
      if (!c.s.takes_record(e.number)) continue;
      entries.push_back(e);
      width = std::max<int32_t>(width, e.taken_subblocks);
    }
    const Expected want = expected(file, c.s, c.correct, width);
    const std::size_t per_record = want.phase.size() / entries.size();
    const std::size_t places = static_cast<std::size_t>(width);
    auto source = RandomSource::over_memory(file.data(), file.size());
    // Every start, one record to the end, each from a reader of its own (nothing kept from
    // the records before).
    for (std::size_t first = 0; first < entries.size(); ++first) {
      const std::size_t count = entries.size() - first;
      std::vector<uint8_t> phase(count * per_record), amplitude(count * per_record);
      std::vector<float> degrees(count * per_record), db(count * per_record);
      std::vector<int16_t> number(count * places);
      std::vector<float> frequency(count * places);
      PartArrays arrays;
      arrays.phase = phase.data(), arrays.amplitude = amplitude.data();
      arrays.phase_degrees = degrees.data(), arrays.amplitude_db = db.data();
      arrays.subblock_number = number.data(), arrays.frequency = frequency.data();
      PartReader parts(*source, c.s, c.correct);
      ASSERT_TRUE(parts.read(entries.data() + first, count, width, arrays)) << parts.error();
      expect_same(want.phase, phase.data(), first * per_record, "phase");
      expect_same(want.amplitude, amplitude.data(), first * per_record, "amplitude");
      expect_same(want.degrees, degrees.data(), first * per_record, "phase_degrees");
      expect_same(want.db, db.data(), first * per_record, "amplitude_db");
      expect_same(want.number, number.data(), first * places, "subblock_number");
      expect_same(want.frequency, frequency.data(), first * places, "frequency");
    }
  }
}

TEST(IndexPart, AFileChangedSinceItWasIndexedIsCaughtAtItsFirstChangedRecord) {
  // Record 3 (at byte 8192) overwritten in place with one of another second, FREQ, shape,
  // phase direction, rate or line spacing: the read of records 1 to 7 stops there, by name; the
  // file as it was reads.
  const std::vector<unsigned char> file = kept_rate_file();
  test::TempDir dir;
  const std::string path = dir.path("x.dft");
  test::write_file(path, file);
  const Index index = Index::of_file(path);
  ASSERT_EQ(index.entries().size(), 7u);
  int error = 0;
  auto source = RandomSource::open(path, error);
  ASSERT_TRUE(source) << error;
  PartReader parts(*source, Selection());
  std::vector<float> room(7 * 16 * 4 * 32);
  PartArrays arrays;
  arrays.phase_degrees = room.data();
  auto record_with = [](auto change) {
    HeaderFields h = test::regular_header();
    h.second = 2, h.R = 1, h.D1 = 10, h.D2 = 2;
    change(h);
    return test::make_record(h, 16, 1, 1);  // 16 subblocks: N 5, A 4 as N 4, A 8
  };
  const std::vector<std::vector<unsigned char>> changed{
      record_with([](HeaderFields& h) { h.second = 40; }),
      record_with([](HeaderFields& h) { h.FREQ = 4000; }),
      record_with([](HeaderFields& h) { h.N = 4, h.A = 8; }),
      record_with([](HeaderFields& h) { h.FF = 0xFE; }),
      record_with([](HeaderFields& h) { h.R = 3; }),     // a rate of its own, 200
      record_with([](HeaderFields& h) { h.D1 = 11; })};  // another line spacing
  for (const auto& record : changed) {
    std::vector<unsigned char> now = file;
    std::copy(record.begin(), record.end(), now.begin() + 2 * kRecordSize);
    test::write_file(path, now);
    EXPECT_FALSE(parts.read(index.entries().data(), 7, 16, arrays));
    EXPECT_EQ(parts.error(),
              "record 3 at byte 8192: the file no longer holds the record its index has "
              "(changed since)");
  }
  test::write_file(path, file);
  EXPECT_TRUE(parts.read(index.entries().data(), 7, 16, arrays)) << parts.error();
}

TEST(IndexPart, PartsOfAFileOfManyShapesFromAFile) {
  // Every shape's records, read from the file in two halves, as the reader gives them.
  std::vector<std::vector<unsigned char>> records;
  const int shapes[][2] = {{5, 4}, {0, 1}, {9, 4}, {5, 4}, {3, 4}, {8, 8}, {5, 4}};
  for (int r = 0; r < 7; ++r) {
    synthetic::Options o;
    o.N = shapes[r][0], o.A = shapes[r][1], o.varied = true;
    records.push_back(synthetic::make_record(r, o));
  }
  const std::vector<unsigned char> file = test::join(records);
  test::TempDir dir;
  test::write_file(dir.path("x.dft"), file);
  const Index index = Index::of_file(dir.path("x.dft"));
  ASSERT_EQ(index.shapes().size(), 5u);
  EXPECT_EQ(index.shapes()[0].records, 3);
  int error = 0;
  auto source = RandomSource::open(dir.path("x.dft"), error);
  ASSERT_TRUE(source) << error;
  PartReader parts(*source, Selection());
  for (const IndexEntry& e : index.entries()) {
    const std::size_t n = std::size_t(e.subblock_count) * e.A << e.N;
    std::vector<float> degrees(n);
    PartArrays arrays;
    arrays.phase_degrees = degrees.data();
    ASSERT_TRUE(parts.read(&e, 1, e.subblock_count, arrays)) << parts.error();
    Selection one;
    one.records = {{e.number, e.number}};
    const Expected want = expected(file, one, true, e.subblock_count);
    expect_same(want.degrees, degrees.data(), 0, "phase_degrees");
  }
  // A part of two shapes, and a record whose bytes are gone, are refused with a reason.
  std::vector<float> room(1 << 16);
  PartArrays arrays;
  arrays.phase_degrees = room.data();
  EXPECT_FALSE(parts.read(index.entries().data(), 2, 16, arrays));
  EXPECT_NE(parts.error().find("one shape"), std::string::npos) << parts.error();
  IndexEntry gone = index.entries()[0];
  gone.offset = file.size();
  EXPECT_FALSE(parts.read(&gone, 1, 16, arrays));
  EXPECT_NE(parts.error().find("changed since"), std::string::npos) << parts.error();
  // Entries no index makes are refused before anything is read: more subblocks than the
  // shape has, or a shape outside the header's digits.
  for (auto change :
       {+[](IndexEntry& e) { e.subblock_count = 200; }, +[](IndexEntry& e) { e.N = 14; },
        +[](IndexEntry& e) { e.A = 0; }, +[](IndexEntry& e) { e.taken_subblocks = 17; }}) {
    IndexEntry odd = index.entries()[0];
    change(odd);
    EXPECT_FALSE(parts.read(&odd, 1, 16, arrays));
    EXPECT_NE(parts.error().find("not an entry of an index"), std::string::npos);
  }
}

}  // namespace
}  // namespace vexo
