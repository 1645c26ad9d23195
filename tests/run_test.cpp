// Whole runs of the tool: console output, standard error, exit status and the listing.
#include <gtest/gtest.h>
#include <unistd.h>

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

TEST(Run, CleanEndOfFile) {
  Fixture f(records(3));
  const test::RunResult r = f.run();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, f.echo() + "342 12:00:02" + kEnd);
  EXPECT_EQ(r.err, "");
  // Each record: two header lines, then 16 subblocks of a Phase line and 4 antenna lines.
  EXPECT_EQ(lines_of(test::read_file(f.listing())), 3 * (2 + 16 * 5));
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
}

}  // namespace
}  // namespace vexo
