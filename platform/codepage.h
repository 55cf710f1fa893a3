#pragma once

// Text crosses three encodings: UTF-8 in memory, Windows-1252 (the "ANSI"
// code page) in configuration files, and code page 850 (the "OEM" code page)
// for names stored in archives. Both single-byte conversions are
// length-preserving: each character becomes exactly one byte, a character the
// target lacks becomes its best-fit look-alike (or "?" when there is none).

#include <string>
#include <string_view>

namespace quillo::platform {

bool IsValidUtf8(std::string_view text);

// UTF-8 to and from Windows-1252. Bytes of `text` that are not valid UTF-8
// are taken as Windows-1252 bytes, so no input is ever lost or rejected.
std::string Utf8ToAnsi(std::string_view text);
std::string AnsiToUtf8(std::string_view ansi);

// UTF-8 to and from code page 850.
std::string Utf8ToOem(std::string_view text);
// The result holds only characters that Windows-1252 has (others are
// best-fitted), so it round-trips through Utf8ToAnsi.
std::string OemToUtf8(std::string_view oem);

// The number of characters in `text` as the single-byte conversions count
// them (the length of Utf8ToOem(text)).
std::size_t SingleByteLength(std::string_view text);

}  // namespace quillo::platform
