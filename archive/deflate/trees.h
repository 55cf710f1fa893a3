#pragma once

// Huffman trees of the compressor: the node and descriptor types, the tables
// that never change (built once per compressor object), and the builder that
// turns a block's symbol frequencies into length-limited codes and walks a
// tree's code lengths for the code-length code.

#include <cstdint>

#include "archive/deflate/deflate_constants.h"

namespace quillo::archive::deflate_internal {

// One node of a tree. While a tree is built, `fc` is the frequency and `dl` the
// parent's index; afterwards `fc` is the code (bit-reversed, ready to be sent
// least-significant bit first) and `dl` its length.
struct TTreeNode {
  std::uint16_t fc = 0;
  std::uint16_t dl = 0;
};
static_assert(sizeof(TTreeNode) == 4, "a tree node is two 16-bit fields");

// What tree_build needs to know about one tree.
struct TTreeDesc {
  TTreeNode* dyn_tree = nullptr;
  const TTreeNode* static_tree = nullptr;  // the fixed tree, or none
  const std::uint8_t* extra_bits = nullptr;
  int extra_base = 0;  // first symbol that has extra bits
  int elems = 0;       // number of symbols
  int max_length = 0;  // longest code allowed
  int max_code = -1;   // largest symbol with a non-zero frequency, set by tree_build
};

// Tables that never change; built on the first compressed entry of a
// compressor object and kept for its life.
struct FixedTables {
  TTreeNode static_ltree[kFixedLCodes];
  TTreeNode static_dtree[kDCodes];
  // Match length - 3 -> length code 0..28.
  std::uint8_t length_code[256];
  // Distance - 1 below 256 -> distance code; entries 256..511 give the code of
  // (distance - 1) >> 7.
  std::uint8_t dist_code[512];
  // First match length - 3 and first distance - 1 of each code.
  int base_length[kLengthCodes];
  int base_dist[kDCodes];

  void build();

  unsigned d_code(unsigned dist_minus_1) const {
    return dist_minus_1 < 256 ? dist_code[dist_minus_1] : dist_code[256 + (dist_minus_1 >> 7)];
  }
};

// Assigns canonical codes (bit-reversed) to symbols 0..max_code of a tree from
// the counts of codes per length.
void gencodes(TTreeNode* tree, int max_code, const std::uint16_t* bl_count);

// Reverses the low `length` bits of `code`.
unsigned bit_reverse(unsigned code, int length);

// Scratch space and the procedures that build one tree.
class TreeBuilder {
 public:
  // Builds the code lengths and codes of one tree from the frequencies in its
  // dynamic nodes, adding the tree's cost in bits to `opt_bits` and, when the
  // descriptor has a fixed tree, the cost of the fixed codes to `fixed_bits`.
  // Both counts are unsigned and may wrap in between; the sums come out right.
  void tree_build(TTreeDesc& desc, std::uint64_t& opt_bits, std::uint64_t& fixed_bits);

 private:
  void heap_sift(const TTreeNode* tree, int k);
  void tree_lengths(TTreeDesc& desc, std::uint64_t& opt_bits, std::uint64_t& fixed_bits);
  bool smaller(const TTreeNode* tree, int n, int m) const {
    return tree[n].fc < tree[m].fc || (tree[n].fc == tree[m].fc && depth_[n] <= depth_[m]);
  }

  int heap_[kHeapSize];
  int heap_len_ = 0;
  int heap_max_ = 0;  // index of the sorted part: heap_[heap_max_..kHeapSize-1]
  std::uint8_t depth_[kHeapSize];
  std::uint16_t bl_count_[kMaxBits + 1];
};

// A length no code has; placed after the last symbol of a tree so the walk
// below ends its last run there.
inline constexpr std::uint16_t kLengthGuard = 0xFFFF;

// Walks the code lengths of symbols 0..max_code of `tree` the way they are
// sent: runs of a repeated length become code 16, runs of zeros codes 17 and
// 18, everything else is sent as the length itself. Calls
// emit(code_length_code, extra_value, extra_bit_count) once per code sent.
// Needs the guard length at tree[max_code + 1] (tree_scan puts it there).
template <class Emit>
void walk_code_lengths(const TTreeNode* tree, int max_code, Emit&& emit) {
  int prevlen = -1;
  int nextlen = tree[0].dl;
  int count = 0;
  int max_count = nextlen == 0 ? 138 : 7;  // longest run one code covers
  int min_count = nextlen == 0 ? 3 : 4;    // shortest run worth a repeat code
  for (int n = 0; n <= max_code; n++) {
    const int curlen = nextlen;
    nextlen = tree[n + 1].dl;
    if (++count < max_count && curlen == nextlen) continue;
    if (count < min_count) {
      for (; count > 0; count--) emit(curlen, 0, 0);
    } else if (curlen != 0) {
      if (curlen != prevlen) {
        emit(curlen, 0, 0);
        count--;
      }
      emit(kRep3To6, count - 3, 2);
    } else if (count <= 10) {
      emit(kRepZero3To10, count - 3, 3);
    } else {
      emit(kRepZero11To138, count - 11, 7);
    }
    count = 0;
    prevlen = curlen;
    if (nextlen == 0) {
      max_count = 138;
      min_count = 3;
    } else if (curlen == nextlen) {
      max_count = 6;
      min_count = 3;
    } else {
      max_count = 7;
      min_count = 4;
    }
  }
}

// Counts the code-length codes that sending symbols 0..max_code of `tree`
// takes into the frequencies of `bl_tree`, after placing the guard length.
void tree_scan(TTreeNode* tree, int max_code, TTreeNode* bl_tree);

}  // namespace quillo::archive::deflate_internal
