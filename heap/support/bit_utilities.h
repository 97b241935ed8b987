// Power-of-two tests on signed 32-bit values. Sizes and alignments in the
// allocator are powers of two kept with a precomputed shift and mask.
#pragma once

#include <cstdint>

// True when Value AND (Value - 1) is 0; that includes 0 and the most negative value.
constexpr bool IsPowerOfTwo(int32_t Value) {
  const uint32_t Bits = static_cast<uint32_t>(Value);
  return (Bits & (Bits - 1u)) == 0;
}

// True for a positive power of two, whose base-2 logarithm is then stored in
// Shift; otherwise false and Shift is left untouched.
constexpr bool PowerOfTwoShift(int32_t Value, int32_t &Shift) {
  if (Value <= 0)
    return false;
  int32_t Count = 0;
  while ((Value & 1) == 0) {
    Value >>= 1;
    ++Count;
  }
  if (Value != 1)
    return false;
  Shift = Count;
  return true;
}
