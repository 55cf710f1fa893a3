#pragma once

// The bit output of the compressor: bits are packed least-significant first
// into a 64-bit register, whole bytes go to an output buffer, and the buffer
// goes to WriteOutput when it is full, when a block is stored, and at the end
// of an entry.

#include <bit>
#include <cstdint>
#include <cstring>

#include "archive/deflate/deflate_io.h"

namespace quillo::archive::deflate_internal {

// Size of the output buffer. Larger means fewer WriteOutput calls (each may
// hand control to the user interface); smaller means the interface is served
// more often while compressing. 16 KiB is a few milliseconds of work.
inline constexpr unsigned kOutBufSize = 16384;
// The byte flush stores eight bytes at once at the fill position, which may
// lie just below the limit; this slack keeps that store inside the buffer.
inline constexpr unsigned kOutBufSlack = 8;

inline void store_le64(std::uint8_t* p, std::uint64_t v) {
  static_assert(sizeof v == 8);
  if constexpr (std::endian::native != std::endian::little) v = __builtin_bswap64(v);
  std::memcpy(p, &v, 8);
}

// The writer's state copied into locals by hot loops, so the compiler keeps it
// in registers: stores into the output buffer could otherwise alias it.
// Invariant between calls: count <= 7 after flush_bytes, and no bit of `buf`
// above `count` is set.
struct BitCursor {
  std::uint64_t buf;
  unsigned count;
  std::uint8_t* out;

  // At most 64 - count bits may be added before the next flush_bytes; with
  // count <= 7 that is one whole match (48 bits at most).
  void add(std::uint64_t bits, unsigned length) {
    buf |= bits << count;
    count += length;
  }
  // Moves the whole bytes of `buf` to the output; leaves 0 to 7 bits.
  void flush_bytes() {
    store_le64(out, buf);
    out += count >> 3;
    buf >>= count & ~7u;
    count &= 7;
  }
};

class BitWriter {
 public:
  // Binds the output routine and empties the bit register and the buffer.
  void bits_init(DeflateIo& io);

  void send_bits(unsigned value, unsigned length) {
    cursor_.add(value, length);
    cursor_.flush_bytes();
    if (cursor_.out >= limit()) out_flush();
  }

  // Pads the bits to a byte boundary with zeros and writes out the buffer.
  void bits_align();
  // Writes the buffer with WriteOutput, if it holds anything.
  void out_flush();
  // Writes `bytes` straight to WriteOutput, after the buffer; the bit register
  // must be empty (bits_align).
  void write_raw(const std::uint8_t* bytes, std::uint32_t length);
  // Appends a 16-bit little-endian value through the buffer; the bit register
  // must be empty.
  void put_short(unsigned value);

  BitCursor cursor() const { return cursor_; }
  void set_cursor(const BitCursor& cursor) { cursor_ = cursor; }
  const std::uint8_t* limit() const { return buffer_ + kOutBufSize; }

  // Bytes handed to WriteOutput since bits_init.
  std::uint64_t bytes_written() const { return bytes_written_; }

 private:
  DeflateIo* io_ = nullptr;
  BitCursor cursor_{0, 0, buffer_};
  std::uint64_t bytes_written_ = 0;
  alignas(64) std::uint8_t buffer_[kOutBufSize + kOutBufSlack];
};

}  // namespace quillo::archive::deflate_internal
