#include <cstdio>

#include "listing/entry.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  vexo::prepare_process();
  return vexo::run_vexo(argc, argv, stdout, stderr);
}
