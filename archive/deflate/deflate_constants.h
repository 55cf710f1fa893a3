#pragma once

// Sizes and code tables of the Deflate format as the compressor uses them.
// The tables below the "format tables" line are fixed by RFC 1951; the sizes
// above it are this compressor's own layout (window halves, buffer sizes).

#include <cstdint>

namespace quillo::archive::deflate_internal {

// --- Window and match finding -------------------------------------------------

// One half of the window. Input moves through the window in halves: when the
// current position nears the end, the upper half is moved down.
inline constexpr unsigned kWindowHalf = 32768;
inline constexpr unsigned kWindowSize = 2 * kWindowHalf;
inline constexpr unsigned kWindowMask = kWindowHalf - 1;

inline constexpr unsigned kMinMatch = 3;
inline constexpr unsigned kMaxMatch = 258;
// Keep this much input ahead of the current position while input lasts, so a
// match of the longest length plus the next hash can always be examined.
inline constexpr unsigned kMinLookahead = kMaxMatch + kMinMatch + 1;  // 262
// Matches reach back at most this far, so a candidate never lies in the part
// of the window that the next slide would discard.
inline constexpr unsigned kMaxDistance = kWindowHalf - kMinLookahead;  // 32,506
// The current position at which the window slides.
inline constexpr unsigned kSlideAt = kWindowHalf + kMaxDistance;  // 65,274
// A match of the minimum length this far back costs more bits than three
// literals; the lazy levels drop it.
inline constexpr unsigned kTooFar = 4096;

inline constexpr unsigned kHashBits = 15;
inline constexpr unsigned kHashSize = 1u << kHashBits;
inline constexpr unsigned kHashMask = kHashSize - 1;
// Three bytes rolled in at five bits each fill the 15-bit hash exactly, so the
// hash of a position depends on its three leading bytes only.
inline constexpr unsigned kHashShift = 5;
static_assert(kHashShift * kMinMatch == kHashBits);

// Bytes past the window that the match comparison may load (it reads eight
// bytes at a time); they are never written and never decide a length.
inline constexpr unsigned kWindowSlack = 16;

// --- Tally buffers -----------------------------------------------------------

// Symbols one block can hold: the literal buffer has one byte per symbol.
inline constexpr unsigned kLitBufSize = 32768;
// A block is ended when its symbol count reaches this value.
inline constexpr unsigned kBlockSymbolLimit = kLitBufSize - 1;
inline constexpr unsigned kFlagBufSize = kLitBufSize / 8;
// The early-end test of a block runs every time the symbol count reaches a
// multiple of this.
inline constexpr unsigned kEarlyEndCheckEvery = 4096;

// --- Format tables (RFC 1951) -------------------------------------------------

inline constexpr int kLengthCodes = 29;
inline constexpr int kLiterals = 256;
inline constexpr int kEndBlock = 256;
inline constexpr int kLCodes = kLiterals + 1 + kLengthCodes;  // 286
inline constexpr int kDCodes = 30;
inline constexpr int kBLCodes = 19;
inline constexpr int kFixedLCodes = kLCodes + 2;   // 288: two unused codes in the fixed tree
inline constexpr int kHeapSize = 2 * kLCodes + 1;  // 573
inline constexpr int kMaxBits = 15;
inline constexpr int kMaxBLBits = 7;

// Code-length codes that repeat: the previous length 3-6 times, a zero length
// 3-10 times and 11-138 times.
inline constexpr int kRep3To6 = 16;
inline constexpr int kRepZero3To10 = 17;
inline constexpr int kRepZero11To138 = 18;

inline constexpr std::uint8_t kExtraLengthBits[kLengthCodes] = {
    0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
inline constexpr std::uint8_t kExtraDistanceBits[kDCodes] = {0, 0, 0,  0,  1,  1,  2,  2,  3,  3,
                                                             4, 4, 5,  5,  6,  6,  7,  7,  8,  8,
                                                             9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
inline constexpr std::uint8_t kExtraBLBits[kBLCodes] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                        0, 0, 0, 0, 0, 0, 2, 3, 7};
// The order in which the lengths of the code-length codes are sent.
inline constexpr std::uint8_t kBLOrder[kBLCodes] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                    11, 4,  12, 3, 13, 2, 14, 1, 15};

// Block types as sent in the three-bit block header (after the last-block bit).
inline constexpr unsigned kStoredBlock = 0;
inline constexpr unsigned kFixedBlock = 1;
inline constexpr unsigned kDynamicBlock = 2;

}  // namespace quillo::archive::deflate_internal
