#include "app/profile_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "platform/codepage.h"
#include "platform/exception.h"

namespace quillo::app {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
// Line ends for a file that has none yet to copy.
constexpr std::string_view kDefaultLineEnd = "\n";

enum class Encoding { kUtf8, kAnsi };

// One line of the file as byte offsets: its text is [begin, end), its line
// end (if any) [end, next).
struct Line {
  std::size_t begin;
  std::size_t end;
  std::size_t next;
};

enum class LineKind { kBlank, kComment, kSection, kKey, kOther };

struct ParsedLine {
  LineKind kind = LineKind::kOther;
  std::string name;             // section or key name, trimmed, as UTF-8
  std::size_t key_end = 0;      // offset just after the key's last character
  std::size_t value_begin = 0;  // offsets of the raw value after "="
  std::size_t value_end = 0;
};

// The file's bytes and what was learnt about them.
struct Content {
  std::string bytes;
  Encoding encoding = Encoding::kUtf8;
  std::vector<Line> lines;
};

// Where a section and a key are, by line index.
struct Location {
  std::optional<std::size_t> section;
  std::optional<std::size_t> key;
  std::size_t last_of_section = 0;  // last line of the section that is not blank
};

bool IsSpace(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
  return text;
}

std::string ToUtf8(std::string_view bytes, Encoding encoding) {
  return encoding == Encoding::kUtf8 ? std::string(bytes) : platform::AnsiToUtf8(bytes);
}

std::string FromUtf8(std::string_view text, Encoding encoding) {
  return encoding == Encoding::kUtf8 ? std::string(text) : platform::Utf8ToAnsi(text);
}

// Letter case folded for name comparison: ASCII and the Latin-1 letters
// (U+00C0 to U+00DE but the multiplication sign), which covers the names a
// Portuguese configuration uses.
std::string FoldCase(std::string_view text) {
  std::string folded(text);
  for (std::size_t i = 0; i < folded.size(); ++i) {
    auto c = static_cast<unsigned char>(folded[i]);
    if (c >= 'A' && c <= 'Z') {
      folded[i] = static_cast<char>(c + 32);
    } else if (c == 0xC3 && i + 1 < folded.size()) {
      auto next = static_cast<unsigned char>(folded[i + 1]);
      if (next >= 0x80 && next <= 0x9E && next != 0x97)
        folded[i + 1] = static_cast<char>(next + 32);
      ++i;
    }
  }
  return folded;
}

bool SameName(std::string_view a, std::string_view b) {
  return FoldCase(a) == FoldCase(b);
}

// The first `count` characters of a UTF-8 text.
std::string_view FirstCharacters(std::string_view text, std::size_t count) {
  std::size_t at = 0;
  for (std::size_t seen = 0; at < text.size(); ++at) {
    if ((static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) continue;
    if (seen++ == count) break;
  }
  return text.substr(0, at);
}

std::string_view WithoutQuotes(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front())
    return value.substr(1, value.size() - 2);
  return value;
}

std::vector<Line> SplitLines(const std::string& bytes, std::size_t from) {
  std::vector<Line> lines;
  std::size_t begin = from;
  while (begin < bytes.size()) {
    const std::size_t newline = bytes.find('\n', begin);
    if (newline == std::string::npos) {
      lines.push_back({begin, bytes.size(), bytes.size()});
      break;
    }
    const std::size_t end = newline > begin && bytes[newline - 1] == '\r' ? newline - 1 : newline;
    lines.push_back({begin, end, newline + 1});
    begin = newline + 1;
  }
  return lines;
}

Content Analyse(std::string bytes) {
  Content content;
  content.bytes = std::move(bytes);
  content.encoding = platform::IsValidUtf8(content.bytes) ? Encoding::kUtf8 : Encoding::kAnsi;
  const bool bom = content.encoding == Encoding::kUtf8 && content.bytes.starts_with(kUtf8Bom);
  content.lines = SplitLines(content.bytes, bom ? kUtf8Bom.size() : 0);
  return content;
}

ParsedLine Parse(const Content& content, const Line& line) {
  ParsedLine parsed;
  std::string_view text(content.bytes.data() + line.begin, line.end - line.begin);
  const std::string_view trimmed = Trim(text);
  if (trimmed.empty()) {
    parsed.kind = LineKind::kBlank;
  } else if (trimmed.front() == ';') {
    parsed.kind = LineKind::kComment;
  } else if (trimmed.front() == '[') {
    const std::size_t close = trimmed.rfind(']');
    if (close == std::string_view::npos) return parsed;
    parsed.kind = LineKind::kSection;
    parsed.name = ToUtf8(Trim(trimmed.substr(1, close - 1)), content.encoding);
  } else if (const std::size_t equals = text.find('='); equals != std::string_view::npos) {
    const std::string_view key = Trim(text.substr(0, equals));
    if (key.empty()) return parsed;
    parsed.kind = LineKind::kKey;
    parsed.name = ToUtf8(key, content.encoding);
    parsed.key_end = static_cast<std::size_t>(key.data() + key.size() - content.bytes.data());
    parsed.value_begin = line.begin + equals + 1;
    parsed.value_end = line.end;
  }
  return parsed;
}

// Finds the first section of that name and the first key of that name in it.
Location Find(const Content& content, std::string_view section, std::string_view key) {
  Location location;
  for (std::size_t i = 0; i < content.lines.size(); ++i) {
    const ParsedLine parsed = Parse(content, content.lines[i]);
    if (parsed.kind == LineKind::kSection) {
      if (location.section) break;
      if (SameName(parsed.name, section)) location.section = location.last_of_section = i;
      continue;
    }
    if (!location.section) continue;
    if (parsed.kind != LineKind::kBlank) location.last_of_section = i;
    if (parsed.kind == LineKind::kKey && SameName(parsed.name, key)) {
      location.key = i;
      break;
    }
  }
  return location;
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return std::move(bytes).str();
}

std::string_view LineEndOf(const std::string& bytes) {
  const std::size_t newline = bytes.find('\n');
  if (newline == std::string::npos) return kDefaultLineEnd;
  return newline > 0 && bytes[newline - 1] == '\r' ? "\r\n" : "\n";
}

// The content with the value put in, following the rules of WriteString.
std::string Edited(const Content& content, std::string_view section, std::string_view key,
                   std::string_view value) {
  std::string bytes = content.bytes;
  const std::string_view line_end = LineEndOf(bytes);
  const std::string encoded_value = FromUtf8(value, content.encoding);
  const Location location = Find(content, section, key);
  if (location.key) {
    const Line& line = content.lines[*location.key];
    const ParsedLine parsed = Parse(content, line);
    // The key keeps its spelling and indentation; only what follows changes.
    bytes.replace(parsed.key_end, line.end - parsed.key_end, "=" + encoded_value);
  } else if (location.section) {
    const std::string key_line = FromUtf8(key, content.encoding) + "=" + encoded_value;
    const Line& after = content.lines[location.last_of_section];
    if (after.next == after.end)  // the file's last line, without a line end
      bytes.insert(after.end, std::string(line_end) + key_line);
    else
      bytes.insert(after.next, key_line + std::string(line_end));
  } else {
    if (!bytes.empty() && bytes.back() != '\n') bytes += line_end;
    bytes += "[" + FromUtf8(section, content.encoding) + "]";
    bytes += line_end;
    bytes += FromUtf8(key, content.encoding) + "=" + encoded_value;
    bytes += line_end;
  }
  return bytes;
}

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

void CheckWritable(std::string_view section, std::string_view key, std::string_view value) {
  if (Trim(section).empty() || HasLineBreak(section) || section.find(']') != std::string::npos)
    throw std::invalid_argument("Invalid profile section name");
  if (Trim(key).empty() || HasLineBreak(key) || key.find('=') != std::string::npos ||
      Trim(key).front() == ';' || Trim(key).front() == '[')
    throw std::invalid_argument("Invalid profile key name");
  if (HasLineBreak(value)) throw std::invalid_argument("Invalid profile value");
}

bool WriteAll(int fd, const std::string& bytes) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t count = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    written += static_cast<std::size_t>(count);
  }
  return ::fsync(fd) == 0;
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A symbolic link is followed, so the link stays and its target changes.
std::string RealTarget(const std::string& path) {
  char resolved[PATH_MAX];
  struct stat info;
  if (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode) &&
      ::realpath(path.c_str(), resolved) != nullptr)
    return resolved;
  return path;
}

bool CreateNewFile(const std::string& path, const std::string& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  const bool written = WriteAll(fd, bytes);
  if (::close(fd) != 0 || !written) {
    ::unlink(path.c_str());
    return false;
  }
  return true;
}

// Writes the new content beside the file and renames it over the file, so
// that at every moment the file is either the old one or the new one whole.
bool ReplaceFile(const std::string& path, const struct stat& old_info, const std::string& bytes) {
  std::string temp = FolderOf(path) + "/.profile-XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return false;
  bool ok = WriteAll(fd, bytes) && ::fchmod(fd, old_info.st_mode & 07777) == 0;
  if (ok && ::geteuid() == 0) ok = ::fchown(fd, old_info.st_uid, old_info.st_gid) == 0;
  if (::close(fd) != 0) ok = false;
  if (ok) ok = ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  // The rename itself is made durable too.
  const int folder = ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    ::fsync(folder);
    ::close(folder);
  }
  return true;
}

// A file without any write permission is read-only, for root too, as the
// read-only attribute is on Windows.
bool IsReadOnly(const std::string& path, const struct stat& info) {
  return (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || ::access(path.c_str(), W_OK) != 0;
}

}  // namespace

std::string ProfileFile::ReadString(std::string_view section, std::string_view key,
                                    std::string_view default_value) const {
  std::optional<std::string> bytes = ReadWholeFile(path_);
  if (!bytes) return std::string(default_value);
  const Content content = Analyse(std::move(*bytes));
  const Location location = Find(content, section, key);
  if (!location.key) return std::string(default_value);
  const ParsedLine parsed = Parse(content, content.lines[*location.key]);
  const std::string value =
      ToUtf8(std::string_view(content.bytes)
                 .substr(parsed.value_begin, parsed.value_end - parsed.value_begin),
             content.encoding);
  return std::string(FirstCharacters(WithoutQuotes(Trim(value)), kMaxValueLength));
}

void ProfileFile::WriteString(std::string_view section, std::string_view key,
                              std::string_view value) {
  CheckWritable(section, key, value);
  const std::string target = RealTarget(path_);
  const quillo::Exception failure("Unable to write to " + path_);
  struct stat info;
  if (::stat(target.c_str(), &info) != 0) {
    if (errno != ENOENT) throw failure;
    if (!CreateNewFile(target, Edited(Analyse(""), section, key, value))) throw failure;
    return;
  }
  if (!S_ISREG(info.st_mode) || IsReadOnly(target, info)) throw failure;
  std::optional<std::string> bytes = ReadWholeFile(target);
  if (!bytes) throw failure;
  if (!ReplaceFile(target, info, Edited(Analyse(std::move(*bytes)), section, key, value)))
    throw failure;
}

}  // namespace quillo::app
