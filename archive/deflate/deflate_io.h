#pragma once

// The two routines through which the compressor takes its input and hands out
// its output. The archive writer implements them (its CRC-32, progress events
// and short-write detection live there); tests and benchmarks implement them
// over memory. The compressor calls them once per buffer, never per byte.

#include <cstdint>

namespace quillo::archive {

class DeflateIo {
 public:
  // Fills `buffer` with up to `count` bytes of the entry's data and returns the
  // number stored; 0 at the end of the data. The compressor never asks for 0
  // bytes nor for more than 65,534. A result above `count` (a failed read
  // reported as a negative 16-bit count) is taken as the end of the data.
  virtual std::uint32_t ReadInput(std::uint8_t* buffer, std::uint32_t count) = 0;

  // Writes all `count` bytes (never 0) of compressed data, or raises an error,
  // which passes through the compressor unchanged and leaves the entry
  // unfinished.
  virtual void WriteOutput(const std::uint8_t* buffer, std::uint32_t count) = 0;

 protected:
  ~DeflateIo() = default;
};

}  // namespace quillo::archive
