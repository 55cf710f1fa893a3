#pragma once

// A small, slow Deflate decoder for tests. zlib says whether a stream is valid
// and what it inflates to; this decoder says how it was built: the blocks
// with their headers, and the literals and matches inside each block.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace quillo::archive::test {

struct DecodedSymbol {
  bool is_match = false;
  std::uint8_t literal = 0;
  unsigned length = 0;
  unsigned distance = 0;
};

struct DecodedBlock {
  bool final = false;
  unsigned type = 0;                      // 0 stored, 1 fixed codes, 2 dynamic codes
  std::size_t out_start = 0;              // offset in the inflated data where the block begins
  std::size_t out_length = 0;             // bytes the block inflates to
  unsigned stored_len = 0;                // stored blocks: LEN
  unsigned stored_nlen = 0;               // stored blocks: NLEN
  unsigned literal_codes = 0;             // dynamic blocks: HLIT + 257
  unsigned distance_codes = 0;            // dynamic blocks: HDIST + 1
  unsigned length_codes = 0;              // dynamic blocks: HCLEN + 4
  std::vector<unsigned> literal_lengths;  // dynamic blocks: code length of each literal/length code
  std::vector<unsigned> distance_lengths;  // dynamic blocks: code length of each distance code
  std::vector<DecodedSymbol> symbols;      // coded blocks, end-of-block not included
};

struct DecodedStream {
  std::vector<std::uint8_t> data;
  std::vector<DecodedBlock> blocks;
};

class DecodeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Decodes a raw Deflate stream; raises DecodeError on malformed data or on
// bytes left after the last block (other than the final byte's padding).
DecodedStream decode_deflate(const std::vector<std::uint8_t>& stream);

}  // namespace quillo::archive::test
