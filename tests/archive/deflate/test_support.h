#pragma once

// Helpers of the compressor tests: an in-memory DeflateIo, raw inflation with
// zlib, and deterministic inputs of several kinds.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "archive/deflate/deflate.h"

namespace quillo::archive::test {

using Bytes = std::vector<std::uint8_t>;

// Serves an input from memory and collects the output. Reads can be capped to
// imitate a source that returns short counts.
class MemoryIo : public DeflateIo {
 public:
  explicit MemoryIo(Bytes input, std::uint32_t max_read = 0xFFFFFFFF)
      : input_(std::move(input)), max_read_(max_read) {}

  std::uint32_t ReadInput(std::uint8_t* buffer, std::uint32_t count) override;
  void WriteOutput(const std::uint8_t* buffer, std::uint32_t count) override;

  const Bytes& output() const { return output_; }
  const std::vector<std::uint32_t>& read_requests() const { return read_requests_; }
  std::size_t write_calls() const { return write_calls_; }

 private:
  Bytes input_;
  std::uint32_t max_read_;
  std::size_t position_ = 0;
  Bytes output_;
  std::vector<std::uint32_t> read_requests_;
  std::size_t write_calls_ = 0;
};

struct Compressed {
  DeflateResult result;
  Bytes data;
};

Compressed compress(Deflater& deflater, const Bytes& input, int level,
                    std::uint32_t max_read = 0xFFFFFFFF);
Compressed compress(const Bytes& input, int level);

// Inflates raw Deflate data with zlib; raises std::runtime_error when zlib
// rejects it or when it does not end exactly at the end of `data`.
Bytes zlib_inflate(const Bytes& data, std::size_t expected_size);

// Inputs. Each is the same for the same arguments on every platform.
Bytes random_bytes(std::size_t n, std::uint32_t seed);
// Random bytes in which no three-byte sequence occurs twice, so the match
// finder finds nothing: every symbol is a literal.
Bytes random_without_repeats(std::size_t n, std::uint32_t seed);
Bytes portuguese_text(std::size_t n, std::uint32_t seed);
Bytes binary_structs(std::size_t n, std::uint32_t seed);
Bytes table_records(std::size_t n, std::uint32_t seed);
Bytes repeated_byte(std::size_t n, std::uint8_t byte);
Bytes bytes_of(const std::string& s);

}  // namespace quillo::archive::test
