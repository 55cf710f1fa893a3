#include "archive/buffer_stream.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>

#include "archive/errors.h"

namespace quillo::archive {

namespace {

constexpr std::int64_t kMaxPosition = std::numeric_limits<std::int64_t>::max();

std::int64_t Magnitude(std::int64_t offset) {
  if (offset == std::numeric_limits<std::int64_t>::min()) return kMaxPosition;
  return offset < 0 ? -offset : offset;
}

}  // namespace

// ---------------------------------------------------------------------------
// TS_BufferStream

TS_BufferStream::TS_BufferStream(TStream& underlying, std::int32_t bufferSize)
    : underlying_(underlying), bufferSize_(bufferSize) {
  if (bufferSize <= 0) throw EInvalidArgument("Buffer size must be positive");
  buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(bufferSize));
  underlyingPosition_ = underlying_.Position();
}

TS_BufferStream::~TS_BufferStream() {
  if (state_ == State::kClosed) return;
  try {
    if (state_ == State::kWriting) CommitBuffer();
    bool failed = false;
    FlushToDiskIfAsked(failed);
  } catch (...) {
    // Best effort only: Close() is where failures are reported.
  }
}

std::int64_t TS_BufferStream::LogicalPosition() const {
  switch (state_) {
    case State::kReading:
      return underlyingPosition_ - (dataEnd_ - current_);
    case State::kWriting:
      return underlyingPosition_ + current_;
    default:
      return underlyingPosition_;
  }
}

void TS_BufferStream::ThrowIfClosed() const {
  if (state_ == State::kClosed) throw EStreamError("Stream is closed");
}

bool TS_BufferStream::RefillBuffer() {
  const std::int32_t n = std::max(underlying_.Read(buffer_.get(), bufferSize_), 0);
  underlyingPosition_ += n;
  current_ = 0;
  dataEnd_ = n;
  state_ = n > 0 ? State::kReading : State::kEmpty;
  return n > 0;
}

std::int32_t TS_BufferStream::CommitPending() {
  const std::int32_t pending = current_;
  std::int32_t taken = 0;
  if (pending > 0) taken = std::clamp(underlying_.Write(buffer_.get(), pending), 0, pending);
  underlyingPosition_ += taken;
  if (taken < pending) bytesRefused_ = true;
  current_ = 0;
  state_ = State::kEmpty;
  return taken;
}

bool TS_BufferStream::CommitBuffer() {
  const std::int32_t pending = current_;
  return CommitPending() == pending;
}

std::int32_t TS_BufferStream::Read(void* buffer, std::int32_t count) {
  auto* out = static_cast<std::uint8_t*>(buffer);
  if (state_ != State::kReading) {
    ThrowIfClosed();
    if (state_ == State::kWriting) CommitBuffer();
    // Nothing read ahead: the first need below fills the buffer from where
    // the underlying stream stands, which is after any bytes just written.
    current_ = 0;
    dataEnd_ = 0;
  }
  std::int32_t delivered = 0;
  while (count > 0) {
    if (current_ == dataEnd_ && !RefillBuffer()) break;
    const std::int32_t k = std::min(count, dataEnd_ - current_);
    std::memcpy(out, buffer_.get() + current_, static_cast<std::size_t>(k));
    current_ += k;
    out += k;
    count -= k;
    delivered += k;
  }
  return delivered;
}

std::int32_t TS_BufferStream::Write(const void* buffer, std::int32_t count) {
  const auto* in = static_cast<const std::uint8_t*>(buffer);
  if (state_ != State::kWriting) {
    ThrowIfClosed();
    // Bytes read ahead are dropped; the write lands at the logical position.
    if (state_ == State::kReading) MoveUnderlying(LogicalPosition());
    state_ = State::kEmpty;
    current_ = 0;
    dataEnd_ = bufferSize_;
  }
  written_ = true;
  std::int32_t taken = 0;
  while (count > 0) {
    const std::int32_t pendingBefore = current_;
    const std::int32_t k = std::min(count, dataEnd_ - current_);
    std::memcpy(buffer_.get() + current_, in, static_cast<std::size_t>(k));
    current_ += k;
    in += k;
    if (current_ == dataEnd_) {
      const std::int32_t full = current_;
      const std::int32_t accepted = CommitPending();
      if (accepted < full) {
        // Only the bytes of this call that really went on count as taken;
        // the caller sees a short count instead of a silent loss.
        return taken + std::max(accepted - pendingBefore, 0);
      }
    }
    taken += k;
    count -= k;
  }
  if (current_ != 0) state_ = State::kWriting;
  return taken;
}

std::int64_t TS_BufferStream::SeekTarget(std::int64_t offset, int origin, std::int64_t current) {
  std::int64_t target = 0;
  switch (origin) {
    case soFromBeginning:
      return offset;
    case soFromCurrent:
      if (__builtin_add_overflow(current, offset, &target)) throw EStreamError("Seek error");
      return target;
    case soFromEnd: {
      const std::int64_t end = std::max(underlying_.Size(), current);
      return end - Magnitude(offset);
    }
    default:
      throw EStreamError("Invalid seek origin (" + std::to_string(origin) + ")");
  }
}

std::int64_t TS_BufferStream::Seek(std::int64_t offset, int origin) {
  if (state_ == State::kClosed) ThrowIfClosed();
  const std::int64_t current = LogicalPosition();
  if (offset == 0 && origin == soFromCurrent) return current;  // a position query
  const std::int64_t target = SeekTarget(offset, origin, current);
  // Staying put keeps whatever the buffer holds.
  if (target == current) return target;
  if (state_ == State::kWriting && !CommitBuffer()) throw EStreamError("Seek error");
  state_ = State::kEmpty;
  MoveUnderlying(target);
  return underlyingPosition_;
}

void TS_BufferStream::MoveUnderlying(std::int64_t target) {
  const std::int64_t reached = underlying_.Seek(target, soFromBeginning);
  if (reached < 0) throw EStreamError("Seek error");
  underlyingPosition_ = reached;
}

void TS_BufferStream::FlushToDiskIfAsked(bool& failed) {
  if (!flushToDiskOnRelease_ || !written_) return;
  if (auto* file = dynamic_cast<TFileHandleStream*>(&underlying_)) {
    if (file->IsOpen() && !file->FlushToDisk()) failed = true;
  }
}

void TS_BufferStream::Close() {
  CloseBuffer({});
}

void TS_BufferStream::CloseBuffer(const std::string& target) {
  if (state_ == State::kClosed) return;
  const bool committed = (state_ != State::kWriting || CommitBuffer()) && !bytesRefused_;
  bool flushFailed = false;
  try {
    FlushToDiskIfAsked(flushFailed);
  } catch (...) {
    flushFailed = true;
  }
  state_ = State::kClosed;
  const std::string where = target.empty() ? std::string() : " to file " + target;
  if (!committed) throw EWriteError("Could not write all buffered data" + where);
  if (flushFailed) throw EWriteError("Could not flush the data" + where + " to disk");
}

// ---------------------------------------------------------------------------
// TFileHandleStream

TFileHandleStream::TFileHandleStream(std::unique_ptr<platform::File> file)
    : file_(std::move(file)) {}

std::int32_t TFileHandleStream::Read(void* buffer, std::int32_t count) {
  if (!file_ || count <= 0) return 0;
  const std::int64_t n = file_->Read(buffer, count);
  if (n < 0) readFailed_ = true;
  return static_cast<std::int32_t>(std::max<std::int64_t>(n, 0));
}

std::int32_t TFileHandleStream::Write(const void* buffer, std::int32_t count) {
  if (!file_ || count <= 0) return 0;
  const auto* in = static_cast<const std::uint8_t*>(buffer);
  std::int32_t written = 0;
  // A short count from the system (a disk filling up) is followed by another
  // try, which then reports the failure itself.
  while (written < count) {
    const std::int64_t n = file_->Write(in + written, count - written);
    if (n <= 0) break;
    written += static_cast<std::int32_t>(n);
  }
  return written;
}

std::int64_t TFileHandleStream::Seek(std::int64_t offset, int origin) {
  if (origin < soFromBeginning || origin > soFromEnd) {
    throw EStreamError("Invalid seek origin (" + std::to_string(origin) + ")");
  }
  if (!file_) return -1;
  return file_->Seek(offset, origin);
}

bool TFileHandleStream::FlushToDisk() {
  return file_ && file_->FlushToDisk();
}

std::intptr_t TFileHandleStream::Handle() const {
  return file_ ? file_->NativeHandle() : -1;
}

// ---------------------------------------------------------------------------
// TLFNFileStream

namespace {

std::optional<platform::File::Share> ShareOf(std::uint16_t mode) {
  switch (mode & kModeShareMask) {
    case kModeShareCompat:
    case kModeShareExclusive:
      return platform::File::Share::kNone;
    case kModeShareDenyWrite:
      return platform::File::Share::kDenyWrite;
    case kModeShareDenyRead:
      return platform::File::Share::kDenyRead;
    case kModeShareDenyNone:
      return platform::File::Share::kDenyNone;
    default:
      return std::nullopt;
  }
}

std::optional<platform::File::Access> AccessOf(std::uint16_t mode) {
  switch (mode & kModeAccessMask) {
    case kModeRead:
      return platform::File::Access::kRead;
    case kModeWrite:
      return platform::File::Access::kWrite;
    case kModeReadWrite:
      return platform::File::Access::kReadWrite;
    default:
      return std::nullopt;
  }
}

bool ModeAllowsWriting(std::uint16_t mode) {
  return mode == kModeCreate || (mode & kModeAccessMask) != kModeRead;
}

std::unique_ptr<platform::File> OpenByMode(const std::string& fileName, std::uint16_t mode) {
  if (mode == kModeCreate) {
    auto file = platform::CreateFile(fileName);
    if (!file) throw EFCreateError("Cannot create file " + fileName);
    return file;
  }
  const auto access = AccessOf(mode);
  const auto share = ShareOf(mode);
  std::unique_ptr<platform::File> file;
  if (access && share) file = platform::OpenFile(fileName, *access, *share);
  if (!file) throw EFOpenError("Cannot open file " + fileName);
  return file;
}

}  // namespace

TLFNFileStream::TLFNFileStream(const std::string& fileName, std::uint16_t mode, bool flushOnClose,
                               std::int32_t bufferSize)
    : detail::OpenedFile(OpenByMode(fileName, mode)),
      TS_BufferStream(fileStream, bufferSize),
      fileName_(fileName) {
  SetFlushToDiskOnRelease(flushOnClose && ModeAllowsWriting(mode));
}

void TLFNFileStream::Close() {
  try {
    CloseBuffer(fileName_);
  } catch (...) {
    fileStream.CloseFile();
    throw;
  }
  fileStream.CloseFile();
}

}  // namespace quillo::archive
