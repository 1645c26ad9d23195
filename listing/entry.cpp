#include "listing/entry.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "listing/console.h"
#include "listing/listing_output.h"
#include "listing/plan.h"
#include "listing/record_loop.h"
#include "listing/run_stop.h"
#include "listing/settings.h"
#include "platform/platform.h"
#include "vexo/reader.h"

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

  const ListingPlan plan = make_plan(settings);
  Reader reader = Reader::over_stream(files.dft);
  ListingOutput listing = make_listing_output(files.listing);
  Console console = make_console(out);
  RunContext run{plan, listing, console};
  RunStop stop = list_records(reader, run);
  stop.close_error = close_files(files);
  const int status = exit_status(stop);
  if (status == kExitClean) return status;
  start_diagnostic(out, err, stop.write_error == 0 || console.walked);
  report_stop(stop, dft_name, output_name, err);
  return status;
}

}  // namespace vexo
