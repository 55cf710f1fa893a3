#pragma once

// The encodings a plain-text mail needs so that any text, Portuguese accents
// included, crosses servers that only promise 7-bit ASCII. Input text is
// UTF-8; output is ASCII with CRLF line ends.

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace quillo::net::mime {

// The lines of a text broken at every "\r\n", "\n" or "\r". A text that ends
// with a break does not gain an empty last line; an empty text has no lines.
std::vector<std::string_view> SplitLines(std::string_view text);

// One line in quoted-printable (RFC 2045): printable ASCII stays as it is, "="
// and every other byte become "=XX", a space or tab at the end of the line is
// encoded, and soft breaks ("=" CRLF) keep every encoded line within 76
// characters. No CRLF is added at the end.
std::string QuotedPrintableLine(std::string_view line);

// Header text (Subject): as it is when it is short printable ASCII, otherwise
// RFC 2047 encoded words ("=?UTF-8?Q?...?=") of at most 75 characters each,
// never splitting a character, joined by folding whitespace (CRLF and a
// space). Line breaks in the text count as spaces.
std::string HeaderText(std::string_view text);

// A mailbox for From or To: `"Display Name" <address>` (quotes and
// backslashes escaped), encoded words for a name that is not ASCII, and
// `<address>` alone when there is no name.
std::string Mailbox(std::string_view display_name, std::string_view address);

// The date and time in the form of RFC 5322, in UTC:
// "Mon, 09 Dec 2024 10:00:00 +0000".
std::string DateTime(std::chrono::system_clock::time_point time);

}  // namespace quillo::net::mime
