// The library as its users see it: the reader over each kind of source, why it stops, the
// values as numbers (the same as the listing writes), and readers in parallel threads.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/test_support.h"
#include "tools/synthetic.h"
#include "vexo/vexo.h"

namespace vexo {
namespace {

// A file whose program changes every record, of shapes with one to 512 samples a line.
std::vector<unsigned char> varied_file(int records, bool backwards = false) {
  const int shapes[][2] = {{5, 4}, {9, 4}, {0, 1}, {7, 2}, {3, 4}, {8, 8}, {2, 9}};
  std::vector<std::vector<unsigned char>> parts;
  for (int r = 0; r < records; ++r) {
    synthetic::Options o;
    o.N = shapes[r % 7][0], o.A = shapes[r % 7][1];
    o.varied = true, o.backwards = backwards;
    parts.push_back(synthetic::make_record(r, o));
  }
  return test::join(parts);
}

// Everything a reader hands out, as text, so that two reads can be compared whole.
std::string everything(Reader& reader) {
  std::string all;
  char text[128];
  while (reader.next()) {
    const Record& r = reader.record();
    const HeaderFields& h = r.header();
    std::snprintf(text, sizeof text, "%lld@%llu %d:%d:%d F%.0f R%d n%d s%d rate%g\n",
                  static_cast<long long>(r.number()), static_cast<unsigned long long>(r.offset()),
                  h.hour, h.minute, h.second, static_cast<double>(h.FREQ), h.R, r.sample_count(),
                  r.subblock_count(), r.derived().rate);
    all += text;
    const PhaseParameters p = phase_parameters(r, true);
    for (int32_t i = 0; i < r.subblock_count(); ++i) {
      const Descriptor& d = r.descriptor(i);
      std::snprintf(text, sizeof text, "%g %g %d %d:", static_cast<double>(d.frequency),
                    static_cast<double>(d.height), d.gain, d.polarization);
      all += text;
      for (int32_t j = 0; j < r.antenna_count(); ++j) {
        const SampleLine phase = r.phase(i, j), amplitude = r.amplitude(i, j);
        for (std::size_t k = 0; k < phase.size(); ++k) {
          std::snprintf(text, sizeof text, " %.9g/%.17g",
                        static_cast<double>(phase_degrees(phase[k], j, int32_t(k), p)),
                        amplitude_db(amplitude[k]));
          all += text;
        }
      }
      all += '\n';
    }
  }
  return all + describe(reader.stop());
}

TEST(Library, EverySourceGivesTheSameRecords) {
  const std::vector<unsigned char> bytes = varied_file(30);
  test::TempDir dir;
  test::write_file(dir.path("f.dft"), bytes);

  Reader from_memory = Reader::over_memory(bytes.data(), bytes.size());
  const std::string expected = everything(from_memory);
  EXPECT_TRUE(from_memory.stop().clean());
  EXPECT_EQ(from_memory.stop().record_number, 31);

  for (std::size_t block : {std::size_t{1}, std::size_t{4097}, Reader::kDefaultBlockSize}) {
    Reader from_path = Reader::open(dir.path("f.dft"), block);
    EXPECT_EQ(everything(from_path), expected) << block;
  }
  std::FILE* file = std::fopen(dir.path("f.dft").c_str(), "rb");
  Reader from_file = Reader::over_stream(file, 5000);
  EXPECT_EQ(everything(from_file), expected);
  std::fclose(file);
  std::istringstream stream(std::string(bytes.begin(), bytes.end()));
  Reader from_stream = Reader::over_stream(stream, 3000);
  EXPECT_EQ(everything(from_stream), expected);
}

TEST(Library, RecordsAreViewsOfTheFileBytes) {
  const std::vector<unsigned char> bytes = varied_file(2);
  Reader reader = Reader::over_memory(bytes.data(), bytes.size());
  ASSERT_TRUE(reader.next());
  ASSERT_TRUE(reader.next());
  const Record& r = reader.record();  // N 9, A 4: one subblock of four lines of 512
  EXPECT_EQ(r.bytes(), bytes.data() + kRecordSize);
  EXPECT_EQ(r.subblock_count(), 1);
  const SampleLine line = r.phase(0, 3);
  ASSERT_EQ(line.size(), 512u);
  ASSERT_EQ(line.piece_count(), 4u);
  // Antenna 4's phases are samples 1536..2047: groups 12..15, second half of each.
  EXPECT_EQ(line.piece(0), bytes.data() + kRecordSize + 12 * 256 + 128);
  EXPECT_EQ(line.piece(3) + 127, bytes.data() + 2 * kRecordSize - 1) << "last byte of the record";
  EXPECT_EQ(line[511], bytes[2 * kRecordSize - 1]);
  EXPECT_EQ(r.amplitude(0, 0)[0], kRecordMarker);
}

TEST(Library, StopsSayWhyAndKeepTheRecordsBefore) {
  const std::vector<unsigned char> good = test::make_record(test::regular_header());
  struct Case {
    std::vector<unsigned char> bytes;
    StopReason reason;
    int64_t record;
    std::string text;
  };
  HeaderFields no_code = test::regular_header(), no_antennas = test::regular_header();
  no_code.l = 0, no_code.u = 0;
  no_antennas.A = 0;
  std::vector<unsigned char> truncated = test::join({good, good});
  truncated.resize(2 * kRecordSize + 100, 10);
  truncated[2 * kRecordSize] = kRecordMarker;
  std::vector<unsigned char> bad = test::join({good, good, good});
  bad[2 * kRecordSize] = 'A';
  const Case cases[] = {
      {{}, StopReason::end_of_file, 1, "end of file"},
      {test::join({good, good}), StopReason::end_of_file, 3, "end of file"},
      {truncated, StopReason::truncated, 3,
       "record 3 at byte 8192: truncated record, 100 of 4096 bytes"},
      {bad, StopReason::bad_marker, 3,
       "record 3 at byte 8192: first byte is 65, not the record marker 10"},
      {test::join({good, test::make_record(no_code)}), StopReason::check_failed, 2,
       "record 2 at byte 4096: record check failed: 16*u + l is 0"},
      {test::join({good, test::make_record(no_antennas, 0)}), StopReason::check_failed, 2,
       "record 2 at byte 4096: record check failed: A is 0 (no antennas)"},
  };
  for (const Case& c : cases) {
    Reader reader = Reader::over_memory(c.bytes.data(), c.bytes.size());
    int64_t records = 0;
    while (reader.next()) {
      ++records;
      EXPECT_EQ(reader.record().subblock_count(), 16);
    }
    EXPECT_EQ(reader.stop().reason, c.reason) << c.text;
    EXPECT_EQ(reader.stop().record_number, c.record) << c.text;
    EXPECT_EQ(records, c.record - 1) << c.text;
    EXPECT_EQ(describe(reader.stop()), c.text);
    EXPECT_FALSE(reader.next()) << "stays stopped";
    if (c.reason == StopReason::check_failed) {
      // The record that failed still shows its header.
      EXPECT_EQ(reader.record().number(), 2);
      EXPECT_EQ(reader.record().header().A, c.text.back() == ')' ? 0 : 4);
      EXPECT_EQ(reader.record().subblock_count(), 0);
    }
  }
  // No record before the first one nor after a stop other than a failed check; indexes checked.
  Reader reader = Reader::over_memory(good.data(), good.size());
  EXPECT_EQ(reader.record().number(), 0);
  EXPECT_EQ(reader.record().subblock_count(), 0);
  ASSERT_TRUE(reader.next());
  EXPECT_THROW(reader.record().descriptor(16), std::out_of_range);
  EXPECT_THROW(reader.record().phase(0, 4), std::out_of_range);
  EXPECT_THROW(reader.record().amplitude(-1, 0), std::out_of_range);
  EXPECT_THROW(reader.record().phase(15, 3).at(32), std::out_of_range);
  EXPECT_FALSE(reader.next());
  EXPECT_EQ(reader.record().number(), 0);
  EXPECT_EQ(reader.record().bytes(), nullptr);
  Reader nothing(std::unique_ptr<ByteSource>{});
  EXPECT_FALSE(nothing.next());
  EXPECT_EQ(nothing.stop().reason, StopReason::read_error);

  Reader missing = Reader::open("/nonexistent/folder/f.dft");
  EXPECT_FALSE(missing.next());
  EXPECT_EQ(missing.stop().reason, StopReason::read_error);
  EXPECT_EQ(describe(missing.stop()).rfind("record 1 at byte 0: cannot read: ", 0), 0u);
}

// The listing's fields, read back as numbers, are the library's values written with the
// listing's formats: for the phase listing with and without the correction, forwards and
// backwards, and the amplitude listing in dB, as ratios and as the four-antenna mean.
TEST(Library, ValuesAreWhatTheListingWrites) {
  for (bool backwards : {false, true}) {
    const std::vector<unsigned char> bytes = varied_file(14, backwards);
    struct Form {
      int mode, correction, antenna, scale;
    };
    for (const Form& form : {Form{1, 1, -1, 0}, Form{1, 0, -1, 0}, Form{2, 0, -1, 0},
                             Form{2, 0, -1, 1}, Form{2, 0, 0, 0}, Form{2, 0, 0, 1}}) {
      Settings s;
      s.listing_mode = form.mode, s.phase_correction = form.correction;
      s.select_antenna = form.antenna, s.amplitude_scale = form.scale;
      s.select_frequency = s.select_height = s.select_polarization = s.subblock_step = -1;
      s.convert_samples = 1;
      test::Loop loop(bytes, s);
      ASSERT_EQ(loop.result.read.reason, StopReason::end_of_file);

      std::string expected;
      char field[64];
      Reader reader = Reader::over_memory(bytes.data(), bytes.size());
      while (reader.next()) {
        const Record& r = reader.record();
        const PhaseParameters p = phase_parameters(r, form.correction == 1);
        for (int32_t i = 0; i < r.subblock_count(); ++i) {
          if (form.antenna == 0) {
            if (r.antenna_count() >= 4) {
              for (std::size_t k = 0; k < r.amplitude(i, 0).size(); ++k) {
                const double mean = mean_db(r.amplitude(i, 0)[k], r.amplitude(i, 1)[k],
                                            r.amplitude(i, 2)[k], r.amplitude(i, 3)[k]);
                std::snprintf(field, sizeof field, " %5.1f",
                              form.scale == 0 ? mean : ratio_of_db(mean));
                expected += field;
              }
            }
            expected += '\n';
            continue;
          }
          for (int32_t j = 0; j < r.antenna_count(); ++j) {
            const SampleLine line = form.mode == 1 ? r.phase(i, j) : r.amplitude(i, j);
            for (std::size_t k = 0; k < line.size(); ++k) {
              if (form.mode == 1) {
                std::snprintf(field, sizeof field, " %3.0f",
                              static_cast<double>(phase_degrees(line[k], j, int32_t(k), p)));
              } else {
                std::snprintf(field, sizeof field, " %5.1f",
                              form.scale == 0 ? amplitude_db(line[k]) : amplitude_ratio(line[k]));
              }
              expected += field;
            }
            expected += '\n';
          }
        }
      }
      // The listing without its header and subblock lines.
      std::string values;
      std::istringstream lines(loop.listing_text);
      for (std::string line; std::getline(lines, line);) {
        if (line.rfind("REC", 0) == 0 || line.rfind("Phase", 0) == 0 ||
            line.rfind("Ampl", 0) == 0 || (!line.empty() && line[0] != ' ')) {
          continue;
        }
        values += line + '\n';
      }
      EXPECT_EQ(values, expected) << form.mode << form.correction << form.antenna << form.scale
                                  << backwards;
    }
  }
}

TEST(Library, ReadersInTwoThreadsAgree) {
  const std::vector<unsigned char> bytes = varied_file(40);
  test::TempDir dir;
  test::write_file(dir.path("f.dft"), bytes);
  Reader alone = Reader::over_memory(bytes.data(), bytes.size());
  const std::string expected = everything(alone);
  std::string results[2];
  std::thread threads[2];
  for (int t = 0; t < 2; ++t) {
    threads[t] = std::thread([&, t] {
      Reader reader = t == 0 ? Reader::over_memory(bytes.data(), bytes.size())
                             : Reader::open(dir.path("f.dft"), 5000);
      results[t] = everything(reader);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(results[0], expected);
  EXPECT_EQ(results[1], expected);
  EXPECT_STREQ(version(), "1.0.0");
}

}  // namespace
}  // namespace vexo
