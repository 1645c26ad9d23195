// The library's version.
#pragma once

namespace vexo {

// "MAJOR.MINOR.PATCH", as in the installed package.
const char* version() noexcept;

}  // namespace vexo
