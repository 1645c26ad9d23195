// The file whose program changes every record (make_dft ... random): every record passes the
// check and carries the program it was drawn with, no two records in a row share a program,
// and the programs cover every shape and the range of each parameter.
#include <gtest/gtest.h>

#include <set>
#include <tuple>
#include <vector>

#include "tests/test_support.h"
#include "tools/synthetic.h"
#include "vexo/vexo.h"

namespace vexo {
namespace {

using Program = std::tuple<int, int, int, int, int, int, int>;  // N, A, D1, D2, R, X, FF

TEST(RandomPrograms, EveryRecordPassesWithItsOwnProgram) {
  constexpr int kRecords = 2500;  // two and a half rounds of the thousand programs
  std::vector<std::vector<unsigned char>> parts;
  for (int r = 0; r < kRecords; ++r) {
    parts.push_back(synthetic::make_record(r, synthetic::random_options(r)));
  }
  const std::vector<unsigned char> file = test::join(parts);
  Reader reader = Reader::over_memory(file.data(), file.size());
  std::set<Program> programs;
  std::set<std::pair<int, int>> shapes;
  std::set<int> d1, d2, rs, xs, ffs;
  Program before{};
  int count = 0;
  while (reader.next()) {
    const Record& record = reader.record();
    const HeaderFields& h = record.header();
    const Program program{h.N, h.A, h.D1, h.D2, h.R, h.X, h.FF};
    const synthetic::Options o = synthetic::random_options(count);
    EXPECT_EQ(program, Program(o.N, o.A, o.D1, o.D2, o.R, o.X, o.FF)) << "record " << count;
    EXPECT_LE((1 << h.N) * h.A, 2048);
    EXPECT_EQ(record.subblock_count(), 4096 / ((1 << h.N) * 2 * h.A));
    if (count > 0) {
      EXPECT_NE(program, before) << "record " << count;
    }
    before = program;
    if (count < 1000) programs.insert(program);
    shapes.insert({h.N, h.A});
    d1.insert(h.D1), d2.insert(h.D2), rs.insert(h.R), xs.insert(h.X), ffs.insert(h.FF);
    ++count;
  }
  EXPECT_TRUE(reader.stop().clean());
  EXPECT_EQ(count, kRecords);
  EXPECT_EQ(programs.size(), 1000u);  // a thousand different programs in each round
  // N 0..7 with A 1..9, N 8 with A 1..8, N 9 with A 1..4.
  EXPECT_EQ(shapes.size(), 8u * 9 + 8 + 4);
  EXPECT_EQ(d1.size(), 10u);
  EXPECT_EQ(d2.size(), 10u);
  EXPECT_EQ(rs.size(), 10u);
  EXPECT_EQ(xs, (std::set<int>{0, 1}));
  EXPECT_EQ(ffs, (std::set<int>{0x12, 0xFE}));
}

TEST(RandomPrograms, TheSameFileEveryTime) {
  // Record r depends on r alone: made twice, in either order, it is the same bytes.
  const auto late = synthetic::make_record(1234, synthetic::random_options(1234));
  const auto early = synthetic::make_record(7, synthetic::random_options(7));
  EXPECT_EQ(late, synthetic::make_record(1234, synthetic::random_options(1234)));
  EXPECT_EQ(early, synthetic::make_record(7, synthetic::random_options(7)));
  EXPECT_NE(early, late);
}

}  // namespace
}  // namespace vexo
