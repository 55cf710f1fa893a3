#pragma once

// Name-level services of the engine: wildcard tests and matching, the folder
// search that expands a wildcard item into paths, short path forms, progress
// percentages and small path utilities. Names are UTF-8; letter case is
// ignored by lower-casing A to Z only, every other character compares as it
// is.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "archive/records.h"
#include "platform/platform.h"

namespace quillo::archive {

// ---------------------------------------------------------------------------
// Wildcards: "*" any run of characters, "?" one character, "<...>" one
// character of a set ("<a-cx>", negated by a leading "!" or "^"), "*<...>" a
// run of characters of a set. "|" and ">" count as wildcard characters too.

bool HasWildcards(std::string_view text);

// True when the whole text matches the whole pattern. A broken set (empty or
// unclosed) matches nothing. Characters are whole UTF-8 characters, so "?"
// takes one accented letter just as it takes one ASCII letter.
bool WildMatch(std::string_view pattern, std::string_view text);

// ---------------------------------------------------------------------------
// Folder search

// One open folder listing: every entry of the folder, folders included.
class TSearchData {
 public:
  // An empty folder means the current folder, and its paths stay relative.
  TSearchData(std::string folder, std::string pattern);

  // The folder, ending with the path delimiter (empty for the current folder).
  const std::string& Folder() const { return folder_; }
  // The pattern given at creation; the search filters with its own.
  const std::string& Pattern() const { return pattern_; }

  bool HasEntry() const { return listing_->HasEntry(); }
  const platform::FindData& Entry() const { return listing_->Entry(); }
  bool EntryIsFolder() const;
  // Moves to the next entry, if there is a current one.
  void Advance();

 private:
  std::string folder_;
  std::string pattern_;
  std::unique_ptr<platform::DirListing> listing_;
};

// Walks a folder, depth-first in listing order, delivering the paths of the
// files whose names match a pattern and, when recursing, the paths of the
// folders below (ending with the delimiter) just before what they hold.
// Folders whose names begin with a dot are never entered. A name without an
// extension is matched with a dot appended, so "*." selects exactly the
// names without one. The search holds one listing per level, as deep as the
// tree goes, and releases them as it leaves them or when it is destroyed.
class TDirSearch {
 public:
  TDirSearch(std::string folder, std::string filePattern, bool recurse);

  // The next path, or an empty one when the search is over (and from then
  // on). A file path comes with the file's size; a folder path leaves `size`
  // alone.
  std::string NextEntry(std::int64_t& size);

  // Listings open now: the start folder and every level below it being walked.
  std::size_t OpenListings() const { return stack_.size(); }

 private:
  bool IsBeingWalked(const std::string& realFolder) const;
  void Leave();

  std::vector<TSearchData> stack_;
  // The real (link-free) path of each level being walked, when recursing.
  std::vector<std::string> realFolders_;
  std::string filePattern_;
  bool recurse_;
};

// ---------------------------------------------------------------------------
// Paths and files

// The path with each existing component replaced by its short 8.3 name. A
// trailing delimiter is kept, a leading one too. On POSIX a short name is the
// name itself, so the path comes back as written.
std::string ShortPathOf(const std::string& path);

// part * 100 / total rounded to the nearest integer (a half to the even one),
// at most 100; 0 when total <= 0.
std::int32_t Percent(std::int32_t part, std::int32_t total);
std::int32_t Percent64(std::int64_t part, std::int64_t total);

// The last (first) n bytes of text, all of it when shorter; empty for n <= 0.
// Callers look for ASCII delimiters, so bytes are the right unit.
std::string LastChars(std::string_view text, std::int32_t n);
std::string FirstChars(std::string_view text, std::int32_t n);

void BackslashToSlash(std::string& text);
void SlashToBackslash(std::string& text);

// Takes a name through the OEM code page and back, so that it reads as the
// archive will give it back; characters the OEM code page lacks change.
void OemRoundTrip(std::string& name);

// The file's last-write time as a date-time value, at the two-second
// precision of an MS-DOS stamp and repaired as stamps read from archives are;
// the current date and time when the file's time cannot be had or names no
// real day.
TDateTime FileDate(const std::string& path);

// The current local date and time as a date-time value.
TDateTime NowAsDateTime();

}  // namespace quillo::archive
