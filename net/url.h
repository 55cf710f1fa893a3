#pragma once

// Internal to the net module: building the URLs libcurl is driven by.

#include <string>
#include <string_view>

namespace quillo::net::detail {

// "scheme://host:port/". An IPv6 address is bracketed. A host that is empty
// or holds characters that would change the URL's meaning is a NetError.
std::string ServerUrl(std::string_view scheme, std::string_view host, int port);

// The path percent-encoded byte for byte, "/" included, so that libcurl
// decodes exactly the path given, with no URL normalisation on the way.
std::string EncodePath(std::string_view path);

}  // namespace quillo::net::detail
