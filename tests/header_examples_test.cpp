// The usage examples of the public headers, each the indented lines of a header's opening
// comment, are here word for word: compiled, and run on a small file. One test checks that
// every header's example is here as the header has it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "tests/test_support.h"
#include "tools/synthetic.h"
#include "vexo/vexo.h"

namespace vexo {
namespace {

const std::string kSource = VEXO_SOURCE_DIR;

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The examples read "day342.dft": five records of 16 subblocks (four of them at 3200 kHz) of 4
// antennas and 32 samples, in a folder of the test's own that is the working folder while the
// test runs. What they write to std::cout is kept in `printed`.
class HeaderExample : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int r = 0; r < 5; ++r) records.push_back(synthetic::make_record(r, synthetic::Options()));
    file = test::join(records);
    test::write_file(dir.path("day342.dft"), file);
    working_folder = std::filesystem::current_path();
    std::filesystem::current_path(dir.dir);
    cout = std::cout.rdbuf(printed.rdbuf());
  }
  void TearDown() override {
    std::cout.rdbuf(cout);
    std::filesystem::current_path(working_folder);
  }

  test::TempDir dir;
  std::vector<std::vector<unsigned char>> records;
  std::vector<unsigned char> file;
  std::ostringstream printed;

 private:
  std::filesystem::path working_folder;
  std::streambuf* cout = nullptr;
};

TEST_F(HeaderExample, Reader) {
  // The example of vexo/reader.h:
  vexo::Reader reader = vexo::Reader::open("day342.dft");
  while (reader.next()) {
    const vexo::Record& record = reader.record();
    std::cout << "record " << record.number() << ": " << record.sample_count() << " samples\n";
  }
  if (!reader.stop().clean()) std::cerr << vexo::describe(reader.stop()) << '\n';
  // End of the example.
  EXPECT_TRUE(reader.stop().clean());
  EXPECT_EQ(printed.str(),
            "record 1: 32 samples\nrecord 2: 32 samples\nrecord 3: 32 samples\n"
            "record 4: 32 samples\nrecord 5: 32 samples\n");
}

TEST_F(HeaderExample, OwnedRecord) {
  // The example of vexo/owned_record.h:
  vexo::Reader reader = vexo::Reader::open("day342.dft");
  std::vector<vexo::OwnedRecord> kept;
  while (reader.next()) kept.emplace_back(reader.record());
  for (const vexo::OwnedRecord& copy : kept) {
    const vexo::Record record = copy.view();  // as the reader handed it out
    std::cout << record.number() << ": " << record.subblock_count() << " subblocks\n";
  }
  // End of the example.
  EXPECT_EQ(printed.str(),
            "1: 16 subblocks\n2: 16 subblocks\n3: 16 subblocks\n4: 16 subblocks\n"
            "5: 16 subblocks\n");
  // The copies hold the records' bytes after the reader has gone on.
  ASSERT_EQ(kept.size(), 5u);
  for (std::size_t r = 0; r < kept.size(); ++r) {
    EXPECT_EQ(std::memcmp(kept[r].view().bytes(), records[r].data(), kRecordSize), 0) << r;
    EXPECT_EQ(kept[r].view().descriptor(5).frequency, 3200.0f);
  }
}

TEST_F(HeaderExample, Selection) {
  // The example of vexo/selection.h:
  vexo::Selection s;
  s.frequencies = {3200};           // subblocks at 3200 kHz
  s.antennas = {1, 2};              // antennas 1 and 2, in this order
  s.records = {{50, 100}, {1, 9}};  // records 1 to 9 and 50 to 100
  // End of the example.
  const Index index = Index::of_file("day342.dft", s);
  ASSERT_EQ(index.entries().size(), 5u);
  EXPECT_EQ(index.entries()[0].taken_subblocks, 4);
  EXPECT_EQ(s.checked().records, (std::vector<std::pair<int64_t, int64_t>>{{1, 9}, {50, 100}}));
  EXPECT_EQ(s.antenna_indexes(4), (std::vector<int32_t>{0, 1}));
}

TEST_F(HeaderExample, Index) {
  // The example of vexo/index.h:
  const vexo::Index index = vexo::Index::of_file("day342.dft");
  for (const vexo::IndexEntry& e : index.entries()) {
    std::cout << "record " << e.number << " at byte " << e.offset << ": 2^" << int{e.N}
              << " samples, " << int{e.A} << " antennas\n";
  }
  if (!index.stop().clean()) std::cerr << vexo::describe(index.stop()) << '\n';
  // End of the example.
  EXPECT_EQ(printed.str(),
            "record 1 at byte 0: 2^5 samples, 4 antennas\n"
            "record 2 at byte 4096: 2^5 samples, 4 antennas\n"
            "record 3 at byte 8192: 2^5 samples, 4 antennas\n"
            "record 4 at byte 12288: 2^5 samples, 4 antennas\n"
            "record 5 at byte 16384: 2^5 samples, 4 antennas\n");
}

TEST_F(HeaderExample, Part) {
  // The example of vexo/part.h:
  vexo::Selection selection;
  selection.frequencies = {3200};  // subblocks at 3200 kHz
  const vexo::Index index = vexo::Index::of_file("day342.dft", selection);
  int error = 0;
  auto source = vexo::RandomSource::open("day342.dft", error);
  if (!source) throw std::system_error(error, std::generic_category(), "day342.dft");
  // Records 3 to 5 (the file has them, of one shape), with a place for every subblock taken.
  const vexo::IndexEntry* part = &index.entries().at(2);
  const std::size_t count = 3;
  int32_t width = 0;
  for (std::size_t r = 0; r < count; ++r) {
    width = std::max<int32_t>(width, part[r].taken_subblocks);
  }
  std::vector<float> degrees((count * width * part->A) << part->N);
  std::vector<float> frequency(count * width);
  vexo::PartArrays arrays;
  arrays.phase_degrees = degrees.data();  // [record][place][antenna][line]
  arrays.frequency = frequency.data();    // [record][place]
  vexo::PartReader parts(*source, selection);
  if (!parts.read(part, count, width, arrays)) std::cerr << parts.error() << '\n';
  // End of the example.
  ASSERT_TRUE(parts.error().empty()) << parts.error();
  ASSERT_EQ(width, 4);  // subblocks 1, 5, 9 and 13
  EXPECT_EQ(frequency, std::vector<float>(12, 3200.0f));
  // The degrees the reader gives for the same samples, having read from the first record.
  Reader reader = Reader::over_memory(file.data(), file.size());
  std::size_t at = 0;
  while (reader.next()) {
    const Record& r = reader.record();
    if (r.number() < 3) continue;
    const PhaseParameters p = phase_parameters(r, true);
    for (int32_t i = 1; i < 16; i += 4) {
      for (int32_t j = 0; j < 4; ++j) {
        for (int32_t k = 0; k < 32; ++k, ++at) {
          ASSERT_EQ(degrees[at], phase_degrees(r.phase(i, j)[k], j, k, p)) << at;
        }
      }
    }
  }
  EXPECT_EQ(at, degrees.size());
}

TEST_F(HeaderExample, DirectionFit) {
  // clang-format off
  // The example of vexo/direction_fit.h:
  const std::vector<double> east = {0, 40, -40, 0}, north = {0, 0, 0, -60};  // m
  const vexo::DirectionFit fit(east, north, +1);  // +1: the phase grows with r . u
  const double wavelength = vexo::kSpeedOfLight / 3.2e6;  // m, at 3200 kHz
  std::vector<double> phases;  // one row: a wave from east 0.3, north -0.2, in degrees
  for (std::size_t j = 0; j < east.size(); ++j) {
    phases.push_back(360 * (east[j] * 0.3 + north[j] * -0.2) / wavelength);
  }
  const double sigma = 5.0;  // degrees of noise on each phase
  vexo::FittedRows out(1);
  fit.fit_rows({phases.data(), &wavelength, &sigma, 1}, 0.01, out.view(), 0);
  std::cout << out.east[0] << ' ' << out.north[0] << ' ' << out.candidates[0] << '\n';
  // End of the example.
  // clang-format on
  EXPECT_EQ(printed.str(), "0.3 -0.2 1\n");
}

TEST_F(HeaderExample, EchoPeaks) {
  // Three records of four places, four antennas and 32 lines of noise at 16 dB with one line
  // at 40 dB in place 2 of record 1; place 3 of each record is left over.
  std::vector<float> amplitude_db(3 * 4 * 4 * 32, 16.0f), phase_degrees(3 * 4 * 4 * 32, 0.0f);
  for (std::size_t j = 0; j < 4; ++j) amplitude_db[((1 * 4 + 2) * 4 + j) * 32 + 20] = 40.0f;
  std::vector<int16_t> numbers = {0, 1, 2, -1, 0, 1, 2, -1, 0, 1, 2, -1};
  // clang-format off
  // The example of vexo/echo_peaks.h:
  vexo::PeakPart part;
  part.decibels = amplitude_db.data();  // [record][place][antenna][line], dB
  part.phases = phase_degrees.data();   // the same shape, degrees
  part.subblock_number = numbers.data();  // [record][place], -1 for places left over
  part.records = 3, part.places = 4, part.antennas = 4, part.lines = 32;
  part.used = {0, 1, 2, 3};  // the layout's antennas, as indexes of the part's
  part.offsets = {0.0, 10.0, 0.0, 0.0};  // degrees taken from each used antenna's phase
  part.threshold_db = 6.0;
  const vexo::EchoPeaks peaks = vexo::find_echo_peaks(part);
  for (std::size_t i = 0; i < peaks.size(); ++i) {
    std::cout << "subblock place " << peaks.row[i] << ", line " << peaks.line[i] << '\n';
  }
  // End of the example.
  // clang-format on
  EXPECT_EQ(printed.str(), "subblock place 6, line 20\n");
  ASSERT_EQ(peaks.size(), 1u);
  EXPECT_EQ(peaks.phases[1], -10.0);  // the offset taken
}

// The example of a header: the lines of its opening comment that are indented past "// ",
// without the comment marks.
std::vector<std::string> example_in_header(const std::string& name) {
  std::vector<std::string> example;
  for (const std::string& line : lines_of(test::read_file(kSource + "/include/vexo/" + name))) {
    if (line.compare(0, 2, "//") != 0) break;
    if (line.compare(0, 5, "//   ") == 0) example.push_back(line.substr(5));
  }
  return example;
}

// The examples of this file: the lines between "// The example of vexo/NAME.h:" and "// End of
// the example.", without the indentation of the first.
std::vector<std::string> example_in_tests(const std::string& name) {
  const std::vector<std::string> lines =
      lines_of(test::read_file(kSource + "/tests/header_examples_test.cpp"));
  const std::string start = "// The example of vexo/" + name + ":";
  std::vector<std::string> example;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::size_t indent = lines[i].find_first_not_of(' ');
    if (indent == std::string::npos || lines[i].compare(indent, std::string::npos, start) != 0) {
      continue;
    }
    for (++i; i < lines.size() && lines[i].find("// End of the example.") == std::string::npos;
         ++i) {
      example.push_back(lines[i].size() > indent ? lines[i].substr(indent) : "");
    }
  }
  return example;
}

TEST(HeaderExamples, EveryExampleIsHereAsItsHeaderHasIt) {
  int examples = 0;
  for (const auto& entry : std::filesystem::directory_iterator(kSource + "/include/vexo")) {
    const std::string name = entry.path().filename().string();
    const std::vector<std::string> example = example_in_header(name);
    if (example.empty()) continue;
    ++examples;
    EXPECT_EQ(example_in_tests(name), example) << name;
  }
  // reader.h, owned_record.h, selection.h, index.h, part.h, direction_fit.h and echo_peaks.h
  EXPECT_EQ(examples, 7);
}

}  // namespace
}  // namespace vexo
