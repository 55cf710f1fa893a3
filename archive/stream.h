#pragma once

// The abstract stream every engine file access goes through, and a stream in
// memory. Counts are 32-bit like the archive's own sizes; positions are
// 64-bit so that a position past the format's limits can be noticed instead
// of wrapping.

#include <cstdint>
#include <vector>

namespace quillo::archive {

enum SeekOrigin : int { soFromBeginning = 0, soFromCurrent = 1, soFromEnd = 2 };

class TStream {
 public:
  virtual ~TStream() = default;

  // Return the number of bytes moved; fewer than asked is not an error here.
  virtual std::int32_t Read(void* buffer, std::int32_t count) = 0;
  virtual std::int32_t Write(const void* buffer, std::int32_t count) = 0;
  // Returns the new position.
  virtual std::int64_t Seek(std::int64_t offset, int origin) = 0;
  // Streams that can change their size override this; the default does nothing.
  virtual void SetSize(std::int64_t /*newSize*/) {}

  std::int64_t Position() { return Seek(0, soFromCurrent); }
  void SetPosition(std::int64_t position) { Seek(position, soFromBeginning); }
  // Worked out through Seek: note the position, seek to the end, seek back.
  std::int64_t Size();

  // Exact-count forms: raise EReadError "Stream read error" or EWriteError
  // "Stream write error" when fewer bytes move.
  void ReadBuffer(void* buffer, std::int32_t count);
  void WriteBuffer(const void* buffer, std::int32_t count);
  // Copies `count` bytes from `source` (its whole content from the start when
  // count is 0) and returns the number copied.
  std::int64_t CopyFrom(TStream& source, std::int64_t count);
};

// A growable stream in memory, for tests and small work.
class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::vector<std::uint8_t> data) : data_(std::move(data)) {}

  std::int32_t Read(void* buffer, std::int32_t count) override;
  std::int32_t Write(const void* buffer, std::int32_t count) override;
  std::int64_t Seek(std::int64_t offset, int origin) override;
  void SetSize(std::int64_t newSize) override;

  const std::vector<std::uint8_t>& Data() const { return data_; }

 private:
  std::vector<std::uint8_t> data_;
  std::int64_t position_ = 0;
};

}  // namespace quillo::archive
