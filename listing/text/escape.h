// Names and other text from outside (the command line, the settings file) as they may be shown
// in a message on a terminal: control characters escaped.
#pragma once

#include <string>
#include <string_view>

namespace vexo {

// `text` with each control character (0x00-0x1F, 0x7F) written as \xHH; everything else (a
// backslash of a Windows path, the bytes of UTF-8) as it is.
std::string escaped(std::string_view text);

}  // namespace vexo
