#include "listing/entry.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "listing/console.h"
#include "listing/listing_output.h"
#include "listing/plan.h"
#include "listing/record_loop.h"
#include "listing/run_stop.h"
#include "listing/settings.h"
#include "listing/text/escape.h"
#include "platform/platform.h"
#include "vexo/reader.h"
#include "vexo/record.h"
#include "vexo/version.h"

namespace vexo {
namespace {

constexpr const char* kUsage = "usage: vexo [-o FILE] [-j N] FILE.dft FILE.set\n";

constexpr const char* kHelp =
    "usage: vexo [-o FILE] [-j N] FILE.dft FILE.set\n"
    "Lists the records of the DFT file FILE.dft (- reads standard input) as text.\n"
    "The settings file FILE.set, a label line before each of 13 values, names the\n"
    "listing file and chooses what goes into it.\n"
    "  -o, --output FILE  write the listing to FILE instead of the name in FILE.set;\n"
    "                     -o - writes it to standard output, and the console text\n"
    "                     to standard error\n"
    "  -j, --threads N    list in N threads, 1 to 64 (default: one for each core,\n"
    "                     at most 8, where the work of the records pays for them,\n"
    "                     else one); the listing is the same whatever N is\n"
    "  -h, --help         show this help\n"
    "      --version      show the version\n"
    "Exit status: 0 the DFT file was listed to its clean end; 1 the run stopped\n"
    "early (a damaged or failing record, a listing that cannot be written); 2 an\n"
    "unknown option, -o without a file name, -j without a number from 1 to 64;\n"
    "255 nothing was listed (fewer than two file names, a file that cannot be\n"
    "opened or created, a bad settings file, a refused listing name).\n"
    "The manual page: man vexo\n";

// What the command line asks for. Options come before the file names; "--" ends them, and so
// does the first argument that is not one ("-" included).
struct CommandLine {
  enum class Action { run, help, version, wrong } action = Action::run;
  const char* output = nullptr;  // -o FILE; "-" is standard output
  int threads = 0;               // -j N; 0: the default, see run_vexo
  int first_name = 1;            // the index of the DFT file's name in argv
  std::string wrong;             // Action::wrong: the message
};

constexpr int kThreadsMax = 64;
constexpr int kDefaultThreadsMax = 8;

// N of -j N: a whole number from 1 to kThreadsMax, else 0.
int thread_count(std::string_view text) {
  if (text.empty() || text.size() > 2) return 0;
  int n = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return 0;
    n = 10 * n + (c - '0');
  }
  return n <= kThreadsMax ? n : 0;
}

int default_threads() {
  const unsigned cores = std::thread::hardware_concurrency();
  if (cores == 0) return 1;
  return cores < kDefaultThreadsMax ? static_cast<int>(cores) : kDefaultThreadsMax;
}

CommandLine read_command_line(int argc, char** argv) {
  CommandLine line;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.size() < 2 || arg[0] != '-') break;
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg == "-h" || arg == "--help") {
      line.action = CommandLine::Action::help;
      return line;
    }
    if (arg == "--version") {
      line.action = CommandLine::Action::version;
      return line;
    }
    if (arg == "-o" || arg == "--output") {
      if (i + 1 == argc) {
        line.action = CommandLine::Action::wrong;
        line.wrong = std::string(arg) + ": a file name must follow";
        return line;
      }
      line.output = argv[++i];
    } else if (arg.substr(0, 9) == "--output=") {
      line.output = argv[i] + 9;
    } else if (arg.substr(0, 2) == "-o") {
      line.output = argv[i] + 2;
    } else if (arg == "-j" || arg == "--threads" || arg.substr(0, 10) == "--threads=" ||
               arg.substr(0, 2) == "-j") {
      std::string_view value;
      if (arg == "-j" || arg == "--threads") {
        if (i + 1 < argc) value = argv[++i];
      } else {
        value = arg.substr(arg[1] == 'j' ? 2 : 10);
      }
      line.threads = thread_count(value);
      if (line.threads == 0) {
        line.action = CommandLine::Action::wrong;
        line.wrong = std::string(arg.substr(0, 2) == "-j" ? "-j" : "--threads") +
                     ": a whole number from 1 to 64 must follow";
        return line;
      }
    } else {
      line.action = CommandLine::Action::wrong;
      line.wrong = escaped(arg) + ": unknown option";
      return line;
    }
  }
  line.first_name = i;
  return line;
}

// The three files of a run, closed in this order: DFT file, listing, settings file. Standard
// input and standard output, when they are the DFT file or the listing, are only flushed.
struct RunFiles {
  std::FILE* dft = nullptr;
  std::FILE* listing = nullptr;
  std::FILE* settings = nullptr;
  bool dft_is_stdin = false;
  bool listing_is_stdout = false;
};

// Closes what is open; returns 0, or the errno of a listing that did not close cleanly.
int close_files(RunFiles& files) {
  int listing_error = 0;
  if (files.dft != nullptr && !files.dft_is_stdin) std::fclose(files.dft);
  if (files.listing != nullptr) {
    errno = 0;
    const int failed =
        files.listing_is_stdout ? std::fflush(files.listing) : std::fclose(files.listing);
    if (failed != 0) listing_error = errno != 0 ? errno : EIO;
  }
  if (files.settings != nullptr) std::fclose(files.settings);
  files = RunFiles{};
  return listing_error;
}

// Diagnostics go to standard error. When the console line is still open (the usage message,
// the progress line and the stop messages have no line end) and it is on standard error too,
// or on a terminal that standard error shares, the diagnostic starts on a line of its own.
void start_diagnostic(const Console& console, std::FILE* err, bool console_line_open) {
  if (!console_line_open) return;
  if (console.out == err || (is_terminal(console.out) && is_terminal(err))) std::fputc('\n', err);
}

// Opens an input file for reading; reports and returns nullptr when it cannot be read.
std::FILE* open_input(const char* name, const char* mode, std::FILE* err) {
  errno = 0;
  std::FILE* file = std::fopen(name, mode);
  if (file == nullptr) {
    std::fprintf(err, "vexo: %s: cannot open: %s\n", escaped(name).c_str(),
                 errno != 0 ? std::strerror(errno) : "unknown error");
    return nullptr;
  }
  if (is_directory(file)) {
    std::fprintf(err, "vexo: %s: cannot open: it is a directory\n", escaped(name).c_str());
    std::fclose(file);
    return nullptr;
  }
  return file;
}

// True when writing the listing under `name` would spoil what goes to `stream` (standard output
// or error) or the other way round: the same file, a pipe or a terminal, not the null device.
bool shares_stream(const char* name, std::FILE* stream) {
  return names_open_file(name, stream) && !is_plain_device(stream);
}

// Why the listing may not be created under `name`, or nullptr.
const char* listing_refusal(const char* name, const RunFiles& files, std::FILE* out,
                            std::FILE* err) {
  if (names_open_file(name, files.dft)) return "it is the DFT file";
  if (names_open_file(name, files.settings)) return "it is the settings file";
  if (shares_stream(name, out)) return "it is standard output; -o - writes the listing there";
  if (shares_stream(name, err)) {
    return "it is standard error; -o - writes the listing to standard output";
  }
  return nullptr;
}

}  // namespace

int run_vexo(int argc, char** argv, std::FILE* out, std::FILE* err) {
  const CommandLine line = read_command_line(argc, argv);
  if (line.action == CommandLine::Action::wrong) {
    std::fprintf(err, "vexo: %s\n%s(vexo --help for more)\n", line.wrong.c_str(), kUsage);
    return kExitWrongOption;
  }
  if (line.action != CommandLine::Action::run) {
    Console console = make_console(out, err);
    write_console(console, line.action == CommandLine::Action::help
                               ? std::string(kHelp)
                               : std::string("vexo ") + version() + "\n");
    return kExitClean;
  }

  // With -o - the listing has standard output to itself: the console text goes with the
  // diagnostics.
  const bool listing_to_stdout = line.output != nullptr && std::strcmp(line.output, "-") == 0;
  Console console = listing_to_stdout ? make_console(err) : make_console(out, err);
  // Redraws on a cleared screen would wipe a listing on the same terminal.
  if (listing_to_stdout && is_terminal(out)) console.terminal = false;

  const int names = argc - line.first_name;
  if (names < 2) {
    write_console(console, "FORMAT: vexo.exe filename.dft filname.set");
    start_diagnostic(console, err, true);
    std::fputs("vexo: two file names are needed: vexo FILE.dft FILE.set\n", err);
    return kExitStartFailed;
  }
  const char* dft_name = argv[line.first_name];
  const char* settings_name = argv[line.first_name + 1];
  // The count of arguments as without the options: the program, the names and what follows.
  write_console(console, std::to_string(names + 1) + " " + dft_name + " " + settings_name + "\n");

  RunFiles files;
  files.dft_is_stdin = std::strcmp(dft_name, "-") == 0;
  const std::string dft_shown = files.dft_is_stdin ? "standard input" : dft_name;
  if (files.dft_is_stdin) {
    files.dft = stdin;
    set_binary_input(stdin);
  } else {
    files.dft = open_input(dft_name, "rb", err);
    if (files.dft == nullptr) return kExitStartFailed;
  }
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
      std::fprintf(err, "vexo: %s: cannot read: %s\n", escaped(settings_name).c_str(),
                   std::strerror(read_errno != 0 ? read_errno : EIO));
    } else {
      std::fprintf(err, "vexo: %s: %s\n", escaped(settings_name).c_str(), settings_error.c_str());
    }
    close_files(files);
    return kExitStartFailed;
  }

  // Values kept as they are (stored settings files may rely on them), but said once.
  for (const std::string& warning : settings_warnings(settings)) {
    std::fprintf(err, "vexo: %s: %s\n", escaped(settings_name).c_str(), warning.c_str());
  }

  const char* output_name = line.output != nullptr ? line.output : settings.output_name.c_str();
  const std::string listing_shown = listing_to_stdout ? "standard output" : output_name;
  if (listing_to_stdout) {
    files.listing = out;
    files.listing_is_stdout = true;
  } else {
    // Creating the listing empties the file of that name: never one of the inputs, nor where
    // the console text goes.
    const char* refusal = listing_refusal(output_name, files, out, err);
    if (refusal != nullptr) {
      std::fprintf(err, "vexo: %s: refused as listing name: %s\n", escaped(output_name).c_str(),
                   refusal);
      close_files(files);
      return kExitStartFailed;
    }
    errno = 0;
    files.listing = std::fopen(output_name, "w");
    if (files.listing == nullptr) {
      std::fprintf(err, "vexo: %s: cannot create: %s\n", escaped(output_name).c_str(),
                   errno != 0 ? std::strerror(errno) : "unknown error");
      close_files(files);
      return kExitStartFailed;
    }
    // The listing has its own large buffer.
    std::setvbuf(files.listing, nullptr, _IONBF, 0);
  }

  const ListingPlan plan = make_plan(settings);
  Reader reader = Reader::over_stream(files.dft);
  ListingOutput listing = make_listing_output(files.listing);
  RunContext run{plan, listing, console};
  // By default up to one thread for each core, used only where the records' work pays for them,
  // which depends on how many records the file holds.
  run.threads = line.threads != 0 ? line.threads : default_threads();
  run.workers_when_paying = line.threads == 0;
  if (!files.dft_is_stdin) {
    std::error_code unknown;  // not a regular file: a pipe, a device
    const std::uintmax_t size = std::filesystem::file_size(dft_name, unknown);
    if (!unknown) run.file_records = static_cast<int64_t>(size / kRecordSize);
  }
  RunStop stop = list_records(reader, run);
  stop.close_error = close_files(files);
  const int status = exit_status(stop);
  if (status == kExitClean) return status;
  start_diagnostic(console, err, stop.write_error == 0 || console.walked);
  report_stop(stop, dft_shown.c_str(), listing_shown.c_str(), err);
  return status;
}

}  // namespace vexo
