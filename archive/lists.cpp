#include "archive/lists.h"

#include <cmath>
#include <string>

#include "archive/errors.h"

namespace quillo::archive {

namespace list_detail {

void ThrowIndexError(std::int64_t index) {
  throw EListError("List index out of bounds (" + std::to_string(index) + ")");
}

void ThrowNotInList(std::string_view className) {
  throw EListError("tObject " + std::string(className) + " not in item list");
}

void ThrowDuplicate() {
  throw EListError("Duplicate Object index");
}

void ThrowPutInSorted() {
  throw EListError("Cannot <Put> an Object in a sorted list!");
}

}  // namespace list_detail

namespace {

// Text of one or two parts, read as one, so a path compares without being
// joined first.
class JoinedText {
 public:
  explicit JoinedText(std::string_view first, std::string_view second = {})
      : first_(first), second_(second) {}

  std::size_t size() const { return first_.size() + second_.size(); }
  unsigned char operator[](std::size_t i) const {
    const char c = i < first_.size() ? first_[i] : second_[i - first_.size()];
    return static_cast<unsigned char>(c);
  }

 private:
  std::string_view first_;
  std::string_view second_;
};

unsigned char FoldAsciiLower(unsigned char c) {
  return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

// Byte order with only a..z folded to A..Z (so "_" orders after every
// letter); a text that is a prefix of the other orders first.
int CompareNoCase(const JoinedText& a, const JoinedText& b) {
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < common; ++i) {
    const unsigned char x = FoldAsciiLower(a[i]);
    const unsigned char y = FoldAsciiLower(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

// Later first, never equal, so equal items stay in the order of adding.
int NewestFirst(const TZipHeaderInfo& item, const TZipHeaderInfo& key) {
  const TDateTime itemDate = DosDateTimeToDateTime(item.LastModDateTime).value_or(0.0);
  const TDateTime keyDate = DosDateTimeToDateTime(key.LastModDateTime).value_or(0.0);
  return keyDate > itemDate ? 1 : -1;
}

// Larger first, never equal. The difference is taken as a signed 32-bit
// value, as the sizes are 32-bit signed inside the engine.
int LargestFirst(std::uint32_t itemSize, std::uint32_t keySize) {
  return static_cast<std::int32_t>(keySize - itemSize) > 0 ? 1 : -1;
}

// Disk, then local-header offset (compared as signed 32-bit values).
int PhysicalOrder(const TZipHeaderInfo& item, const TZipHeaderInfo& key) {
  if (item.DiskNumberStart != key.DiskNumberStart) {
    return item.DiskNumberStart - key.DiskNumberStart;
  }
  const auto itemOffset = static_cast<std::int32_t>(item.LocalHeaderOffset);
  const auto keyOffset = static_cast<std::int32_t>(key.LocalHeaderOffset);
  if (keyOffset < itemOffset) return 1;
  return keyOffset == itemOffset ? 0 : -1;
}

double RoundHalfToEven(double value) {
  const double floor = std::floor(value);
  const double fraction = value - floor;
  if (fraction > 0.5) return floor + 1;
  if (fraction < 0.5) return floor;
  return std::fmod(floor, 2.0) == 0.0 ? floor : floor + 1;
}

}  // namespace

std::int32_t CompressionRate(const TZipHeaderInfo& entry) {
  const auto uncompressed = static_cast<std::int32_t>(entry.UncompressedSize);
  if (uncompressed <= 0) return 0;
  const double percent = static_cast<double>(entry.CompressedSize) * 100.0 / uncompressed;
  return static_cast<std::int32_t>(std::min(100.0, RoundHalfToEven(percent)));
}

int TSortedZip::Compare(const TZipHeaderInfo* item, const TZipHeaderInfo* key) const {
  switch (SortMode) {
    case ByName:
      return CompareNoCase(JoinedText(item->Directory(), item->FileName()),
                           JoinedText(key->Directory(), key->FileName()));
    case ByFileName:
      return CompareNoCase(JoinedText(item->FileName()), JoinedText(key->FileName()));
    case ByDirectoryName:
      return CompareNoCase(JoinedText(item->Directory()), JoinedText(key->Directory()));
    case ByDate:
      return NewestFirst(*item, *key);
    case ByCompressedSize:
      return LargestFirst(item->CompressedSize, key->CompressedSize);
    case ByUnCompressedSize:
      return LargestFirst(item->UncompressedSize, key->UncompressedSize);
    case ByRate:
      return CompressionRate(*key) - CompressionRate(*item);
    case ByNone:
      break;
  }
  return PhysicalOrder(*item, *key);
}

}  // namespace quillo::archive
