#include "archive/stream.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "archive/errors.h"

namespace quillo::archive {

std::int64_t TStream::Size() {
  const std::int64_t position = Seek(0, soFromCurrent);
  const std::int64_t size = Seek(0, soFromEnd);
  Seek(position, soFromBeginning);
  return size;
}

void TStream::ReadBuffer(void* buffer, std::int32_t count) {
  if (count != 0 && Read(buffer, count) != count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, std::int32_t count) {
  if (count != 0 && Write(buffer, count) != count) throw EWriteError("Stream write error");
}

std::int64_t TStream::CopyFrom(TStream& source, std::int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  std::array<std::uint8_t, 65536> chunk;
  std::int64_t copied = 0;
  while (copied < count) {
    const auto n = static_cast<std::int32_t>(
        std::min<std::int64_t>(count - copied, static_cast<std::int64_t>(chunk.size())));
    source.ReadBuffer(chunk.data(), n);
    WriteBuffer(chunk.data(), n);
    copied += n;
  }
  return copied;
}

std::int32_t TMemoryStream::Read(void* buffer, std::int32_t count) {
  const auto size = static_cast<std::int64_t>(data_.size());
  if (count <= 0 || position_ >= size) return 0;
  const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(count, size - position_));
  std::memcpy(buffer, data_.data() + position_, static_cast<std::size_t>(n));
  position_ += n;
  return n;
}

std::int32_t TMemoryStream::Write(const void* buffer, std::int32_t count) {
  if (count <= 0) return 0;
  const std::int64_t end = position_ + count;
  if (end > static_cast<std::int64_t>(data_.size())) data_.resize(static_cast<std::size_t>(end));
  std::memcpy(data_.data() + position_, buffer, static_cast<std::size_t>(count));
  position_ = end;
  return count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, int origin) {
  switch (origin) {
    case soFromBeginning: position_ = offset; break;
    case soFromCurrent: position_ += offset; break;
    case soFromEnd: position_ = static_cast<std::int64_t>(data_.size()) + offset; break;
    default: throw EStreamError("Invalid seek origin (" + std::to_string(origin) + ")");
  }
  position_ = std::max<std::int64_t>(position_, 0);
  return position_;
}

void TMemoryStream::SetSize(std::int64_t newSize) {
  data_.resize(static_cast<std::size_t>(std::max<std::int64_t>(newSize, 0)));
  position_ = std::min(position_, static_cast<std::int64_t>(data_.size()));
}

}  // namespace quillo::archive
