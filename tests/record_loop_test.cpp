// The record loop: selection, derived values, the check, the step counter across records, the
// console and the header lines a whole file gives.
#include "listing/record_loop.h"

#include <gtest/gtest.h>

#include <cmath>

#include "listing/amplitude_listing.h"
#include "listing/header_lines.h"
#include "listing/selection.h"
#include "src/record_values.h"
#include "tests/test_support.h"
#include "tools/synthetic.h"

namespace vexo {
namespace {

TEST(Selection, DescriptorMatchesAreExact) {
  Settings s;
  s.select_frequency = 2500, s.select_height = 97, s.select_polarization = 2;
  Descriptor d{2500.0f, 97.5f, 3, 2};
  EXPECT_TRUE(frequency_match(make_plan(s), d));
  EXPECT_FALSE(height_match(make_plan(s), d));  // 97 is not 97.5
  EXPECT_TRUE(polarization_match(make_plan(s), d));
  d.frequency = 2501.0f, d.polarization = 1;
  EXPECT_FALSE(frequency_match(make_plan(s), d));
  EXPECT_FALSE(polarization_match(make_plan(s), d));
  s.select_frequency = s.select_height = s.select_polarization = -1;
  EXPECT_TRUE(frequency_match(make_plan(s), d));
  EXPECT_TRUE(height_match(make_plan(s), d));
  EXPECT_TRUE(polarization_match(make_plan(s), d));
}

TEST(Selection, Antennas) {
  Settings s;
  s.select_antenna = 2;
  EXPECT_FALSE(antenna_match(make_plan(s), 0));
  EXPECT_TRUE(antenna_match(make_plan(s), 1));
  s.select_antenna = -1;
  EXPECT_TRUE(antenna_match(make_plan(s), 0) && antenna_match(make_plan(s), 8));
  s.select_antenna = 0;
  EXPECT_FALSE(antenna_match(make_plan(s), 0) || antenna_match(make_plan(s), 1));
  s.select_antenna = INT32_MIN;  // no overflow
  EXPECT_FALSE(antenna_match(make_plan(s), 0));
}

TEST(Selection, Records) {
  Settings s;
  HeaderFields h;
  h.FREQ = 2500.0f;
  for (double every : {0.0, -0.0}) {
    s.record_frequency = every;
    EXPECT_TRUE(record_selected(make_plan(s), h));
  }
  s.record_frequency = 2500.0;
  EXPECT_TRUE(record_selected(make_plan(s), h));
  s.record_frequency = 2500.5;
  EXPECT_FALSE(record_selected(make_plan(s), h));
}

// Which subblocks of four records of four subblocks each have step_open.
std::vector<std::pair<int, int>> open_steps(int32_t step) {
  Settings s;
  s.subblock_step = step;
  int64_t counter = 0;
  std::vector<std::pair<int, int>> open;
  for (int record = 0; record < 4; ++record) {
    for (int i = 0; i < 4; ++i) {
      if (step_open(make_plan(s), counter)) open.emplace_back(record, i);
      advance_step(counter, step);
    }
  }
  return open;
}

TEST(Selection, StepCounterRunsAcrossRecords) {
  using P = std::vector<std::pair<int, int>>;
  EXPECT_EQ(open_steps(3), (P{{0, 0}, {0, 3}, {1, 2}, {2, 1}, {3, 0}, {3, 3}}));
  EXPECT_EQ(open_steps(1).size(), 16u);
  EXPECT_EQ(open_steps(-1).size(), 16u);
  EXPECT_EQ(open_steps(0), (P{{0, 0}}));
  EXPECT_EQ(open_steps(-2), (P{{0, 0}}));
}

TEST(DerivedValues, FoldR) {
  const int folded[16] = {0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3, 4, 5, 6, 7};
  for (int R = 0; R < 16; ++R) {
    int32_t r = R;
    fold_R(r);
    EXPECT_EQ(r, folded[R]) << R;
  }
}

TEST(DerivedValues, Rate) {
  HeaderFields h;
  DerivedValues d;
  h.R = 5;  // selects no rate, and none is known yet
  derive_values(h, d);
  EXPECT_FALSE(d.rate_known);
  EXPECT_EQ(h.R, 1);  // folded in place

  const struct {
    int X, R;
    double rate;
  } cases[] = {{1, 7, 100}, {2, 7, 200}, {0, 0, 50}, {1, 4, 25}, {0, 6, 100}, {1, 3, 100}};
  for (const auto& c : cases) {
    h.X = c.X, h.R = c.R;
    derive_values(h, d);
    EXPECT_TRUE(d.rate_known);
    EXPECT_EQ(d.rate, c.rate) << c.X << " " << c.R;
  }
  h.R = 9;  // keeps the previous record's rate
  derive_values(h, d);
  EXPECT_EQ(d.rate, 100);
}

TEST(DerivedValues, SamplesSpacingAndPhaseDirection) {
  HeaderFields h;
  DerivedValues d;
  h.N = 5, h.D1 = 8, h.D2 = 2, h.FF = 0xFE;
  derive_values(h, d);
  EXPECT_EQ(d.sample_count, 32);
  EXPECT_EQ(d.line_spacing, 0.078125);  // 1 / 0.4 / 32
  EXPECT_EQ(d.phase_offset, 255);
  EXPECT_EQ(d.phase_sign, -1);

  h.N = 7, h.D1 = 1, h.D2 = 0, h.FF = 0xFF;
  derive_values(h, d);
  EXPECT_EQ(d.sample_count, 128);
  EXPECT_EQ(d.line_spacing, 0.78125);  // 1 / 0.01 / 128
  EXPECT_EQ(d.phase_offset, 0);
  EXPECT_EQ(d.phase_sign, 1);

  h.N = 0, h.D1 = 0, h.FF = 0;
  derive_values(h, d);
  EXPECT_EQ(d.sample_count, 1);
  EXPECT_TRUE(std::isinf(d.line_spacing));
  EXPECT_EQ(d.phase_sign, 1);
}

TEST(Check, ZeroCodeOrNoAntennasFail) {
  HeaderFields h;
  h.A = 4;
  EXPECT_FALSE(record_passes_check(h));
  h.u = 1;
  EXPECT_TRUE(record_passes_check(h));
  h.u = 0, h.l = 1;
  EXPECT_TRUE(record_passes_check(h));
  h.A = 0;
  EXPECT_FALSE(record_passes_check(h));
}

TEST(Console, NotATerminalShowsOnlyTheLastProgressLine) {
  std::FILE* out = std::tmpfile();
  Console console = make_console(out);
  HeaderFields h;
  h.day = 5, h.hour = 7, h.minute = 8;
  for (int second = 0; second < 3; ++second) {
    h.second = second;
    show_progress(console, h);
  }
  end_console(console, "Error detected");
  EXPECT_EQ(test::read_file("/proc/self/fd/" + std::to_string(fileno(out))),
            "005 07:08:02Error detected");
  std::fclose(out);

  out = std::tmpfile();
  Console idle = make_console(out);
  end_console(idle, "Incorrect file structure or end of file");
  EXPECT_EQ(test::read_file("/proc/self/fd/" + std::to_string(fileno(out))),
            "Incorrect file structure or end of file");
  std::fclose(out);
}

TEST(Console, TerminalRedrawsOnAClearedScreenAndEndsWithTheLastLine) {
  std::FILE* out = std::tmpfile();
  Console console = make_console(out);
  console.terminal = true;
  HeaderFields h;
  h.day = 342, h.hour = 12;
  show_progress(console, h);  // the first line is drawn at once
  console.last_draw = std::chrono::steady_clock::now() + std::chrono::hours(1);
  h.second = 1;
  show_progress(console, h);  // too soon: skipped
  h.second = 2;
  show_progress(console, h);
  end_console(console, "Incorrect file structure or end of file");
  EXPECT_EQ(test::read_file("/proc/self/fd/" + std::to_string(fileno(out))),
            "\x1b[2J\x1b[H342 12:00:00"
            "\x1b[2J\x1b[H342 12:00:02"
            "Incorrect file structure or end of file");
  std::fclose(out);
}

using test::Loop;

Settings header_settings() {
  Settings s;
  s.listing_mode = 1, s.show_header = 1, s.subblock_step = -1;
  return s;
}

std::string header_lines(int64_t record, const HeaderFields& h) {
  char line[kHeaderValuesMax];
  return std::string(kColumnTitleLine) + std::string(line, format_header_values(line, record, h));
}

TEST(RecordLoop, ListsTheHeaderLinesOfEveryRecord) {
  HeaderFields h = test::regular_header();
  std::vector<std::vector<unsigned char>> records;
  std::string expected;
  for (int second = 0; second < 3; ++second) {
    h.second = second;
    records.push_back(test::make_record(h));
    expected += header_lines(second + 1, h);
  }
  Loop loop(test::join(records), header_settings());
  EXPECT_EQ(loop.result.read.reason, StopReason::end_of_file);
  EXPECT_EQ(loop.listing_text, expected);
  EXPECT_EQ(loop.console_text, "342 12:00:02Incorrect file structure or end of file");
  EXPECT_EQ(loop.step_counter, 48);  // 16 subblocks a record, never reset with step -1
}

TEST(RecordLoop, SelectedRecordsOnly) {
  HeaderFields h = test::regular_header();
  std::vector<std::vector<unsigned char>> records;
  for (int freq : {2500, 2600, 2700, 2600}) {
    h.FREQ = static_cast<float>(freq);
    records.push_back(test::make_record(h));
  }
  Settings s = header_settings();
  s.record_frequency = 2700;
  Loop loop(test::join(records), s);
  h.FREQ = 2700.0f;
  EXPECT_EQ(loop.listing_text, header_lines(3, h));
  EXPECT_EQ(loop.step_counter, 64);  // unselected records are walked too

  s.record_frequency = 0, s.show_header = 2;
  EXPECT_EQ(Loop(test::join(records), s).listing_text, "");
}

TEST(RecordLoop, StepCounterAndFoldedRCarryOverToTheNextRecord) {
  HeaderFields h = test::regular_header();
  h.N = 7, h.A = 4;  // four subblocks a record
  h.R = 7;
  auto nibbles = encode::header_nibbles(h);
  const auto first = test::make_record(h, 4);
  nibbles[49] = 13;  // R: a letter, so R keeps the value folded from record 1
  const auto second = encode::encode_record(
      encode::channel_nibbles(nibbles, std::vector<encode::DescriptorValues>(4)), {}, {});
  Settings s = header_settings();
  s.subblock_step = 3;
  Loop loop(test::join({first, second, first, first}), s);
  EXPECT_EQ(loop.step_counter, 16 % 3);
  const std::string listing = loop.listing_text;
  const std::string values2 = listing.substr(listing.find("\n2   "));
  // X A D1 D2 N R are the first six of the last fourteen digits of the values line.
  EXPECT_EQ(values2.substr(values2.find('\n', 1) - 14, 6), "048273");
  EXPECT_NE(listing.find("048277"), std::string::npos);  // record 1 prints R before folding
}

TEST(RecordLoop, StopsAtTheFirstRecordThatFailsTheCheck) {
  HeaderFields good = test::regular_header();
  HeaderFields bad = good;
  bad.l = 0, bad.u = 0;
  Loop loop(test::join({test::make_record(good), test::make_record(bad), test::make_record(good)}),
            header_settings());
  EXPECT_EQ(loop.result.read.reason, StopReason::check_failed);
  EXPECT_EQ(loop.result.read.record_number, 2);
  EXPECT_EQ(loop.result.read.offset, kRecordSize);
  EXPECT_EQ(loop.listing_text, header_lines(1, good) + header_lines(2, bad));
  EXPECT_EQ(loop.console_text, "342 12:00:00Error detected");
  EXPECT_EQ(loop.step_counter, 16);  // no subblock of record 2 is walked

  HeaderFields no_antennas = good;
  no_antennas.A = 0;
  Loop zero(test::join({test::make_record(no_antennas, 0)}), header_settings());
  EXPECT_EQ(zero.result.read.reason, StopReason::check_failed);
  EXPECT_EQ(zero.console_text, "Error detected");
}

TEST(RecordLoop, StopsAtATruncatedRecordOrAWrongMarker) {
  const HeaderFields h = test::regular_header();
  auto bytes = test::join({test::make_record(h), test::make_record(h)});
  auto truncated = bytes;
  truncated.insert(truncated.end(), 100, 0x0A);
  Loop cut(truncated, header_settings());
  EXPECT_EQ(cut.result.read.reason, StopReason::truncated);
  EXPECT_EQ(cut.result.read.record_number, 3);
  EXPECT_EQ(cut.result.read.offset, 2 * kRecordSize);
  EXPECT_EQ(cut.result.read.available, 100u);
  EXPECT_EQ(cut.listing_text, header_lines(1, h) + header_lines(2, h));
  EXPECT_EQ(cut.console_text, "342 12:00:00Incorrect file structure or end of file");

  bytes.push_back(0x41);
  Loop wrong(bytes, header_settings());
  EXPECT_EQ(wrong.result.read.reason, StopReason::bad_marker);
  EXPECT_EQ(wrong.result.read.first_byte, 0x41);
  EXPECT_EQ(wrong.listing_text, cut.listing_text);
}

// Several threads list each record as the single loop does: the same listing, console, stop and
// step counter, over batches of records that reuse their storage, with every shape and phase
// program, and a run that ends in a record that fails the check.
TEST(RecordLoop, ThreadsListWhatOneThreadLists) {
  std::vector<std::vector<unsigned char>> records;
  for (int64_t r = 0; r < 300; ++r) {
    records.push_back(synthetic::make_record(r, synthetic::random_options(r)));
  }
  HeaderFields bad = test::regular_header();
  bad.l = 0;
  auto failing = records;
  failing.push_back(test::make_record(bad));
  Settings phases = header_settings();
  phases.show_subblock = 1, phases.phase_correction = 1, phases.convert_samples = 1;
  phases.select_frequency = phases.select_height = phases.select_polarization = -1;
  phases.select_antenna = -1;
  Settings stepped = phases;
  stepped.subblock_step = 7, stepped.record_frequency = 3200;
  Settings mean = phases;
  mean.listing_mode = 2, mean.select_antenna = 0;
  for (const auto& bytes : {test::join(records), test::join(failing)}) {
    for (const Settings& s : {phases, stepped, mean}) {
      const Loop one(bytes, s, 1);
      const Loop three(bytes, s, 3);
      EXPECT_GT(one.listing_text.size(), 200000u);
      EXPECT_TRUE(one.listing_text == three.listing_text);
      EXPECT_EQ(one.console_text, three.console_text);
      EXPECT_EQ(one.result.read.reason, three.result.read.reason);
      EXPECT_EQ(one.result.read.record_number, three.result.read.record_number);
      EXPECT_EQ(one.step_counter, three.step_counter);
    }
  }
}

// A worker lists into memory, a buffer that starts small and doubles when full: the text is
// that of a listing written out, and the buffer ends at most about twice its size, for each
// antenna's amplitudes and for the four-antenna mean.
TEST(RecordLoop, ListingInMemoryGrowsAsItsTextNeeds) {
  const std::vector<unsigned char> record = test::make_record(test::regular_header());
  const std::vector<unsigned char> bytes = test::join({record, record, record});
  Settings each;
  each.listing_mode = 2, each.show_subblock = 1, each.subblock_step = -1;
  each.select_frequency = each.select_height = each.select_polarization = -1;
  each.select_antenna = -1, each.convert_samples = 1;
  Settings mean = each;
  mean.select_antenna = 0;
  for (const Settings& s : {each, mean}) {
    const ListingPlan plan = make_plan(s);
    ListingOutput out = make_listing_output(nullptr, kMinListingBufferSize);
    Console console;
    RunContext run{plan, out, console};
    AmplitudeListing listing(run);
    Reader reader = Reader::over_memory(bytes.data(), bytes.size());
    while (reader.next()) listing.list_record(reader.record());
    EXPECT_GT(out.used, 2 * kMinListingBufferSize);
    EXPECT_LE(out.buffer.size(), 2 * out.used + kMinListingBufferSize);
    EXPECT_EQ(std::string(out.buffer.data(), out.used), Loop(bytes, s).listing_text);
  }
}

// The listing of a file image with the default threads: three of them at most, used where the
// records' work pays for them, with starting them taken to cost `start_work`; the file's size
// is not known, as for standard input.
struct ChosenLoop {
  ChosenLoop(const std::vector<unsigned char>& bytes, const Settings& settings,
             int64_t start_work) {
    test::TempDir dir;
    test::write_file(dir.path("f.dft"), bytes);
    std::FILE* lst = std::fopen(dir.path("f.lst").c_str(), "w");
    std::FILE* console_out = std::fopen(dir.path("console").c_str(), "w");
    Reader reader = Reader::open(dir.path("f.dft"), 5000);
    ListingOutput listing = make_listing_output(lst, 100);
    Console console = make_console(console_out);
    const ListingPlan plan = make_plan(settings);
    RunContext run{plan, listing, console};
    run.threads = 3;
    run.workers_when_paying = true;
    result = list_records(reader, run, start_work);
    step_counter = run.step_counter;
    std::fclose(lst);
    std::fclose(console_out);
    listing_text = test::read_text_file(dir.path("f.lst"));
    console_text = test::read_file(dir.path("console"));
  }
  RunStop result;
  int64_t step_counter = 0;
  std::string listing_text, console_text;
};

// With the default threads the records go to the workers and come back to the reading thread as
// their work changes: stretches of records of programs drawn at random, all selected, and of
// records that are not selected at all, with starting the workers taken to cost little, so that
// the choice changes within each stretch. The listing, console, stop and step counter are those
// of one thread, also in a run that ends in a record that fails the check.
TEST(RecordLoop, ChosenWorkersListWhatOneThreadLists) {
  const std::vector<unsigned char> idle = test::make_record(test::regular_header());  // FREQ 2500
  std::vector<std::vector<unsigned char>> records;
  for (int64_t r = 1; r < 1200; r += 3) {  // FREQ 3200
    records.push_back(synthetic::make_record(r, synthetic::random_options(r)));
    if (records.size() % 200 == 100) records.insert(records.end(), 100, idle);
  }
  HeaderFields bad = test::regular_header();
  bad.FREQ = 3200, bad.l = 0;
  auto failing = records;
  failing.push_back(test::make_record(bad));
  Settings stepped = header_settings();
  stepped.show_subblock = 1, stepped.phase_correction = 1, stepped.convert_samples = 1;
  stepped.select_frequency = stepped.select_height = stepped.select_polarization = -1;
  stepped.select_antenna = -1;
  stepped.subblock_step = 7, stepped.record_frequency = 3200;
  Settings mean = stepped;
  mean.listing_mode = 2, mean.select_antenna = 0, mean.subblock_step = -1;
  for (const auto& bytes : {test::join(records), test::join(failing)}) {
    for (const Settings& s : {stepped, mean}) {
      const Loop one(bytes, s, 1);
      const ChosenLoop chosen(bytes, s, 50000);
      EXPECT_GT(one.listing_text.size(), 200000u);
      EXPECT_TRUE(one.listing_text == chosen.listing_text);
      EXPECT_EQ(one.console_text, chosen.console_text);
      EXPECT_EQ(one.result.read.reason, chosen.result.read.reason);
      EXPECT_EQ(one.result.read.record_number, chosen.result.read.record_number);
      EXPECT_EQ(one.step_counter, chosen.step_counter);
    }
  }
}

}  // namespace
}  // namespace vexo
