#pragma once

// Buffered streams. The engine reads and writes archive records a few bytes at
// a time, so every file access goes through a memory buffer: small transfers
// cost a memory copy, and the file itself sees one call per buffer.

#include <cstdint>
#include <memory>
#include <string>

#include "archive/stream.h"
#include "platform/platform.h"

namespace quillo::archive {

// The buffer size the engine uses for every file it opens.
inline constexpr std::int32_t ArchiveBufferSize = 8192;

// A buffer in front of another stream (not owned). The buffer holds either
// bytes read ahead of the logical position or bytes written but not yet handed
// on, never both; switching direction or seeking elsewhere settles it first.
class TS_BufferStream : public TStream {
 public:
  explicit TS_BufferStream(TStream& underlying, std::int32_t bufferSize = ArchiveBufferSize);
  // Hands pending bytes on and, when asked, flushes the file to disk, all
  // best-effort: a destructor cannot report. Writers call Close() instead.
  ~TS_BufferStream() override;

  TS_BufferStream(const TS_BufferStream&) = delete;
  TS_BufferStream& operator=(const TS_BufferStream&) = delete;

  std::int32_t Read(void* buffer, std::int32_t count) override;
  // Returns fewer bytes than asked when the underlying stream refuses some of
  // the bytes this call hands on.
  std::int32_t Write(const void* buffer, std::int32_t count) override;
  // Origin 2 counts back from the end whatever the sign of the offset.
  std::int64_t Seek(std::int64_t offset, int origin) override;

  // Ends the stream: hands pending bytes on, flushes the file to disk when
  // asked, and throws EWriteError when either fails or when bytes were
  // refused earlier (callers that ignore a short count from Write learn it
  // here), so a short file cannot pass for a complete one. Any later use of
  // the stream throws EStreamError.
  virtual void Close();

  bool FlushToDiskOnRelease() const { return flushToDiskOnRelease_; }
  void SetFlushToDiskOnRelease(bool flush) { flushToDiskOnRelease_ = flush; }
  // True once Write has been called.
  bool Written() const { return written_; }
  std::int32_t BufferSize() const { return bufferSize_; }

 protected:
  // Reads up to one buffer ahead with a single call; false when nothing came.
  bool RefillBuffer();
  // Hands the pending bytes on with a single call; they count as gone either
  // way. False when the underlying stream took fewer of them.
  bool CommitBuffer();

  // Close() with `target` named in its error messages.
  void CloseBuffer(const std::string& target);

 private:
  enum class State { kEmpty, kReading, kWriting, kClosed };

  std::int64_t LogicalPosition() const;
  std::int32_t CommitPending();
  void MoveUnderlying(std::int64_t target);
  std::int64_t SeekTarget(std::int64_t offset, int origin, std::int64_t current);
  void ThrowIfClosed() const;
  void FlushToDiskIfAsked(bool& failed);

  TStream& underlying_;
  const std::int32_t bufferSize_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  // Offsets into the buffer: the next byte to read or write, and the end of
  // the read-ahead bytes (the end of the buffer while writing).
  std::int32_t current_ = 0;
  std::int32_t dataEnd_ = 0;
  // Where the underlying stream stands, kept here so that asking for the
  // position never reaches the file. Only this class moves that stream.
  std::int64_t underlyingPosition_ = 0;
  State state_ = State::kEmpty;
  bool flushToDiskOnRelease_ = false;
  bool written_ = false;
  // Set when the underlying stream ever refused bytes handed to it.
  bool bytesRefused_ = false;
};

// A TStream over an open platform file, which it owns. Reads make one system
// call; writes keep calling until every byte is taken or the system refuses.
class TFileHandleStream : public TStream {
 public:
  explicit TFileHandleStream(std::unique_ptr<platform::File> file);

  std::int32_t Read(void* buffer, std::int32_t count) override;
  std::int32_t Write(const void* buffer, std::int32_t count) override;
  // Returns -1 when the system refuses the move; the position is unchanged.
  std::int64_t Seek(std::int64_t offset, int origin) override;

  bool FlushToDisk();
  // True once a read failed; a failed read returns 0 like the end of the
  // file, and only this tells the two apart.
  bool ReadFailed() const { return readFailed_; }
  // -1 once the file is closed.
  std::intptr_t Handle() const;
  bool IsOpen() const { return file_ != nullptr; }
  platform::File& File() { return *file_; }
  void CloseFile() { file_.reset(); }

 private:
  std::unique_ptr<platform::File> file_;
  bool readFailed_ = false;
};

// Open-mode codes. Every code but kModeCreate holds the access in its two low
// bits and the sharing in bits 4 to 6.
inline constexpr std::uint16_t kModeCreate = 0xFFFF;  // create or empty; read and write
inline constexpr std::uint16_t kModeRead = 0x00;
inline constexpr std::uint16_t kModeWrite = 0x01;
inline constexpr std::uint16_t kModeReadWrite = 0x02;
inline constexpr std::uint16_t kModeAccessMask = 0x03;
inline constexpr std::uint16_t kModeShareCompat = 0x00;
inline constexpr std::uint16_t kModeShareExclusive = 0x10;
inline constexpr std::uint16_t kModeShareDenyWrite = 0x20;
inline constexpr std::uint16_t kModeShareDenyRead = 0x30;
inline constexpr std::uint16_t kModeShareDenyNone = 0x40;
inline constexpr std::uint16_t kModeShareMask = 0x70;
// The combinations the engine opens files with.
inline constexpr std::uint16_t kModeReadDenyWrite = kModeRead | kModeShareDenyWrite;  // 0x20
inline constexpr std::uint16_t kModeReadDenyNone = kModeRead | kModeShareDenyNone;    // 0x40
inline constexpr std::uint16_t kModeReadCompat = kModeRead | kModeShareCompat;        // 0x00

namespace detail {
// Holds the open file of a TLFNFileStream. It is a base listed before the
// buffer so that the file exists before the buffer is put in front of it and
// is closed only after the buffer has handed on its last bytes.
struct OpenedFile {
  explicit OpenedFile(std::unique_ptr<platform::File> file) : fileStream(std::move(file)) {}
  TFileHandleStream fileStream;
};
}  // namespace detail

// A buffered stream over a file it opens by name and owns.
class TLFNFileStream : private detail::OpenedFile, public TS_BufferStream {
 public:
  // Throws EFCreateError "Cannot create file <name>" (kModeCreate) or
  // EFOpenError "Cannot open file <name>" (other modes); nothing stays open.
  // The file is flushed to disk on release only when flushOnClose is set and
  // the mode allows writing.
  TLFNFileStream(const std::string& fileName, std::uint16_t mode, bool flushOnClose = false,
                 std::int32_t bufferSize = ArchiveBufferSize);
  ~TLFNFileStream() override = default;

  // Close() of the buffer, then the file is closed whatever happened.
  void Close() override;

  // The operating system's handle of the open file; -1 once closed.
  std::intptr_t FileHandle() const { return fileStream.Handle(); }
  // True once a read of the file failed (as opposed to reaching its end).
  bool ReadFailed() const { return fileStream.ReadFailed(); }
  // The open file itself; only valid until Close().
  platform::File& File() { return fileStream.File(); }
  const std::string& FileName() const { return fileName_; }

 private:
  std::string fileName_;
};

}  // namespace quillo::archive
