// A growing array of plain values that hands its memory over to a numpy array without a copy.
// It grows by doubling with realloc, which moves large blocks by remapping their pages rather
// than copying them, so memory stays about the size of the values.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <type_traits>

namespace vexo::python {

template <typename T>
class Column {
  static_assert(std::is_trivially_copyable_v<T>, "plain values only");

 public:
  Column() = default;
  Column(const Column&) = delete;
  Column& operator=(const Column&) = delete;
  ~Column() { std::free(data_); }

  std::size_t size() const { return size_; }
  T* data() { return data_; }

  // Room for `count` more values at the end, returned for filling.
  T* extend(std::size_t count) {
    if (size_ + count > capacity_) grow(size_ + count);
    T* at = data_ + size_;
    size_ += count;
    return at;
  }
  void push(T value) { *extend(1) = value; }
  void clear() {
    std::free(data_);
    data_ = nullptr;
    size_ = capacity_ = 0;
  }
  // Gives up the memory (a block from malloc, at least one value long): the caller frees it.
  T* release() {
    if (data_ == nullptr) grow(1);
    T* out = data_;
    if (size_ > 0 && size_ < capacity_) {
      // Shrinks in place: the tail pages go back.
      if (void* smaller = std::realloc(data_, size_ * sizeof(T))) out = static_cast<T*>(smaller);
    }
    data_ = nullptr;
    size_ = capacity_ = 0;
    return out;
  }

 private:
  void grow(std::size_t needed) {
    std::size_t capacity = capacity_ == 0 ? 4096 / sizeof(T) + 1 : capacity_;
    while (capacity < needed) capacity *= 2;
    void* grown = std::realloc(data_, capacity * sizeof(T));
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<T*>(grown);
    capacity_ = capacity;
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace vexo::python
