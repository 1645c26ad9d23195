// Listing fields kept ready as text: formatting a value once and copying its characters for every
// sample that has it is what makes a listing of gigabytes fast.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vexo {

// Up to N-1 characters and their count; a count of 0 means the text did not fit, and the field
// is to be formatted on the spot.
template <std::size_t N>
struct FieldText {
  char text[N - 1];
  uint8_t size;
};

// Sets the field to `text`, or to "did not fit".
template <std::size_t N>
void set_field(FieldText<N>& field, const char* text, std::size_t size) {
  std::memset(field.text, ' ', N - 1);
  if (size == 0 || size > N - 1) {
    field.size = 0;
    return;
  }
  std::memcpy(field.text, text, size);
  field.size = static_cast<uint8_t>(size);
}

// Copies the field to `p`, which must have room for N characters (the whole field is copied at
// once), and returns the end of its text there.
template <std::size_t N>
inline char* put_field(char* p, const FieldText<N>& field) {
  std::memcpy(p, &field, N);
  return p + field.size;
}

}  // namespace vexo
