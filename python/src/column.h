// A growing array of plain values that hands its memory over to a numpy array without a copy.
// Small arrays live on the heap; from a few MiB on, the values move into pages of their own
// that grow by remapping (never copied again) and, where the system has them, into huge pages,
// so that filling gigabytes costs few page faults.
#pragma once

#include <cstddef>
#include <cstring>
#include <type_traits>

namespace vexo::python {

// Memory handed over: free_block(block) gives it back, however it was taken.
struct Block {
  void* data = nullptr;
  std::size_t bytes = 0;
  bool mapped = false;
};
void free_block(Block block) noexcept;

// Grows `block` to at least `bytes`, keeping its contents (std::bad_alloc when it cannot).
void grow_block(Block& block, std::size_t bytes);

template <typename T>
class Column {
  static_assert(std::is_trivially_copyable_v<T>, "plain values only");

 public:
  Column() = default;
  Column(const Column&) = delete;
  Column& operator=(const Column&) = delete;
  ~Column() { free_block(block_); }

  std::size_t size() const { return size_; }
  T* data() { return static_cast<T*>(block_.data); }

  // Room for `count` more values at the end, returned for filling.
  T* extend(std::size_t count) {
    if ((size_ + count) * sizeof(T) > block_.bytes) grow_block(block_, (size_ + count) * sizeof(T));
    T* at = data() + size_;
    size_ += count;
    return at;
  }
  void push(T value) { *extend(1) = value; }
  void clear() {
    free_block(block_);
    block_ = Block{};
    size_ = 0;
  }
  // Gives up the memory (at least one value's room): the caller frees it with free_block.
  Block release() {
    if (block_.data == nullptr) grow_block(block_, sizeof(T));
    Block out = block_;
    block_ = Block{};
    size_ = 0;
    return out;
  }

 private:
  Block block_;
  std::size_t size_ = 0;
};

}  // namespace vexo::python
