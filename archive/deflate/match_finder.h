#pragma once

// The match finder of the compressor: a 64 KiB window filled through
// ReadInput, hash chains over three-byte prefixes, and the longest-match
// search along a chain. The greedy and lazy loops that drive it (deflate.cpp)
// keep the cursor (MatchCursor) in locals and pass it by value, so that the
// compiler holds it in registers across the stores into the tally buffers.

#include <bit>
#include <cstdint>
#include <cstring>

#include "archive/deflate/deflate_constants.h"
#include "archive/deflate/deflate_io.h"

namespace quillo::archive::deflate_internal {

// One row of pack_level_table.
struct LevelConfig {
  // When the match carried over from the previous position is at least this
  // long, the next search walks a quarter of the chain limit.
  std::uint16_t good_length;
  // Lazy levels: no search at a position whose carried-over match is at least
  // this long. Greedy levels: the longest match whose inner positions are
  // still inserted into the hash chains.
  std::uint16_t max_lazy;
  // A search stops as soon as it finds a match at least this long.
  std::uint16_t nice_length;
  // The most chain entries one search examines.
  std::uint16_t max_chain;
};

// Indexed by the pack level; row 0 is never used (level 0 stores). Levels 1-3
// run the greedy loop, 4-9 the lazy loop.
inline constexpr LevelConfig pack_level_table[10] = {
    {0, 0, 0, 0},         {4, 4, 8, 4},        {4, 5, 16, 8},     {4, 6, 32, 32},
    {4, 4, 16, 16},       {8, 16, 32, 32},     {8, 16, 128, 128}, {8, 32, 128, 256},
    {32, 128, 258, 1024}, {32, 258, 258, 4096}};
inline constexpr int kLastGreedyLevel = 3;

// The position state of one entry, passed by value between the loops and the
// window refill.
struct MatchCursor {
  unsigned strstart = 0;         // current position in the window
  unsigned lookahead = 0;        // valid input bytes from strstart on
  std::int64_t block_start = 0;  // negative once the block's start left the window
  unsigned match_start = 0;      // 16-bit: start of the best match of the last search
  unsigned ins_h = 0;            // rolling hash of the three bytes being inserted
};

// The three window buffers, owned by the compressor's buffer set.
struct WindowBuffers {
  std::uint8_t* window;  // kWindowSize + kWindowSlack bytes
  std::uint16_t* prev;   // kWindowHalf chain links, indexed by position & kWindowMask
  std::uint16_t* head;   // kHashSize chain heads, indexed by hash; 0 is no position
};

inline unsigned hash_roll(unsigned h, unsigned c) {
  return ((h << kHashShift) ^ c) & kHashMask;
}

// Inserts position `pos` into its hash chain, rolling in the byte at pos + 2.
// Returns the previous head of the chain (0 for none).
inline unsigned hash_insert(const WindowBuffers& b, unsigned& ins_h, unsigned pos) {
  ins_h = hash_roll(ins_h, b.window[pos + 2]);
  const unsigned chain_head = b.head[ins_h];
  b.prev[pos & kWindowMask] = static_cast<std::uint16_t>(chain_head);
  b.head[ins_h] = static_cast<std::uint16_t>(pos);
  return chain_head;
}

inline std::uint16_t load16(const std::uint8_t* p) {
  std::uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

inline std::uint64_t load_le64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native != std::endian::little) v = __builtin_bswap64(v);
  return v;
}

// Number of equal leading bytes of `scan` and `match`, at most kMaxMatch,
// where the first two bytes are known equal and the third is taken as equal:
// equal hashes and equal first two bytes imply an equal third byte. May read
// up to offset kMaxMatch + 5 of both.
inline unsigned match_length(const std::uint8_t* scan, const std::uint8_t* match) {
  constexpr std::uint64_t kThirdByte = 0xFF0000;
  std::uint64_t diff = (load_le64(scan) ^ load_le64(match)) & ~kThirdByte;
  if (diff != 0) return static_cast<unsigned>(std::countr_zero(diff)) >> 3;
  // Invariant: the first `len` bytes are equal (the third by assumption);
  // `len` is a multiple of 8 and below kMaxMatch + 8.
  unsigned len = 8;
  for (;;) {
    diff = load_le64(scan + len) ^ load_le64(match + len);
    if (diff != 0) {
      len += static_cast<unsigned>(std::countr_zero(diff)) >> 3;
      break;
    }
    len += 8;
    if (len >= kMaxMatch) break;
  }
  return len < kMaxMatch ? len : kMaxMatch;
}

// Searches the chain that starts at `cur_match` for the longest match at
// `strstart` that is longer than `prev_length`. Returns the best length found
// (prev_length when none is longer); updates `match_start` only on a longer
// match. The comparison may run past the valid input; the caller clips the
// length to the lookahead. Needs strstart <= kWindowSize - kMinLookahead.
inline unsigned match_search(const WindowBuffers& b, const LevelConfig& config, unsigned cur_match,
                             unsigned strstart, unsigned prev_length, unsigned& match_start) {
  unsigned chain_length = config.max_chain;
  if (prev_length >= config.good_length) chain_length >>= 2;
  const unsigned limit = strstart > kMaxDistance ? strstart - kMaxDistance : 0;
  const unsigned nice_length = config.nice_length;
  const std::uint8_t* const window = b.window;
  const std::uint16_t* const prev = b.prev;
  const std::uint8_t* const scan = window + strstart;
  const std::uint16_t scan_start = load16(scan);
  unsigned best = prev_length;
  std::uint16_t scan_end = load16(scan + best - 1);

  // Invariants: best >= 2; scan_end holds the two bytes ending at offset best
  // of `scan` and end_base + c addresses the same offset of candidate c, so a
  // candidate that differs there cannot be longer than best; candidates come
  // newest first, so of equally long matches the nearest wins. The next link
  // is loaded before the candidate is looked at, so both loads overlap.
  const std::uint8_t* end_base = window + best - 1;
  do {
    const unsigned next = prev[cur_match & kWindowMask];
    if (load16(end_base + cur_match) == scan_end && load16(window + cur_match) == scan_start) {
      const unsigned len = match_length(scan, window + cur_match);
      if (len > best) {
        match_start = cur_match;
        best = len;
        if (len >= nice_length) break;
        scan_end = load16(scan + best - 1);
        end_base = window + best - 1;
      }
    }
    cur_match = next;
  } while (cur_match > limit && --chain_length != 0);
  return best;
}

class MatchFinder {
 public:
  // Starts an entry: clears the hash heads and the window, reads the first
  // input. Returns the cursor of the first position.
  MatchCursor match_init(const WindowBuffers& buffers, DeflateIo& io);

  // Slides the window when the current position has reached kSlideAt and
  // reads input until the lookahead is kMinLookahead again or the input ends.
  MatchCursor refill_window(MatchCursor c);

  const WindowBuffers& buffers() const { return buffers_; }

 private:
  MatchCursor slide(MatchCursor c);

  WindowBuffers buffers_{};
  DeflateIo* io_ = nullptr;
  bool eof_ = false;
};

}  // namespace quillo::archive::deflate_internal
