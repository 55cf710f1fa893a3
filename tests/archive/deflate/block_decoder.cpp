#include "block_decoder.h"

#include <array>

namespace quillo::archive::test {
namespace {

class BitReader {
 public:
  explicit BitReader(const std::vector<std::uint8_t>& data) : data_(data) {}

  unsigned bit() {
    if (pos_ >= data_.size() * 8) throw DecodeError("stream ends inside a block");
    const unsigned b = (data_[pos_ >> 3] >> (pos_ & 7)) & 1;
    pos_++;
    return b;
  }
  unsigned bits(int n) {
    unsigned v = 0;
    for (int i = 0; i < n; i++) v |= bit() << i;
    return v;
  }
  void align() { pos_ = (pos_ + 7) & ~std::size_t{7}; }
  std::size_t byte_pos() const { return pos_ >> 3; }
  void skip_bytes(std::size_t n) { pos_ += n * 8; }
  std::size_t size() const { return data_.size(); }
  std::uint8_t byte_at(std::size_t i) const { return data_.at(i); }

 private:
  const std::vector<std::uint8_t>& data_;
  std::size_t pos_ = 0;
};

// A canonical prefix code built from code lengths; decoded one bit at a time.
class Code {
 public:
  explicit Code(const std::vector<unsigned>& lengths) {
    for (unsigned len : lengths) count_[len]++;
    count_[0] = 0;
    std::array<unsigned, 16> offset{};
    for (int len = 1; len < 15; len++) offset[len + 1] = offset[len] + count_[len];
    symbols_.resize(lengths.size());
    for (unsigned s = 0; s < lengths.size(); s++) {
      if (lengths[s] != 0) symbols_[offset[lengths[s]]++] = s;
    }
  }

  unsigned decode(BitReader& in) const {
    unsigned code = 0;   // bits read so far, first bit most significant
    unsigned first = 0;  // first code of the current length
    unsigned index = 0;  // index in symbols_ of the first symbol of this length
    for (int len = 1; len <= 15; len++) {
      code |= in.bit();
      const unsigned count = count_[len];
      if (code - first < count) return symbols_[index + (code - first)];
      index += count;
      first = (first + count) << 1;
      code <<= 1;
    }
    throw DecodeError("no code matches the bits");
  }

 private:
  std::array<unsigned, 16> count_{};
  std::vector<unsigned> symbols_;
};

constexpr unsigned kLengthBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                      15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                      67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr unsigned kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                       2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr unsigned kDistBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                    33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                    1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr unsigned kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                     6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr unsigned kCodeLengthOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                           11, 4,  12, 3, 13, 2, 14, 1, 15};

void decode_symbols(BitReader& in, const Code& lit, const Code& dist, DecodedBlock& block,
                    std::vector<std::uint8_t>& out) {
  for (;;) {
    const unsigned sym = lit.decode(in);
    if (sym < 256) {
      out.push_back(static_cast<std::uint8_t>(sym));
      block.symbols.push_back({false, static_cast<std::uint8_t>(sym), 0, 0});
      continue;
    }
    if (sym == 256) return;
    if (sym > 285) throw DecodeError("length symbol out of range");
    const unsigned length =
        kLengthBase[sym - 257] + in.bits(static_cast<int>(kLengthExtra[sym - 257]));
    const unsigned dsym = dist.decode(in);
    if (dsym > 29) throw DecodeError("distance symbol out of range");
    const unsigned distance = kDistBase[dsym] + in.bits(static_cast<int>(kDistExtra[dsym]));
    if (distance > out.size()) throw DecodeError("distance reaches before the data");
    for (unsigned i = 0; i < length; i++) out.push_back(out[out.size() - distance]);
    block.symbols.push_back({true, 0, length, distance});
  }
}

std::vector<unsigned> read_dynamic_lengths(BitReader& in, DecodedBlock& block) {
  block.literal_codes = in.bits(5) + 257;
  block.distance_codes = in.bits(5) + 1;
  block.length_codes = in.bits(4) + 4;
  std::vector<unsigned> cl_lengths(19, 0);
  for (unsigned i = 0; i < block.length_codes; i++) cl_lengths[kCodeLengthOrder[i]] = in.bits(3);
  const Code cl_code(cl_lengths);
  std::vector<unsigned> lengths;
  const unsigned total = block.literal_codes + block.distance_codes;
  while (lengths.size() < total) {
    const unsigned sym = cl_code.decode(in);
    if (sym < 16) {
      lengths.push_back(sym);
    } else if (sym == 16) {
      if (lengths.empty()) throw DecodeError("repeat with no previous length");
      const unsigned prev = lengths.back();
      for (unsigned n = 3 + in.bits(2); n > 0; n--) lengths.push_back(prev);
    } else {
      const unsigned n = sym == 17 ? 3 + in.bits(3) : 11 + in.bits(7);
      lengths.insert(lengths.end(), n, 0);
    }
  }
  if (lengths.size() != total) throw DecodeError("code lengths run past the end");
  return lengths;
}

}  // namespace

DecodedStream decode_deflate(const std::vector<std::uint8_t>& stream) {
  DecodedStream result;
  BitReader in(stream);
  bool final = false;
  while (!final) {
    DecodedBlock block;
    block.final = final = in.bit() != 0;
    block.type = in.bits(2);
    block.out_start = result.data.size();
    if (block.type == 0) {
      in.align();
      const std::size_t at = in.byte_pos();
      if (at + 4 > in.size()) throw DecodeError("stored header cut short");
      block.stored_len = in.byte_at(at) | (in.byte_at(at + 1) << 8);
      block.stored_nlen = in.byte_at(at + 2) | (in.byte_at(at + 3) << 8);
      if (at + 4 + block.stored_len > in.size()) throw DecodeError("stored data cut short");
      for (unsigned i = 0; i < block.stored_len; i++) result.data.push_back(in.byte_at(at + 4 + i));
      in.skip_bytes(4 + block.stored_len);
    } else if (block.type == 1) {
      std::vector<unsigned> lit(288, 8);
      for (int s = 144; s < 256; s++) lit[s] = 9;
      for (int s = 256; s < 280; s++) lit[s] = 7;
      decode_symbols(in, Code(lit), Code(std::vector<unsigned>(30, 5)), block, result.data);
    } else if (block.type == 2) {
      const std::vector<unsigned> lengths = read_dynamic_lengths(in, block);
      block.literal_lengths.assign(lengths.begin(), lengths.begin() + block.literal_codes);
      block.distance_lengths.assign(lengths.begin() + block.literal_codes, lengths.end());
      decode_symbols(in, Code(block.literal_lengths), Code(block.distance_lengths), block,
                     result.data);
    } else {
      throw DecodeError("reserved block type");
    }
    block.out_length = result.data.size() - block.out_start;
    result.blocks.push_back(std::move(block));
  }
  in.align();
  if (in.byte_pos() != stream.size()) throw DecodeError("bytes after the last block");
  return result;
}

}  // namespace quillo::archive::test
