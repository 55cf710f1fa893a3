#include "archive/names.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <limits>
#include <optional>
#include <unordered_map>
#include <utility>

#include "platform/codepage.h"

namespace quillo::archive {

// ---------------------------------------------------------------------------
// Wildcards

namespace {

constexpr std::string_view kWildcardCharacters = "*?<>|";

char32_t LowerAscii(char32_t c) {
  return c >= U'A' && c <= U'Z' ? c + (U'a' - U'A') : c;
}

// Length of the valid UTF-8 sequence at `at`, or 0 when there is none.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t at, char32_t& decoded) {
  const auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length = 0;
  char32_t value = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[at + k]);
    if ((next & 0xC0) != 0x80) return 0;
    value = (value << 6) | (next & 0x3F);
  }
  const bool overlong = (length == 3 && value < 0x800) || (length == 4 && value < 0x10000);
  const bool surrogate = value >= 0xD800 && value <= 0xDFFF;
  if (overlong || surrogate || value > 0x10FFFF) return 0;
  decoded = value;
  return length;
}

// The text as characters, A to Z lower-cased. A byte that starts no valid
// UTF-8 sequence stands for itself, so no input is rejected.
std::u32string MatchForm(std::string_view text) {
  std::u32string result;
  result.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    char32_t c = 0;
    const std::size_t length = Utf8SequenceLength(text, at, c);
    if (length == 0) {
      c = static_cast<unsigned char>(text[at]);
      at += 1;
    } else {
      at += length;
    }
    result.push_back(LowerAscii(c));
  }
  return result;
}

enum class WildResult { kMatch, kPatternEnded, kTextEnded, kSetFailed, kLiteralFailed, kMalformed };

struct CharRange {
  char32_t low;
  char32_t high;  // below low: the range holds nothing
  bool Holds(char32_t c) const { return low <= c && c <= high; }
};

// One run of the matcher over one pattern and one text. The star set (the
// set after a "*<") is shared by the nested runs of the main routine, which
// clear it when they start: it governs the characters a star passes over
// only up to the first place where the rest of the pattern is tried.
class Matcher {
 public:
  Matcher(std::u32string_view pattern, std::u32string_view text) : p_(pattern), t_(text) {}

  WildResult Main(std::size_t i, std::size_t j) {
    ClearStarSet();
    while (i < p_.size()) {
      if (j >= t_.size()) {
        // Only one trailing star matches the empty rest of the text.
        return p_[i] == U'*' && i + 1 == p_.size() ? WildResult::kMatch : WildResult::kTextEnded;
      }
      switch (p_[i]) {
        case U'*':
          return AtStar(i, j);
        case U'<': {
          const WildResult result = MatchSet(i, t_[j]);
          if (result != WildResult::kMatch) return result;
          ++j;
          break;
        }
        case U'?':
          ++i;
          ++j;
          break;
        default:
          if (p_[i] != t_[j]) return WildResult::kLiteralFailed;
          ++i;
          ++j;
          break;
      }
    }
    return j == t_.size() ? WildResult::kMatch : WildResult::kPatternEnded;
  }

 private:
  WildResult AtStar(std::size_t i, std::size_t j) {
    if (i + 1 < p_.size() && p_[i + 1] == U'<') {
      const std::size_t after = ReadStarSet(i + 1);
      if (StarSetEmpty()) return WildResult::kTextEnded;
      return Star(after, j);
    }
    ClearStarSet();
    return Star(i, j);
  }

  WildResult Star(std::size_t i, std::size_t j) {
    const bool patternEmptyFromStart = i >= p_.size();
    while (i < p_.size() && j < t_.size() && (p_[i] == U'*' || p_[i] == U'?')) {
      if (p_[i] == U'?') ++j;
      ++i;
    }
    if (j >= t_.size()) return WildResult::kTextEnded;
    if (i >= p_.size() && !patternEmptyFromStart) return WildResult::kMatch;
    for (std::size_t k = j; k < t_.size(); ++k) {
      if (i < p_.size() && (p_[i] == t_[k] || p_[i] == U'<')) {
        if (RememberedMain(i, k) == WildResult::kMatch) return WildResult::kMatch;
      }
      if (!StarSetEmpty() && InStarSet(t_[k]) == starNegated_) return WildResult::kTextEnded;
    }
    // A star with its set ending the pattern matches once every remaining
    // character passed the set.
    return patternEmptyFromStart ? WildResult::kMatch : WildResult::kTextEnded;
  }

  // Main(i, j) depends on nothing but i and j, since it starts by clearing
  // the star set; so does the star set it leaves behind. Remembering both
  // keeps patterns with many stars from taking exponential time.
  WildResult RememberedMain(std::size_t i, std::size_t j) {
    const std::size_t key = i * (t_.size() + 1) + j;
    if (const auto known = remembered_.find(key); known != remembered_.end()) {
      starSet_ = known->second.starSet;
      starNegated_ = known->second.starNegated;
      return known->second.result;
    }
    const WildResult result = Main(i, j);
    remembered_.emplace(key, Outcome{result, starSet_, starNegated_});
    return result;
  }

  // A member at k: one character, or a range "a-b" whose end exists and is
  // not the closing ">". Moves k past it.
  CharRange ReadMember(std::size_t& k) const {
    const char32_t low = p_[k];
    if (k + 2 < p_.size() && p_[k + 1] == U'-' && p_[k + 2] != U'>') {
      const char32_t high = p_[k + 2];
      k += 3;
      return {low, high};
    }
    k += 1;
    return {low, low};
  }

  // The set at i ("<...>") against one text character; i moves past ">".
  WildResult MatchSet(std::size_t& i, char32_t c) const {
    std::size_t k = i + 1;
    bool negated = false;
    if (k < p_.size() && (p_[k] == U'!' || p_[k] == U'^')) {
      negated = true;
      ++k;
    }
    if (k >= p_.size() || p_[k] == U'>') return WildResult::kMalformed;
    bool matched = false;
    while (k < p_.size() && p_[k] != U'>') matched = ReadMember(k).Holds(c) || matched;
    if (k >= p_.size()) return WildResult::kMalformed;
    if (matched == negated) return WildResult::kSetFailed;
    i = k + 1;
    return WildResult::kMatch;
  }

  // The set at i ("<...>") after a star; returns the position after ">".
  // A set left open by the end of the pattern comes out empty.
  std::size_t ReadStarSet(std::size_t i) {
    ClearStarSet();
    std::size_t k = i + 1;
    if (k < p_.size() && (p_[k] == U'!' || p_[k] == U'^')) {
      starNegated_ = true;
      ++k;
    }
    while (k < p_.size() && p_[k] != U'>') {
      const CharRange member = ReadMember(k);
      if (member.low <= member.high) starSet_.push_back(member);
    }
    if (k >= p_.size()) {
      ClearStarSet();
      return p_.size();
    }
    return k + 1;
  }

  void ClearStarSet() {
    starSet_.clear();
    starNegated_ = false;
  }
  bool StarSetEmpty() const { return starSet_.empty(); }
  bool InStarSet(char32_t c) const {
    return std::any_of(starSet_.begin(), starSet_.end(),
                       [c](const CharRange& range) { return range.Holds(c); });
  }

  std::u32string_view p_;
  std::u32string_view t_;
  std::vector<CharRange> starSet_;
  bool starNegated_ = false;

  struct Outcome {
    WildResult result;
    std::vector<CharRange> starSet;
    bool starNegated;
  };
  std::unordered_map<std::size_t, Outcome> remembered_;
};

}  // namespace

bool HasWildcards(std::string_view text) {
  return text.find_first_of(kWildcardCharacters) != std::string_view::npos;
}

bool WildMatch(std::string_view pattern, std::string_view text) {
  const std::u32string p = MatchForm(pattern);
  if (p == U"*") return true;
  const std::u32string t = MatchForm(text);
  return Matcher(p, t).Main(0, 0) == WildResult::kMatch;
}

// ---------------------------------------------------------------------------
// Folder search

namespace {

// Every entry of a folder; the search does its own filtering.
constexpr const char* kListEverything = "*.*";

std::string WithDelimiter(std::string folder) {
  if (!folder.empty() && !platform::IsPathDelimiter(folder.back())) {
    folder += platform::kPathDelimiter;
  }
  return folder;
}

// The platform's rule: a name has an extension when a dot follows the last
// folder delimiter.
bool HasExtension(std::string_view name) {
  for (auto it = name.rbegin(); it != name.rend(); ++it) {
    if (*it == '.') return true;
    if (platform::IsPathDelimiter(*it)) return false;
  }
  return false;
}

}  // namespace

TSearchData::TSearchData(std::string folder, std::string pattern)
    : folder_(WithDelimiter(std::move(folder))),
      pattern_(std::move(pattern)),
      listing_(platform::OpenListing(folder_, kListEverything)) {}

bool TSearchData::EntryIsFolder() const {
  return (Entry().attributes & platform::kAttrDirectory) != 0;
}

void TSearchData::Advance() {
  if (listing_->HasEntry()) listing_->Next();
}

namespace {

// The folder with every link resolved; empty when that cannot be had.
std::string RealFolder(const std::string& folder) {
  std::error_code error;
  const auto real = std::filesystem::canonical(folder.empty() ? "." : folder, error);
  return error ? std::string() : real.string();
}

}  // namespace

TDirSearch::TDirSearch(std::string folder, std::string filePattern, bool recurse)
    : filePattern_(std::move(filePattern)), recurse_(recurse) {
  stack_.emplace_back(std::move(folder), filePattern_);
  if (recurse_) realFolders_.push_back(RealFolder(stack_.back().Folder()));
}

bool TDirSearch::IsBeingWalked(const std::string& realFolder) const {
  return !realFolder.empty() &&
         std::find(realFolders_.begin(), realFolders_.end(), realFolder) != realFolders_.end();
}

void TDirSearch::Leave() {
  stack_.pop_back();
  if (realFolders_.size() > stack_.size()) realFolders_.pop_back();
}

std::string TDirSearch::NextEntry(std::int64_t& size) {
  while (!stack_.empty()) {
    TSearchData& level = stack_.back();
    if (!level.HasEntry()) {
      Leave();
      if (!stack_.empty()) stack_.back().Advance();
      continue;
    }
    while (!recurse_ && level.HasEntry() && level.EntryIsFolder()) level.Advance();
    if (!level.HasEntry()) continue;

    const std::string& name = level.Entry().name;
    if (level.EntryIsFolder()) {
      if (!name.empty() && name.front() != '.') {
        std::string path = level.Folder() + name + platform::kPathDelimiter;
        std::string real = RealFolder(path);
        if (!IsBeingWalked(real)) {
          // The parent stays on this entry until the folder below is walked.
          realFolders_.push_back(std::move(real));
          stack_.emplace_back(path, filePattern_);
          return path;
        }
      }
    } else if (HasExtension(name) ? WildMatch(filePattern_, name)
                                  : WildMatch(filePattern_, name + '.')) {
      // Only the dot appended for matching is dropped: a name that really
      // ends with a dot keeps it, or the path would name another file.
      std::string path = level.Folder() + name;
      size = level.Entry().size;
      level.Advance();
      return path;
    }
    level.Advance();
  }
  return {};
}

// ---------------------------------------------------------------------------
// Paths and files

namespace {

#ifdef _WIN32
constexpr bool kHasDriveLetters = true;
#else
constexpr bool kHasDriveLetters = false;
#endif

// The short name of `component` inside `folder` as the file system keeps it.
// POSIX file systems keep no separate short names.
std::string ShortNameOf(const std::string& /*folder*/, const std::string& component) {
  return component;
}

}  // namespace

std::string ShortPathOf(const std::string& path) {
  constexpr char kDelimiter = platform::kPathDelimiter;
  std::string rest = path;
  if (kHasDriveLetters && rest.size() >= 2 && rest[1] == ':' &&
      (rest.size() == 2 || rest[2] != kDelimiter)) {
    rest.insert(2, 1, kDelimiter);
  }
  const bool endsWithDelimiter = !rest.empty() && rest.back() == kDelimiter;
  if (endsWithDelimiter) rest.pop_back();

  std::string result;
  if (!rest.empty() && rest.front() == kDelimiter) {
    result = kDelimiter;
    rest.erase(0, 1);
  } else if (kHasDriveLetters && rest.size() >= 3 && rest[1] == ':') {
    result = rest.substr(0, 3);
    rest.erase(0, 3);
  }
  if (rest.empty()) {
    // A root alone ("/", "C:\") is already as short as it gets.
    if (endsWithDelimiter && (result.empty() || result.back() != kDelimiter)) result += kDelimiter;
    return result;
  }
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = rest.find(kDelimiter, start);
    const std::string component = rest.substr(start, end - start);
    result += ShortNameOf(result, component);
    result += kDelimiter;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (!endsWithDelimiter) result.pop_back();
  return result;
}

std::int32_t Percent64(std::int64_t part, std::int64_t total) {
  if (total <= 0) return 0;
  __extension__ using Wide = __int128;
  const Wide scaled = static_cast<Wide>(part) * 100;
  const Wide magnitude = scaled < 0 ? -scaled : scaled;
  Wide quotient = magnitude / total;
  const Wide twiceRemainder = (magnitude % total) * 2;
  if (twiceRemainder > total || (twiceRemainder == total && (quotient & 1) != 0)) ++quotient;
  const Wide result = scaled < 0 ? -quotient : quotient;
  constexpr Wide kLowest = std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(std::clamp<Wide>(result, kLowest, 100));
}

std::int32_t Percent(std::int32_t part, std::int32_t total) {
  return Percent64(part, total);
}

std::string LastChars(std::string_view text, std::int32_t n) {
  if (n <= 0) return {};
  const auto count = static_cast<std::size_t>(n);
  return std::string(text.substr(text.size() > count ? text.size() - count : 0));
}

std::string FirstChars(std::string_view text, std::int32_t n) {
  if (n <= 0) return {};
  return std::string(text.substr(0, static_cast<std::size_t>(n)));
}

void BackslashToSlash(std::string& text) {
  std::replace(text.begin(), text.end(), '\\', '/');
}

void SlashToBackslash(std::string& text) {
  std::replace(text.begin(), text.end(), '/', '\\');
}

void OemRoundTrip(std::string& name) {
  name = platform::OemToUtf8(platform::Utf8ToOem(name));
}

TDateTime NowAsDateTime() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&seconds, &local);
  const year_month_day date{year{local.tm_year + 1900},
                            month{static_cast<unsigned>(local.tm_mon + 1)},
                            day{static_cast<unsigned>(local.tm_mday)}};
  constexpr year_month_day kEpoch{year{1899}, month{12}, day{30}};
  const auto days = (sys_days{date} - sys_days{kEpoch}).count();
  const auto subsecond = duration_cast<milliseconds>(now.time_since_epoch()) % 1000;
  const double secondsOfDay = local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec +
                              static_cast<double>(subsecond.count()) / 1000.0;
  return static_cast<double>(days) + secondsOfDay / 86400.0;
}

TDateTime FileDate(const std::string& path) {
  // A time the platform cannot give counts as now. (All bits set, the usual
  // marker for it, would come out of the repair as the last moment of 2099
  // and make the file look newer than anything.)
  const std::optional<std::uint32_t> stamp = platform::LastWriteDosTime(path);
  if (!stamp) return NowAsDateTime();
  return DosDateTimeToDateTime(RepairDosDateTime(*stamp)).value_or(NowAsDateTime());
}

}  // namespace quillo::archive
