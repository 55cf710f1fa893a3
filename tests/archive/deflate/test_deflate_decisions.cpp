// The decisions that shape the compressed stream: when an entry is stored
// whole, how blocks end and which kind each block becomes, which matches are
// taken, and what the entry's flags and text/binary judgement are.

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/deflate/deflate.h"
#include "block_decoder.h"
#include "test_support.h"

namespace quillo::archive::test {
namespace {

constexpr unsigned kStored = 0;
constexpr unsigned kFixed = 1;
constexpr unsigned kDynamic = 2;

DecodedStream decode_checked(const Compressed& c, const Bytes& input) {
  EXPECT_EQ(c.result.CompressionMethod, 8);
  EXPECT_EQ(zlib_inflate(c.data, input.size()), input);
  DecodedStream d = decode_deflate(c.data);
  EXPECT_EQ(d.data, input);
  return d;
}

// Bytes from `alphabet` (all of whose values are distinct) in which no
// three-byte sequence occurs twice, except those `forced` in at fixed offsets.
struct Forced {
  std::size_t at;
  std::string bytes;
};
Bytes without_repeats(std::size_t n, unsigned alphabet_from, unsigned alphabet_size,
                      const std::vector<Forced>& forced, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<bool> seen(1u << 24);
  Bytes b;
  auto note = [&](std::size_t k) {
    if (k < 2) return true;
    const unsigned t = (unsigned{b[k - 2]} << 16) | (unsigned{b[k - 1]} << 8) | b[k];
    const bool fresh = !seen[t];
    seen[t] = true;
    return fresh;
  };
  std::size_t next_forced = 0;
  int rejected_in_a_row = 0;
  while (b.size() < n) {
    if (next_forced < forced.size() && b.size() == forced[next_forced].at) {
      for (char ch : forced[next_forced].bytes) {
        b.push_back(static_cast<std::uint8_t>(ch));
        note(b.size() - 1);
      }
      next_forced++;
      continue;
    }
    b.push_back(static_cast<std::uint8_t>(alphabet_from + rng() % alphabet_size));
    if (note(b.size() - 1)) {
      rejected_in_a_row = 0;
    } else {
      b.pop_back();
      if (++rejected_in_a_row > 10000) throw std::runtime_error("alphabet too small for n");
    }
  }
  return b;
}

// Letters 'a' to 'h' in which every three-letter sequence occurs once (a de
// Bruijn sequence, built by always appending the latest letter that makes a
// new sequence): 514 letters.
Bytes eight_letters_without_repeats() {
  std::vector<bool> seen(8 * 8 * 8);
  std::vector<unsigned> s = {0, 0};
  for (;;) {
    const std::size_t k = s.size();
    bool extended = false;
    for (int c = 7; c >= 0 && !extended; c--) {
      const unsigned t = s[k - 2] * 64 + s[k - 1] * 8 + static_cast<unsigned>(c);
      if (!seen[t]) {
        seen[t] = true;
        s.push_back(static_cast<unsigned>(c));
        extended = true;
      }
    }
    if (!extended) break;
  }
  Bytes b;
  for (unsigned v : s) b.push_back(static_cast<std::uint8_t>('a' + v));
  return b;
}

// The symbol whose output starts at `offset`, or null when `offset` lies
// inside a match.
const DecodedSymbol* symbol_at(const DecodedStream& d, std::size_t offset) {
  std::size_t pos = 0;
  for (const DecodedBlock& block : d.blocks) {
    for (const DecodedSymbol& s : block.symbols) {
      if (pos == offset) return &s;
      pos += s.is_match ? s.length : 1;
      if (pos > offset) return nullptr;
    }
    if (block.type == kStored) pos += block.stored_len;
  }
  return nullptr;
}

TEST(deflate_flags_test, general_purpose_flags_follow_the_level) {
  const std::uint16_t expected[10] = {0, 4, 4, 0, 0, 0, 0, 0, 2, 2};
  const Bytes input = portuguese_text(20000, 1);
  for (int level = 1; level <= 9; level++) {
    EXPECT_EQ(compress(input, level).result.GeneralPurposeFlags, expected[level])
        << "level " << level;
  }
}

TEST(deflate_stored_whole_test, empty_entry_is_stored_with_nothing_written) {
  for (int level = 1; level <= 9; level++) {
    MemoryIo io(Bytes{});
    Deflater d;
    const DeflateResult r = d.deflate(level, io);
    EXPECT_EQ(r.CompressionMethod, 0);
    EXPECT_EQ(r.CompressedSize, 0u);
    EXPECT_EQ(r.InternalAttributes, 1);
    EXPECT_EQ(io.write_calls(), 0u);
  }
}

TEST(deflate_stored_whole_test, entries_not_smaller_coded_are_their_own_bytes) {
  // "aaaaa" codes as a, a, (distance 1, length 3): 35 bits and the header, 5
  // bytes, the same as stored: a tie keeps the bytes as they are.
  const std::vector<Bytes> inputs = {bytes_of("x"), bytes_of("xy"), bytes_of("aaaaa"),
                                     random_without_repeats(20000, 2),
                                     random_without_repeats(32000, 3)};
  for (const Bytes& input : inputs) {
    for (int level = 1; level <= 9; level++) {
      const Compressed c = compress(input, level);
      EXPECT_EQ(c.result.CompressionMethod, 0) << input.size() << " bytes, level " << level;
      EXPECT_EQ(c.data, input);
      EXPECT_EQ(c.result.CompressedSize, input.size());
    }
  }
}

TEST(deflate_stored_whole_test, one_byte_smaller_coded_is_deflated) {
  // "aaaaaa" codes as a, a, (distance 1, length 4): still 5 bytes, below 6.
  const Bytes input = bytes_of("aaaaaa");
  for (int level = 1; level <= 9; level++) {
    const Compressed c = compress(input, level);
    ASSERT_EQ(c.result.CompressionMethod, 8) << "level " << level;
    EXPECT_EQ(c.data.size(), 5u);
    const DecodedStream d = decode_checked(c, input);
    ASSERT_EQ(d.blocks.size(), 1u);
    EXPECT_EQ(d.blocks[0].type, kFixed);
    ASSERT_EQ(d.blocks[0].symbols.size(), 3u);
    EXPECT_TRUE(d.blocks[0].symbols[2].is_match);
    EXPECT_EQ(d.blocks[0].symbols[2].distance, 1u);
    EXPECT_EQ(d.blocks[0].symbols[2].length, 4u);
  }
}

TEST(deflate_stored_whole_test, incompressible_entry_of_two_blocks_keeps_method_8) {
  const Bytes input = random_without_repeats(40000, 4);
  for (int level = 1; level <= 9; level++) {
    const Compressed c = compress(input, level);
    const DecodedStream d = decode_checked(c, input);
    ASSERT_EQ(d.blocks.size(), 2u) << "level " << level;
    EXPECT_EQ(d.blocks[0].type, kStored);
    EXPECT_EQ(d.blocks[0].stored_len, 32767u);
    EXPECT_EQ(d.blocks[1].type, kStored);
    EXPECT_TRUE(d.blocks[1].final);
  }
}

// Blocks of literal-only input hold 32,767 symbols each. When block j is
// flushed, the window has slid once for every time the current position
// reached 65,274 (+32,768 per earlier slide); the block keeps its bytes, and
// so may be stored, only if its start is still inside the window.
TEST(deflate_block_test, stored_blocks_until_the_block_start_slides_out) {
  const std::size_t n = 300000;
  const Bytes input = random_without_repeats(n, 5);
  const std::size_t block_symbols = 32767;
  for (int level = 1; level <= 9; level++) {
    const DecodedStream d = decode_checked(compress(input, level), input);
    ASSERT_EQ(d.blocks.size(), (n + block_symbols - 1) / block_symbols) << "level " << level;
    int stored = 0;
    int coded = 0;
    for (std::size_t j = 0; j < d.blocks.size(); j++) {
      const DecodedBlock& b = d.blocks[j];
      const bool last = j + 1 == d.blocks.size();
      const std::size_t end = last ? n : (j + 1) * block_symbols;
      // The greedy levels flush after stepping past the block's last byte and
      // before the refill that may slide; the lazy levels flush one step later
      // than that refill. The last block is flushed after the final refill.
      const std::size_t flush_position = last ? end : level <= 3 ? end - 1 : end;
      std::size_t slides = 0;
      while (65274 + 32768 * slides <= flush_position) slides++;
      const bool bytes_in_window = j * block_symbols >= 32768 * slides;

      EXPECT_EQ(b.out_start, j * block_symbols);
      EXPECT_EQ(b.final, last);
      if (bytes_in_window) {
        stored++;
        EXPECT_EQ(b.type, kStored) << "block " << j << " level " << level;
        EXPECT_EQ(b.stored_len, b.out_length);
        EXPECT_EQ(b.stored_nlen, b.stored_len ^ 0xFFFF);
      } else {
        coded++;
        EXPECT_NE(b.type, kStored) << "block " << j << " level " << level;
      }
    }
    EXPECT_GT(stored, 1);
    EXPECT_GT(coded, 1);
  }
}

TEST(deflate_block_test, block_without_matches_still_sends_two_distance_codes) {
  // Eight letters, each three-letter sequence at most once: no match, and a
  // dynamic code of three bits per letter beats the fixed eight.
  const Bytes input = eight_letters_without_repeats();
  ASSERT_EQ(input.size(), 514u);
  for (int level = 1; level <= 9; level++) {
    const DecodedStream d = decode_checked(compress(input, level), input);
    ASSERT_EQ(d.blocks.size(), 1u);
    const DecodedBlock& b = d.blocks[0];
    EXPECT_EQ(b.type, kDynamic);
    for (const DecodedSymbol& s : b.symbols) EXPECT_FALSE(s.is_match);
    EXPECT_EQ(b.distance_codes, 2u);
    EXPECT_EQ(b.distance_lengths, (std::vector<unsigned>{1, 1}));
  }
}

TEST(deflate_block_test, block_with_one_distance_code_gets_code_0_as_the_second) {
  // The sequence above, a letter found nowhere else, and the sequence's last
  // 40 letters again: one match, of distance 41 (code 10); a code needs two
  // symbols, and code 0 is added.
  Bytes input = eight_letters_without_repeats();
  const Bytes tail(input.end() - 40, input.end());
  input.push_back('z');
  input.insert(input.end(), tail.begin(), tail.end());
  for (int level = 1; level <= 9; level++) {
    const DecodedStream d = decode_checked(compress(input, level), input);
    ASSERT_EQ(d.blocks.size(), 1u);
    const DecodedBlock& b = d.blocks[0];
    EXPECT_EQ(b.type, kDynamic);
    ASSERT_TRUE(b.symbols.back().is_match);
    EXPECT_EQ(b.symbols.back().distance, 41u);
    std::vector<unsigned> expected(11, 0);
    expected[0] = 1;
    expected[10] = 1;
    EXPECT_EQ(b.distance_lengths, expected) << "level " << level;
  }
}

TEST(deflate_block_test, empty_last_block_goes_out_with_the_fixed_codes) {
  // At the greedy levels a block filled by the input's last literal is
  // flushed before the loop ends; the last block is then empty.
  const Bytes input = random_without_repeats(32767, 7);
  for (int level = 1; level <= 3; level++) {
    const DecodedStream d = decode_checked(compress(input, level), input);
    ASSERT_EQ(d.blocks.size(), 2u) << "level " << level;
    EXPECT_EQ(d.blocks[0].type, kStored);
    EXPECT_FALSE(d.blocks[0].final);
    EXPECT_EQ(d.blocks[1].type, kFixed);
    EXPECT_TRUE(d.blocks[1].final);
    EXPECT_TRUE(d.blocks[1].symbols.empty());
  }
}

// Two random bytes and then the same 40 letters, over and over: one match in
// three symbols, and more than twice as much input as the symbols would take
// coded. From level 3 on, such a block is ended at the next multiple of 4,096
// symbols; levels 1 and 2 end blocks only when 32,767 symbols are tallied.
TEST(deflate_block_test, blocks_end_early_from_level_3_when_they_compress_well_with_few_matches) {
  const Bytes noise = random_bytes(60000, 13);
  const std::string street = "RUA DAS FLORES, 1234 - CENTRO - SAO PAULO";
  Bytes input;
  for (std::size_t i = 0; input.size() < 1200000; i += 2) {
    input.push_back(noise[i % noise.size()]);
    input.push_back(noise[(i + 1) % noise.size()]);
    input.insert(input.end(), street.begin(), street.end());
  }
  for (int level = 1; level <= 9; level++) {
    const DecodedStream d = decode_checked(compress(input, level), input);
    ASSERT_GE(d.blocks.size(), 2u) << "level " << level;
    int early = 0;
    for (std::size_t j = 0; j + 1 < d.blocks.size(); j++) {
      const std::size_t symbols = d.blocks[j].symbols.size();
      if (level <= 2) {
        EXPECT_EQ(symbols, 32767u) << "level " << level << " block " << j;
      } else {
        EXPECT_TRUE(symbols % 4096 == 0 || symbols == 32767u) << symbols;
        if (symbols % 4096 == 0) early++;
      }
    }
    if (level >= 3) {
      EXPECT_GT(early, 0) << "level " << level;
    }
  }
}

TEST(deflate_match_test, run_of_one_byte_gives_matches_of_distance_1_and_length_258) {
  const Bytes input = repeated_byte(100000, 'Q');
  for (int level = 1; level <= 9; level++) {
    const DecodedStream d = decode_checked(compress(input, level), input);
    bool found = false;
    for (const DecodedBlock& b : d.blocks) {
      for (const DecodedSymbol& s : b.symbols)
        found |= s.is_match && s.distance == 1 && s.length == 258;
    }
    EXPECT_TRUE(found) << "level " << level;
  }
}

TEST(deflate_match_test, length_3_match_further_than_4096_is_dropped_from_level_4) {
  // "xyz" twice and no other repeated three bytes; the only match possible is
  // the second "xyz", of length 3 exactly, `distance` bytes back.
  for (std::size_t distance : {std::size_t{4096}, std::size_t{4097}, std::size_t{20000}}) {
    const std::size_t first = 5;
    const std::size_t second = first + distance;
    const Bytes input =
        without_repeats(second + 2000, 0x80, 128, {{first, "xyz"}, {second, "xyz"}}, 8);
    for (int level = 1; level <= 9; level++) {
      const DecodedStream d = decode_checked(compress(input, level), input);
      const DecodedSymbol* s = symbol_at(d, second);
      ASSERT_NE(s, nullptr) << "level " << level;
      const bool expect_match = level <= 3 || distance <= 4096;
      EXPECT_EQ(s->is_match, expect_match) << "distance " << distance << " level " << level;
      if (expect_match) {
        EXPECT_EQ(s->length, 3u);
        EXPECT_EQ(s->distance, distance);
      } else {
        EXPECT_EQ(s->literal, 'x');
      }
    }
  }
}

TEST(deflate_text_test, text_or_binary_by_the_share_of_control_and_high_bytes) {
  // Binary when the bytes 0-6 and 128-255 outnumber a quarter of the bytes
  // 7-127 (rounded down).
  struct Case {
    std::string input;
    std::uint16_t expected;
  };
  const Case cases[] = {
      {"", 1},
      {"abcd\x06", 1},
      {"abc\x06", 0},
      {"abcd\x07", 1},
      {"\x7f\x7e\x7d\x7c\x80", 1},
      {"\x7f\x7e\x7d\x80", 0},
      {"abcdefgh\x01\xff", 1},
      {"abcdefgh\x01\xfe\x05", 0},
  };
  for (const Case& c : cases) {
    for (int level : {1, 6, 9}) {
      EXPECT_EQ(compress(bytes_of(c.input), level).result.InternalAttributes, c.expected)
          << "input of " << c.input.size() << " bytes, level " << level;
    }
  }
}

TEST(deflate_text_test, first_block_decides_for_the_whole_entry) {
  // Each first part is long enough to fill the first block by itself.
  const std::size_t binary_part = 40000;
  Bytes binary_first = random_without_repeats(binary_part, 9);
  const Bytes text = portuguese_text(300000, 10);
  binary_first.insert(binary_first.end(), text.begin(), text.end());

  const std::size_t text_part = 400000;
  Bytes text_first = portuguese_text(text_part, 11);
  const Bytes noise = random_bytes(300000, 12);
  text_first.insert(text_first.end(), noise.begin(), noise.end());

  for (int level = 1; level <= 9; level++) {
    const Compressed b = compress(binary_first, level);
    EXPECT_LE(decode_checked(b, binary_first).blocks.at(0).out_length, binary_part);
    EXPECT_EQ(b.result.InternalAttributes, 0) << "level " << level;

    const Compressed t = compress(text_first, level);
    EXPECT_LE(decode_checked(t, text_first).blocks.at(0).out_length, text_part);
    EXPECT_EQ(t.result.InternalAttributes, 1) << "level " << level;
  }
}

}  // namespace
}  // namespace quillo::archive::test
