#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/mime.h"

namespace quillo::net::mime {
namespace {

// Decodes quoted-printable as a receiving mail reader would, to check that
// what the encoder writes means what it was given.
std::string DecodeQuotedPrintable(const std::string& encoded) {
  std::string decoded;
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i] != '=') {
      decoded += encoded[i];
    } else if (encoded.compare(i + 1, 2, "\r\n") == 0) {
      i += 2;
    } else {
      decoded += static_cast<char>(std::stoi(encoded.substr(i + 1, 2), nullptr, 16));
      i += 2;
    }
  }
  return decoded;
}

std::vector<std::string> PhysicalLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  lines.push_back(text.substr(start));
  return lines;
}

struct QpCase {
  const char* line;
  const char* encoded;
};

TEST(quoted_printable_test, encodes_each_byte_by_the_rules) {
  const QpCase cases[] = {
      {"Banco de Dados", "Banco de Dados"},
      {"", ""},
      {"a=b", "a=3Db"},
      {"Conceição", "Concei=C3=A7=C3=A3o"},
      {"Usuário: Quillo Móveis e Decorações",
       "Usu=C3=A1rio: Quillo M=C3=B3veis e Decora=C3=A7=C3=B5es"},
      {"trailing space ", "trailing space=20"},
      {"trailing tab\t", "trailing tab=09"},
      {"inner\ttab and space", "inner\ttab and space"},
      {"\x7F\x01", "=7F=01"},
  };
  for (const QpCase& c : cases) EXPECT_EQ(QuotedPrintableLine(c.line), c.encoded) << c.line;
}

TEST(quoted_printable_test, long_lines_get_soft_breaks_within_76_characters) {
  std::string line;
  for (int i = 0; i < 40; ++i) line += "ação rápida = ok ";
  line += "fim ";
  const std::string encoded = QuotedPrintableLine(line);
  for (const std::string& physical : PhysicalLines(encoded)) {
    EXPECT_LE(physical.size(), 76u);
    for (unsigned char c : physical) EXPECT_LT(c, 0x80);
  }
  EXPECT_GT(PhysicalLines(encoded).size(), 10u);
  EXPECT_EQ(DecodeQuotedPrintable(encoded), line);
}

TEST(split_lines_test, every_kind_of_break_ends_a_line) {
  using Lines = std::vector<std::string_view>;
  EXPECT_EQ(SplitLines("a\r\nb\nc\rd"), (Lines{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitLines("one\n\nthree\n"), (Lines{"one", "", "three"}));
  EXPECT_EQ(SplitLines(""), Lines{});
}

struct HeaderCase {
  const char* text;
  const char* encoded;
};

TEST(header_text_test, plain_ascii_stays_and_the_rest_becomes_encoded_words) {
  const HeaderCase cases[] = {
      {"Banco de Dados", "Banco de Dados"},
      {"Relatório", "=?UTF-8?Q?Relat=C3=B3rio?="},
      {"Ação já", "=?UTF-8?Q?A=C3=A7=C3=A3o_j=C3=A1?="},
      // Text that looks like an encoded word must not be taken for one.
      {"=?x?", "=?UTF-8?Q?=3D=3Fx=3F?="},
      // A line break would end the field and start a forged one.
      {"Oi\r\nBcc: x@y", "Oi Bcc: x@y"},
  };
  for (const HeaderCase& c : cases) EXPECT_EQ(HeaderText(c.text), c.encoded) << c.text;
}

TEST(header_text_test, long_text_is_split_between_characters_into_short_words) {
  std::string text;
  for (int i = 0; i < 12; ++i) text += "Conceição ";
  const std::string encoded = HeaderText(text);
  const std::vector<std::string> lines = PhysicalLines(encoded);
  ASSERT_GT(lines.size(), 1u);
  std::string payload;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string word = lines[i];
    if (i > 0) {
      ASSERT_EQ(word[0], ' ');  // folded continuation
      word.erase(0, 1);
    }
    EXPECT_LE(word.size(), 75u);
    ASSERT_TRUE(word.starts_with("=?UTF-8?Q?") && word.ends_with("?="));
    std::string inner = word.substr(10, word.size() - 12);
    for (char& c : inner)
      if (c == '_') c = ' ';
    const std::string decoded = DecodeQuotedPrintable(inner);
    // Each word holds whole characters: it never ends inside a UTF-8 sequence.
    ASSERT_FALSE(decoded.empty());
    const auto last = static_cast<unsigned char>(decoded.back());
    EXPECT_TRUE(last < 0x80 || (last & 0xC0) == 0x80) << word;
    payload += decoded;
  }
  EXPECT_EQ(payload, text);
}

struct MailboxCase {
  const char* name;
  const char* address;
  const char* mailbox;
};

TEST(mailbox_test, display_name_is_quoted_or_encoded) {
  const MailboxCase cases[] = {
      {"Norvo System", "suporte@example.com", "\"Norvo System\" <suporte@example.com>"},
      {"", "suporte@example.com", "<suporte@example.com>"},
      {"Say \"hi\" \\o/", "a@b.c", "\"Say \\\"hi\\\" \\\\o/\" <a@b.c>"},
      {"José Ação", "a@b.c", "=?UTF-8?Q?Jos=C3=A9_A=C3=A7=C3=A3o?= <a@b.c>"},
  };
  for (const MailboxCase& c : cases) EXPECT_EQ(Mailbox(c.name, c.address), c.mailbox) << c.name;
}

TEST(date_time_test, formats_rfc_5322_in_utc) {
  using namespace std::chrono;
  const sys_days day = 2024y / December / 9;
  EXPECT_EQ(DateTime(day + 10h + 5min + 7s), "Mon, 09 Dec 2024 10:05:07 +0000");
  EXPECT_EQ(DateTime(sys_days{2000y / February / 29} + 23h + 59min + 59s + 900ms),
            "Tue, 29 Feb 2000 23:59:59 +0000");
  EXPECT_EQ(DateTime(sys_days{1970y / January / 1}), "Thu, 01 Jan 1970 00:00:00 +0000");
}

}  // namespace
}  // namespace quillo::net::mime
