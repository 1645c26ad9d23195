// Bad input from the command line: for each case the exact standard output, the exit status,
// the problem named on standard error, and what became of the files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "tests/test_support.h"

namespace vexo {
namespace {

constexpr const char* kEnd = "Incorrect file structure or end of file";

struct Files {
  explicit Files(const std::vector<unsigned char>& dft) {
    test::write_file(dft_path(), dft);
    set_settings({});
  }
  void set_settings(test::SettingsLines lines) {
    if (lines.output_name.empty()) lines.output_name = listing();
    settings = test::settings_text(lines);
    test::write_file(set_path(), settings);
  }
  std::string dft_path() const { return dir.path("in.dft"); }
  std::string set_path() const { return dir.path("in.set"); }
  std::string listing() const { return dir.path("out.lst"); }
  std::string echo() const { return "3 " + dft_path() + " " + set_path() + "\n"; }
  test::RunResult run() const { return test::run_tool({dft_path(), set_path()}); }
  std::string dft_error(const std::string& what) const {
    return "vexo: " + dft_path() + ": " + what + "\n";
  }
  std::string settings_error(const std::string& what) const {
    return "vexo: " + set_path() + ": " + what + "\n";
  }

  test::TempDir dir;
  std::string settings;
};

std::vector<unsigned char> good_records(int count) {
  HeaderFields h = test::regular_header();
  std::vector<std::vector<unsigned char>> records;
  for (int i = 0; i < count; ++i, ++h.second) records.push_back(test::make_record(h));
  return test::join(records);
}

int lines_of(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

TEST(CommandLine, SettingsThatCannotBeRead) {
  const char* names[] = {"output_name",     "listing_mode",        "show_header",
                         "show_subblock",   "phase_correction",    "select_frequency",
                         "select_height",   "select_polarization", "select_antenna",
                         "amplitude_scale", "subblock_step",       "record_frequency",
                         "convert_samples"};
  Files f(good_records(1));
  const std::string whole = f.settings;
  // Cut after each value: the next one is missing, on the line where it belongs.
  std::size_t end = 0;
  for (int values = 0; values < 13; ++values) {
    test::write_file(f.set_path(), whole.substr(0, end));
    const test::RunResult r = f.run();
    EXPECT_EQ(r.status, 255) << values;
    EXPECT_EQ(r.out, f.echo());
    EXPECT_EQ(r.err, f.settings_error("line " + std::to_string(2 * values + 2) + ": " +
                                      names[values] + ": missing: the file ends first"));
    EXPECT_FALSE(test::file_exists(f.listing()));
    end = whole.find('\n', whole.find('\n', end) + 1) + 1;  // past the label and the value
  }
  const struct {
    const char* show_header;
    const char* message;
  } bad[] = {{"yes", "line 6: show_header: \"yes\" is not a whole number"},
             {"99999999999", "line 6: show_header: \"99999999999\" is out of range"}};
  for (const auto& c : bad) {
    test::SettingsLines lines;
    lines.show_header = c.show_header;
    f.set_settings(lines);
    const test::RunResult r = f.run();
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, f.echo());
    EXPECT_EQ(r.err, f.settings_error(c.message));
    EXPECT_FALSE(test::file_exists(f.listing()));
  }
  for (const char* mode : {"0", "3"}) {
    test::SettingsLines lines;
    lines.listing_mode = mode;
    f.set_settings(lines);
    const test::RunResult r = f.run();
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, f.settings_error(std::string("line 4: listing_mode: ") + mode +
                                      " is neither 1 (phase listing) nor 2 (amplitude listing)"));
    EXPECT_FALSE(test::file_exists(f.listing()));
  }
}

TEST(CommandLine, DftFileThatCannotBeRead) {
  Files f(good_records(1));
  // Opens, but reading its first byte fails.
  const std::string unreadable = "/proc/self/mem";
  if (test::file_exists(unreadable)) {
    const test::RunResult r = test::run_tool({unreadable, f.set_path()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "3 " + unreadable + " " + f.set_path() + "\n" + kEnd);
    EXPECT_EQ(r.err,
              "vexo: " + unreadable + ": record 1 at byte 0: cannot read: Input/output error\n");
    EXPECT_EQ(test::read_file(f.listing()), "");
    EXPECT_TRUE(test::file_exists(f.listing()));
  }
  if (geteuid() == 0) return;  // permissions do not bind the superuser
  ASSERT_EQ(chmod(f.dft_path().c_str(), 0), 0);
  std::remove(f.listing().c_str());
  const test::RunResult r = f.run();
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, f.echo());
  EXPECT_EQ(r.err, f.dft_error("cannot open: Permission denied"));
  EXPECT_FALSE(test::file_exists(f.listing()));
}

// DFT files that end the run early or oddly; the listing is kept up to the last whole record.
TEST(CommandLine, DamagedDftFiles) {
  const std::vector<unsigned char> two = good_records(2);
  const std::vector<unsigned char> three = good_records(3);
  std::vector<unsigned char> bad_marker = three;
  bad_marker[2 * kRecordSize] = 0;
  std::vector<unsigned char> trailing_marker = two, trailing_other = two;
  trailing_marker.insert(trailing_marker.end(), {10, 1, 2});
  trailing_other.insert(trailing_other.end(), {'\r', '\n'});
  HeaderFields no_antennas = test::regular_header();
  no_antennas.A = 0;
  const struct {
    const char* name;
    std::vector<unsigned char> bytes;
    std::string console_tail;
    std::string error;  // on standard error after "vexo: FILE.dft: "; empty: none
    int listing_lines;
  } cases[] = {
      {"one truncated record", std::vector<unsigned char>(two.begin(), two.begin() + 4095), kEnd,
       "record 1 at byte 0: truncated record, 4095 of 4096 bytes", 0},
      {"bad marker after two records", bad_marker, std::string("342 12:00:01") + kEnd,
       "record 3 at byte 8192: first byte is 0, not the record marker 10", 2 * 82},
      {"trailing bytes starting with the marker", trailing_marker,
       std::string("342 12:00:01") + kEnd,
       "record 3 at byte 8192: truncated record, 3 of 4096 bytes", 2 * 82},
      {"trailing line end", trailing_other, std::string("342 12:00:01") + kEnd,
       "record 3 at byte 8192: first byte is 13, not the record marker 10", 2 * 82},
      {"no antennas", test::make_record(no_antennas, 0), "Error detected",
       "record 1 at byte 0: record check failed: A is 0 (no antennas)", 2},
  };
  for (const auto& c : cases) {
    Files f(c.bytes);
    const test::RunResult r = f.run();
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_EQ(r.out, f.echo() + c.console_tail) << c.name;
    EXPECT_EQ(r.err, f.dft_error(c.error)) << c.name;
    EXPECT_EQ(lines_of(test::read_file(f.listing())), c.listing_lines) << c.name;
    EXPECT_TRUE(test::read_file(f.dft_path()) == std::string(c.bytes.begin(), c.bytes.end()));
  }
}

TEST(CommandLine, ShortestAndLongestLines) {
  HeaderFields h = test::regular_header();
  h.N = 9;  // one subblock of 512 samples per antenna
  Files longest(test::make_record(h, 1));
  test::RunResult r = longest.run();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, longest.echo() + "342 12:00:00" + kEnd);
  std::string listing = test::read_file(longest.listing());
  EXPECT_EQ(lines_of(listing), 2 + 1 + 4);
  EXPECT_EQ(listing.substr(listing.size() - 2049), test::repeat(" 180", 512) + "\n");

  h.N = 0;  // 512 subblocks of one sample; descriptors past the 34th lie beyond the file: 0
  Files shortest(test::make_record(h, 34));
  r = shortest.run();
  EXPECT_EQ(r.status, 0);
  listing = test::read_file(shortest.listing());
  EXPECT_EQ(lines_of(listing), 2 + 512 * 5);
  const std::string last_subblock =
      "Phase  F=     0 kHz H=    0.0 km G= 0 dB Pol= 0 12: 0: 0 342\n 180\n 180\n 180\n 180\n";
  EXPECT_EQ(listing.substr(listing.size() - last_subblock.size()), last_subblock);
}

// Every header and descriptor nibble 12. Decimal positions of the header text show it as '1',
// hex positions as 'C', where a decimal field read from there keeps the previous record's
// value; descriptors read each digit as 1.
std::vector<unsigned char> all_letters_record() {
  return encode::encode_record(std::vector<int>(kHeaderNibbles + 16 * kDescriptorNibbles, 12), {},
                               std::vector<unsigned char>(kSamplesPerKind, 0x80));
}

TEST(CommandLine, HeaderLettersWhereDigitsBelong) {
  Files first(all_letters_record());
  test::RunResult r = first.run();
  EXPECT_EQ(r.status, 1);  // A, on a hex position, keeps its 0
  EXPECT_EQ(r.out, first.echo() + "Error detected");
  EXPECT_EQ(r.err,
            first.dft_error("record 1 at byte 0: record check failed: A is 0 (no antennas)"));

  std::vector<unsigned char> bytes = good_records(1);
  const auto letters = all_letters_record();
  bytes.insert(bytes.end(), letters.begin(), letters.end());
  Files second(bytes);
  r = second.run();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, second.echo() + "111 11:11:11" + kEnd);
  const std::string listing = test::read_file(second.listing());
  EXPECT_EQ(lines_of(listing), 2 * 82);
  // Decimal positions read 1s (year 11, day 111, FREQ 111111, ...); FF, DIFF_D and C are hex
  // reads of the letters; u and everything from L on keep record 1's values (A 4, N 5, ...).
  EXPECT_NE(listing.find("\n2   11111 111111 11 CC1111 111111 C111110 00 c 00 000 000 "
                         "04825000000000\n"),
            std::string::npos);
  EXPECT_NE(listing.find("Phase  F= 11111 kHz H= 1111.0 km G= 1 dB Pol= 12 11:11:11 111\n"),
            std::string::npos);
}

// Runs the tool as its own process; returns its exit status and peak resident memory in KiB.
std::pair<int, long> run_process(const std::string& dft, const std::string& settings) {
  const pid_t pid = fork();
  if (pid == 0) {
    std::freopen("/dev/null", "w", stdout);
    std::freopen("/dev/null", "w", stderr);
    execl(VEXO_BINARY, "vexo", dft.c_str(), settings.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, usage.ru_maxrss};
}

TEST(CommandLine, LargeFilesOfNothingAndOfNoise) {
  test::TempDir dir;
  test::SettingsLines lines;
  lines.output_name = dir.path("out.lst");
  test::write_file(dir.path("in.set"), test::settings_text(lines));
  constexpr std::size_t kSize = std::size_t{200} << 20;

  // The files are written before any run, and the memory that made them is given back: the
  // peak memory of the tool's process also counts what it shared with this one before it
  // started.
  std::vector<unsigned char> bytes(kSize, 0);
  test::write_file(dir.path("zero.dft"), bytes);
  // Random bytes, but every record starts with the marker: random header fields and descriptors
  // in every record. The run ends somewhere, in bounded memory.
  std::mt19937 random(20261208);
  for (std::size_t i = 0; i < kSize; i += 4) {
    const uint32_t word = random();
    std::memcpy(&bytes[i], &word, 4);
  }
  for (std::size_t r = 0; r < kSize; r += kRecordSize) bytes[r] = kRecordMarker;
  test::write_file(dir.path("noise.dft"), bytes);
  std::vector<unsigned char>().swap(bytes);

  const auto [zero_status, zero_kib] = run_process(dir.path("zero.dft"), dir.path("in.set"));
  EXPECT_EQ(zero_status, 1);  // the first byte is no record marker
  EXPECT_EQ(test::read_file(lines.output_name), "");
  const auto [noise_status, noise_kib] = run_process(dir.path("noise.dft"), dir.path("in.set"));
  EXPECT_TRUE(noise_status == 0 || noise_status == 1) << noise_status;
#if !defined(__SANITIZE_ADDRESS__)  // the sanitizer's own memory would hide the tool's
  EXPECT_LT(zero_kib, 32 * 1024);
  EXPECT_LT(noise_kib, 32 * 1024);
#else
  (void)zero_kib, (void)noise_kib;
#endif
}

// The tool as its own process, its standard streams where a shell would put them.
struct Process {
  std::vector<std::string> args;
  std::string in = "/dev/null";  // standard input
  std::string out, err;          // files that standard output and error go to (created)
  int out_fd = -1;               // instead of `out`: this descriptor
  rlim_t file_size_limit = RLIM_INFINITY;

  // The exit status, or 128 + the signal that ended the process.
  int run() const {
    const pid_t pid = fork();
    if (pid == 0) {
      const int in_fd = open(in.c_str(), O_RDONLY);
      const int to = out_fd >= 0 ? out_fd : open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (in_fd < 0 || to < 0 || err_fd < 0) _exit(126);
      dup2(in_fd, 0), dup2(to, 1), dup2(err_fd, 2);
      const struct rlimit limit = {file_size_limit, file_size_limit};
      setrlimit(RLIMIT_FSIZE, &limit);
      std::vector<char*> argv = {const_cast<char*>("vexo")};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(VEXO_BINARY, argv.data());
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
};

// A listing that shares a file with standard output or error would be emptied under it and
// written over by it: refused before it is created. The null device is no such file.
TEST(CommandLine, ListingThatIsAStandardStream) {
  Files f(good_records(1));
  Process p;
  p.args = {f.dft_path(), f.set_path()};
  p.out = f.listing(), p.err = f.dir.path("err");
  EXPECT_EQ(p.run(), 255);
  EXPECT_EQ(test::read_file(f.listing()), f.echo());
  EXPECT_EQ(test::read_file(p.err), "vexo: " + f.listing() +
                                        ": refused as listing name: it is standard output; -o - "
                                        "writes the listing there\n");

  test::SettingsLines lines;
  lines.output_name = "/dev/stdout";
  f.set_settings(lines);
  p.out = f.dir.path("out");
  EXPECT_EQ(p.run(), 255);
  EXPECT_EQ(test::read_file(p.out), f.echo());
  EXPECT_EQ(test::read_file(p.err).rfind("vexo: /dev/stdout: refused", 0), 0u);

  f.set_settings({});
  p.err = f.listing();
  EXPECT_EQ(p.run(), 255);
  EXPECT_EQ(test::read_file(f.listing()), "vexo: " + f.listing() +
                                              ": refused as listing name: it is standard error; "
                                              "-o - writes the listing to standard output\n");

  lines.output_name = "/dev/null";
  f.set_settings(lines);
  p.out = p.err = "/dev/null";
  EXPECT_EQ(p.run(), 0);
}

// Standard output that cannot be written is reported once and does not stop the listing; a
// listing that cannot be written ends the run with its reason, never by a signal.
TEST(CommandLine, StreamsThatCannotBeWritten) {
  Files f(good_records(3));
  Process p;
  p.args = {f.dft_path(), f.set_path()};
  p.err = f.dir.path("err");
  const int full_lines = 3 * 82;

  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[0]);  // the reader has gone
  p.out_fd = ends[1];
  EXPECT_EQ(p.run(), 0);
  EXPECT_EQ(test::read_file(p.err), "vexo: standard output: cannot write: Broken pipe\n");
  EXPECT_EQ(lines_of(test::read_file(f.listing())), full_lines);

  p.args = {"-o", "-", f.dft_path(), f.set_path()};
  EXPECT_EQ(p.run(), 1);
  EXPECT_EQ(test::read_file(p.err), f.echo() + "342 12:00:02\n" +
                                        "vexo: standard output: cannot write the listing: "
                                        "Broken pipe\n");
  close(ends[1]);
  p.out_fd = -1;

  if (test::file_exists("/dev/full")) {
    p.args = {f.dft_path(), f.set_path()};
    p.out = "/dev/full";
    EXPECT_EQ(p.run(), 0);
    EXPECT_EQ(test::read_file(p.err),
              "vexo: standard output: cannot write: No space left on device\n");
    EXPECT_EQ(lines_of(test::read_file(f.listing())), full_lines);
  }

  p.args = {f.dft_path(), f.set_path()};
  p.out = f.dir.path("out");
  p.file_size_limit = 10000;
  EXPECT_EQ(p.run(), 1);
  EXPECT_EQ(test::read_file(p.err),
            "vexo: " + f.listing() + ": cannot write the listing: File too large\n");
  EXPECT_EQ(test::read_file(f.listing()).size(), 10000u);
}

TEST(CommandLine, DftFileFromStandardInput) {
  Files f(good_records(2));
  Process p;
  p.args = {"-", f.set_path()};
  p.in = f.dft_path(), p.out = f.dir.path("out"), p.err = f.dir.path("err");
  EXPECT_EQ(p.run(), 0);
  EXPECT_EQ(test::read_file(p.out), "3 - " + f.set_path() + "\n342 12:00:01" + kEnd);
  EXPECT_EQ(lines_of(test::read_file(f.listing())), 2 * 82);

  test::write_file(f.dir.path("short"), std::vector<unsigned char>(100, 10));
  p.in = f.dir.path("short");
  EXPECT_EQ(p.run(), 1);
  EXPECT_EQ(test::read_file(p.err),
            "vexo: standard input: record 1 at byte 0: truncated record, 100 of 4096 bytes\n");
}

}  // namespace
}  // namespace vexo
