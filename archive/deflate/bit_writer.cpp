#include "archive/deflate/bit_writer.h"

namespace quillo::archive::deflate_internal {

void BitWriter::bits_init(DeflateIo& io) {
  io_ = &io;
  cursor_ = BitCursor{0, 0, buffer_};
  bytes_written_ = 0;
}

void BitWriter::out_flush() {
  const auto fill = static_cast<std::uint32_t>(cursor_.out - buffer_);
  if (fill == 0) return;
  // Reset before the call: an error from WriteOutput leaves an empty buffer.
  cursor_.out = buffer_;
  bytes_written_ += fill;
  io_->WriteOutput(buffer_, fill);
}

void BitWriter::bits_align() {
  cursor_.flush_bytes();
  if (cursor_.count > 0) *cursor_.out++ = static_cast<std::uint8_t>(cursor_.buf);
  cursor_.buf = 0;
  cursor_.count = 0;
  out_flush();
}

void BitWriter::put_short(unsigned value) {
  *cursor_.out++ = static_cast<std::uint8_t>(value & 0xFF);
  *cursor_.out++ = static_cast<std::uint8_t>((value >> 8) & 0xFF);
  if (cursor_.out >= limit()) out_flush();
}

void BitWriter::write_raw(const std::uint8_t* bytes, std::uint32_t length) {
  out_flush();
  if (length == 0) return;
  bytes_written_ += length;
  io_->WriteOutput(bytes, length);
}

}  // namespace quillo::archive::deflate_internal
