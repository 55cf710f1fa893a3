#include "archive/deflate/block_coder.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace quillo::archive::deflate_internal {

void BlockCoder::ct_init(FixedTables& tables, bool& tables_built, BitWriter& writer,
                         TallyBuffers buffers, int pack_level) {
  if (!tables_built) {
    tables.build();
    tables_built = true;
  }
  tables_ = &tables;
  writer_ = &writer;
  lit_buf_ = buffers.lit_buf;
  dist_buf_ = buffers.dist_buf;
  flag_buf_ = buffers.flag_buf;
  pack_level_ = pack_level;

  l_desc_ = {dyn_ltree_, tables.static_ltree, kExtraLengthBits, kLiterals + 1, kLCodes, kMaxBits,
             -1};
  d_desc_ = {dyn_dtree_, tables.static_dtree, kExtraDistanceBits, 0, kDCodes, kMaxBits, -1};
  bl_desc_ = {bl_tree_, nullptr, kExtraBLBits, 0, kBLCodes, kMaxBLBits, -1};

  compressed_bits_ = 0;
  classified_ = false;
  stored_whole_ = false;
  text_class_ = 1;
  // The flag buffer is cleared per block only as far as the block used it;
  // start each entry from a clean one whatever the last entry left.
  std::memset(flag_buf_, 0, kFlagBufSize);
  sym_count_ = 0;
  block_reset();
}

void BlockCoder::block_reset() {
  for (int n = 0; n < kLCodes; n++) dyn_ltree_[n].fc = 0;
  for (int n = 0; n < kDCodes; n++) dyn_dtree_[n].fc = 0;
  for (int n = 0; n < kBLCodes; n++) bl_tree_[n].fc = 0;
  dyn_ltree_[kEndBlock].fc = 1;
  opt_bits_ = 0;
  fixed_bits_ = 0;
  std::memset(flag_buf_, 0, (sym_count_ + 7) / 8);
  sym_count_ = 0;
  match_count_ = 0;
}

bool BlockCoder::tally_checkpoint(std::int64_t block_input) const {
  // A block that compresses to less than half its input while holding few
  // matches is ended early: the data are changing character and fresh codes
  // will serve the rest better.
  if (pack_level_ > 2 && sym_count_ % kEarlyEndCheckEvery == 0) {
    std::uint64_t out_length = static_cast<std::uint64_t>(sym_count_) * 8;
    for (int dcode = 0; dcode < kDCodes; dcode++) {
      out_length +=
          static_cast<std::uint64_t>(dyn_dtree_[dcode].fc) * (5u + kExtraDistanceBits[dcode]);
    }
    out_length >>= 3;
    if (match_count_ < sym_count_ / 2 && static_cast<std::int64_t>(out_length) < block_input / 2) {
      return true;
    }
  }
  return sym_count_ == kBlockSymbolLimit;
}

void BlockCoder::classify_text() {
  unsigned binary = 0;
  unsigned text = 0;
  for (int n = 0; n < 7; n++) binary += dyn_ltree_[n].fc;
  for (int n = 7; n < 128; n++) text += dyn_ltree_[n].fc;
  for (int n = 128; n < kLiterals; n++) binary += dyn_ltree_[n].fc;
  text_class_ = binary > (text >> 2) ? 0 : 1;
}

int BlockCoder::length_tree_build() {
  tree_scan(dyn_ltree_, l_desc_.max_code, bl_tree_);
  tree_scan(dyn_dtree_, d_desc_.max_code, bl_tree_);
  builder_.tree_build(bl_desc_, opt_bits_, fixed_bits_);
  // Trailing code-length codes of length 0 are not sent, but four always are.
  int max_blindex = kBLCodes - 1;
  for (; max_blindex >= 3; max_blindex--) {
    if (bl_tree_[kBLOrder[max_blindex]].dl != 0) break;
  }
  opt_bits_ += 3 * (static_cast<std::uint64_t>(max_blindex) + 1) + 5 + 5 + 4;
  return max_blindex;
}

void BlockCoder::send_tree(const TTreeNode* tree, int max_code) {
  walk_code_lengths(tree, max_code, [this](int code, int extra, int extra_bits) {
    writer_->send_bits(bl_tree_[code].fc, bl_tree_[code].dl);
    if (extra_bits != 0) {
      writer_->send_bits(static_cast<unsigned>(extra), static_cast<unsigned>(extra_bits));
    }
  });
}

void BlockCoder::send_all_trees(int lcodes, int dcodes, int blcodes) {
  writer_->send_bits(static_cast<unsigned>(lcodes - 257), 5);
  writer_->send_bits(static_cast<unsigned>(dcodes - 1), 5);
  writer_->send_bits(static_cast<unsigned>(blcodes - 4), 4);
  for (int rank = 0; rank < blcodes; rank++) writer_->send_bits(bl_tree_[kBLOrder[rank]].dl, 3);
  send_tree(dyn_ltree_, lcodes - 1);
  send_tree(dyn_dtree_, dcodes - 1);
}

void BlockCoder::compress_block(const TTreeNode* ltree, const TTreeNode* dtree) {
  const FixedTables& t = *tables_;
  const std::uint8_t* limit = writer_->limit();
  BitCursor c = writer_->cursor();
  unsigned dx = 0;
  // Invariants: before each symbol c.count <= 7, so one symbol (48 bits at
  // most: 15 + 5 for the length, 15 + 13 for the distance) fits the register;
  // `dx` indexes the next match's distance; c.out stays below `limit` between
  // symbols, so the eight-byte store of flush_bytes lands in the buffer.
  for (unsigned lx = 0; lx < sym_count_; lx++) {
    const unsigned lc = lit_buf_[lx];
    if (((flag_buf_[lx >> 3] >> (lx & 7)) & 1) == 0) {
      c.add(ltree[lc].fc, ltree[lc].dl);
    } else {
      const unsigned code = t.length_code[lc];
      const TTreeNode& lnode = ltree[code + kLiterals + 1];
      c.add(lnode.fc, lnode.dl);
      if (const unsigned extra = kExtraLengthBits[code]; extra != 0) {
        c.add(lc - static_cast<unsigned>(t.base_length[code]), extra);
      }
      const unsigned dist = dist_buf_[dx++];
      const unsigned dcode = t.d_code(dist);
      c.add(dtree[dcode].fc, dtree[dcode].dl);
      if (const unsigned extra = kExtraDistanceBits[dcode]; extra != 0) {
        c.add(dist - static_cast<unsigned>(t.base_dist[dcode]), extra);
      }
    }
    c.flush_bytes();
    if (c.out >= limit) {
      writer_->set_cursor(c);
      writer_->out_flush();
      c = writer_->cursor();
    }
  }
  writer_->set_cursor(c);
  writer_->send_bits(ltree[kEndBlock].fc, ltree[kEndBlock].dl);
}

void BlockCoder::stored_copy(const std::uint8_t* block, std::uint32_t length, bool header) {
  writer_->bits_align();
  if (header) {
    writer_->put_short(length);
    writer_->put_short(~length & 0xFFFF);
  }
  writer_->write_raw(block, length);
}

void BlockCoder::block_flush(const std::uint8_t* block, std::int64_t length, bool last) {
  if (!classified_) {
    classify_text();
    classified_ = true;
  }

  builder_.tree_build(l_desc_, opt_bits_, fixed_bits_);
  builder_.tree_build(d_desc_, opt_bits_, fixed_bits_);
  const int max_blindex = length_tree_build();

  // Sizes in bytes with the three header bits, rounded up.
  const std::uint64_t opt_bytes = (opt_bits_ + 3 + 7) >> 3;
  const std::uint64_t fixed_bytes = (fixed_bits_ + 3 + 7) >> 3;
  const std::uint64_t best = fixed_bytes <= opt_bytes ? fixed_bytes : opt_bytes;
  const auto stored_len = static_cast<std::uint64_t>(length);
  const unsigned last_bit = last ? 1 : 0;
  last_decision_ = BlockDecision{stored_len, opt_bytes, fixed_bytes, kStoredBlock, false};

  if (block != nullptr && last && compressed_bits_ == 0 && stored_len <= best) {
    // The entry is this one block and coding does not make it smaller: its
    // bytes as they are become the entry's data. Nothing has been written yet.
    stored_copy(block, static_cast<std::uint32_t>(stored_len), false);
    compressed_bits_ = stored_len << 3;
    stored_whole_ = true;
    last_decision_.stored_whole = true;
  } else if (block != nullptr && stored_len + 4 <= best) {
    writer_->send_bits((kStoredBlock << 1) + last_bit, 3);
    compressed_bits_ = (compressed_bits_ + 3 + 7) & ~std::uint64_t{7};
    compressed_bits_ += (stored_len + 4) << 3;
    stored_copy(block, static_cast<std::uint32_t>(stored_len), true);
  } else if (fixed_bytes == best) {
    last_decision_.type = kFixedBlock;
    writer_->send_bits((kFixedBlock << 1) + last_bit, 3);
    compress_block(tables_->static_ltree, tables_->static_dtree);
    compressed_bits_ += 3 + fixed_bits_;
  } else {
    last_decision_.type = kDynamicBlock;
    writer_->send_bits((kDynamicBlock << 1) + last_bit, 3);
    send_all_trees(l_desc_.max_code + 1, d_desc_.max_code + 1, max_blindex + 1);
    compress_block(dyn_ltree_, dyn_dtree_);
    compressed_bits_ += 3 + opt_bits_;
  }
  block_reset();

  if (last) {
    writer_->bits_align();
    compressed_bits_ += 7;
  }
}

}  // namespace quillo::archive::deflate_internal
