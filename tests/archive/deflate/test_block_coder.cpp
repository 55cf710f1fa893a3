// The block coder on its own, fed with chosen tallies: the choice between
// fixed and dynamic codes, and codes that would grow past their length limit.

#include "archive/deflate/block_coder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "block_decoder.h"
#include "test_support.h"

namespace quillo::archive::test {
namespace {

using namespace deflate_internal;

// One block coder with its tables, buffers and output, as the compressor
// sets them up for an entry.
class CoderRig {
 public:
  explicit CoderRig(int level) : io_(no_input_) {
    writer_.bits_init(io_);
    coder_.ct_init(tables_, tables_built_, writer_,
                   TallyBuffers{lit_.data(), dist_.data(), flags_.data()}, level);
  }

  BlockCoder& coder() { return coder_; }
  const Bytes& output() const { return io_.output(); }

 private:
  Bytes no_input_;
  MemoryIo io_;
  FixedTables tables_;
  bool tables_built_ = false;
  BitWriter writer_;
  BlockCoder coder_;
  std::vector<std::uint8_t> lit_ = std::vector<std::uint8_t>(kLitBufSize);
  std::vector<std::uint16_t> dist_ = std::vector<std::uint16_t>(kLitBufSize);
  std::vector<std::uint8_t> flags_ = std::vector<std::uint8_t>(kFlagBufSize);
};

// Literal-only blocks of growing length: short ones are cheaper with the fixed
// codes, long ones with dynamic codes, and somewhere on the way both cost the
// same number of bytes. On a tie the fixed codes are chosen.
TEST(block_coder_test, fixed_codes_win_a_tie_with_dynamic_codes) {
  const Bytes text = portuguese_text(1200, 1);
  int ties = 0;
  for (std::size_t n = 1; n <= text.size(); n++) {
    auto rig = std::make_unique<CoderRig>(6);
    for (std::size_t i = 0; i < n; i++) rig->coder().ct_tally(0, text[i], 0);
    // No block bytes: a stored block is out of the question.
    rig->coder().block_flush(nullptr, static_cast<std::int64_t>(n), true);
    const BlockDecision& d = rig->coder().last_decision();

    const unsigned expected = d.fixed_bytes <= d.opt_bytes ? kFixedBlock : kDynamicBlock;
    ASSERT_EQ(d.type, expected) << n << " literals";
    // The sizes the choice was made on are the sizes written.
    ASSERT_EQ(rig->output().size(), expected == kFixedBlock ? d.fixed_bytes : d.opt_bytes);
    const DecodedStream decoded = decode_deflate(rig->output());
    ASSERT_EQ(decoded.blocks.size(), 1u);
    ASSERT_EQ(decoded.blocks[0].type, expected);
    ASSERT_EQ(decoded.data, Bytes(text.begin(), text.begin() + static_cast<long>(n)));
    if (d.fixed_bytes == d.opt_bytes) ties++;
  }
  EXPECT_GT(ties, 0) << "no tie in the family: the test proves nothing";
}

// Literal-only blocks of bytes drawn evenly from 200 values cost about 7.6
// bits a byte coded, plus the code tables: short ones are smaller stored
// (with the four bytes of LEN and NLEN), long ones smaller coded, and on the
// way a stored block costs exactly as much. On a tie the block is stored.
TEST(block_coder_test, stored_block_wins_a_tie_with_coding) {
  std::mt19937 rng(7);
  Bytes data(1500);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng() % 200);
  int ties = 0;
  for (std::size_t n = 300; n <= data.size(); n++) {
    auto rig = std::make_unique<CoderRig>(6);
    for (std::size_t i = 0; i < n; i++) rig->coder().ct_tally(0, data[i], 0);
    rig->coder().block_flush(data.data(), static_cast<std::int64_t>(n), false);
    const BlockDecision d = rig->coder().last_decision();
    rig->coder().block_flush(nullptr, 0, true);  // an empty last block ends the stream

    const std::uint64_t best = std::min(d.fixed_bytes, d.opt_bytes);
    ASSERT_EQ(d.type == kStoredBlock, n + 4 <= best) << n << " bytes";
    const DecodedStream decoded = decode_deflate(rig->output());
    ASSERT_EQ(decoded.blocks.size(), 2u);
    ASSERT_EQ(decoded.blocks[0].type, d.type);
    ASSERT_EQ(decoded.data, Bytes(data.begin(), data.begin() + static_cast<long>(n)));
    if (n + 4 == best) ties++;
  }
  EXPECT_GT(ties, 0) << "no tie in the family: the test proves nothing";
}

// Frequencies that follow the Fibonacci numbers (the end-of-block code, sent
// once per block, is the first 1) give a Huffman tree as deep as there are
// symbols; the codes must be cut to 15 bits and still form a complete prefix
// code.
TEST(block_coder_test, codes_longer_than_15_bits_are_cut_to_a_complete_code) {
  CoderRig rig(6);
  Bytes sent;
  unsigned a = 1;
  unsigned b = 2;
  for (unsigned symbol = 0; symbol < 20; symbol++) {
    for (unsigned i = 0; i < a; i++) sent.push_back(static_cast<std::uint8_t>('A' + symbol));
    const unsigned next = a + b;
    a = b;
    b = next;
  }
  ASSERT_LT(sent.size(), kBlockSymbolLimit);
  for (std::uint8_t c : sent) rig.coder().ct_tally(0, c, 0);
  rig.coder().block_flush(nullptr, static_cast<std::int64_t>(sent.size()), true);

  EXPECT_EQ(zlib_inflate(rig.output(), sent.size()), sent);
  const DecodedStream decoded = decode_deflate(rig.output());
  ASSERT_EQ(decoded.blocks.size(), 1u);
  ASSERT_EQ(decoded.blocks[0].type, kDynamicBlock);
  // Kraft sum of a complete code: the sum of 2^-length over the used symbols
  // is exactly 1; counted in units of 2^-15.
  unsigned kraft = 0;
  unsigned longest = 0;
  for (unsigned len : decoded.blocks[0].literal_lengths) {
    if (len == 0) continue;
    longest = std::max(longest, len);
    kraft += 1u << (15 - len);
  }
  EXPECT_EQ(longest, 15u);
  EXPECT_EQ(kraft, 1u << 15);
}

}  // namespace
}  // namespace quillo::archive::test
