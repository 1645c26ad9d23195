#include "tests/test_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "listing/entry.h"

namespace vexo::test {

TempDir::TempDir() {
  std::random_device seed;
  std::mt19937_64 random(seed());
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path path = base / ("vexo-test-" + std::to_string(random()));
    if (std::filesystem::create_directory(path)) {
      dir = path.string();
      return;
    }
  }
  throw std::runtime_error("no temporary folder could be made");
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

void write_file(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) throw std::runtime_error("cannot write " + path);
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

void write_file(const std::string& path, const std::string& text) {
  write_file(path, std::vector<unsigned char>(text.begin(), text.end()));
}

namespace {

std::string read_whole(const std::string& path, const char* mode) {
  std::FILE* f = std::fopen(path.c_str(), mode);
  if (f == nullptr) return {};
  std::string text;
  char chunk[65536];
  for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, f)) > 0;) text.append(chunk, got);
  std::fclose(f);
  return text;
}

}  // namespace

std::string read_file(const std::string& path) {
  return read_whole(path, "rb");
}

std::string read_text_file(const std::string& path) {
  return read_whole(path, "r");
}

bool file_exists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(path, ignored);
}

HeaderFields regular_header() {
  HeaderFields h;
  h.year = 26, h.day = 342, h.hour = 12;
  h.FREQ = 2500.0f;
  h.l = 1;
  h.A = 4, h.N = 5, h.D1 = 8, h.D2 = 2;
  return h;
}

std::vector<unsigned char> make_record(const HeaderFields& h, int subblocks,
                                       unsigned char amplitude, unsigned char phase) {
  std::vector<encode::DescriptorValues> descriptors(subblocks, {2500, 150, 3, 1});
  return encode::encode_record(encode::channel_nibbles(encode::header_nibbles(h), descriptors),
                               std::vector<unsigned char>(kSamplesPerKind, amplitude),
                               std::vector<unsigned char>(kSamplesPerKind, phase));
}

std::string repeat(const std::string& text, int count) {
  std::string all;
  for (int i = 0; i < count; ++i) all += text;
  return all;
}

std::vector<unsigned char> join(const std::vector<std::vector<unsigned char>>& records) {
  std::vector<unsigned char> bytes;
  for (const auto& r : records) bytes.insert(bytes.end(), r.begin(), r.end());
  return bytes;
}

std::string settings_text(const SettingsLines& s, const std::string& line_end) {
  const std::string values[] = {s.output_name,     s.listing_mode,        s.show_header,
                                s.show_subblock,   s.phase_correction,    s.select_frequency,
                                s.select_height,   s.select_polarization, s.select_antenna,
                                s.amplitude_scale, s.subblock_step,       s.record_frequency,
                                s.convert_samples};
  std::string text;
  int label = 1;
  for (const std::string& value : values) {
    text += "label " + std::to_string(label++) + line_end + value + line_end;
  }
  return text;
}

RunResult run_tool(const std::vector<std::string>& args) {
  std::vector<std::string> argv_text = {"vexo"};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  RunResult result;
  result.status = run_vexo(static_cast<int>(argv_text.size()), argv.data(), out, err);
  for (auto [file, text] : {std::pair{out, &result.out}, std::pair{err, &result.err}}) {
    std::fflush(file);
    std::rewind(file);
    char chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
      text->append(chunk, got);
    }
    std::fclose(file);
  }
  return result;
}

Loop::Loop(const std::vector<unsigned char>& bytes, const Settings& settings, int threads) {
  write_file(dir.path("f.dft"), bytes);
  std::FILE* lst = std::fopen(dir.path("f.lst").c_str(), "w");
  std::FILE* console_out = std::tmpfile();
  Reader reader = Reader::open(dir.path("f.dft"), 5000);
  ListingOutput listing = make_listing_output(lst, 100);
  Console console = make_console(console_out);
  const ListingPlan plan = make_plan(settings);
  RunContext run{plan, listing, console};
  run.threads = threads;
  result = list_records(reader, run);
  step_counter = run.step_counter;
  std::fclose(lst);
  listing_text = read_text_file(dir.path("f.lst"));
  std::rewind(console_out);
  char chunk[4096];
  for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, console_out)) > 0;) {
    console_text.append(chunk, got);
  }
  std::fclose(console_out);
}

}  // namespace vexo::test
