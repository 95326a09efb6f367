// Shared by the fuzz targets: reading operations out of the fuzzer's bytes, and failing loudly.
//
// A target must turn any byte string into a valid sequence of operations, so every read
// succeeds: once the input is exhausted, reads return zeros and done() tells the target to stop.
// Small inputs then mean short sequences, and the fuzzer's mutations of one byte change one
// operand or one operation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace vantorelle::fuzz {

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) noexcept : data_(data), size_(size) {}

  bool done() const noexcept { return position_ >= size_; }

  uint8_t byte() noexcept { return done() ? 0 : data_[position_++]; }

  // Little-endian, zero-padded past the end.
  template <class T>
  T bits() noexcept {
    unsigned char raw[sizeof(T)] = {};
    for (size_t i = 0; i < sizeof(T); ++i) raw[i] = byte();
    T value;
    std::memcpy(&value, raw, sizeof(T));
    return value;
  }

  // In [0, n); n > 0. Reads one byte when n fits in one, else four.
  uint32_t below(uint32_t n) noexcept { return n <= 256 ? byte() % n : bits<uint32_t>() % n; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

// A difference from the model or a broken invariant: the fuzzer records the input that led here.
[[noreturn]] inline void fuzz_fail(const char* target, const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", target, what.c_str());
  std::abort();
}

}  // namespace vantorelle::fuzz
