// Writes DFT records exactly as described, for tests that need records of known samples:
//   make_records OUTPUT [DESCRIPTION]
// The description (standard input when not given, or "-") is plain text, one statement a line;
// `#` starts a comment. Each record starts with a `header` line:
//   header NAME=VALUE ...            header fields by name (year, day, hour, minute, second,
//                                    FF, FREQ, A, N, D1, D2, R, X, l, u, ...); the others are 0;
//                                    values decimal, or hexadecimal after 0x
//   descriptor FREQ HEIGHT GAIN POL  one line per subblock, in order (kHz, km, dB, polarization)
//   amplitude HEX                    the record's 2048 amplitude bytes as 4096 hex digits (bit
//                                    0 of each byte is replaced by the header channel where
//                                    the channel reaches)
//   phase HEX                        the record's 2048 phase bytes as 4096 hex digits
// Every record needs its amplitude and phase lines. A description that cannot be read gives a
// message naming its line and status 2.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/encoder.h"

namespace {

struct Described {
  vexo::HeaderFields header;
  std::vector<vexo::encode::DescriptorValues> descriptors;
  std::vector<unsigned char> amplitude, phase;
};

bool read_integer(const std::string& text, long long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  value = std::strtoll(text.c_str() + (hex ? 2 : 0), &end, hex ? 16 : 10);
  return errno == 0 && *end == '\0' && end != text.c_str() + (hex ? 2 : 0);
}

// The header field of that name, or null.
int32_t* field_of(vexo::HeaderFields& h, const std::string& name) {
  struct Named {
    const char* name;
    int32_t vexo::HeaderFields::* field;
  };
  using H = vexo::HeaderFields;
  static const Named fields[] = {
      {"year", &H::year},     {"day", &H::day},
      {"hour", &H::hour},     {"minute", &H::minute},
      {"second", &H::second}, {"sp_s", &H::sp_s},
      {"sp_p", &H::sp_p},     {"FF", &H::FF},
      {"J", &H::J},           {"E", &H::E},
      {"H", &H::H},           {"M", &H::M},
      {"I", &H::I},           {"DIFF_FF", &H::DIFF_FF},
      {"S", &H::S},           {"l", &H::l},
      {"u", &H::u},           {"L", &H::L},
      {"C", &H::C},           {"U", &H::U},
      {"B", &H::B},           {"T", &H::T},
      {"O", &H::O},           {"V", &H::V},
      {"X", &H::X},           {"A", &H::A},
      {"D1", &H::D1},         {"D2", &H::D2},
      {"N", &H::N},           {"R", &H::R},
      {"w", &H::w},           {"k", &H::k},
      {"f", &H::f},           {"g", &H::g},
      {"OO", &H::OO},         {"P", &H::P},
      {"G", &H::G},
  };
  for (const Named& f : fields) {
    if (name == f.name) return &(h.*f.field);
  }
  return nullptr;
}

bool read_header(std::istringstream& words, vexo::HeaderFields& h, std::string& error) {
  std::string word;
  while (words >> word) {
    const auto equals = word.find('=');
    long long value = 0;
    if (equals == std::string::npos || !read_integer(word.substr(equals + 1), value) || value < 0 ||
        value > 999999) {
      error = "expected NAME=VALUE (0 to 999999), not \"" + word + "\"";
      return false;
    }
    const std::string name = word.substr(0, equals);
    if (name == "FREQ") {
      h.FREQ = static_cast<float>(value);
    } else if (name == "DIFF_D") {
      h.DIFF_D = static_cast<int8_t>(value & 0xF);
    } else if (int32_t* field = field_of(h, name)) {
      *field = static_cast<int32_t>(value);
    } else {
      error = "no header field \"" + name + "\"";
      return false;
    }
  }
  return true;
}

bool read_bytes(std::istringstream& words, std::vector<unsigned char>& out, std::string& error) {
  std::string hex, piece;
  while (words >> piece) hex += piece;
  if (hex.size() != 2 * static_cast<std::size_t>(vexo::kSamplesPerKind)) {
    error = "expected " + std::to_string(2 * vexo::kSamplesPerKind) + " hex digits, not " +
            std::to_string(hex.size());
    return false;
  }
  out.resize(vexo::kSamplesPerKind);
  for (std::size_t i = 0; i < out.size(); ++i) {
    char* end = nullptr;
    const std::string pair = hex.substr(2 * i, 2);
    const long value = std::strtol(pair.c_str(), &end, 16);
    if (*end != '\0' || pair.find_first_of("+- ") != std::string::npos) {
      error = "\"" + pair + "\" is not a hex byte";
      return false;
    }
    out[i] = static_cast<unsigned char>(value);
  }
  return true;
}

bool read_descriptor(std::istringstream& words, vexo::encode::DescriptorValues& d,
                     std::string& error) {
  const long long highest[] = {99999, 9999, 9, 15};
  long long values[4] = {};
  std::string word;
  for (int i = 0; i < 4; ++i) {
    if (!(words >> word) || !read_integer(word, values[i]) || values[i] < 0 ||
        values[i] > highest[i]) {
      error = "expected FREQ HEIGHT GAIN POLARIZATION (0-99999 0-9999 0-9 0-15)";
      return false;
    }
  }
  if (words >> word) {
    error = "more than four descriptor values";
    return false;
  }
  d = {static_cast<int>(values[0]), static_cast<int>(values[1]), static_cast<int>(values[2]),
       static_cast<int>(values[3])};
  return true;
}

// The records of the description, or false with a message naming the line.
bool read_description(std::istream& in, const std::string& name, std::vector<Described>& records,
                      std::string& message) {
  std::string line, error;
  int number = 0;
  const auto fail = [&](const std::string& what) {
    message = name + ": line " + std::to_string(number) + ": " + what;
    return false;
  };
  while (std::getline(in, line)) {
    ++number;
    line = line.substr(0, line.find('#'));
    std::istringstream words(line);
    std::string statement;
    if (!(words >> statement)) continue;
    if (statement == "header") {
      records.emplace_back();
      if (!read_header(words, records.back().header, error)) return fail(error);
      continue;
    }
    if (records.empty()) return fail("\"" + statement + "\" before the first header line");
    Described& r = records.back();
    if (statement == "descriptor") {
      r.descriptors.emplace_back();
      if (!read_descriptor(words, r.descriptors.back(), error)) return fail(error);
    } else if (statement == "amplitude" || statement == "phase") {
      auto& bytes = statement == "amplitude" ? r.amplitude : r.phase;
      if (!bytes.empty()) return fail("a second " + statement + " line in one record");
      if (!read_bytes(words, bytes, error)) return fail(error);
    } else {
      return fail("unknown statement \"" + statement + "\"");
    }
  }
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (records[i].amplitude.empty() || records[i].phase.empty()) {
      message = name + ": record " + std::to_string(i + 1) + " lacks its amplitude or phase line";
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fputs("usage: make_records OUTPUT [DESCRIPTION]  (standard input when not given)\n",
               stderr);
    return 2;
  }
  std::vector<Described> records;
  std::string message;
  bool ok = false;
  if (argc == 3 && std::strcmp(argv[2], "-") != 0) {
    std::ifstream in(argv[2]);
    if (!in) {
      std::perror(argv[2]);
      return 1;
    }
    ok = read_description(in, argv[2], records, message);
  } else {
    ok = read_description(std::cin, "standard input", records, message);
  }
  if (!ok) {
    std::fprintf(stderr, "make_records: %s\n", message.c_str());
    return 2;
  }
  std::FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  for (const Described& r : records) {
    const auto bytes = vexo::encode::encode_record(
        vexo::encode::channel_nibbles(vexo::encode::header_nibbles(r.header), r.descriptors),
        r.amplitude, r.phase);
    if (std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size()) {
      std::perror(argv[1]);
      std::fclose(out);
      return 1;
    }
  }
  if (std::fclose(out) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
