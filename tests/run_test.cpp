// Whole runs of the tool: console output, standard error, exit status and the listing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>

#include "listing/header_lines.h"
#include "tests/test_support.h"

namespace vexo {
namespace {

constexpr const char* kEnd = "Incorrect file structure or end of file";

struct Fixture {
  Fixture(const std::vector<unsigned char>& dft, test::SettingsLines lines = {}) {
    if (lines.output_name.empty()) lines.output_name = listing();
    test::write_file(dft_path(), dft);
    test::write_file(set_path(), test::settings_text(lines));
  }
  std::string dft_path() const { return dir.path("in.dft"); }
  std::string set_path() const { return dir.path("in.set"); }
  std::string listing() const { return dir.path("out.lst"); }
  test::RunResult run() const { return test::run_tool({dft_path(), set_path()}); }
  std::string echo() const { return "3 " + dft_path() + " " + set_path() + "\n"; }

  test::TempDir dir;
};

std::vector<unsigned char> records(int count) {
  HeaderFields h = test::regular_header();
  std::vector<std::vector<unsigned char>> all;
  for (int i = 0; i < count; ++i) {
    h.second = i;
    all.push_back(test::make_record(h));
  }
  return test::join(all);
}

int lines_of(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

TEST(Run, Usage) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, std::vector<std::string>{"a.dft"}}) {
    const test::RunResult r = test::run_tool(args);
    EXPECT_EQ(r.out, "FORMAT: vexo.exe filename.dft filname.set");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(lines_of(r.err), 1);
  }
}

TEST(Run, HelpVersionAndWrongOptions) {
  const test::RunResult help = test::run_tool({"--help", "a.dft"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: vexo [-o FILE] [-j N] FILE.dft FILE.set\n", 0), 0u) << help.out;
  EXPECT_NE(help.out.find("man vexo"), std::string::npos);
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(test::run_tool({"-h"}).out, help.out);
  const test::RunResult version = test::run_tool({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(std::regex_match(version.out, std::regex("vexo [0-9]+\\.[0-9]+\\.[0-9]+\n")))
      << version.out;

  Fixture f(records(1));
  const struct {
    std::vector<std::string> args;
    std::string first_line;
  } wrong[] = {{{"-x", f.dft_path(), f.set_path()}, "vexo: -x: unknown option"},
               {{"--outputs", "a", f.dft_path(), f.set_path()}, "vexo: --outputs: unknown option"},
               {{"-\x1b", f.dft_path(), f.set_path()}, "vexo: -\\x1b: unknown option"},
               {{"-o"}, "vexo: -o: a file name must follow"},
               {{"-j", "0", f.dft_path(), f.set_path()},
                "vexo: -j: a whole number from 1 to 64 must follow"},
               {{"--threads=65", f.dft_path(), f.set_path()},
                "vexo: --threads: a whole number from 1 to 64 must follow"},
               {{"-j"}, "vexo: -j: a whole number from 1 to 64 must follow"}};
  for (const auto& c : wrong) {
    const test::RunResult r = test::run_tool(c.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              c.first_line +
                  "\nusage: vexo [-o FILE] [-j N] FILE.dft FILE.set\n(vexo --help for more)\n");
    EXPECT_FALSE(test::file_exists(f.listing()));
  }
}

// -o FILE replaces the settings file's listing name; the echo line counts as if without options.
TEST(Run, ListingNamedOnTheCommandLine) {
  Fixture f(records(2));
  const test::RunResult plain = f.run();
  const std::string expected = test::read_file(f.listing());
  std::remove(f.listing().c_str());
  const std::string other = f.dir.path("other.lst");
  for (const auto& args :
       {std::vector<std::string>{"-o", other, f.dft_path(), f.set_path()},
        std::vector<std::string>{"--output=" + other, "--", f.dft_path(), f.set_path()},
        std::vector<std::string>{"-o" + other, f.dft_path(), f.set_path()}}) {
    const test::RunResult r = test::run_tool(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, plain.out);
    EXPECT_EQ(test::read_file(other), expected);
    EXPECT_FALSE(test::file_exists(f.listing()));
    std::remove(other.c_str());
  }
  const test::RunResult refused = test::run_tool({"-o", f.dft_path(), f.dft_path(), f.set_path()});
  EXPECT_EQ(refused.status, 255);
  EXPECT_EQ(refused.err,
            "vexo: " + f.dft_path() + ": refused as listing name: it is the DFT file\n");
}

// -o -: standard output holds the listing alone; the console text and the reasons are on
// standard error, each reason on a line of its own.
TEST(Run, ListingOnStandardOutput) {
  Fixture f(records(2));
  f.run();
  const std::string expected = test::read_file(f.listing());
  std::remove(f.listing().c_str());
  test::RunResult r = test::run_tool({"-o", "-", f.dft_path(), f.set_path()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.err, f.echo() + "342 12:00:01" + kEnd);
  EXPECT_FALSE(test::file_exists(f.listing()));

  HeaderFields failing = test::regular_header();
  failing.l = 0;
  Fixture g(test::make_record(failing));
  r = test::run_tool({"-o", "-", g.dft_path(), g.set_path()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(lines_of(r.out), 2);
  EXPECT_EQ(r.err, g.echo() + "Error detected\nvexo: " + g.dft_path() +
                       ": record 1 at byte 0: record check failed: 16*u + l is 0\n");

  r = test::run_tool({"-o", "-", g.dft_path()});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "FORMAT: vexo.exe filename.dft filname.set\n"
            "vexo: two file names are needed: vexo FILE.dft FILE.set\n");
}

TEST(Run, NamesInMessagesHaveControlCharactersEscaped) {
  Fixture f(records(1));
  const std::string missing = f.dir.path("new\nline\x1b[2J.dft");
  test::RunResult r = test::run_tool({missing, f.set_path()});
  EXPECT_EQ(r.out, "3 " + missing + " " + f.set_path() + "\n");  // the echo line is raw
  EXPECT_EQ(r.err, "vexo: " + f.dir.path("new\\x0aline\\x1b[2J.dft") +
                       ": cannot open: No such file or directory\n");

  const std::string truncated = f.dir.path("tab\t.dft");
  test::write_file(truncated, std::vector<unsigned char>{10, 0});
  r = test::run_tool({truncated, f.set_path()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vexo: " + f.dir.path("tab\\x09.dft") +
                       ": record 1 at byte 0: truncated record, 2 of 4096 bytes\n");

  r = test::run_tool({"-o", f.dir.path("no\r/x.lst"), f.dft_path(), f.set_path()});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "vexo: " + f.dir.path("no\\x0d/x.lst") +
                       ": cannot create: No such file or directory\n");
}

TEST(Run, CleanEndOfFile) {
  Fixture f(records(3));
  const test::RunResult r = f.run();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, f.echo() + "342 12:00:02" + kEnd);
  EXPECT_EQ(r.err, "");
  // Each record: two header lines, then 16 subblocks of a Phase line and 4 antenna lines.
  EXPECT_EQ(lines_of(test::read_file(f.listing())), 3 * (2 + 16 * 5));
}

// Values kept as they are, but said once on standard error; the run itself is unchanged.
TEST(Run, WarningsForOddValuesKeptAsTheyAre) {
  test::SettingsLines lines;
  lines.listing_mode = "2", lines.amplitude_scale = "3", lines.subblock_step = "0";
  Fixture f(records(2), lines);
  const test::RunResult r = f.run();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, f.echo() + "342 12:00:01" + kEnd);
  ASSERT_EQ(lines_of(r.err), 2) << r.err;
  EXPECT_EQ(r.err.find("vexo: " + f.set_path() + ": subblock_step: 0 "), 0u) << r.err;
  EXPECT_NE(r.err.find("\nvexo: " + f.set_path() + ": amplitude_scale: 3 "), std::string::npos)
      << r.err;
  // Only the very first subblock is open: one Ampl line, and its four antenna lines empty.
  EXPECT_EQ(lines_of(test::read_file(f.listing())), 2 * 2 + 1 + 4);
}

TEST(Run, ExtraArgumentsAreCountedAndIgnored) {
  Fixture f(records(1));
  const test::RunResult r = test::run_tool({f.dft_path(), f.set_path(), "extra"});
  EXPECT_EQ(r.out, "4 " + f.dft_path() + " " + f.set_path() + "\n342 12:00:00" + kEnd);
  EXPECT_EQ(r.status, 0);
}

TEST(Run, LongFileNamesAreEchoedWhole) {
  Fixture f(records(1));
  const std::string long_name = f.dir.path(std::string(200, 'd') + ".dft");
  test::write_file(long_name, records(1));
  const test::RunResult r = test::run_tool({long_name, f.set_path()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1), "3 " + long_name + " " + f.set_path() + "\n");
}

TEST(Run, EmptyFile) {
  Fixture f({});
  const test::RunResult r = f.run();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, f.echo() + kEnd);
  EXPECT_EQ(test::read_file(f.listing()), "");
  EXPECT_TRUE(test::file_exists(f.listing()));
}

TEST(Run, StopsOnAnythingButACleanEnd) {
  auto wrong_marker = records(2);
  wrong_marker[kRecordSize] = 0x41;
  auto truncated = records(3);
  truncated.resize(truncated.size() - 1);
  HeaderFields failing = test::regular_header();
  failing.l = 0;
  const struct {
    std::vector<unsigned char> bytes;
    std::string out_tail;
    std::string err;
    int listing_lines;
  } cases[] = {
      {wrong_marker, std::string("342 12:00:00") + kEnd,
       "record 2 at byte 4096: first byte is 65, not the record marker 10\n", 82},
      {truncated, std::string("342 12:00:01") + kEnd,
       "record 3 at byte 8192: truncated record, 4095 of 4096 bytes\n", 2 * 82},
      {test::make_record(failing), "Error detected",
       "record 1 at byte 0: record check failed: 16*u + l is 0\n", 2},
  };
  for (const auto& c : cases) {
    Fixture f(c.bytes);
    const test::RunResult r = f.run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, f.echo() + c.out_tail);
    EXPECT_EQ(r.err, "vexo: " + f.dft_path() + ": " + c.err);
    EXPECT_EQ(lines_of(test::read_file(f.listing())), c.listing_lines);
  }
}

TEST(Run, FilesThatCannotBeOpened) {
  Fixture f(records(1));
  const std::string missing = f.dir.path("missing");
  for (const auto& args : {std::vector<std::string>{missing, f.set_path()},
                           std::vector<std::string>{f.dft_path(), missing},
                           std::vector<std::string>{f.dir.dir, f.set_path()}}) {
    const test::RunResult r = test::run_tool(args);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "3 " + args[0] + " " + args[1] + "\n");
    EXPECT_EQ(r.err.rfind("vexo: " + (args[1] == missing ? missing : args[0]) + ": cannot open", 0),
              0u)
        << r.err;
    EXPECT_EQ(lines_of(r.err), 1);
    EXPECT_FALSE(test::file_exists(f.listing()));
  }
}

TEST(Run, BadSettingsCreateNoListing) {
  test::SettingsLines lines;
  lines.listing_mode = "3";
  Fixture f(records(1), lines);
  test::RunResult r = f.run();
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, f.echo());
  EXPECT_EQ(r.err, "vexo: " + f.set_path() +
                       ": line 4: listing_mode: 3 is neither 1 (phase listing) nor 2 (amplitude "
                       "listing)\n");
  EXPECT_FALSE(test::file_exists(f.listing()));

  test::write_file(f.set_path(), std::string("label\n") + f.listing() + "\nlabel\n1\n");
  r = f.run();
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err,
            "vexo: " + f.set_path() + ": line 6: show_header: missing: the file ends first\n");
  EXPECT_FALSE(test::file_exists(f.listing()));
}

TEST(Run, ListingThatWouldOverwriteAnInput) {
  Fixture f(records(1));
  const std::string original = test::read_file(f.dft_path());
  ASSERT_EQ(symlink(f.dft_path().c_str(), f.dir.path("link.dft").c_str()), 0);
  ASSERT_EQ(link(f.set_path().c_str(), f.dir.path("hard.set").c_str()), 0);
  const struct {
    std::string name;
    const char* what;
  } cases[] = {{f.dft_path(), "the DFT file"},
               {f.dir.path("link.dft"), "the DFT file"},
               {f.dir.path("sub/../in.dft").substr(0), "the DFT file"},
               {f.dir.path("hard.set"), "the settings file"}};
  ASSERT_EQ(mkdir(f.dir.path("sub").c_str(), 0755), 0);
  for (const auto& c : cases) {
    test::SettingsLines lines;
    lines.output_name = c.name;
    const std::string settings = test::settings_text(lines);
    test::write_file(f.set_path(), settings);
    const test::RunResult r = f.run();
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, f.echo());
    EXPECT_EQ(r.err, "vexo: " + c.name + ": refused as listing name: it is " + c.what + "\n");
    EXPECT_EQ(test::read_file(f.dft_path()), original);
    EXPECT_EQ(test::read_file(f.set_path()), settings);
  }
}

TEST(Run, ListingThatCannotBeCreated) {
  test::SettingsLines lines;
  Fixture probe(records(1));
  lines.output_name = probe.dir.path("no/such/folder.lst");
  Fixture f(records(1), lines);
  const test::RunResult r = f.run();
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, f.echo());
  EXPECT_EQ(r.err.rfind("vexo: " + lines.output_name + ": cannot create: ", 0), 0u) << r.err;
}

TEST(Run, ListingThatCannotBeWritten) {
  if (!test::file_exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  test::SettingsLines lines;
  lines.output_name = "/dev/full";
  Fixture f(records(2), lines);
  const test::RunResult r = f.run();
  EXPECT_EQ(r.status, 1);
  // No stop message: the run did not end as the listing says.
  EXPECT_EQ(r.out, f.echo() + "342 12:00:01");
  EXPECT_EQ(r.err.rfind("vexo: /dev/full: cannot write the listing: ", 0), 0u) << r.err;

  // The record check fails, then the last flush of its header lines: both reasons, in turn.
  HeaderFields failing = test::regular_header();
  failing.l = 0;
  Fixture g(test::make_record(failing), lines);
  const test::RunResult both = g.run();
  EXPECT_EQ(both.status, 1);
  EXPECT_EQ(both.out, g.echo());
  EXPECT_EQ(both.err, "vexo: " + g.dft_path() +
                          ": record 1 at byte 0: record check failed: 16*u + l is 0\n"
                          "vexo: /dev/full: cannot write the listing: No space left on device\n");
}

}  // namespace
}  // namespace vexo
