#pragma once

// Splitting file paths the way the platform does, and turning them into the
// entry-name convention of the archive ("\" between folders).

#include <string>
#include <string_view>

namespace quillo::archive {

// Letters A to Z lowered; every other byte kept.
std::string LowerAscii(std::string_view text);
bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix);

// The part after the last folder delimiter (the whole text when none).
std::string FileNamePart(std::string_view path);
// Everything up to and including the last folder delimiter ("" when none).
std::string FolderPart(std::string_view path);
bool EndsWithDelimiter(std::string_view path);

// Length of a leading volume: a drive ("C:") or the server and share of a
// network path. Always 0 on platforms without volumes in paths.
std::size_t VolumeLength(std::string_view path);

// The platform's folder delimiters as "\", the archive's convention.
std::string ToEntrySeparators(std::string_view path);

}  // namespace quillo::archive
