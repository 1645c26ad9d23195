// Fuzz target: a whole run in memory. The input is a settings file, a zero byte, then the DFT
// file (no zero byte: settings only, and an empty DFT file). The listing must be text: printable
// characters and line ends only.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "listing/plan.h"
#include "listing/record_loop.h"
#include "listing/settings.h"

namespace {

std::FILE* open_bytes(const uint8_t* data, std::size_t size) {
  return size == 0 ? std::fopen("/dev/null", "rb")
                   : fmemopen(const_cast<uint8_t*>(data), size, "rb");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const auto* zero = static_cast<const uint8_t*>(std::memchr(data, 0, size));
  const std::size_t settings_size = zero != nullptr ? static_cast<std::size_t>(zero - data) : size;
  std::FILE* settings_file = open_bytes(data, settings_size);
  if (settings_file == nullptr) return 0;
  vexo::Settings settings;
  const std::string error = vexo::read_settings(settings_file, settings);
  std::fclose(settings_file);
  if (!error.empty()) return 0;

  const uint8_t* dft = zero != nullptr ? zero + 1 : data + size;
  std::FILE* dft_file = open_bytes(dft, static_cast<std::size_t>(data + size - dft));
  char* text = nullptr;
  std::size_t text_size = 0;
  std::FILE* listing_file = open_memstream(&text, &text_size);
  std::FILE* console_file = std::fopen("/dev/null", "w");
  if (dft_file == nullptr || listing_file == nullptr || console_file == nullptr) std::abort();

  vexo::Reader reader = vexo::Reader::over_stream(dft_file, 5000);
  vexo::ListingOutput listing = vexo::make_listing_output(listing_file, 4096);
  vexo::Console console = vexo::make_console(console_file);
  const vexo::ListingPlan plan = vexo::make_plan(settings);
  vexo::RunContext run{plan, listing, console};
  vexo::list_records(reader, run);
  std::fclose(listing_file);
  for (std::size_t i = 0; i < text_size; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c != '\n' && (c < ' ' || c > '~')) __builtin_trap();
  }
  std::free(text);
  std::fclose(dft_file);
  std::fclose(console_file);
  return 0;
}
