#pragma once

// The block decisions of the compressor: it tallies the literals and matches
// of the current block, decides when a block ends, and codes each block as
// stored, fixed-code or dynamic-code data, whichever is smallest (fixed codes
// win a tie). An entry whose only block is not smaller coded than as it is
// goes out as its plain bytes.

#include <cstdint>

#include "archive/deflate/bit_writer.h"
#include "archive/deflate/deflate_constants.h"
#include "archive/deflate/trees.h"

namespace quillo::archive::deflate_internal {

// The three tally buffers of a block, owned by the compressor's buffer set.
struct TallyBuffers {
  std::uint8_t* lit_buf;    // kLitBufSize: a literal, or match length - 3
  std::uint16_t* dist_buf;  // kLitBufSize: distance - 1 of each match
  std::uint8_t* flag_buf;   // kFlagBufSize: one bit per symbol, set for a match
};

// How the last flushed block was sent, and the sizes the choice was made on.
struct BlockDecision {
  std::uint64_t stored_len = 0;   // input bytes of the block
  std::uint64_t opt_bytes = 0;    // size with dynamic codes, header included
  std::uint64_t fixed_bytes = 0;  // size with the fixed codes, header included
  unsigned type = 0;              // kStoredBlock, kFixedBlock or kDynamicBlock
  bool stored_whole = false;      // the entry's bytes went out as they are
};

class BlockCoder {
 public:
  // Starts an entry: builds the fixed tables on first use, clears the entry's
  // counts and starts the first block.
  void ct_init(FixedTables& tables, bool& tables_built, BitWriter& writer, TallyBuffers buffers,
               int pack_level);

  // Tallies one literal (dist 0, lc the byte) or one match (dist 1..32,506,
  // lc the length - 3, 0..255). `block_input` is the number of input bytes the
  // block covers so far. Returns true when the block is to be flushed now.
  // Inlined where the caller passes a constant 0, the test on dist folds away.
  bool ct_tally(unsigned dist, unsigned lc, std::int64_t block_input) {
    lit_buf_[sym_count_] = static_cast<std::uint8_t>(lc);
    if (dist == 0) {
      dyn_ltree_[lc].fc++;
    } else {
      flag_buf_[sym_count_ >> 3] |= static_cast<std::uint8_t>(1u << (sym_count_ & 7));
      dist--;
      dist_buf_[match_count_++] = static_cast<std::uint16_t>(dist);
      dyn_ltree_[tables_->length_code[lc] + kLiterals + 1].fc++;
      dyn_dtree_[tables_->d_code(dist)].fc++;
    }
    return symbol_counted(block_input);
  }

  // Codes and writes the pending block. `block` is the block's input bytes, or
  // null when they have left the window; `length` is the number of input bytes
  // the block covers.
  void block_flush(const std::uint8_t* block, std::int64_t length, bool last);

  // Results of the entry, valid after the last block.
  std::uint64_t compressed_bits() const { return compressed_bits_; }
  bool stored_whole() const { return stored_whole_; }
  // 0 binary, 1 text, as judged from the first block.
  std::uint16_t text_class() const { return text_class_; }
  const BlockDecision& last_decision() const { return last_decision_; }

 private:
  // Counts the tallied symbol; the block-end tests run only at the counts
  // where they can answer true.
  bool symbol_counted(std::int64_t block_input) {
    ++sym_count_;
    if (sym_count_ % kEarlyEndCheckEvery != 0 && sym_count_ != kBlockSymbolLimit) return false;
    return tally_checkpoint(block_input);
  }
  bool tally_checkpoint(std::int64_t block_input) const;
  void block_reset();
  void classify_text();
  int length_tree_build();
  void send_all_trees(int lcodes, int dcodes, int blcodes);
  void send_tree(const TTreeNode* tree, int max_code);
  void compress_block(const TTreeNode* ltree, const TTreeNode* dtree);
  void stored_copy(const std::uint8_t* block, std::uint32_t length, bool header);

  const FixedTables* tables_ = nullptr;
  BitWriter* writer_ = nullptr;
  std::uint8_t* lit_buf_ = nullptr;
  std::uint16_t* dist_buf_ = nullptr;
  std::uint8_t* flag_buf_ = nullptr;
  int pack_level_ = 0;

  TTreeNode dyn_ltree_[kHeapSize];
  TTreeNode dyn_dtree_[2 * kDCodes + 1];
  TTreeNode bl_tree_[2 * kBLCodes + 1];
  TTreeDesc l_desc_;
  TTreeDesc d_desc_;
  TTreeDesc bl_desc_;
  TreeBuilder builder_;

  unsigned sym_count_ = 0;
  unsigned match_count_ = 0;
  std::uint64_t opt_bits_ = 0;    // block cost with dynamic codes, trees included
  std::uint64_t fixed_bits_ = 0;  // block cost with the fixed codes
  // Bits of the entry so far. 64 bits wide: an entry's compressed data may
  // pass 512 MiB, where a 32-bit bit count would wrap.
  std::uint64_t compressed_bits_ = 0;
  bool classified_ = false;
  bool stored_whole_ = false;
  std::uint16_t text_class_ = 1;
  BlockDecision last_decision_;
};

}  // namespace quillo::archive::deflate_internal
