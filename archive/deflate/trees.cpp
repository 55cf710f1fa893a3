#include "archive/deflate/trees.h"

#include <algorithm>
#include <iterator>

namespace quillo::archive::deflate_internal {

unsigned bit_reverse(unsigned code, int length) {
  unsigned result = 0;
  for (int i = 0; i < length; i++) {
    result = (result << 1) | (code & 1);
    code >>= 1;
  }
  return result;
}

void gencodes(TTreeNode* tree, int max_code, const std::uint16_t* bl_count) {
  std::uint16_t next_code[kMaxBits + 1];
  unsigned code = 0;
  for (int bits = 1; bits <= kMaxBits; bits++) {
    code = (code + bl_count[bits - 1]) << 1;
    next_code[bits] = static_cast<std::uint16_t>(code);
  }
  for (int n = 0; n <= max_code; n++) {
    const int len = tree[n].dl;
    if (len == 0) continue;
    tree[n].fc = static_cast<std::uint16_t>(bit_reverse(next_code[len]++, len));
  }
}

void FixedTables::build() {
  int length = 0;
  for (int code = 0; code < kLengthCodes - 1; code++) {
    base_length[code] = length;
    for (int n = 0; n < (1 << kExtraLengthBits[code]); n++) {
      length_code[length++] = static_cast<std::uint8_t>(code);
    }
  }
  // The last code of the loop would also cover length 258, which has a code
  // of its own.
  length_code[255] = kLengthCodes - 1;
  base_length[kLengthCodes - 1] = 0;  // code 28 has no extra bits

  int dist = 0;
  for (int code = 0; code < 16; code++) {
    base_dist[code] = dist;
    for (int n = 0; n < (1 << kExtraDistanceBits[code]); n++) {
      dist_code[dist++] = static_cast<std::uint8_t>(code);
    }
  }
  dist >>= 7;  // from here on the map is indexed by distance / 128
  for (int code = 16; code < kDCodes; code++) {
    base_dist[code] = dist << 7;
    for (int n = 0; n < (1 << (kExtraDistanceBits[code] - 7)); n++) {
      dist_code[256 + dist++] = static_cast<std::uint8_t>(code);
    }
  }

  std::uint16_t bl_count[kMaxBits + 1] = {};
  auto set_fixed_length = [&](int from, int to, int len) {
    for (int n = from; n <= to; n++) {
      static_ltree[n].dl = static_cast<std::uint16_t>(len);
      bl_count[len]++;
    }
  };
  set_fixed_length(0, 143, 8);
  set_fixed_length(144, 255, 9);
  set_fixed_length(256, 279, 7);
  set_fixed_length(280, 287, 8);
  gencodes(static_ltree, kFixedLCodes - 1, bl_count);
  for (int n = 0; n < kDCodes; n++) {
    static_dtree[n].dl = 5;
    static_dtree[n].fc = static_cast<std::uint16_t>(bit_reverse(static_cast<unsigned>(n), 5));
  }
}

void TreeBuilder::heap_sift(const TTreeNode* tree, int k) {
  const int v = heap_[k];
  int j = k << 1;
  while (j <= heap_len_) {
    if (j < heap_len_ && smaller(tree, heap_[j + 1], heap_[j])) j++;
    if (smaller(tree, v, heap_[j])) break;
    heap_[k] = heap_[j];
    k = j;
    j <<= 1;
  }
  heap_[k] = v;
}

void TreeBuilder::tree_build(TTreeDesc& desc, std::uint64_t& opt_bits, std::uint64_t& fixed_bits) {
  TTreeNode* tree = desc.dyn_tree;
  const TTreeNode* stree = desc.static_tree;
  const int elems = desc.elems;
  int max_code = -1;

  heap_len_ = 0;
  heap_max_ = kHeapSize;
  for (int n = 0; n < elems; n++) {
    if (tree[n].fc != 0) {
      heap_[++heap_len_] = max_code = n;
      depth_[n] = 0;
    } else {
      tree[n].dl = 0;
    }
  }

  // A code needs two symbols at least: force symbols of frequency one that are
  // never sent (their cost is taken back out of the counts).
  while (heap_len_ < 2) {
    const int node = heap_[++heap_len_] = max_code < 2 ? ++max_code : 0;
    tree[node].fc = 1;
    depth_[node] = 0;
    opt_bits--;
    if (stree) fixed_bits -= stree[node].dl;
  }
  desc.max_code = max_code;

  for (int n = heap_len_ / 2; n >= 1; n--) heap_sift(tree, n);

  // Join the two least frequent nodes until one is left. The sorted part at
  // the end of the heap collects the nodes in the order they were taken.
  int node = elems;
  do {
    const int n = heap_[1];
    heap_[1] = heap_[heap_len_--];
    heap_sift(tree, 1);
    const int m = heap_[1];
    heap_[--heap_max_] = n;
    heap_[--heap_max_] = m;
    tree[node].fc = static_cast<std::uint16_t>(tree[n].fc + tree[m].fc);
    depth_[node] = static_cast<std::uint8_t>(std::max(depth_[n], depth_[m]) + 1);
    tree[n].dl = tree[m].dl = static_cast<std::uint16_t>(node);
    heap_[1] = node++;
    heap_sift(tree, 1);
  } while (heap_len_ >= 2);
  heap_[--heap_max_] = heap_[1];

  tree_lengths(desc, opt_bits, fixed_bits);
  gencodes(tree, max_code, bl_count_);
}

void TreeBuilder::tree_lengths(TTreeDesc& desc, std::uint64_t& opt_bits,
                               std::uint64_t& fixed_bits) {
  TTreeNode* tree = desc.dyn_tree;
  const TTreeNode* stree = desc.static_tree;
  const int max_code = desc.max_code;
  const int max_length = desc.max_length;

  std::fill(std::begin(bl_count_), std::end(bl_count_), 0);
  tree[heap_[heap_max_]].dl = 0;  // the root

  // Parents come before their children in the sorted part, so each node's
  // length is its parent's plus one.
  int overflow = 0;
  for (int h = heap_max_ + 1; h < kHeapSize; h++) {
    const int n = heap_[h];
    int bits = tree[tree[n].dl].dl + 1;
    if (bits > max_length) {
      bits = max_length;
      overflow++;
    }
    tree[n].dl = static_cast<std::uint16_t>(bits);
    if (n > max_code) continue;  // an inner node
    bl_count_[bits]++;
    const int xbits = n >= desc.extra_base ? desc.extra_bits[n - desc.extra_base] : 0;
    const std::uint64_t f = tree[n].fc;
    opt_bits += f * static_cast<std::uint64_t>(bits + xbits);
    if (stree) fixed_bits += f * static_cast<std::uint64_t>(stree[n].dl + xbits);
  }
  if (overflow == 0) return;

  // Too long codes: each pass moves one leaf from a shorter length down a
  // level, making room for two codes there, and removes one code of the
  // longest length; the set of lengths stays a complete prefix code.
  do {
    int bits = max_length - 1;
    while (bl_count_[bits] == 0) bits--;
    bl_count_[bits]--;
    bl_count_[bits + 1] += 2;
    bl_count_[max_length]--;
    overflow -= 2;
  } while (overflow > 0);

  // Hand the lengths out again, longest to the least frequent symbols.
  int h = kHeapSize;
  for (int bits = max_length; bits != 0; bits--) {
    int n = bl_count_[bits];
    while (n != 0) {
      const int m = heap_[--h];
      if (m > max_code) continue;
      if (tree[m].dl != bits) {
        const std::int64_t change = static_cast<std::int64_t>(bits) - tree[m].dl;
        opt_bits += static_cast<std::uint64_t>(change * tree[m].fc);
        tree[m].dl = static_cast<std::uint16_t>(bits);
      }
      n--;
    }
  }
}

void tree_scan(TTreeNode* tree, int max_code, TTreeNode* bl_tree) {
  tree[max_code + 1].dl = kLengthGuard;
  walk_code_lengths(tree, max_code, [bl_tree](int code, int, int) { bl_tree[code].fc++; });
}

}  // namespace quillo::archive::deflate_internal
