// Reading the settings file: layout variants that must read the same, and malformed values.
#include "listing/settings.h"

#include <gtest/gtest.h>

#include "listing/plan.h"
#include "tests/test_support.h"

namespace vexo {
namespace {

struct Read {
  std::string error;
  Settings settings;
};

Read read_text(const std::string& text) {
  test::TempDir dir;
  test::write_file(dir.path("s.set"), text);
  std::FILE* f = std::fopen(dir.path("s.set").c_str(), "r");
  Read r;
  r.error = read_settings(f, r.settings);
  std::fclose(f);
  return r;
}

test::SettingsLines sample() {
  test::SettingsLines s;
  s.output_name = "out.lst";
  s.listing_mode = "2";
  s.show_header = "1";
  s.show_subblock = "0";
  s.phase_correction = "1";
  s.select_frequency = "2500";
  s.select_height = "-1";
  s.select_polarization = "+3";
  s.select_antenna = "0";
  s.amplitude_scale = "1";
  s.subblock_step = "4";
  s.record_frequency = "2500.5";
  s.convert_samples = "0";
  return s;
}

void expect_sample(const Read& r) {
  ASSERT_EQ(r.error, "");
  const Settings& s = r.settings;
  EXPECT_EQ(s.output_name, "out.lst");
  EXPECT_EQ(s.listing_mode, 2);
  EXPECT_EQ(s.show_header, 1);
  EXPECT_EQ(s.show_subblock, 0);
  EXPECT_EQ(s.phase_correction, 1);
  EXPECT_EQ(s.select_frequency, 2500);
  EXPECT_EQ(s.select_height, -1);
  EXPECT_EQ(s.select_polarization, 3);
  EXPECT_EQ(s.select_antenna, 0);
  EXPECT_EQ(s.amplitude_scale, 1);
  EXPECT_EQ(s.subblock_step, 4);
  EXPECT_EQ(s.record_frequency, 2500.5);
  EXPECT_EQ(s.convert_samples, 0);
}

TEST(Settings, ReadsAllThirteenValues) {
  expect_sample(read_text(test::settings_text(sample())));
}

TEST(Settings, CarriageReturnLineEndsReadTheSame) {
  expect_sample(read_text(test::settings_text(sample(), "\r\n")));
}

TEST(Settings, WordsAfterAValueAndLongLabelsAreSkipped) {
  test::SettingsLines s = sample();
  s.output_name = "out.lst   listing name";
  s.listing_mode = "2 amplitude listing";
  s.subblock_step = "4\t; every fourth";
  s.record_frequency = "2500.5, kHz";
  s.show_header = "1,header";
  s.select_frequency = "2500;kHz";
  std::string text = test::settings_text(s);
  // A label far longer than any line buffer.
  text.replace(0, text.find('\n'), std::string(5000, 'x'));
  expect_sample(read_text(text));
}

TEST(Settings, NamesAsLongAsAPathCanBe) {
  test::SettingsLines s = sample();
  s.output_name = std::string(kMaxOutputNameBytes, 'n');
  const Read r = read_text(test::settings_text(s));
  EXPECT_EQ(r.error, "");
  EXPECT_EQ(r.settings.output_name, s.output_name);
}

TEST(Settings, EmptyLinesBeforeAValueAreSkipped) {
  test::SettingsLines s = sample();
  s.listing_mode = "\n\n  2";
  s.record_frequency = "\n2500.5";
  expect_sample(read_text(test::settings_text(s)));
}

TEST(Settings, AnEmptyLineWhereALabelBelongsIsThatLabel) {
  // No text at all on the label lines.
  std::string text =
      "\nout.lst\n\n2\n\n1\n\n0\n\n1\n\n2500\n\n-1\n\n+3\n\n0\n\n1\n\n4\n\n2500.5\n\n0\n";
  expect_sample(read_text(text));
}

TEST(Settings, RecordFrequencyForms) {
  const std::pair<const char*, double> forms[] = {
      {"0", 0.0},  {"0.0", 0.0}, {"-0", 0.0},     {"1e3", 1000.0},   {"+2.5E+2", 250.0},
      {".5", 0.5}, {"7.", 7.0},  {"0e-999", 0.0}, {"4e-320", 4e-320}};
  for (const auto& [text, value] : forms) {
    test::SettingsLines s = sample();
    s.record_frequency = text;
    const Read r = read_text(test::settings_text(s));
    EXPECT_EQ(r.error, "") << text;
    EXPECT_EQ(r.settings.record_frequency, value) << text;
  }
}

TEST(Settings, MalformedValuesNameTheSettingAndLine) {
  struct Case {
    std::string test::SettingsLines::*member;
    const char* value;
    const char* error;
  };
  using L = test::SettingsLines;
  const Case cases[] = {
      {&L::listing_mode, "3",
       "line 4: listing_mode: 3 is neither 1 (phase listing) nor 2 "
       "(amplitude listing)"},
      {&L::listing_mode, "0",
       "line 4: listing_mode: 0 is neither 1 (phase listing) nor 2 "
       "(amplitude listing)"},
      {&L::select_height, "abc", "line 14: select_height: \"abc\" is not a whole number"},
      {&L::select_height, "150.5", "line 14: select_height: \"150.5\" is not a whole number"},
      {&L::select_height, "12km", "line 14: select_height: \"12km\" is not a whole number"},
      {&L::select_frequency, "-", "line 12: select_frequency: \"-\" is not a whole number"},
      {&L::subblock_step, "2147483648", "line 22: subblock_step: \"2147483648\" is out of range"},
      {&L::subblock_step, "-99999999999999999999",
       "line 22: subblock_step: \"-99999999999999999999\" is out of range"},
      {&L::record_frequency, "0x10", "line 24: record_frequency: \"0x10\" is not a decimal number"},
      {&L::record_frequency, "inf", "line 24: record_frequency: \"inf\" is not a decimal number"},
      {&L::record_frequency, "nan", "line 24: record_frequency: \"nan\" is not a decimal number"},
      {&L::record_frequency, "1e", "line 24: record_frequency: \"1e\" is not a decimal number"},
      {&L::record_frequency, "1e999", "line 24: record_frequency: \"1e999\" is out of range"},
      {&L::record_frequency, "-1e-400", "line 24: record_frequency: \"-1e-400\" is out of range"},
      {&L::convert_samples, "x\x01", "line 26: convert_samples: \"x?\" is not a whole number"},
      // Only a blank, tab, comma, semicolon or line end ends a number.
      {&L::select_frequency, "1-2", "line 12: select_frequency: \"1-2\" is not a whole number"},
      {&L::select_height, "5%", "line 14: select_height: \"5%\" is not a whole number"},
      {&L::subblock_step, "4\v", "line 22: subblock_step: \"4?\" is not a whole number"},
      {&L::subblock_step, "4\r5", "line 22: subblock_step: \"4?5\" is not a whole number"},
      {&L::record_frequency, "2500/2",
       "line 24: record_frequency: \"2500/2\" is not a decimal number"},
  };
  for (const Case& c : cases) {
    test::SettingsLines s = sample();
    s.*c.member = c.value;
    EXPECT_EQ(read_text(test::settings_text(s)).error, c.error) << c.value;
  }
  // Listing mode on a later line than usual.
  test::SettingsLines s = sample();
  s.listing_mode = "\n7";
  EXPECT_EQ(read_text(test::settings_text(s)).error,
            "line 5: listing_mode: 7 is neither 1 (phase listing) nor 2 (amplitude listing)");
}

TEST(Settings, TheFileEndingEarlyIsAnError) {
  const std::string full = test::settings_text(sample());
  EXPECT_EQ(read_text("").error, "line 2: output_name: missing: the file ends first");
  EXPECT_EQ(read_text("label").error, "line 2: output_name: missing: the file ends first");
  EXPECT_EQ(read_text("label\n").error, "line 2: output_name: missing: the file ends first");
  // Cut after the label of convert_samples, with and without its line end.
  const std::size_t label26 = full.rfind("label 13");
  EXPECT_EQ(read_text(full.substr(0, label26 + 9)).error,
            "line 26: convert_samples: missing: the file ends first");
  EXPECT_EQ(read_text(full.substr(0, label26 + 8)).error,
            "line 26: convert_samples: missing: the file ends first");
  // An empty last line, and a value line without its line end at the end of the file.
  EXPECT_EQ(read_text(full.substr(0, label26 + 9) + "\n").error,
            "line 26: convert_samples: missing: the file ends first");
  EXPECT_EQ(read_text("label\nout.lst").error,
            "line 4: listing_mode: missing: the file ends first");
  // The last value without a line end is fine.
  expect_sample(read_text(full.substr(0, full.size() - 1)));
}

// No file, however long its lines or however many, is read without end or kept whole.
TEST(Settings, ReadingIsBounded) {
  test::SettingsLines s = sample();
  s.output_name = std::string(kMaxOutputNameBytes + 1, 'n') + "x";
  EXPECT_EQ(read_text(test::settings_text(s)).error,
            "line 2: output_name: \"" + std::string(40, 'n') +
                "...\" is too long for a file name (over " + std::to_string(kMaxOutputNameBytes) +
                " bytes)");

  // A label line of 1 MiB is read; one byte more, also after a value, is an error.
  const std::string mib(kMaxSettingsLineBytes, 'x');
  std::string text = test::settings_text(sample());
  expect_sample(read_text(mib + text.substr(text.find('\n'))));
  EXPECT_EQ(read_text(mib + text).error, "line 1: output_name: the line is longer than 1 MiB");
  s = sample();
  s.subblock_step = "4 " + mib;
  EXPECT_EQ(read_text(test::settings_text(s)).error,
            "line 22: subblock_step: the line is longer than 1 MiB");

  // Empty lines without end before a value: "label\n" is line 1, then each byte is a line of its
  // own, so the byte past the 16 MiB, number 16 MiB + 1, ends line 16 MiB + 1 - 5.
  EXPECT_EQ(read_text("label\n" + std::string(kMaxSettingsFileBytes, '\n')).error,
            "line 16777212: output_name: reading stopped after 16 MiB of the file");

#ifndef _WIN32
  std::FILE* zeros = std::fopen("/dev/zero", "r");
  ASSERT_NE(zeros, nullptr);
  Settings settings;
  EXPECT_EQ(read_settings(zeros, settings), "line 1: output_name: the line is longer than 1 MiB");
  std::fclose(zeros);
#endif
}

TEST(Settings, NulByteInTheNameIsAnError) {
  test::SettingsLines s = sample();
  s.output_name = std::string("out\0.lst", 8);
  EXPECT_EQ(read_text(test::settings_text(s)).error,
            "line 2: output_name: \"out?.lst\" holds a NUL byte");
}

TEST(Settings, WarningsForValuesKeptAsTheyAre) {
  const Read r = read_text(test::settings_text(sample()));
  EXPECT_TRUE(settings_warnings(r.settings).empty());
  Settings s = r.settings;
  s.subblock_step = -2;
  s.amplitude_scale = 2;
  EXPECT_EQ(settings_warnings(s),
            (std::vector<std::string>{
                "subblock_step: -2 opens only the first subblock of the file (-1 opens every one)",
                "amplitude_scale: 2 is neither 0 (dB) nor 1 (linear ratio): amplitude lines are "
                "left empty"}));
  // The phase listing has no scale; a step of 0 never comes round either.
  s.listing_mode = 1;
  s.subblock_step = 0;
  EXPECT_EQ(settings_warnings(s), std::vector<std::string>{"subblock_step: 0 opens only the "
                                                           "first subblock of the file (-1 opens "
                                                           "every one)"});
}

}  // namespace
}  // namespace vexo
