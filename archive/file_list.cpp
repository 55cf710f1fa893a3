// Turning FilesList into the concrete files and folders of a zip run, and
// the keys that match a listed file to an entry of the archive.

#include <filesystem>
#include <system_error>

#include "archive/names.h"
#include "archive/paths.h"
#include "archive/zip_run.h"
#include "archive/zip_writer.h"
#include "platform/platform.h"

namespace quillo::archive {
namespace {

// The first character of a wildcard item can ask for a search without
// subfolders ("|") or with them (">"), whatever Recurse says.
constexpr char kNoRecursePrefix = '|';
constexpr char kRecursePrefix = '>';

bool HasFolderDelimiter(std::string_view pattern) {
  for (char c : pattern) {
    if (c == '\\' || platform::IsPathDelimiter(c)) return true;
  }
  return false;
}

std::int64_t SizeOf(const std::string& path) {
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  return error ? 0 : static_cast<std::int64_t>(size);
}

bool HasArchiveBit(const std::string& path) {
  const std::uint32_t attributes = platform::GetAttributes(path);
  return attributes != platform::kInvalidAttributes && (attributes & platform::kAttrArchive) != 0;
}

}  // namespace

bool MatchesPatternList(const std::string& name, const TStrings& patterns) {
  const std::string lowerName = LowerAscii(name);
  for (const std::string& pattern : patterns) {
    const std::string lowerPattern = LowerAscii(pattern);
    const std::string target =
        HasFolderDelimiter(lowerPattern) ? lowerName : FileNamePart(lowerName);
    if (WildMatch(lowerPattern, target)) return true;
  }
  return false;
}

std::string EntryKey(const TZipHeaderInfo& entry) {
  return LowerAscii(entry.Path());
}

std::string TZipWriter::ItemKey(const std::string& item) const {
  std::string name = item;
  OemRoundTrip(name);
  name = LowerAscii(name);
  std::string folder;
  if (storePaths_) {
    folder = FolderPart(name);
    if (relativePaths_) {
      folder.erase(0, std::min(folder.size(), rootDir_.size()));
    } else if (!storeVolumes_) {
      // The volume and the delimiter after it, as the stored folder drops them.
      const std::size_t volume = VolumeLength(folder);
      folder.erase(0, std::min(folder.size(), volume + 1));
    }
  }
  return ToEntrySeparators(folder) + FileNamePart(name);
}

bool TZipWriter::HasEntryLike(const std::string& item) const {
  if (view_ == nullptr) return false;
  const std::string key = ItemKey(item);
  const std::size_t split = key.rfind('\\');
  TZipHeaderInfo probe;
  if (split == std::string::npos) {
    probe.SetFileName(key);
  } else {
    probe.SetDirectory(key.substr(0, split + 1));
    probe.SetFileName(key.substr(split + 1));
  }
  std::int32_t index = 0;
  return view_->Find(&probe, index);
}

void TZipWriter::ExpandFilesList(Run& run) {
  run.totalBytes = 0;
  run.bytesDone = 0;
  if (ZipAction == zaFreshen) {
    // Freshening needs the entries of the archive; read them if not held.
    if (!entryList_ && platform::FileExists(zipName_)) OpenArchive();
    ApplySortMode(ByName);
  }
  TStrings wildcardItems;
  for (std::size_t i = 0; i < FilesList.size();) {
    std::string& item = FilesList[i];
    if (EndsWithDelimiter(item)) {
      ++i;
    } else if (HasWildcards(item)) {
      wildcardItems.push_back(item);
      FilesList.erase(FilesList.begin() + static_cast<std::ptrdiff_t>(i));
    } else if (ExpandPlainItem(run, item)) {
      ++i;
    } else {
      FilesList.erase(FilesList.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
  for (std::string& item : wildcardItems) {
    ExpandWildcardItem(run, std::move(item));
  }
  if (ZipAction == zaFreshen) ApplySortMode(ByNone);
}

bool TZipWriter::ExpandPlainItem(Run& run, std::string& item) {
  if (FolderPart(item).empty()) item = rootDir_ + item;
  if (MatchesPatternList(item, ExcludeList)) return false;
  if (!platform::FileExists(item) && !platform::FolderExists(item)) {
    if (OnNoSuchFile) OnNoSuchFile(*this, item);
    return false;
  }
  if (SkipIfArchiveBitNotSet && !HasArchiveBit(item)) return false;
  if (ZipAction == zaFreshen && !HasEntryLike(item)) return false;
  run.totalBytes += SizeOf(item);
  return true;
}

void TZipWriter::ExpandWildcardItem(Run& run, std::string item) {
  bool recurse = Recurse;
  if (!item.empty() && (item[0] == kNoRecursePrefix || item[0] == kRecursePrefix)) {
    recurse = item[0] == kRecursePrefix;
    item.erase(0, 1);
  }
  std::string folder = FolderPart(item);
  if (folder.empty()) folder = rootDir_;
  if (EndsWithDelimiter(folder) && folder.size() > 1) folder.pop_back();
  if (folder.empty() || !platform::FolderExists(folder)) return;
  std::string mask = FileNamePart(item);
  if (mask == "*.*") mask = "*";

  TDirSearch search(folder, mask, recurse);
  std::int64_t size = 0;
  for (std::string path = search.NextEntry(size); !path.empty(); path = search.NextEntry(size)) {
    if (OnRecursingFile) OnRecursingFile(*this, path);
    if (EndsWithDelimiter(path)) {
      if (recurse && AddDirEntriesOnRecurse) FilesList.push_back(path);
      continue;
    }
    if (MatchesPatternList(path, ExcludeList)) continue;
    PumpMessages();
    if (SameArchiveName(path, zipName_)) continue;  // never pack the archive into itself
    if (SkipIfArchiveBitNotSet && !HasArchiveBit(path)) continue;
    if (ZipAction == zaFreshen && !HasEntryLike(path)) continue;
    FilesList.push_back(path);
    run.totalBytes += size;
  }
}

}  // namespace quillo::archive
