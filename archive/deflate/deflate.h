#pragma once

// The archive engine's Deflate compressor (raw RFC 1951 data).
//
// The archive writer owns one Deflater for its whole life; the fixed code
// tables are built on its first compressed entry and kept. The six work
// buffers (window, hash chains and heads, and the three tally buffers of a
// block) are held for one zip run:
//
//   Deflater deflater;                      // member of the writer
//   deflater.AllocateBuffers();             // start of a zip run
//   DeflateResult r = deflater.deflate(PackLevel, io);   // once per entry
//   header.CompressedSize = r.CompressedSize;
//   header.CompressionMethod = r.CompressionMethod;      // 8, or 0: stored whole
//   header.GeneralPurposeFlags |= r.GeneralPurposeFlags;
//   if (header.InternalAttributes == 2) header.InternalAttributes = r.InternalAttributes;
//   deflater.ReleaseBuffers();              // end of the run, success or failure
//
// `io` supplies the entry's data (ReadInput) and takes the compressed data
// (WriteOutput). When the entry's data are not smaller deflated than as they
// are and fit one block, the compressor writes them unchanged and reports
// method 0; nothing else has been written for the entry before that decision,
// so the output needs no seeking back.

#include <cstdint>
#include <memory>

#include "archive/deflate/deflate_io.h"

namespace quillo::archive {

struct DeflateResult {
  // Bytes written through WriteOutput for the entry.
  std::uint64_t CompressedSize = 0;
  // 8 (deflated), or 0 when the entry's bytes were written as they are.
  std::uint16_t CompressionMethod = 8;
  // 0 binary, 1 text, judged from the first block's literals. The writer uses
  // it only when its header still holds 2 ("not yet classified").
  std::uint16_t InternalAttributes = 1;
  // Bits to OR into the header's flags: 4 for levels 1 and 2, 2 for 8 and 9.
  std::uint16_t GeneralPurposeFlags = 0;
};

class Deflater {
 public:
  Deflater();
  ~Deflater();
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;
  // A moved-from Deflater may only be destroyed or assigned to.
  Deflater(Deflater&&) noexcept;
  Deflater& operator=(Deflater&&) noexcept;

  // Allocates the six work buffers unless they are held already.
  void AllocateBuffers();
  // Releases the six work buffers; the fixed tables stay.
  void ReleaseBuffers();
  bool HoldsBuffers() const;

  // Compresses one entry at PackLevel 1 to 9 (the caller stores level 0 itself;
  // other levels raise EInvalidArgument). Allocates the buffers when they are
  // not held. Errors of `io` pass through unchanged and leave the entry
  // unfinished; the compressor stays usable for the next entry.
  DeflateResult deflate(int PackLevel, DeflateIo& io);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quillo::archive
