#include "listing/settings.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace vexo {
namespace {

std::string where(int line, const char* name) {
  return "line " + std::to_string(line) + ": " + name + ": ";
}

std::string mib(std::size_t bytes) {
  return std::to_string(bytes >> 20) + " MiB";
}

// A character source that counts lines (from 1) and bytes. Once a bound is passed it holds the
// message and reads as ended.
struct Source {
  std::FILE* file = nullptr;
  const char* setting = "output_name";  // whose label or value is being read
  int line = 1;
  std::size_t line_bytes = 0;
  std::size_t file_bytes = 0;
  std::string error;
};

int peek(Source& src) {
  if (!src.error.empty()) return EOF;
  int c = std::getc(src.file);
  if (c != EOF) std::ungetc(c, src.file);
  return c;
}

int next(Source& src) {
  if (!src.error.empty()) return EOF;
  int c = std::getc(src.file);
  if (c == EOF) return c;
  if (++src.file_bytes > kMaxSettingsFileBytes) {
    src.error = where(src.line, src.setting) + "reading stopped after " +
                mib(kMaxSettingsFileBytes) + " of the file";
    return EOF;
  }
  if (c == '\n') {
    ++src.line;
    src.line_bytes = 0;
  } else if (++src.line_bytes > kMaxSettingsLineBytes) {
    src.error =
        where(src.line, src.setting) + "the line is longer than " + mib(kMaxSettingsLineBytes);
    return EOF;
  }
  return c;
}

bool is_space(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}
bool is_digit(int c) {
  return c >= '0' && c <= '9';
}

// Skips the rest of the current line, its line end included. Returns false when the file ends
// before a line end.
bool skip_line(Source& src) {
  int c = next(src);
  while (c != EOF && c != '\n') c = next(src);
  return c == '\n';
}

// Numbers longer than this are not kept whole (nor are they numbers a setting can hold).
constexpr std::size_t kMaxNumberToken = 4096;

struct Token {
  std::string text;
  bool too_long = false;  // more than the limit: reading stopped there
  int line = 0;
};

// Skips blanks, tabs and line ends, then reads a token. A number ends at a blank, tab, comma,
// semicolon or line end (LF, or CR LF: a CR without an LF after it is part of the number); the
// listing name at any white space. What ends it is left unread, but for the CR of a CR LF.
// Reading stops after one character more than `limit`. Returns false when the file ends first.
bool read_token(Source& src, Token& token, std::size_t limit, bool number) {
  while (is_space(peek(src))) next(src);
  if (peek(src) == EOF) return false;
  token = Token{};
  token.line = src.line;
  for (int c = peek(src); c != EOF; c = peek(src)) {
    if (number ? c == ' ' || c == '\t' || c == ',' || c == ';' || c == '\n' : is_space(c)) break;
    if (token.text.size() == limit) {
      token.too_long = true;
      break;
    }
    next(src);
    if (number && c == '\r' && peek(src) == '\n') break;
    token.text.push_back(static_cast<char>(c));
  }
  return true;
}

// Optional sign and decimal digits.
bool parse_integer(const std::string& text, int32_t& value, bool& out_of_range) {
  std::size_t pos = 0;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) negative = text[pos++] == '-';
  std::size_t digits_start = pos;
  long long magnitude = 0;
  out_of_range = false;
  while (pos < text.size() && is_digit(text[pos])) {
    if (magnitude <= 1LL << 32) magnitude = magnitude * 10 + (text[pos] - '0');
    ++pos;
  }
  if (pos == digits_start || pos != text.size()) return false;
  long long signed_value = negative ? -magnitude : magnitude;
  if (signed_value < std::numeric_limits<int32_t>::min() ||
      signed_value > std::numeric_limits<int32_t>::max()) {
    out_of_range = true;
    return false;
  }
  value = static_cast<int32_t>(signed_value);
  return true;
}

// A decimal real: optional sign, digits with an optional fraction (or a fraction alone), and an
// optional exponent. Hexadecimal forms, inf and nan are not numbers here.
bool parse_real(const std::string& text, double& value, bool& out_of_range) {
  std::size_t pos = 0;
  out_of_range = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) ++pos;
  std::size_t digits = 0;
  bool nonzero = false;
  for (bool fraction = false;; fraction = true) {
    while (pos < text.size() && is_digit(text[pos])) nonzero |= text[pos++] != '0', ++digits;
    if (fraction || pos >= text.size() || text[pos] != '.') break;
    ++pos;
  }
  if (digits == 0) return false;
  if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
    std::size_t exponent = pos + 1;
    if (exponent < text.size() && (text[exponent] == '+' || text[exponent] == '-')) ++exponent;
    if (exponent < text.size() && is_digit(text[exponent])) {
      pos = exponent;
      while (pos < text.size() && is_digit(text[pos])) ++pos;
    }
  }
  if (pos != text.size()) return false;
  errno = 0;
  // strtod rounds a decimal number correctly to the nearest 64-bit real.
  value = std::strtod(text.c_str(), nullptr);
  // Too large, or so small that it would become 0 (which selects every record). A small number
  // that still has a value of its own is kept.
  if (errno == ERANGE && (std::isinf(value) || (value == 0.0 && nonzero))) {
    out_of_range = true;
    return false;
  }
  return true;
}

// The token as it may be shown in a message: printable characters only, not too long.
std::string shown(const Token& token) {
  std::string out;
  for (char ch : token.text) {
    if (out.size() >= 40) {
      out += "...";
      break;
    }
    unsigned char c = static_cast<unsigned char>(ch);
    out.push_back(c >= 0x20 && c < 0x7F ? ch : '?');
  }
  if (token.too_long && out.size() < 43) out += "...";
  return "\"" + out + "\"";
}

std::string missing(int line, const char* name) {
  return where(line, name) + "missing: the file ends first";
}

// The two lines before a value: the rest of the previous value's line, then the label. A value
// missing at the end of the file is reported on the line where it belongs, after its label.
std::string read_value_token(Source& src, const char* name, Token& token) {
  int line_ends_missing = skip_line(src) ? 0 : 1;
  src.setting = name;
  line_ends_missing += skip_line(src) ? 0 : 1;
  const int value_line = src.line + line_ends_missing;
  if (!read_token(src, token, kMaxNumberToken, true)) return missing(value_line, name);
  return {};
}

std::string read_integer(Source& src, const char* name, int32_t& member) {
  Token token;
  std::string error = read_value_token(src, name, token);
  if (!error.empty()) return error;
  bool out_of_range = false;
  if (token.too_long || !parse_integer(token.text, member, out_of_range)) {
    return where(token.line, name) + shown(token) +
           (out_of_range ? " is out of range" : " is not a whole number");
  }
  return {};
}

std::string read_real(Source& src, const char* name, double& member) {
  Token token;
  std::string error = read_value_token(src, name, token);
  if (!error.empty()) return error;
  bool out_of_range = false;
  if (token.too_long || !parse_real(token.text, member, out_of_range)) {
    return where(token.line, name) + shown(token) +
           (out_of_range ? " is out of range" : " is not a decimal number");
  }
  return {};
}

// The listing name, after the first label.
std::string read_name(Source& src, std::string& output_name) {
  const int name_line = skip_line(src) ? src.line : src.line + 1;
  Token name;
  if (!read_token(src, name, kMaxOutputNameBytes, false)) return missing(name_line, "output_name");
  if (name.too_long) {
    return where(name.line, "output_name") + shown(name) + " is too long for a file name (over " +
           std::to_string(kMaxOutputNameBytes) + " bytes)";
  }
  if (name.text.find('\0') != std::string::npos) {
    return where(name.line, "output_name") + shown(name) + " holds a NUL byte";
  }
  output_name = name.text;
  return {};
}

std::string read_values(Source& src, Settings& s) {
  std::string error = read_name(src, s.output_name);
  if (!error.empty()) return error;

  struct IntegerSetting {
    const char* name;
    int32_t* member;
  };
  const IntegerSetting before_real[] = {
      {"listing_mode", &s.listing_mode},
      {"show_header", &s.show_header},
      {"show_subblock", &s.show_subblock},
      {"phase_correction", &s.phase_correction},
      {"select_frequency", &s.select_frequency},
      {"select_height", &s.select_height},
      {"select_polarization", &s.select_polarization},
      {"select_antenna", &s.select_antenna},
      {"amplitude_scale", &s.amplitude_scale},
      {"subblock_step", &s.subblock_step},
  };
  for (const IntegerSetting& setting : before_real) {
    error = read_integer(src, setting.name, *setting.member);
    if (!error.empty()) return error;
    // Any other mode would list nothing and never move on from the first record. The value's
    // line end is not read yet, so the line count is still the value's own line.
    if (setting.member == &s.listing_mode && s.listing_mode != 1 && s.listing_mode != 2) {
      return where(src.line, "listing_mode") + std::to_string(s.listing_mode) +
             " is neither 1 (phase listing) nor 2 (amplitude listing)";
    }
  }
  error = read_real(src, "record_frequency", s.record_frequency);
  if (!error.empty()) return error;
  return read_integer(src, "convert_samples", s.convert_samples);
}

}  // namespace

std::string read_settings(std::FILE* file, Settings& s) {
  Source src;
  src.file = file;
  std::string error = read_values(src, s);
  // A bound passed reads as the end of the file (or of a token): that is what went wrong.
  return src.error.empty() ? error : src.error;
}

}  // namespace vexo
