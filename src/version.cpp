#include "vexo/version.h"

namespace vexo {

const char* version() noexcept {
  return VEXO_VERSION;
}

}  // namespace vexo
