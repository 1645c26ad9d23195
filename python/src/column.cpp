#include "python/src/column.h"

#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vexo::python {
namespace {

constexpr std::size_t kMapFrom = std::size_t{4} << 20;  // below this, the heap
constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t doubled(std::size_t have, std::size_t need) {
  std::size_t bytes = have == 0 ? 4096 : have;
  while (bytes < need) bytes *= 2;
  return bytes;
}

}  // namespace

void free_block(Block block) noexcept {
#if defined(__linux__)
  if (block.mapped) {
    munmap(block.data, block.bytes);
    return;
  }
#endif
  std::free(block.data);
}

void grow_block(Block& block, std::size_t need) {
  std::size_t bytes = doubled(block.bytes, need);
#if defined(__linux__)
  if (bytes >= kMapFrom) {
    bytes = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* data = nullptr;
    if (block.mapped) {
      data = mremap(block.data, block.bytes, bytes, MREMAP_MAYMOVE);
    } else {
      data = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (data != MAP_FAILED && block.data != nullptr) {
        std::memcpy(data, block.data, block.bytes);
        std::free(block.data);
      }
    }
    if (data == MAP_FAILED) throw std::bad_alloc();
    madvise(data, bytes, MADV_HUGEPAGE);  // fewer page faults; without, all works the same
    block = Block{data, bytes, true};
    return;
  }
#endif
  void* data = std::realloc(block.data, bytes);
  if (data == nullptr) throw std::bad_alloc();
  block = Block{data, bytes, false};
}

}  // namespace vexo::python
