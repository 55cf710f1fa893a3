#include "platform/codepage.h"

#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <cuchar>
#include <set>
#include <string>
#include <vector>

namespace quillo::platform {
namespace {

// The C library's own UTF-8 encoder, independent of the code under test.
std::string Utf8Of(char32_t c) {
  static const bool utf8Locale = std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr;
  EXPECT_TRUE(utf8Locale) << "the C.UTF-8 locale is missing";
  std::mbstate_t state{};
  char bytes[MB_LEN_MAX];
  const std::size_t length = std::c32rtomb(bytes, c, &state);
  return length == static_cast<std::size_t>(-1) ? std::string() : std::string(bytes, length);
}

struct ConversionCase {
  const char* utf8;
  std::string oem;   // expected code page 850 bytes
  std::string ansi;  // expected Windows-1252 bytes
};

// Characters both code pages have, converted exactly.
const std::vector<ConversionCase> kExactCases = {
    {"ação", "a\x87\xC6o", "a\xE7\xE3o"},
    {"Conceição", "Concei\x87\xC6o", "Concei\xE7\xE3o"},
    {"JOSÉ", "JOS\x90", "JOS\xC9"},
    {"Ç", "\x80", "\xC7"},
    {"São Paulo\\Relatório_Ótimo.ADT", "S\xC6o Paulo\\Relat\xA2rio_\xE0timo.ADT",
     "S\xE3o Paulo\\Relat\xF3rio_\xD3timo.ADT"},
    {"Õ ü ß ñ ÿ £ ¥ ½ ¿ µ", "\xE5 \x81 \xE1 \xA4 \x98 \x9C \xBE \xAB \xA8 \xE6",
     "\xD5 \xFC \xDF \xF1 \xFF \xA3 \xA5 \xBD \xBF \xB5"},
    {"plain ASCII 0-9 ~!", "plain ASCII 0-9 ~!", "plain ASCII 0-9 ~!"},
};

TEST(codepage_test, characters_of_both_code_pages_convert_exactly_and_back) {
  for (const auto& c : kExactCases) {
    SCOPED_TRACE(c.utf8);
    EXPECT_EQ(Utf8ToOem(c.utf8), c.oem);
    EXPECT_EQ(Utf8ToAnsi(c.utf8), c.ansi);
    EXPECT_EQ(OemToUtf8(c.oem), c.utf8);
    EXPECT_EQ(AnsiToUtf8(c.ansi), c.utf8);
  }
}

// Characters a target lacks become one look-alike byte, or "?".
const std::vector<ConversionCase> kBestFitCases = {
    {"Łódź",
     "L\xA2"
     "dz",
     "L\xF3"
     "dz"},
    {"“citado”", "\"citado\"",
     "\x93"
     "citado\x94"},
    {"‘a’", "'a'",
     "\x91"
     "a\x92"},
    {"€5", "E5",
     "\x80"
     "5"},
    {"a…b", "a.b",
     "a\x85"
     "b"},
    {"x—y–z", "x-y-z", "x\x97y\x96z"},
    {"ŒŠŽŸœšž", "OSZYosz", "\x8C\x8A\x8E\x9F\x9C\x9A\x9E"},
    {"• ™ ‰", "\xFA T %", "\x95 \x99 \x89"},
    {"čćđ", "ccd", "ccd"},
    {"ＡＢ１", "AB1", "AB1"},
    {"中文😀", "???", "???"},
    {"ı", "\xD5", "i"},
    {"─│┌═║╔", "\xC4\xB3\xDA\xCD\xBA\xC9", "-\xA6+=\xA6+"},
};

TEST(codepage_test, missing_characters_become_one_look_alike_byte) {
  for (const auto& c : kBestFitCases) {
    SCOPED_TRACE(c.utf8);
    EXPECT_EQ(Utf8ToOem(c.utf8), c.oem);
    EXPECT_EQ(Utf8ToAnsi(c.utf8), c.ansi);
    EXPECT_EQ(SingleByteLength(c.utf8), c.oem.size());
  }
}

struct InvalidCase {
  std::string bytes;
  std::string asUtf8;  // what the bytes mean when taken as Windows-1252 where invalid
};

const std::vector<InvalidCase> kInvalidCases = {
    {"a\xE7\xE3o", "ação"},               // a Windows-1252 name
    {"\xC3\xA7\xE7", "çç"},               // valid sequence, then a stray byte
    {"x\xC3", "xÃ"},                      // sequence cut short by the end
    {"\xC0\xAF", "À¯"},                   // overlong form of "/"
    {"\xED\xA0\x80", "í\xC2\xA0€"},       // encoded surrogate
    {"\xF4\x90\x80\x80", "ô\xC2\x90€€"},  // past U+10FFFF
    {"\xE2\x82", "â‚"},                   // truncated three-byte sequence
    {"\x81\x8D\x8F\x90\x9D", "\u0081\u008D\u008F\u0090\u009D"},  // bytes 1252 leaves undefined
};

TEST(codepage_test, bytes_that_are_not_utf8_are_taken_as_windows_1252) {
  for (const auto& c : kInvalidCases) {
    SCOPED_TRACE(c.asUtf8);
    EXPECT_FALSE(IsValidUtf8(c.bytes));
    EXPECT_TRUE(IsValidUtf8(c.asUtf8));
    EXPECT_EQ(Utf8ToAnsi(c.bytes), Utf8ToAnsi(c.asUtf8));
    EXPECT_EQ(Utf8ToOem(c.bytes), Utf8ToOem(c.asUtf8));
    EXPECT_EQ(SingleByteLength(c.bytes), SingleByteLength(c.asUtf8));
  }
  // Every Windows-1252 byte survives as itself.
  std::string allBytes;
  for (int b = 0; b < 256; ++b) allBytes += static_cast<char>(b);
  EXPECT_EQ(Utf8ToAnsi(AnsiToUtf8(allBytes)), allBytes);
  EXPECT_EQ(Utf8ToAnsi(allBytes.substr(0x80)), allBytes.substr(0x80));
}

TEST(codepage_test, valid_utf8_is_recognised) {
  for (const char* text : {"", "abc", "ação", "€", "中文", "😀", "\xF4\x8F\xBF\xBF"}) {
    EXPECT_TRUE(IsValidUtf8(text)) << text;
  }
}

TEST(codepage_test, every_conversion_keeps_one_byte_per_character) {
  const std::vector<std::string> texts = {
      "", "ação", "€…—中😀", "a\xE7\xFF", "ＡＢ", "dir\\sub/ficheiro.ADT", "\xC3", "🎉🎉x"};
  for (const auto& text : texts) {
    const std::size_t n = SingleByteLength(text);
    EXPECT_EQ(Utf8ToOem(text).size(), n) << text;
    EXPECT_EQ(Utf8ToAnsi(text).size(), n) << text;
    EXPECT_EQ(SingleByteLength(OemToUtf8(Utf8ToOem(text))), n) << text;
  }
  std::string allBytes;
  for (int b = 0; b < 256; ++b) allBytes += static_cast<char>(b);
  EXPECT_EQ(SingleByteLength(OemToUtf8(allBytes)), 256u);
  EXPECT_EQ(SingleByteLength(AnsiToUtf8(allBytes)), 256u);
}

TEST(codepage_test, oem_bytes_round_trip_unless_windows_1252_lacks_the_character) {
  // Shades, blocks, box drawing, dotless i, double low line and the square:
  // the code page 850 characters that Windows-1252 does not have.
  const std::set<int> bestFitted = {0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB9, 0xBA, 0xBB,
                                    0xBC, 0xBF, 0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5,
                                    0xC8, 0xC9, 0xCA, 0xCB, 0xCC, 0xCD, 0xCE, 0xD5,
                                    0xD9, 0xDA, 0xDB, 0xDC, 0xDF, 0xF2, 0xFE};
  for (int b = 0; b < 256; ++b) {
    SCOPED_TRACE(b);
    const std::string oem(1, static_cast<char>(b));
    const std::string utf8 = OemToUtf8(oem);
    // Only characters of Windows-1252 come out.
    EXPECT_EQ(AnsiToUtf8(Utf8ToAnsi(utf8)), utf8);
    const std::string again = Utf8ToOem(utf8);
    EXPECT_EQ(again == oem, bestFitted.count(b) == 0);
    // A best-fitted name is stable from then on.
    EXPECT_EQ(OemToUtf8(again), utf8);
  }
}

TEST(codepage_test, names_after_one_round_trip_convert_the_same_way_forever) {
  // Names reach an archive only after UTF-8 -> OEM -> UTF-8; the stored form
  // must then read back unchanged, whatever the original character was.
  for (char32_t c = 1; c < 0x30000; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    const std::string once = OemToUtf8(Utf8ToOem(Utf8Of(c)));
    ASSERT_EQ(OemToUtf8(Utf8ToOem(once)), once) << "U+" << std::hex << static_cast<unsigned>(c);
    ASSERT_EQ(SingleByteLength(once), 1u);
  }
}

}  // namespace
}  // namespace quillo::platform
