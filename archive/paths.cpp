#include "archive/paths.h"

#include "platform/platform.h"

namespace quillo::archive {

std::string LowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         LowerAscii(text.substr(0, prefix.size())) == LowerAscii(prefix);
}

static std::size_t AfterLastDelimiter(std::string_view path) {
  for (std::size_t i = path.size(); i > 0; --i) {
    if (platform::IsPathDelimiter(path[i - 1])) return i;
  }
  return 0;
}

std::string FileNamePart(std::string_view path) {
  return std::string(path.substr(AfterLastDelimiter(path)));
}

std::string FolderPart(std::string_view path) {
  return std::string(path.substr(0, AfterLastDelimiter(path)));
}

bool EndsWithDelimiter(std::string_view path) {
  return !path.empty() && platform::IsPathDelimiter(path.back());
}

std::size_t VolumeLength([[maybe_unused]] std::string_view path) {
#ifdef _WIN32
  if (path.size() >= 2 && path[1] == ':') return 2;
  if (path.size() >= 2 && path[0] == '\\' && path[1] == '\\') {
    // \\server\share: up to the delimiter after the share.
    std::size_t server = path.find('\\', 2);
    if (server == std::string_view::npos) return path.size();
    std::size_t share = path.find('\\', server + 1);
    return share == std::string_view::npos ? path.size() : share;
  }
#endif
  return 0;
}

std::string ToEntrySeparators(std::string_view path) {
  std::string entry(path);
  for (char& c : entry) {
    if (c == platform::kPathDelimiter) c = '\\';
  }
  return entry;
}

}  // namespace quillo::archive
