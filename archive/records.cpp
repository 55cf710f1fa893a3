#include "archive/records.h"

#include <algorithm>
#include <vector>

#include "archive/errors.h"
#include "platform/codepage.h"

namespace quillo::archive {
namespace {

// ---------------------------------------------------------------------------
// Little-endian fields.

std::uint16_t Load16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t Load32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Builds a record in memory so that it reaches the stream in one write.
class RecordBuilder {
 public:
  explicit RecordBuilder(std::size_t reserve) { bytes_.reserve(reserve); }

  RecordBuilder& U16(std::uint16_t value) {
    bytes_.push_back(static_cast<std::uint8_t>(value));
    bytes_.push_back(static_cast<std::uint8_t>(value >> 8));
    return *this;
  }
  RecordBuilder& U32(std::uint32_t value) {
    U16(static_cast<std::uint16_t>(value));
    return U16(static_cast<std::uint16_t>(value >> 16));
  }
  RecordBuilder& Text(std::string_view text) {
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    return *this;
  }

  // The record writers leave a short write to the stream, which reports lack
  // of room itself.
  void WriteTo(TStream& stream) const {
    static_cast<void>(stream.Write(bytes_.data(), static_cast<std::int32_t>(bytes_.size())));
  }

 private:
  std::vector<std::uint8_t> bytes_;
};

// ---------------------------------------------------------------------------
// CRC-32, slicing by eight: table k folds a byte that still has k more bytes
// to pass through the register, so eight table look-ups fold eight bytes.

using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr CrcTables MakeCrcTables() {
  CrcTables tables{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) != 0 ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    tables[0][i] = c;
  }
  for (std::size_t k = 1; k < tables.size(); ++k) {
    for (std::size_t i = 0; i < 256; ++i) {
      const std::uint32_t previous = tables[k - 1][i];
      tables[k][i] = (previous >> 8) ^ tables[0][previous & 0xFF];
    }
  }
  return tables;
}

constexpr CrcTables kCrcTables = MakeCrcTables();

// ---------------------------------------------------------------------------
// MS-DOS date and time.

bool IsLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
  static constexpr std::array<int, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[static_cast<std::size_t>(month - 1)];
}

// Days from 1 January 1970 to the given date of the proleptic Gregorian
// calendar (the well-known era-based civil-date count).
std::int64_t DaysFromCivil(int year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  const int era = (year >= 0 ? year : year - 399) / 400;
  const int yearOfEra = year - era * 400;
  const int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return static_cast<std::int64_t>(era) * 146097 + dayOfEra - 719468;
}

// 30 December 1899, day 0 of a date-time value, counted from 1 January 1970.
constexpr std::int64_t kDateTimeEpochFrom1970 = -25569;

// ---------------------------------------------------------------------------
// Names.

void ThrowIfTooLong(std::size_t length, std::size_t limit, const char* what) {
  if (length > limit) {
    throw EInvalidArgument(std::string(what) + " too long for an archive: " +
                           std::to_string(length) + " bytes, at most " + std::to_string(limit));
  }
}

std::uint16_t StoredNameLength(const std::string& directory, const std::string& fileName) {
  const std::size_t length = platform::SingleByteLength(directory + fileName);
  ThrowIfTooLong(length, kMaxNameLength, "File name");
  return static_cast<std::uint16_t>(length);
}

// Name bytes of a header as UTF-8 with "\" between its parts. OEM names are
// converted from code page 850; others (UTF-8 flag, non-MS-DOS host) are
// kept when they are UTF-8 and read as Windows-1252 otherwise, the likeliest
// encoding of a foreign name that is not UTF-8.
std::string NameFromArchive(std::string raw, bool isOem) {
  std::replace(raw.begin(), raw.end(), '/', '\\');
  if (isOem) return platform::OemToUtf8(raw);
  if (platform::IsValidUtf8(raw)) return raw;
  return platform::AnsiToUtf8(raw);
}

// Splits after the last "\" or ":".
std::pair<std::string, std::string> SplitPath(const std::string& path) {
  const std::size_t cut = path.find_last_of("\\:");
  if (cut == std::string::npos) return {std::string(), path};
  return {path.substr(0, cut + 1), path.substr(cut + 1)};
}

// Reads exactly `count` bytes, or nothing useful.
bool ReadExact(TStream& stream, void* buffer, std::int32_t count) {
  return count == 0 || stream.Read(buffer, count) == count;
}

bool ReadName(TStream& stream, std::uint16_t length, std::string& raw) {
  raw.assign(length, '\0');
  return ReadExact(stream, raw.data(), length);
}

std::uint16_t CommentLengthToWrite(const std::optional<std::string>& comment,
                                   std::uint16_t declaredLength, const char* what) {
  if (comment) return static_cast<std::uint16_t>(comment->size());
  if (declaredLength != 0) {
    throw EInvalidArgument(std::string(what) + " is not loaded and cannot be written");
  }
  return 0;
}

// The last end signature in `tail` whose record, comment included, ends
// exactly at the end of the data; when none does, the last one at all
// (tolerating bytes appended after an archive). A comment may itself hold the
// signature bytes, and only the length check tells those apart.
std::optional<std::int32_t> FindEndSignature(const std::vector<std::uint8_t>& tail) {
  const auto size = static_cast<std::int32_t>(tail.size());
  std::optional<std::int32_t> last;
  for (std::int32_t p = size - kEndRecordFixedSize; p >= 0; --p) {
    if (Load32(&tail[static_cast<std::size_t>(p)]) != kEndRecordSignature) continue;
    if (!last) last = p;
    const std::uint16_t commentLength = Load16(&tail[static_cast<std::size_t>(p) + 20]);
    if (p + kEndRecordFixedSize + commentLength == size) return p;
  }
  return last;
}

}  // namespace

// ---------------------------------------------------------------------------
// CRC-32

std::uint32_t UpdateCrc(std::uint32_t runningCrc, const void* buffer, std::size_t count) {
  const auto* p = static_cast<const std::uint8_t*>(buffer);
  const CrcTables& t = kCrcTables;
  std::uint32_t crc = runningCrc;
  for (; count >= 8; count -= 8, p += 8) {
    const std::uint32_t low = crc ^ Load32(p);
    const std::uint32_t high = Load32(p + 4);
    crc = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
          t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^ t[1][(high >> 16) & 0xFF] ^
          t[0][high >> 24];
  }
  for (; count > 0; --count, ++p) crc = t[0][(crc ^ *p) & 0xFF] ^ (crc >> 8);
  return crc;
}

std::uint32_t Crc32Of(const void* buffer, std::size_t count) {
  return ~UpdateCrc(kCrcStart, buffer, count);
}

// ---------------------------------------------------------------------------
// MS-DOS date and time

DosDateTimeParts UnpackDosDateTime(std::uint32_t dosDateTime) {
  DosDateTimeParts parts;
  parts.second = static_cast<int>(dosDateTime & 0x1F) * 2;
  parts.minute = static_cast<int>((dosDateTime >> 5) & 0x3F);
  parts.hour = static_cast<int>((dosDateTime >> 11) & 0x1F);
  parts.day = static_cast<int>((dosDateTime >> 16) & 0x1F);
  parts.month = static_cast<int>((dosDateTime >> 21) & 0x0F);
  parts.year = 1980 + static_cast<int>((dosDateTime >> 25) & 0x7F);
  return parts;
}

std::uint32_t PackDosDateTime(const DosDateTimeParts& parts) {
  const auto field = [](int value, int bits, int shift) {
    return (static_cast<std::uint32_t>(value) & ((1u << bits) - 1)) << shift;
  };
  return field(parts.second / 2, 5, 0) | field(parts.minute, 6, 5) | field(parts.hour, 5, 11) |
         field(parts.day, 5, 16) | field(parts.month, 4, 21) | field(parts.year - 1980, 7, 25);
}

std::uint32_t RepairDosDateTime(std::uint32_t dosDateTime) {
  DosDateTimeParts parts = UnpackDosDateTime(dosDateTime);
  bool clamped = false;
  const auto clamp = [&clamped](int& value, int low, int high) {
    if (value < low || value > high) {
      value = std::clamp(value, low, high);
      clamped = true;
    }
  };
  clamp(parts.hour, 0, 23);
  clamp(parts.minute, 0, 59);
  clamp(parts.second, 0, 59);
  clamp(parts.year, 1980, 2099);
  clamp(parts.month, 1, 12);
  clamp(parts.day, 1, 31);
  return clamped ? PackDosDateTime(parts) : dosDateTime;
}

std::optional<TDateTime> DosDateTimeToDateTime(std::uint32_t dosDateTime) {
  const DosDateTimeParts p = UnpackDosDateTime(dosDateTime);
  if (p.month < 1 || p.month > 12 || p.day < 1 || p.day > DaysInMonth(p.year, p.month)) {
    return std::nullopt;
  }
  if (p.hour > 23 || p.minute > 59 || p.second > 59) return std::nullopt;
  const std::int64_t days = DaysFromCivil(p.year, p.month, p.day) - kDateTimeEpochFrom1970;
  const int seconds = (p.hour * 60 + p.minute) * 60 + p.second;
  return static_cast<TDateTime>(days) + seconds / 86400.0;
}

// ---------------------------------------------------------------------------
// TZipHeaderInfo

void TZipHeaderInfo::SetPath(std::string directory, std::string fileName) {
  const std::uint16_t length = StoredNameLength(directory, fileName);
  directory_ = std::move(directory);
  fileName_ = std::move(fileName);
  FileNameLength = length;
  archivedName_.reset();  // a new name is stored in the engine's own form
}

void TZipHeaderInfo::SetPathAsArchived(std::string directory, std::string fileName,
                                       std::string archivedName) {
  SetPath(std::move(directory), std::move(fileName));
  FileNameLength = static_cast<std::uint16_t>(archivedName.size());
  archivedName_ = std::move(archivedName);
}

void TZipHeaderInfo::SetFileName(std::string_view value) {
  if (value != fileName_) SetPath(directory_, std::string(value));
}

void TZipHeaderInfo::SetDirectory(std::string_view value) {
  std::string directory(value);
  if (!directory.empty() && directory.back() != '\\') directory += '\\';
  if (directory != directory_) SetPath(std::move(directory), fileName_);
}

void TZipHeaderInfo::SetFileComment(std::optional<std::string_view> text) {
  if (text && text->empty()) text.reset();
  if (text) ThrowIfTooLong(text->size(), kMaxCommentLength, "Entry comment");
  fileComment_ = text ? std::optional<std::string>(*text) : std::nullopt;
  FileCommentLength = static_cast<std::uint16_t>(text ? text->size() : 0);
}

std::uint16_t TZipHeaderInfo::FlagsToWrite() const {
  // A name kept as it was read keeps the flag that says how to read it; a
  // name the engine converts is code page 850, never UTF-8.
  if (archivedName_) return GeneralPurposeFlags;
  return static_cast<std::uint16_t>(GeneralPurposeFlags & ~kFlagUtf8);
}

std::int32_t TZipHeaderInfo::LocalHeaderSize() const {
  return kLocalHeaderFixedSize + FileNameLength + LocalExtraLength;
}

std::int32_t TZipHeaderInfo::CentralHeaderSize() const {
  return kCentralHeaderFixedSize + FileNameLength + CentralExtraLength + FileCommentLength;
}

std::string TZipHeaderInfo::StoredName() const {
  if (archivedName_) return *archivedName_;
  std::string path = Path();
  std::replace(path.begin(), path.end(), '\\', '/');
  return platform::Utf8ToOem(path);
}

void TZipHeaderInfo::Assign(const TZipHeaderInfo& source) {
  if (&source == this) return;
  *this = source;
  FileNameLength = archivedName_ ? static_cast<std::uint16_t>(archivedName_->size())
                                 : StoredNameLength(directory_, fileName_);
}

void TZipHeaderInfo::WriteLocalHeader(TStream& stream) {
  const std::string name = StoredName();
  ThrowIfTooLong(name.size(), kMaxNameLength, "File name");
  LocalHeaderOffset = static_cast<std::uint32_t>(stream.Position());
  RecordBuilder record(kLocalHeaderFixedSize + name.size());
  record.U32(kLocalHeaderSignature)
      .U16(VersionNeeded)
      .U16(FlagsToWrite())
      .U16(CompressionMethod)
      .U32(LastModDateTime)
      .U32(Crc32)
      .U32(CompressedSize)
      .U32(UncompressedSize)
      .U16(static_cast<std::uint16_t>(name.size()))
      .U16(LocalExtraLength)
      .Text(name)
      .WriteTo(stream);
}

void TZipHeaderInfo::WriteCentralHeader(TStream& stream) const {
  const std::string name = StoredName();
  ThrowIfTooLong(name.size(), kMaxNameLength, "File name");
  const std::uint16_t commentLength =
      CommentLengthToWrite(fileComment_, FileCommentLength, "The entry comment");
  RecordBuilder record(kCentralHeaderFixedSize + name.size() + commentLength);
  record.U32(kCentralHeaderSignature)
      .U16(VersionMadeBy)
      .U16(VersionNeeded)
      .U16(FlagsToWrite())
      .U16(CompressionMethod)
      .U32(LastModDateTime)
      .U32(Crc32)
      .U32(CompressedSize)
      .U32(UncompressedSize)
      .U16(static_cast<std::uint16_t>(name.size()))
      .U16(0)  // no extra field
      .U16(commentLength)
      .U16(DiskNumberStart)
      .U16(InternalAttributes)
      .U32(ExternalAttributes)
      .U32(LocalHeaderOffset)
      .Text(name)
      .Text(commentLength != 0 ? std::string_view(*fileComment_) : std::string_view())
      .WriteTo(stream);
}

bool TZipHeaderInfo::ReadCentralHeader(TStream& stream) {
  const std::int64_t start = stream.Position();
  std::array<std::uint8_t, kCentralHeaderFixedSize> h{};
  std::string raw;
  if (!ReadExact(stream, h.data(), kCentralHeaderFixedSize) ||
      Load32(&h[0]) != kCentralHeaderSignature || !ReadName(stream, Load16(&h[28]), raw)) {
    stream.SetPosition(start);
    return false;
  }
  const std::uint16_t extraLength = Load16(&h[30]);
  const std::uint16_t commentLength = Load16(&h[32]);
  stream.Seek(extraLength + commentLength, soFromCurrent);

  const std::uint16_t madeBy = Load16(&h[4]);
  const std::uint16_t flags = Load16(&h[8]);
  const bool isOem = (madeBy >> 8) == kHostMsDos && (flags & kFlagUtf8) == 0;
  auto [directory, fileName] = SplitPath(NameFromArchive(raw, isOem));

  VersionMadeBy = madeBy;
  VersionNeeded = Load16(&h[6]);
  GeneralPurposeFlags = flags;
  CompressionMethod = Load16(&h[10]);
  LastModDateTime = RepairDosDateTime(Load32(&h[12]));
  Crc32 = Load32(&h[16]);
  CompressedSize = Load32(&h[20]);
  UncompressedSize = Load32(&h[24]);
  CentralExtraLength = 0;
  FileCommentLength = commentLength;
  DiskNumberStart = Load16(&h[34]);
  InternalAttributes = Load16(&h[36]);
  ExternalAttributes = Load32(&h[38]);
  LocalHeaderOffset = Load32(&h[42]);
  CentralHeaderOffset = static_cast<std::uint32_t>(start);
  SetPathAsArchived(std::move(directory), std::move(fileName), std::move(raw));
  fileComment_.reset();
  WorkingMarks = {};
  return true;
}

bool TZipHeaderInfo::ReadLocalHeader(TStream& stream) {
  const std::int64_t start = stream.Position();
  std::array<std::uint8_t, kLocalHeaderFixedSize> h{};
  std::string raw;
  if (!ReadExact(stream, h.data(), kLocalHeaderFixedSize) ||
      Load32(&h[0]) != kLocalHeaderSignature || !ReadName(stream, Load16(&h[26]), raw)) {
    stream.SetPosition(start);
    return false;
  }
  const std::uint16_t flags = Load16(&h[6]);
  auto [directory, fileName] = SplitPath(NameFromArchive(raw, (flags & kFlagUtf8) == 0));

  VersionMadeBy = 0;
  VersionNeeded = Load16(&h[4]);
  GeneralPurposeFlags = flags;
  CompressionMethod = Load16(&h[8]);
  LastModDateTime = RepairDosDateTime(Load32(&h[10]));
  Crc32 = Load32(&h[14]);
  CompressedSize = Load32(&h[18]);
  UncompressedSize = Load32(&h[22]);
  LocalExtraLength = Load16(&h[28]);
  FileCommentLength = 0;
  DiskNumberStart = 0;
  InternalAttributes = 0;
  ExternalAttributes = 0;
  LocalHeaderOffset = static_cast<std::uint32_t>(start);
  CentralHeaderOffset = 0;
  SetPathAsArchived(std::move(directory), std::move(fileName), std::move(raw));
  fileComment_.reset();
  WorkingMarks = {};
  return true;
}

// ---------------------------------------------------------------------------
// TEndCentral

void TEndCentral::SetArchiveComment(std::optional<std::string_view> text) {
  if (text && text->empty()) text.reset();
  if (text) ThrowIfTooLong(text->size(), kMaxCommentLength, "Archive comment");
  archiveComment_ = text ? std::optional<std::string>(*text) : std::nullopt;
  ArchiveCommentLength = static_cast<std::uint16_t>(text ? text->size() : 0);
}

void TEndCentral::Assign(const TEndCentral& source) {
  if (&source == this) return;
  const bool commentChanged = CommentChanged;
  *this = source;
  CommentChanged = commentChanged;
}

void TEndCentral::WriteEndRecord(TStream& stream) const {
  const std::uint16_t commentLength =
      CommentLengthToWrite(archiveComment_, ArchiveCommentLength, "The archive comment");
  RecordBuilder record(kEndRecordFixedSize + commentLength);
  record.U32(Signature)
      .U16(ThisDiskNumber)
      .U16(CentralDirDisk)
      .U16(EntriesThisDisk)
      .U16(TotalEntries)
      .U32(CentralDirSize)
      .U32(CentralDirOffset)
      .U16(commentLength)
      .Text(commentLength != 0 ? std::string_view(*archiveComment_) : std::string_view())
      .WriteTo(stream);
}

bool TEndCentral::LocateEndRecord(TStream& stream) {
  const std::int64_t start = stream.Position();
  const std::int64_t size = stream.Size();
  if (size < kEndRecordFixedSize) return size == 0;

  const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(kMaxEndRecordSearch, size));
  std::vector<std::uint8_t> tail(static_cast<std::size_t>(n));
  stream.SetPosition(size - n);
  const std::optional<std::int32_t> found =
      ReadExact(stream, tail.data(), n) ? FindEndSignature(tail) : std::nullopt;
  if (!found) {
    stream.SetPosition(start);
    return false;
  }
  const std::uint8_t* r = &tail[static_cast<std::size_t>(*found)];
  ThisDiskNumber = Load16(r + 4);
  CentralDirDisk = Load16(r + 6);
  EntriesThisDisk = Load16(r + 8);
  TotalEntries = Load16(r + 10);
  CentralDirSize = Load32(r + 12);
  CentralDirOffset = Load32(r + 16);
  ArchiveCommentLength = Load16(r + 20);
  ArchiveCommentPos = static_cast<std::int32_t>(size - n + *found + kEndRecordFixedSize);
  archiveComment_.reset();  // a comment loaded before belongs to another record
  stream.SetPosition(ArchiveCommentPos);
  return true;
}

}  // namespace quillo::archive
