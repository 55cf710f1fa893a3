#pragma once

// The state of one zip run, shared by the writer's source files and by
// nothing else: it exists only while Zip() runs.

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "archive/buffer_stream.h"
#include "archive/errors.h"
#include "archive/lists.h"
#include "archive/records.h"
#include "archive/stream.h"
#include "archive/zip_reader.h"
#include "archive/zip_writer.h"

namespace quillo::archive {

// Positions and sizes in this engine are signed 32-bit values, so nothing
// written may reach 2 GiB; the format itself counts at most 65535 entries.
inline constexpr std::int64_t kMaxArchiveSize = std::numeric_limits<std::int32_t>::max();
inline constexpr std::int32_t kMaxEntries = 65535;

// The output archive as the run writes it: every write either takes all its
// bytes or raises ENotEnoughRoom, and nothing may pass the size limit. The
// record writers do not look at write counts, so they write through this.
class CheckedOutput : public TStream {
 public:
  explicit CheckedOutput(TStream& out) : out_(out) {}

  std::int32_t Read(void* buffer, std::int32_t count) override { return out_.Read(buffer, count); }
  std::int32_t Write(const void* buffer, std::int32_t count) override {
    if (out_.Position() + count > kMaxArchiveSize) {
      throw EInvalidArgument("The archive would reach 2 GiB, more than this archive format holds");
    }
    if (out_.Write(buffer, count) != count)
      throw ENotEnoughRoom("Not enough room to write archive");
    return count;
  }
  std::int64_t Seek(std::int64_t offset, int origin) override {
    try {
      return out_.Seek(offset, origin);
    } catch (const EStreamError&) {
      // Moving flushes the buffer first; a refused flush is a full disk.
      throw ENotEnoughRoom("Not enough room to write archive");
    }
  }

 private:
  TStream& out_;
};

struct TZipWriter::Run {
  bool updating = false;
  std::string outputName;
  bool outputCreated = false;
  std::unique_ptr<TLFNFileStream> outputFile;
  std::unique_ptr<CheckedOutput> output;
  std::unique_ptr<TSortedZip> newDirectory;  // writing order; owns the headers
  std::unique_ptr<TSortedZip> nameIndex;     // by stored name; owns nothing
  TEndCentral newEnd;
  std::int32_t count = 0;
  TStrings disposeList;
  TZipSortMode savedSortMode = ByNone;
  bool savedKeepZipOpen = false;
  std::int64_t totalBytes = 0;
  std::int64_t bytesDone = 0;
  // Carried-over entries pass through this buffer, allocated once per run.
  std::vector<std::uint8_t> copyBuffer;

  // The file being added.
  std::unique_ptr<TLFNFileStream> input;
  std::int64_t fileBytesRead = 0;
  std::uint32_t fileSize = 0;
  std::uint32_t runningCrc = kCrcStart;
};

}  // namespace quillo::archive
