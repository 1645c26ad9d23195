#include <cstdio>

#include "listing/entry.h"

int main(int argc, char** argv) {
  return vexo::run_vexo(argc, argv, stdout, stderr);
}
