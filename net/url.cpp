#include "net/url.h"

#include "net/net_error.h"

namespace quillo::net::detail {
namespace {

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

bool BreaksUrl(unsigned char c) {
  return c <= ' ' || c == 0x7F || c == '/' || c == '?' || c == '#' || c == '@' || c == '\\' ||
         c == '[' || c == ']' || c == '%';
}

}  // namespace

std::string ServerUrl(std::string_view scheme, std::string_view host, int port) {
  if (host.empty()) throw NetError("No server name given.", 0);
  for (unsigned char c : host)
    if (BreaksUrl(c)) throw NetError("Invalid server name: " + std::string(host), 0);
  const bool ipv6 = host.find(':') != std::string_view::npos;
  std::string url(scheme);
  url += "://";
  url += ipv6 ? "[" + std::string(host) + "]" : std::string(host);
  url += ':' + std::to_string(port) + '/';
  return url;
}

std::string EncodePath(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(path.size() * 3);
  for (unsigned char c : path) {
    if (IsUnreserved(c)) {
      encoded += static_cast<char>(c);
    } else {
      encoded += '%';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 0x0F];
    }
  }
  return encoded;
}

}  // namespace quillo::net::detail
