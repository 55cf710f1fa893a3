#include "archive/deflate/match_finder.h"

#include <algorithm>
#include <cassert>

namespace quillo::archive::deflate_internal {

static_assert(kSlideAt + kMaxMatch + 8 <= kWindowSize + kWindowSlack,
              "match_length may load past the window end by at most the slack");

MatchCursor MatchFinder::match_init(const WindowBuffers& buffers, DeflateIo& io) {
  buffers_ = buffers;
  io_ = &io;
  // Only positions inserted during this entry are ever followed, so the chain
  // links need no clearing; the heads do.
  std::fill(buffers_.head, buffers_.head + kHashSize, std::uint16_t{0});
  // The search compares past the valid input; clearing the window makes what
  // it meets there independent of the entries before.
  std::memset(buffers_.window, 0, kWindowSize - 1);

  MatchCursor c;
  const std::uint32_t n = io_->ReadInput(buffers_.window, kWindowHalf);
  if (n == 0 || n > kWindowHalf) {
    eof_ = true;
    c.lookahead = 0;
    return c;
  }
  c.lookahead = n;
  eof_ = false;
  if (c.lookahead < kMinLookahead) c = refill_window(c);
  c.ins_h = hash_roll(hash_roll(0, buffers_.window[0]), buffers_.window[1]);
  return c;
}

MatchCursor MatchFinder::slide(MatchCursor c) {
  std::memcpy(buffers_.window, buffers_.window + kWindowHalf, kWindowHalf);
  c.match_start = (c.match_start - kWindowHalf) & 0xFFFF;
  c.strstart -= kWindowHalf;
  c.block_start -= kWindowHalf;
  // Positions in the lower half leave the window: their links become "none".
  auto rebase = [](std::uint16_t* table, unsigned size) {
    for (unsigned i = 0; i < size; i++) {
      const unsigned v = table[i];
      table[i] = static_cast<std::uint16_t>(v >= kWindowHalf ? v - kWindowHalf : 0);
    }
  };
  rebase(buffers_.head, kHashSize);
  rebase(buffers_.prev, kWindowHalf);
  return c;
}

MatchCursor MatchFinder::refill_window(MatchCursor c) {
  do {
    // The free space behind the valid data, as a 16-bit count: a full window
    // gives 0, which only happens when the window is about to slide.
    unsigned free = (kWindowSize - c.lookahead - c.strstart) & 0xFFFF;
    if (free == 0xFFFF) {
      free = 0xFFFE;  // a read count of 0xFFFF could not be told from a failure
    } else if (c.strstart >= kSlideAt) {
      c = slide(c);
      free += kWindowHalf;
    }
    if (eof_) break;
    assert(free > 0 && c.strstart + c.lookahead + free <= kWindowSize);
    const std::uint32_t n = io_->ReadInput(buffers_.window + c.strstart + c.lookahead, free);
    if (n == 0 || n > free) {
      eof_ = true;
    } else {
      c.lookahead += n;
    }
  } while (c.lookahead < kMinLookahead && !eof_);
  return c;
}

}  // namespace quillo::archive::deflate_internal
