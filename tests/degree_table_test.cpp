// The phase fields of records listed directly, found from the table of fields by value
// (DegreeFieldTable): every 32-bit real of the table's range gets the field that the direct
// computation writes, and whole listings with the table equal those without it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "listing/phase_fields.h"
#include "listing/text/text_format.h"
#include "tests/test_support.h"
#include "tools/synthetic.h"
#include "vexo/vexo.h"

namespace vexo {
namespace {

float next_up(float v) {
  return std::nextafter(v, 1e30f);
}

struct RangeResult {
  long long checked = 0, direct = 0, wrong = 0;
  float first_wrong = 0.0f;
};

// Every real from `from` up to `to` (both kept away from 0 by the caller) against the direct
// computation of phase_degrees_run, the values as a record listed directly has them.
RangeResult check_range(DegreeFieldTable& table, float from, float to) {
  PhaseParameters p;
  p.corrected = true, p.phase_offset = table.phase_offset(), p.phase_sign = table.phase_sign();
  constexpr std::size_t kBatch = 4096;
  std::vector<unsigned char> zeros(kBatch, 0);
  std::vector<long double> terms(kBatch);
  std::vector<float> values(kBatch), degrees(kBatch);
  RangeResult result;
  float v = from;
  while (v < to) {
    std::size_t count = 0;
    for (; count < kBatch && v < to; ++count, v = next_up(v)) {
      values[count] = v;
      terms[count] = -static_cast<long double>(v);  // sample 0 less the term: v
    }
    phase_degrees_run(zeros.data(), terms.data(), count, p, degrees.data());
    for (std::size_t i = 0; i < count; ++i) {
      const uint16_t field = table.field_of(values[i]);
      ++result.checked;
      if (field == DegreeFieldTable::kDirect) {
        ++result.direct;
        continue;
      }
      char expected[kFixedMax + 2];
      const std::size_t size =
          static_cast<std::size_t>(put_degree_field(expected, degrees[i]) - expected);
      char got[8];
      std::memcpy(got, &table.texts()[field], 8);
      if (size != table.lengths()[field] || std::memcmp(got, expected, size) != 0) {
        if (result.wrong++ == 0) result.first_wrong = values[i];
      }
    }
  }
  return result;
}

TEST(DegreeFieldTable, EveryRealOfTheRangeGetsItsDirectField) {
  // Forwards and backwards, each in a thread; every real from the low end to -1/4 and from 1/4
  // to the high end (the cells next to 0 have no fields).
  RangeResult results[2][2];
  std::vector<std::thread> threads;
  for (int d = 0; d < 2; ++d) {
    threads.emplace_back([d, &results] {
      DegreeFieldTable table(d == 0 ? 0 : 255, d == 0 ? 1 : -1);
      results[d][0] = check_range(table, DegreeFieldTable::kLow, -0.25f);
      results[d][1] = check_range(table, 0.25f, DegreeFieldTable::kHigh);
    });
  }
  for (auto& thread : threads) thread.join();
  for (int d = 0; d < 2; ++d) {
    for (int side = 0; side < 2; ++side) {
      const RangeResult& r = results[d][side];
      SCOPED_TRACE(d == 0 ? "forwards" : "backwards");
      EXPECT_EQ(r.wrong, 0) << "first at " << r.first_wrong;
      // 12 binades of 2^23 reals each, and a quarter of a 13th above 1024.
      EXPECT_EQ(r.checked, side == 0 ? 12LL << 23 : (12LL << 23) + (1LL << 21));
    }
  }
}

TEST(DegreeFieldTable, FieldsForNearlyEveryValueOfTheRange) {
  // On a grid of 1/64 across the range, at most 3% of the values are left to the direct
  // computation: the cells near 0 and those with two steps or long fields.
  for (const int direction : {1, -1}) {
    DegreeFieldTable table(direction == 1 ? 0 : 255, direction);
    int direct = 0, count = 0;
    for (float v = DegreeFieldTable::kLow; v < DegreeFieldTable::kHigh; v += 1.0f / 64, ++count) {
      direct += table.field_of(v) == DegreeFieldTable::kDirect ? 1 : 0;
    }
    EXPECT_LT(direct, count * 3 / 100) << "direction " << direction;
    // Outside the range: always worked out.
    EXPECT_EQ(table.field_of(DegreeFieldTable::kHigh + 3.0f), DegreeFieldTable::kDirect);
    EXPECT_EQ(table.field_of(DegreeFieldTable::kLow - 3.0f), DegreeFieldTable::kDirect);
    EXPECT_EQ(table.field_of(1e30f), DegreeFieldTable::kDirect);
    EXPECT_EQ(table.field_of(0.0f), DegreeFieldTable::kDirect);
  }
  // Fields by hand: 128 on the scale is 180 degrees forwards (and 127 backwards, 255 - 128);
  // 300 forwards is past 2 pi: 44 units, 61.875 degrees, " 62".
  DegreeFieldTable forwards(0, 1), backwards(255, -1);
  const auto text = [](DegreeFieldTable& t, float v) {
    const uint16_t field = t.field_of(v);
    char chars[8];
    std::memcpy(chars, &t.texts()[field], 8);
    return std::string(chars, t.lengths()[field]);
  };
  EXPECT_EQ(text(forwards, 128.0f), " 180");
  EXPECT_EQ(text(backwards, 128.0f), " 179");
  EXPECT_EQ(text(forwards, 300.0f), "  62");
  EXPECT_EQ(text(forwards, -64.0f), " 270");  // -90 degrees, 360 added
}

// The phase listing of every line of every record, with the correction or without, into a
// string; the table used or not.
std::string listing_of(const std::vector<unsigned char>& file, bool correction, bool use_table) {
  std::FILE* f = std::tmpfile();
  ListingOutput out = make_listing_output(f, kMinListingBufferSize);  // flushed often
  PhaseFields fields(use_table);
  Reader reader = Reader::over_memory(file.data(), file.size());
  while (reader.next()) {
    const Record& record = reader.record();
    if (record.subblock_count() == 0) continue;
    fields.begin_record(phase_parameters(record, correction));
    for (int32_t i = 0; i < record.subblock_count(); ++i) {
      for (int32_t j = 0; j < record.antenna_count(); ++j) {
        char* p = reserve_text(out, 1);
        p = fields.put_line(out, p, record.phase(i, j), j);
        if (p > room_limit(out, 1)) p = flush_at(out, p);
        *p++ = '\n';
        commit_text(out, p);
      }
    }
  }
  flush_listing(out);
  std::string text(static_cast<std::size_t>(std::ftell(f)), '\0');
  std::rewind(f);
  const std::size_t got = std::fread(&text[0], 1, text.size(), f);
  std::fclose(f);
  text.resize(got);
  return text;
}

TEST(DegreeFieldTable, ListingsWithTheTableEqualThoseWithout) {
  std::vector<std::vector<unsigned char>> random, varied;
  for (int r = 0; r < 1200; ++r) {
    random.push_back(synthetic::make_record(r, synthetic::random_options(r)));
    synthetic::Options o;
    o.N = r % 3 == 0 ? 7 : 4, o.A = r % 3 == 0 ? 2 : 8, o.varied = true, o.backwards = r % 2;
    varied.push_back(synthetic::make_record(r, o));
  }
  for (const auto& file : {test::join(random), test::join(varied)}) {
    for (const bool correction : {true, false}) {
      const std::string with = listing_of(file, correction, true);
      const std::string without = listing_of(file, correction, false);
      EXPECT_GT(with.size(), file.size() / 2);
      EXPECT_TRUE(with == without) << "correction " << correction;
    }
  }
}

}  // namespace
}  // namespace vexo
