#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillo::app {

// A Windows initialisation file ("[Section]" lines and "key=value" lines),
// read and written by the rules of the Windows private-profile functions:
// section and key names match without regard to letter case; a value loses
// the spaces around it and one pair of enclosing quotes (single or double)
// and is cut to its first 2047 characters; the first of duplicate keys (and
// sections) counts; lines starting with ";" are comments; a missing file,
// section or key reads as the default. Every access goes to the file, so
// changes made by another program are seen at once.
//
// The file is read as UTF-8 when its bytes are valid UTF-8 and as
// Windows-1252 otherwise; texts in memory are UTF-8 either way.
class ProfileFile {
 public:
  static constexpr std::size_t kMaxValueLength = 2047;

  explicit ProfileFile(std::string path) : path_(std::move(path)) {}

  const std::string& Path() const { return path_; }

  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view default_value = {}) const;

  // Puts `value` under `key` in `section`, in place: an existing key gets the
  // new value on its own line; a missing key is added at the end of its
  // section, a missing section at the end of the file (the file is created
  // when missing). Every other byte of the file stays as it was, its encoding
  // and its line ends included, and the value is written in the file's
  // encoding. The new content goes to a temporary file beside the old one
  // that then replaces it, so a full disk or a crash leaves the old file
  // whole. A file that cannot be written (read-only, or its folder missing or
  // closed to us) raises quillo::Exception "Unable to write to " + path.
  // Names and values holding line breaks (or a "]" in a section name, a "="
  // in a key) would break the file's structure and raise
  // std::invalid_argument.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);

 private:
  std::string path_;
};

}  // namespace quillo::app
