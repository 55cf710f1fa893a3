#include "platform/codepage.h"

#include <array>
#include <cstdint>
#include <unordered_map>

namespace quillo::platform {
namespace {

using CodePage = std::array<char32_t, 128>;  // the characters of bytes 0x80..0xFF

// Windows-1252. The five bytes the code page leaves undefined (0x81, 0x8D,
// 0x8F, 0x90, 0x9D) stand for the C1 control of the same number, as Windows
// itself decodes them, so that every byte survives a round trip.
constexpr CodePage kWindows1252 = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98
    0x00A0, 0x00A1, 0x00A2, 0x00A3, 0x00A4, 0x00A5, 0x00A6, 0x00A7,  // A0
    0x00A8, 0x00A9, 0x00AA, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x00AF,  // A8
    0x00B0, 0x00B1, 0x00B2, 0x00B3, 0x00B4, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x00B8, 0x00B9, 0x00BA, 0x00BB, 0x00BC, 0x00BD, 0x00BE, 0x00BF,  // B8
    0x00C0, 0x00C1, 0x00C2, 0x00C3, 0x00C4, 0x00C5, 0x00C6, 0x00C7,  // C0
    0x00C8, 0x00C9, 0x00CA, 0x00CB, 0x00CC, 0x00CD, 0x00CE, 0x00CF,  // C8
    0x00D0, 0x00D1, 0x00D2, 0x00D3, 0x00D4, 0x00D5, 0x00D6, 0x00D7,  // D0
    0x00D8, 0x00D9, 0x00DA, 0x00DB, 0x00DC, 0x00DD, 0x00DE, 0x00DF,  // D8
    0x00E0, 0x00E1, 0x00E2, 0x00E3, 0x00E4, 0x00E5, 0x00E6, 0x00E7,  // E0
    0x00E8, 0x00E9, 0x00EA, 0x00EB, 0x00EC, 0x00ED, 0x00EE, 0x00EF,  // E8
    0x00F0, 0x00F1, 0x00F2, 0x00F3, 0x00F4, 0x00F5, 0x00F6, 0x00F7,  // F0
    0x00F8, 0x00F9, 0x00FA, 0x00FB, 0x00FC, 0x00FD, 0x00FE, 0x00FF,  // F8
};

// Code page 850 (multilingual Latin 1, the OEM code page of Western Europe
// and Brazil): every Latin-1 letter, plus box drawing in place of the rest.
constexpr CodePage kCodePage850 = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,  // 80
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,  // 88
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,  // 90
    0x00FF, 0x00D6, 0x00DC, 0x00F8, 0x00A3, 0x00D8, 0x00D7, 0x0192,  // 98
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,  // A0
    0x00BF, 0x00AE, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,  // A8
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x00C0,  // B0
    0x00A9, 0x2563, 0x2551, 0x2557, 0x255D, 0x00A2, 0x00A5, 0x2510,  // B8
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x00E3, 0x00C3,  // C0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4,  // C8
    0x00F0, 0x00D0, 0x00CA, 0x00CB, 0x00C8, 0x0131, 0x00CD, 0x00CE,  // D0
    0x00CF, 0x2518, 0x250C, 0x2588, 0x2584, 0x00A6, 0x00CC, 0x2580,  // D8
    0x00D3, 0x00DF, 0x00D4, 0x00D2, 0x00F5, 0x00D5, 0x00B5, 0x00FE,  // E0
    0x00DE, 0x00DA, 0x00DB, 0x00D9, 0x00FD, 0x00DD, 0x00AF, 0x00B4,  // E8
    0x00AD, 0x00B1, 0x2017, 0x00BE, 0x00B6, 0x00A7, 0x00F7, 0x00B8,  // F0
    0x00B0, 0x00A8, 0x00B7, 0x00B9, 0x00B3, 0x00B2, 0x25A0, 0x00A0,  // F8
};

// Base letters of Latin Extended-A (U+0100..U+017F): the accents go, the
// letter stays, as a reader of the name would guess it.
constexpr std::string_view kLatinExtendedABase =
    "AaAaAaCcCcCcCcDd"
    "DdEeEeEeEeEeGgGg"
    "GgGgHhHhIiIiIiIi"
    "IiIiJjKkkLlLlLlL"
    "lLlNnNnNnnNnOoOo"
    "OoOoRrRrRrSsSsSs"
    "SsTtTtTtUuUuUuUu"
    "UuUuWwYyYZzZzZzs";

constexpr char32_t kNoFit = 0;

// Look-alikes for characters outside the Latin letters: typographic
// punctuation, the symbols of Windows-1252 that code page 850 lacks, and the
// box drawing of code page 850 that Windows-1252 lacks. Every look-alike is
// a character both code pages have, so a best-fitted text converts the same
// way again.
char32_t PunctuationLookAlike(char32_t c) {
  switch (c) {
    case 0x2010:
    case 0x2011:
    case 0x2012:
    case 0x2013:
    case 0x2014:
    case 0x2015:
    case 0x2212:
    case 0x2500:
    case 0x2501:
      return '-';
    case 0x2018:
    case 0x2019:
    case 0x201A:
    case 0x201B:
    case 0x2032:
    case 0x02BC:
      return '\'';
    case 0x201C:
    case 0x201D:
    case 0x201E:
    case 0x201F:
    case 0x2033:
      return '"';
    case 0x2039:
      return '<';
    case 0x203A:
      return '>';
    case 0x2026:
      return '.';
    case 0x2022:
    case 0x2219:
      return 0x00B7;  // bullet: middle dot
    case 0x2020:
    case 0x2021:
      return '+';
    case 0x2030:
      return '%';
    case 0x2044:
    case 0x2215:
      return '/';
    case 0x02C6:
    case 0x02C4:
      return '^';
    case 0x02DC:
    case 0x223C:
      return '~';
    case 0x20AC:
      return 'E';
    case 0x2122:
      return 'T';
    case 0x2017:
      return '_';
    case 0x2550:
      return '=';
    case 0x2502:
    case 0x2551:
    case 0x2503:
      return 0x00A6;  // vertical line: broken bar
    case 0x2580:
      return 0x00AF;  // upper half block: macron
    case 0x2584:
      return '_';  // lower half block
    default:
      break;
  }
  // Corners, tees and crossings of the light and double box-drawing sets.
  if (c >= 0x250C && c <= 0x254B) return '+';
  if (c >= 0x2552 && c <= 0x256C) return '+';
  return kNoFit;
}

char32_t LookAlike(char32_t c) {
  if (c >= 0x0100 && c <= 0x017F)
    return static_cast<unsigned char>(kLatinExtendedABase[c - 0x0100]);
  if (c >= 0xFF01 && c <= 0xFF5E) return c - 0xFF01 + 0x21;  // full-width ASCII
  return PunctuationLookAlike(c);
}

using ReverseTable = std::unordered_map<char32_t, char>;

ReverseTable MakeReverse(const CodePage& page) {
  ReverseTable reverse;
  for (std::size_t i = 0; i < page.size(); ++i) {
    reverse.emplace(page[i], static_cast<char>(0x80 + i));
  }
  return reverse;
}

const ReverseTable& AnsiReverse() {
  static const ReverseTable table = MakeReverse(kWindows1252);
  return table;
}

const ReverseTable& OemReverse() {
  static const ReverseTable table = MakeReverse(kCodePage850);
  return table;
}

bool TryEncode(char32_t c, const ReverseTable& reverse, char& out) {
  if (c < 0x80) {
    out = static_cast<char>(c);
    return true;
  }
  const auto found = reverse.find(c);
  if (found == reverse.end()) return false;
  out = found->second;
  return true;
}

// One byte for one character: the character itself, else its look-alike,
// else "?".
char EncodeBestFit(char32_t c, const ReverseTable& reverse) {
  char out = '?';
  if (TryEncode(c, reverse, out)) return out;
  const char32_t alike = LookAlike(c);
  if (alike != kNoFit && TryEncode(alike, reverse, out)) return out;
  return '?';
}

char32_t DecodeByte(unsigned char byte, const CodePage& page) {
  return byte < 0x80 ? byte : page[byte - 0x80];
}

bool IsContinuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

// Length of the well-formed UTF-8 sequence at `pos`, 0 when there is none.
// Overlong forms, surrogates and values past U+10FFFF are not well formed.
std::size_t SequenceLength(std::string_view text, std::size_t pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - pos < length) return 0;
  const auto second = static_cast<unsigned char>(text[pos + 1]);
  if (second < low || second > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (!IsContinuation(static_cast<unsigned char>(text[pos + i]))) return 0;
  }
  return length;
}

char32_t DecodeSequence(std::string_view text, std::size_t pos, std::size_t length) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  if (length == 1) return lead;
  const unsigned char leadMask = length == 2 ? 0x1F : length == 3 ? 0x0F : 0x07;
  char32_t c = lead & leadMask;
  for (std::size_t i = 1; i < length; ++i) {
    c = (c << 6) | (static_cast<unsigned char>(text[pos + i]) & 0x3F);
  }
  return c;
}

// Calls `visit` with each character of `text`; a byte that does not begin a
// well-formed sequence is one Windows-1252 character.
template <class Visit>
void ForEachCharacter(std::string_view text, Visit visit) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t length = SequenceLength(text, pos);
    if (length == 0) {
      visit(DecodeByte(static_cast<unsigned char>(text[pos]), kWindows1252));
      ++pos;
    } else {
      visit(DecodeSequence(text, pos, length));
      pos += length;
    }
  }
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::string EncodeSingleByte(std::string_view text, const ReverseTable& reverse) {
  std::string out;
  out.reserve(text.size());
  ForEachCharacter(text, [&](char32_t c) { out += EncodeBestFit(c, reverse); });
  return out;
}

}  // namespace

bool IsValidUtf8(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t length = SequenceLength(text, pos);
    if (length == 0) return false;
    pos += length;
  }
  return true;
}

std::string Utf8ToAnsi(std::string_view text) {
  return EncodeSingleByte(text, AnsiReverse());
}

std::string Utf8ToOem(std::string_view text) {
  return EncodeSingleByte(text, OemReverse());
}

std::string AnsiToUtf8(std::string_view ansi) {
  std::string out;
  out.reserve(ansi.size() * 2);
  for (const char byte : ansi) {
    AppendUtf8(out, DecodeByte(static_cast<unsigned char>(byte), kWindows1252));
  }
  return out;
}

std::string OemToUtf8(std::string_view oem) {
  // Through Windows-1252, as the OEM-to-ANSI conversion goes: characters
  // Windows-1252 lacks (box drawing, dotless i) become their look-alikes.
  std::string ansi;
  ansi.reserve(oem.size());
  for (const char byte : oem) {
    ansi +=
        EncodeBestFit(DecodeByte(static_cast<unsigned char>(byte), kCodePage850), AnsiReverse());
  }
  return AnsiToUtf8(ansi);
}

std::size_t SingleByteLength(std::string_view text) {
  std::size_t count = 0;
  ForEachCharacter(text, [&](char32_t) { ++count; });
  return count;
}

}  // namespace quillo::platform
