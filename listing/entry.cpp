#include "listing/entry.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "decode/dft_input.h"
#include "listing/console.h"
#include "listing/listing_output.h"
#include "listing/platform.h"
#include "listing/record_loop.h"
#include "listing/settings.h"

namespace vexo {
namespace {

// The three files of a run, closed in this order: DFT file, listing, settings file.
struct RunFiles {
  std::FILE* dft = nullptr;
  std::FILE* listing = nullptr;
  std::FILE* settings = nullptr;
};

// Closes what is open; returns 0, or the errno of a listing that did not close cleanly.
int close_files(RunFiles& files) {
  int listing_error = 0;
  if (files.dft != nullptr) std::fclose(files.dft);
  if (files.listing != nullptr) {
    errno = 0;
    if (std::fclose(files.listing) != 0) listing_error = errno != 0 ? errno : EIO;
  }
  if (files.settings != nullptr) std::fclose(files.settings);
  files = RunFiles{};
  return listing_error;
}

// Diagnostics go to standard error. When standard output and standard error share a terminal
// and the console line is still open (the usage message, the progress line and the stop
// messages have no line end), the diagnostic starts on a line of its own.
void start_diagnostic(std::FILE* out, std::FILE* err, bool console_line_open) {
  if (console_line_open && is_terminal(out) && is_terminal(err)) std::fputc('\n', err);
}

// Opens an input file for reading; reports and returns nullptr when it cannot be read.
std::FILE* open_input(const char* name, const char* mode, std::FILE* err) {
  errno = 0;
  std::FILE* file = std::fopen(name, mode);
  if (file == nullptr) {
    std::fprintf(err, "vexo: %s: cannot open: %s\n", name,
                 errno != 0 ? std::strerror(errno) : "unknown error");
    return nullptr;
  }
  if (is_directory(file)) {
    std::fprintf(err, "vexo: %s: cannot open: it is a directory\n", name);
    std::fclose(file);
    return nullptr;
  }
  return file;
}

void report_loop_end(const LoopResult& r, const HeaderFields& h, const char* dft_name,
                     int read_error, const std::string& listing_name, int listing_error,
                     std::FILE* err) {
  const long long record = static_cast<long long>(r.record_number);
  const unsigned long long offset = static_cast<unsigned long long>(r.offset);
  switch (r.end) {
    case LoopEnd::end_of_file:
      break;
    case LoopEnd::bad_marker:
      std::fprintf(
          err, "vexo: %s: record %lld at byte %llu: first byte is %d, not the record marker %d\n",
          dft_name, record, offset, r.read.first_byte, kRecordMarker);
      break;
    case LoopEnd::truncated:
      std::fprintf(err, "vexo: %s: record %lld at byte %llu: truncated record, %zu of %zu bytes\n",
                   dft_name, record, offset, r.read.available, kRecordSize);
      break;
    case LoopEnd::read_error:
      std::fprintf(err, "vexo: %s: record %lld at byte %llu: cannot read: %s\n", dft_name, record,
                   offset, std::strerror(read_error != 0 ? read_error : EIO));
      break;
    case LoopEnd::error_detected:
      std::fprintf(err, "vexo: %s: record %lld at byte %llu: record check failed: %s\n", dft_name,
                   record, offset, h.A == 0 ? "A is 0 (no antennas)" : "16*u + l is 0");
      break;
    case LoopEnd::write_error:
      std::fprintf(err, "vexo: %s: cannot write the listing: %s\n", listing_name.c_str(),
                   std::strerror(listing_error != 0 ? listing_error : EIO));
      break;
  }
}

}  // namespace

int run_vexo(int argc, char** argv, std::FILE* out, std::FILE* err) {
  if (argc < 3) {
    std::fputs("FORMAT: vexo.exe filename.dft filname.set", out);
    std::fflush(out);
    start_diagnostic(out, err, true);
    std::fputs("vexo: two file names are needed: vexo FILE.dft FILE.set\n", err);
    return kExitStartFailed;
  }
  const char* dft_name = argv[1];
  const char* settings_name = argv[2];
  std::fprintf(out, "%d %s %s\n", argc, dft_name, settings_name);
  std::fflush(out);

  RunFiles files;
  files.dft = open_input(dft_name, "rb", err);
  if (files.dft == nullptr) return kExitStartFailed;
  files.settings = open_input(settings_name, "r", err);
  if (files.settings == nullptr) {
    close_files(files);
    return kExitStartFailed;
  }

  Settings settings;
  errno = 0;
  const std::string settings_error = read_settings(files.settings, settings);
  if (!settings_error.empty()) {
    // A read that failed looks like the end of the file to the reader: say what really happened.
    const int read_errno = errno;
    if (std::ferror(files.settings)) {
      std::fprintf(err, "vexo: %s: cannot read: %s\n", settings_name,
                   std::strerror(read_errno != 0 ? read_errno : EIO));
    } else {
      std::fprintf(err, "vexo: %s: %s\n", settings_name, settings_error.c_str());
    }
    close_files(files);
    return kExitStartFailed;
  }

  // Creating the listing empties the file of that name: never one of the inputs.
  const char* output_name = settings.output_name.c_str();
  const char* clash = names_open_file(output_name, files.dft)        ? "the DFT file"
                      : names_open_file(output_name, files.settings) ? "the settings file"
                                                                     : nullptr;
  if (clash != nullptr) {
    std::fprintf(err, "vexo: %s: refused as listing name: it is %s\n", output_name, clash);
    close_files(files);
    return kExitStartFailed;
  }
  errno = 0;
  files.listing = std::fopen(output_name, "w");
  if (files.listing == nullptr) {
    std::fprintf(err, "vexo: %s: cannot create: %s\n", output_name,
                 errno != 0 ? std::strerror(errno) : "unknown error");
    close_files(files);
    return kExitStartFailed;
  }
  // The listing has its own large buffer.
  std::setvbuf(files.listing, nullptr, _IONBF, 0);

  auto state = std::make_unique<RunState>();
  DftInput input = make_dft_input(files.dft);
  ListingOutput listing = make_listing_output(files.listing);
  Console console = make_console(out);
  const LoopResult result = list_records(input, listing, settings, *state, console);
  const int close_error = close_files(files);
  const bool console_line_open = result.end != LoopEnd::write_error || console.walked;
  if (result.end == LoopEnd::end_of_file && close_error == 0) return kExitClean;

  start_diagnostic(out, err, console_line_open);
  report_loop_end(result, state->header, dft_name, input.read_error, settings.output_name,
                  listing.error, err);
  if (close_error != 0 && result.end != LoopEnd::write_error) {
    std::fprintf(err, "vexo: %s: cannot write the listing: %s\n", output_name,
                 std::strerror(close_error));
  }
  return kExitStopped;
}

}  // namespace vexo
