// Every stream the compressor writes must inflate, with zlib, to the input,
// at every level, and the same input must give the same bytes every time.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "archive/deflate/deflate.h"
#include "archive/errors.h"
#include "block_decoder.h"
#include "test_support.h"

namespace quillo::archive::test {
namespace {

#ifdef NDEBUG
constexpr std::size_t kRecordsSize = 3 << 20;
#else
constexpr std::size_t kRecordsSize = 1 << 20;  // sanitizer and debug builds are slow
#endif

struct InputCase {
  std::string name;
  std::function<Bytes()> make;
};

const std::vector<InputCase>& input_cases() {
  static const std::vector<InputCase> cases = {
      {"empty", [] { return Bytes{}; }},
      {"one_byte", [] { return bytes_of("x"); }},
      {"two_bytes", [] { return bytes_of("xy"); }},
      {"three_equal_bytes", [] { return bytes_of("aaa"); }},
      {"exactly_32768_bytes_of_text", [] { return portuguese_text(32768, 1); }},
      {"just_over_65274_bytes", [] { return portuguese_text(65274 + 300, 2); }},
      {"window_size_exactly", [] { return table_records(65536, 3); }},
      {"long_run_of_one_byte", [] { return repeated_byte(300000, 'A'); }},
      {"random_larger_than_32k", [] { return random_bytes(200000, 4); }},
      {"random_without_matches", [] { return random_without_repeats(150000, 5); }},
      {"text", [] { return portuguese_text(400000, 6); }},
      {"binary", [] { return binary_structs(300000, 7); }},
      {"database_records", [] { return table_records(kRecordsSize, 8); }},
      {"text_then_random_then_text",
       [] {
         Bytes b = portuguese_text(70000, 9);
         const Bytes r = random_bytes(90000, 10);
         const Bytes t = portuguese_text(50000, 11);
         b.insert(b.end(), r.begin(), r.end());
         b.insert(b.end(), t.begin(), t.end());
         return b;
       }},
  };
  return cases;
}

class deflate_round_trip_test : public ::testing::TestWithParam<std::tuple<std::size_t, int>> {};

TEST_P(deflate_round_trip_test, inflates_to_the_input) {
  const auto& [case_index, level] = GetParam();
  const Bytes input = input_cases()[case_index].make();
  const Compressed c = compress(input, level);

  EXPECT_EQ(c.result.CompressedSize, c.data.size());
  if (c.result.CompressionMethod == 0) {
    EXPECT_EQ(c.data, input);
  } else {
    ASSERT_EQ(c.result.CompressionMethod, 8);
    EXPECT_EQ(zlib_inflate(c.data, input.size()), input);
    // The test decoder must agree with zlib, or what it says about blocks
    // could not be trusted in the other tests.
    EXPECT_EQ(decode_deflate(c.data).data, input);
  }
}

INSTANTIATE_TEST_SUITE_P(
    inputs_by_level, deflate_round_trip_test,
    ::testing::Combine(::testing::Range<std::size_t>(0, 14), ::testing::Range(1, 10)),
    [](const ::testing::TestParamInfo<std::tuple<std::size_t, int>>& param_info) {
      return input_cases()[std::get<0>(param_info.param)].name + "_level_" +
             std::to_string(std::get<1>(param_info.param));
    });

TEST(deflate_round_trip_test, case_table_covers_every_input) {
  EXPECT_EQ(input_cases().size(), 14u);
}

TEST(deflate_determinism_test, same_input_gives_same_bytes_whatever_came_before) {
  const Bytes a = table_records(200000, 21);
  const Bytes b = portuguese_text(120000, 22);
  // Short input that ends inside bytes the previous entry left in the window.
  const Bytes short_tail = portuguese_text(700, 23);
  for (int level = 1; level <= 9; level++) {
    Deflater fresh;
    const Compressed a_fresh = compress(fresh, a, level);

    Deflater used;
    compress(used, b, level);
    const Compressed a_again = compress(used, a, level);
    compress(used, b, level);
    const Compressed tail_after_b = compress(used, short_tail, level);
    Deflater other;
    const Compressed tail_alone = compress(other, short_tail, level);

    EXPECT_EQ(a_again.data, a_fresh.data) << "level " << level;
    EXPECT_EQ(tail_after_b.data, tail_alone.data) << "level " << level;
  }
}

TEST(deflate_determinism_test, short_reads_give_the_same_stream) {
  const Bytes input = table_records(300000, 31);
  for (int level : {1, 3, 4, 6, 9}) {
    Deflater d;
    const Compressed whole = compress(d, input, level);
    for (std::uint32_t cap : {1u, 261u, 1000u, 4097u}) {
      const Compressed pieces = compress(d, input, level, cap);
      EXPECT_EQ(pieces.data, whole.data) << "level " << level << " reads of " << cap;
    }
  }
}

TEST(deflate_io_test, reads_ask_for_the_first_half_then_the_free_space) {
  const Bytes input = portuguese_text(200000, 41);
  MemoryIo io(input);
  Deflater d;
  d.deflate(6, io);
  const auto& requests = io.read_requests();
  ASSERT_GE(requests.size(), 3u);
  EXPECT_EQ(requests.front(), 32768u);
  for (std::uint32_t r : requests) {
    EXPECT_GT(r, 0u);
    EXPECT_LE(r, 65534u);
  }
}

// A read that fails reports a count that cannot be (0xFFFF, a 16-bit -1); the
// compressor ends the entry there, with the data read before.
class ReadFailsIo : public MemoryIo {
 public:
  using MemoryIo::MemoryIo;
  std::uint32_t ReadInput(std::uint8_t* buffer, std::uint32_t count) override {
    if (++reads_ > 2) return 0xFFFF;
    return MemoryIo::ReadInput(buffer, std::min<std::uint32_t>(count, 1000));
  }

 private:
  int reads_ = 0;
};

TEST(deflate_io_test, failed_read_ends_the_entry_with_the_data_read_before) {
  const Bytes input = portuguese_text(5000, 45);
  for (int level : {1, 6}) {
    ReadFailsIo io(input);
    Deflater d;
    const DeflateResult r = d.deflate(level, io);
    const Bytes first_2000(input.begin(), input.begin() + 2000);
    ASSERT_EQ(r.CompressionMethod, 8);
    EXPECT_EQ(zlib_inflate(io.output(), first_2000.size()), first_2000);
  }
}

class FailingIo : public MemoryIo {
 public:
  using MemoryIo::MemoryIo;
  void WriteOutput(const std::uint8_t*, std::uint32_t) override {
    throw ENotEnoughRoom("Not enough room to write archive");
  }
};

TEST(deflate_io_test, write_error_passes_through_and_next_entry_is_unaffected) {
  const Bytes input = portuguese_text(100000, 51);
  const Bytes next = table_records(80000, 52);
  Deflater d;
  FailingIo failing(input);
  EXPECT_THROW(d.deflate(6, failing), ENotEnoughRoom);
  const Compressed after_failure = compress(d, next, 6);
  EXPECT_EQ(after_failure.data, compress(next, 6).data);
}

TEST(deflate_api_test, buffers_are_held_between_allocate_and_release) {
  Deflater d;
  EXPECT_FALSE(d.HoldsBuffers());
  d.AllocateBuffers();
  EXPECT_TRUE(d.HoldsBuffers());
  const Bytes input = portuguese_text(5000, 61);
  const Compressed first = compress(d, input, 6);
  d.ReleaseBuffers();
  EXPECT_FALSE(d.HoldsBuffers());
  // Without buffers the compressor takes them itself.
  const Compressed second = compress(d, input, 6);
  EXPECT_TRUE(d.HoldsBuffers());
  EXPECT_EQ(first.data, second.data);
}

TEST(deflate_api_test, levels_outside_one_to_nine_are_refused) {
  const Bytes input = bytes_of("abc");
  Deflater d;
  for (int level : {-1, 0, 10}) {
    MemoryIo io(input);
    EXPECT_THROW(d.deflate(level, io), EInvalidArgument) << level;
  }
}

}  // namespace
}  // namespace quillo::archive::test

namespace quillo::archive::test {
namespace {

// Serves `size` pseudo-random bytes without holding them, and counts the
// output without keeping it.
class CountingIo : public DeflateIo {
 public:
  explicit CountingIo(std::uint64_t size) : left_(size) {}
  std::uint32_t ReadInput(std::uint8_t* buffer, std::uint32_t count) override {
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, left_));
    for (std::uint32_t i = 0; i < n; i++) {
      state_ ^= state_ << 13;
      state_ ^= state_ >> 7;
      state_ ^= state_ << 17;
      buffer[i] = static_cast<std::uint8_t>(state_ >> 32);
    }
    left_ -= n;
    return n;
  }
  void WriteOutput(const std::uint8_t*, std::uint32_t count) override { written_ += count; }
  std::uint64_t written() const { return written_; }

 private:
  std::uint64_t left_;
  std::uint64_t state_ = 0x9E3779B97F4A7C15u;
  std::uint64_t written_ = 0;
};

#ifdef NDEBUG  // some minutes in a sanitizer build; seconds in an optimised one
TEST(deflate_size_test, entry_of_more_than_512_mib_compressed_reports_its_size) {
  const std::uint64_t size = (std::uint64_t{1} << 29) + (std::uint64_t{1} << 24);
  CountingIo io(size);
  Deflater d;
  const DeflateResult r = d.deflate(1, io);
  EXPECT_GT(io.written(), std::uint64_t{1} << 29);  // more than 2^32 bits
  EXPECT_EQ(r.CompressedSize, io.written());
  EXPECT_EQ(r.CompressionMethod, 8);
}
#endif

}  // namespace
}  // namespace quillo::archive::test
