// Shared helpers of the tests: temporary folders, files, DFT records and settings files, and a
// run of the tool with captured console output.
#pragma once

#include <string>
#include <vector>

#include "listing/plan.h"
#include "listing/record_loop.h"
#include "listing/settings.h"
#include "src/header.h"
#include "tools/encoder.h"

namespace vexo::test {

// A fresh folder in the temporary folder, removed with everything in it at the end of the test.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path(const std::string& name) const { return dir + "/" + name; }
  std::string dir;
};

void write_file(const std::string& path, const std::vector<unsigned char>& bytes);
void write_file(const std::string& path, const std::string& text);
std::string read_file(const std::string& path);
// A text file as the platform reads text: line ends are "\n" whatever they are on disk.
std::string read_text_file(const std::string& path);
bool file_exists(const std::string& path);

// A regular record header: 4 antennas of 32 samples (16 subblocks), day 342 at 12:00:00,
// FREQ 2500, l = 1 so that the record passes the check.
HeaderFields regular_header();

// One record of the header with `subblocks` descriptors (all 2500 kHz, 150 km, gain 3,
// polarization 1) and the given fill for the sample bytes.
std::vector<unsigned char> make_record(const HeaderFields& h, int subblocks = 16,
                                       unsigned char amplitude = 0x40, unsigned char phase = 0x80);

// `text` `count` times over.
std::string repeat(const std::string& text, int count);

// Joins records into one file image.
std::vector<unsigned char> join(const std::vector<std::vector<unsigned char>>& records);

// The 13 values of a settings file, as the text written on their lines.
struct SettingsLines {
  std::string output_name;
  std::string listing_mode = "1";
  std::string show_header = "1";
  std::string show_subblock = "1";
  std::string phase_correction = "0";
  std::string select_frequency = "-1";
  std::string select_height = "-1";
  std::string select_polarization = "-1";
  std::string select_antenna = "-1";
  std::string amplitude_scale = "0";
  std::string subblock_step = "-1";
  std::string record_frequency = "0";
  std::string convert_samples = "1";
};

// 26 lines: a label line before each value line.
std::string settings_text(const SettingsLines& s, const std::string& line_end = "\n");

struct RunResult {
  int status = 0;
  std::string out;  // standard output
  std::string err;  // standard error
};

RunResult run_tool(const std::vector<std::string>& args);

// The record loop run over a file image, with a small listing buffer so that it is flushed often,
// in `threads` threads.
struct Loop {
  Loop(const std::vector<unsigned char>& bytes, const Settings& settings, int threads = 1);
  TempDir dir;
  int64_t step_counter = 0;  // where the run left it
  RunStop result;
  std::string listing_text, console_text;
};

}  // namespace vexo::test
