#include "archive/deflate/deflate.h"

#include <cassert>

#include "archive/deflate/bit_writer.h"
#include "archive/deflate/block_coder.h"
#include "archive/deflate/match_finder.h"
#include "archive/deflate/trees.h"
#include "archive/errors.h"

namespace quillo::archive {

using namespace deflate_internal;

namespace {

// The six work buffers of a zip run, allocated as one set.
struct DeflateBuffers {
  alignas(64) std::uint8_t window[kWindowSize + kWindowSlack];
  alignas(64) std::uint16_t prev[kWindowHalf];
  alignas(64) std::uint16_t head[kHashSize];
  alignas(64) std::uint8_t lit_buf[kLitBufSize];
  alignas(64) std::uint16_t dist_buf[kLitBufSize];
  alignas(64) std::uint8_t flag_buf[kFlagBufSize];
};

static_assert(kFlagBufSize * 8 == kLitBufSize, "one flag bit per tallied symbol");
static_assert(kMaxDistance - 1 <= 0xFFFF, "distances - 1 fit the 16-bit distance buffer");
static_assert(kWindowSize - 1 <= 0xFFFF, "window positions fit the 16-bit chain tables");
static_assert(kBlockSymbolLimit < kLitBufSize, "a block's symbols fit the literal buffer");

}  // namespace

struct Deflater::Impl {
  // For the writer's life.
  FixedTables tables;
  bool tables_built = false;
  // For a zip run.
  std::unique_ptr<DeflateBuffers> buffers;
  // For one entry (TDeflateState): reset by each call of deflate.
  BitWriter writer;
  BlockCoder coder;
  MatchFinder finder;

  DeflateResult run(int level, DeflateIo& io);
  void deflate_greedy(MatchCursor c, const LevelConfig& config);
  void deflate_lazy(MatchCursor c, const LevelConfig& config);

  static std::int64_t block_input(const MatchCursor& c) {
    return static_cast<std::int64_t>(c.strstart) - c.block_start;
  }
  void flush_block(const MatchCursor& c, bool last) {
    const std::uint8_t* block = c.block_start >= 0 ? buffers->window + c.block_start : nullptr;
    coder.block_flush(block, block_input(c), last);
  }
};

DeflateResult Deflater::Impl::run(int level, DeflateIo& io) {
  if (level < 1 || level > 9) throw EInvalidArgument("Pack level must be 1 to 9");
  if (!buffers) buffers = std::make_unique<DeflateBuffers>();
  const LevelConfig& config = pack_level_table[level];

  writer.bits_init(io);
  coder.ct_init(tables, tables_built, writer,
                TallyBuffers{buffers->lit_buf, buffers->dist_buf, buffers->flag_buf}, level);
  const MatchCursor start =
      finder.match_init(WindowBuffers{buffers->window, buffers->prev, buffers->head}, io);
  if (level <= kLastGreedyLevel) {
    deflate_greedy(start, config);
  } else {
    deflate_lazy(start, config);
  }

  // The size the block decisions counted and the bytes handed to WriteOutput
  // must agree; the latter is what the entry's header records.
  assert(writer.bytes_written() == coder.compressed_bits() >> 3);
  DeflateResult result;
  result.CompressedSize = writer.bytes_written();
  result.CompressionMethod = coder.stored_whole() ? 0 : 8;
  result.InternalAttributes = coder.text_class();
  result.GeneralPurposeFlags = level <= 2 ? 4 : level >= 8 ? 2 : 0;
  return result;
}

void Deflater::Impl::deflate_greedy(MatchCursor c, const LevelConfig& config) {
  const WindowBuffers b = finder.buffers();
  unsigned match_length = 0;
  unsigned hash_head = 0;

  // Invariants at the top: c.strstart <= kSlideAt; the bytes before
  // c.strstart of the current block are tallied; match_length < kMinMatch.
  while (c.lookahead != 0) {
    if (c.lookahead >= kMinMatch) hash_head = hash_insert(b, c.ins_h, c.strstart);
    if (hash_head != 0 && c.strstart - hash_head <= kMaxDistance) {
      match_length = match_search(b, config, hash_head, c.strstart, kMinMatch - 1, c.match_start);
      if (match_length > c.lookahead) match_length = c.lookahead;
    }

    bool flush;
    if (match_length >= kMinMatch) {
      flush = coder.ct_tally(c.strstart - c.match_start, match_length - kMinMatch, block_input(c));
      c.lookahead -= match_length;
      if (match_length <= config.max_lazy) {
        // Short match: its inner positions go into the chains too (the first
        // one is in already).
        while (--match_length != 0) {
          c.strstart++;
          hash_head = hash_insert(b, c.ins_h, c.strstart);
        }
        c.strstart++;
      } else {
        // Long match: skip its positions and seed the hash afresh.
        c.strstart += match_length;
        match_length = 0;
        c.ins_h = hash_roll(b.window[c.strstart], b.window[c.strstart + 1]);
      }
    } else {
      flush = coder.ct_tally(0, b.window[c.strstart], block_input(c));
      c.lookahead--;
      c.strstart++;
    }
    if (flush) {
      flush_block(c, false);
      c.block_start = c.strstart;
    }
    if (c.lookahead < kMinLookahead) c = finder.refill_window(c);
  }
  flush_block(c, true);
}

void Deflater::Impl::deflate_lazy(MatchCursor c, const LevelConfig& config) {
  const WindowBuffers b = finder.buffers();
  unsigned match_length = kMinMatch - 1;
  unsigned hash_head = 0;
  bool match_available = false;

  // Invariants at the top: c.strstart <= kSlideAt; when match_available, the
  // byte at c.strstart - 1 is not yet tallied and match_length is the best
  // match found there (kMinMatch - 1 for none); otherwise every byte before
  // c.strstart is tallied.
  while (c.lookahead != 0) {
    if (c.lookahead >= kMinMatch) hash_head = hash_insert(b, c.ins_h, c.strstart);
    unsigned prev_length = match_length;
    const unsigned prev_match = c.match_start;
    match_length = kMinMatch - 1;

    if (hash_head != 0 && prev_length < config.max_lazy && c.strstart - hash_head <= kMaxDistance) {
      match_length = match_search(b, config, hash_head, c.strstart, prev_length, c.match_start);
      if (match_length > c.lookahead) match_length = c.lookahead;
      if (match_length == kMinMatch &&
          static_cast<int>(c.strstart) - static_cast<int>(c.match_start) > int{kTooFar}) {
        match_length = kMinMatch - 1;  // too far back to pay for itself
      }
    }

    if (prev_length >= kMinMatch && match_length <= prev_length) {
      // The match at the previous position is at least as good: take it.
      const bool flush =
          coder.ct_tally(c.strstart - 1 - prev_match, prev_length - kMinMatch, block_input(c));
      c.lookahead -= prev_length - 1;
      prev_length -= 2;
      do {
        c.strstart++;
        hash_head = hash_insert(b, c.ins_h, c.strstart);
      } while (--prev_length != 0);
      c.strstart++;
      match_available = false;
      match_length = kMinMatch - 1;
      if (flush) {
        flush_block(c, false);
        c.block_start = c.strstart;
      }
    } else if (match_available) {
      // The match here is longer: the previous position becomes a literal.
      if (coder.ct_tally(0, b.window[c.strstart - 1], block_input(c))) {
        flush_block(c, false);
        c.block_start = c.strstart;
      }
      c.strstart++;
      c.lookahead--;
    } else {
      // Wait one position before deciding.
      match_available = true;
      c.strstart++;
      c.lookahead--;
    }
    if (c.lookahead < kMinLookahead) c = finder.refill_window(c);
  }
  if (match_available) coder.ct_tally(0, b.window[c.strstart - 1], block_input(c));
  flush_block(c, true);
}

Deflater::Deflater() : impl_(std::make_unique<Impl>()) {}
Deflater::~Deflater() = default;
Deflater::Deflater(Deflater&&) noexcept = default;
Deflater& Deflater::operator=(Deflater&&) noexcept = default;

void Deflater::AllocateBuffers() {
  if (!impl_->buffers) impl_->buffers = std::make_unique<DeflateBuffers>();
}

void Deflater::ReleaseBuffers() {
  impl_->buffers.reset();
}

bool Deflater::HoldsBuffers() const {
  return impl_->buffers != nullptr;
}

DeflateResult Deflater::deflate(int PackLevel, DeflateIo& io) {
  return impl_->run(PackLevel, io);
}

}  // namespace quillo::archive
