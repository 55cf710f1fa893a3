#include "net/mime.h"

#include <cstdio>

namespace quillo::net::mime {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";
// RFC 2045: encoded lines are at most 76 characters; a soft break takes one.
constexpr std::size_t kMaxQpLine = 76;
// RFC 2047: an encoded word is at most 75 characters.
constexpr std::size_t kMaxEncodedWord = 75;
constexpr std::string_view kWordStart = "=?UTF-8?Q?";
constexpr std::string_view kWordEnd = "?=";
// Longer header text is sent as encoded words, which can be folded anywhere.
constexpr std::size_t kMaxPlainHeaderText = 76;

void AppendHex(std::string& out, unsigned char byte) {
  out += '=';
  out += kHex[byte >> 4];
  out += kHex[byte & 0x0F];
}

// The bytes of one UTF-8 character starting at text[at] (one byte when the
// text is not valid UTF-8 there).
std::size_t CharacterLength(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  if (at + length > text.size()) return 1;
  for (std::size_t i = 1; i < length; ++i)
    if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) return 1;
  return length;
}

// Header fields cannot hold line breaks: one would end the field and let the
// text forge headers of its own.
std::string OnOneLine(std::string_view text) {
  std::string line;
  line.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      line += ' ';
    } else {
      line += text[i];
    }
  }
  return line;
}

bool IsPrintableAscii(std::string_view text) {
  for (unsigned char c : text)
    if (c < 0x20 || c > 0x7E) return false;
  return true;
}

// Characters that stand for themselves in an encoded word placed anywhere,
// display names included (RFC 2047, section 5, rule 3).
bool IsWordLiteral(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '!' ||
         c == '*' || c == '+' || c == '-' || c == '/';
}

std::string EncodeWordCharacter(std::string_view character) {
  std::string encoded;
  for (unsigned char c : character) {
    if (c == ' ')
      encoded += '_';
    else if (IsWordLiteral(c))
      encoded += static_cast<char>(c);
    else
      AppendHex(encoded, c);
  }
  return encoded;
}

std::string EncodedWords(std::string_view text) {
  const std::size_t max_payload = kMaxEncodedWord - kWordStart.size() - kWordEnd.size();
  std::string words;
  std::string payload;
  auto close_word = [&] {
    if (!words.empty()) words += "\r\n ";
    words.append(kWordStart).append(payload).append(kWordEnd);
    payload.clear();
  };
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = CharacterLength(text, at);
    const std::string encoded = EncodeWordCharacter(text.substr(at, length));
    if (payload.size() + encoded.size() > max_payload) close_word();
    payload += encoded;
    at += length;
  }
  if (!payload.empty() || words.empty()) close_word();
  return words;
}

}  // namespace

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    lines.push_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

std::string QuotedPrintableLine(std::string_view line) {
  std::string encoded;
  std::size_t current_length = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const auto c = static_cast<unsigned char>(line[i]);
    const bool last = i + 1 == line.size();
    std::string token;
    if ((c == ' ' || c == '\t') && !last)
      token = static_cast<char>(c);
    else if (c >= 0x21 && c <= 0x7E && c != '=')
      token = static_cast<char>(c);
    else
      AppendHex(token, c);
    // Room is kept for the "=" of a soft break after the token.
    if (current_length + token.size() > kMaxQpLine - 1) {
      encoded += "=\r\n";
      current_length = 0;
    }
    encoded += token;
    current_length += token.size();
  }
  return encoded;
}

std::string HeaderText(std::string_view text) {
  const std::string line = OnOneLine(text);
  if (IsPrintableAscii(line) && line.find("=?") == std::string::npos &&
      line.size() <= kMaxPlainHeaderText)
    return line;
  return EncodedWords(line);
}

std::string Mailbox(std::string_view display_name, std::string_view address) {
  const std::string angle_address = "<" + OnOneLine(address) + ">";
  const std::string name = OnOneLine(display_name);
  if (name.empty()) return angle_address;
  if (!IsPrintableAscii(name) || name.find("=?") != std::string::npos)
    return EncodedWords(name) + " " + angle_address;
  std::string quoted = "\"";
  for (char c : name) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\" " + angle_address;
}

std::string DateTime(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const sys_days day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss<seconds> clock{floor<seconds>(time - day)};
  char text[40];
  std::snprintf(text, sizeof text, "%s, %02u %s %04d %02d:%02d:%02d +0000",
                kDays[weekday{day}.c_encoding()], static_cast<unsigned>(date.day()),
                kMonths[static_cast<unsigned>(date.month()) - 1], static_cast<int>(date.year()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return text;
}

}  // namespace quillo::net::mime
