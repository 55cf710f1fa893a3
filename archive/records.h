#pragma once

// The archive's records as they lie on disk: the local file header, the
// central directory file header and the end-of-central-directory record, the
// two in-memory records that carry them, the CRC-32 and the MS-DOS date and
// time stamp.
//
// Names and comments are UTF-8 in memory. A name is stored in the archive
// in code page 850 with "/" between its parts; see TZipHeaderInfo.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "archive/stream.h"

namespace quillo::archive {

// Record signatures; little-endian on disk, so each record begins with "PK".
inline constexpr std::uint32_t kLocalHeaderSignature = 0x04034B50;
inline constexpr std::uint32_t kCentralHeaderSignature = 0x02014B50;
inline constexpr std::uint32_t kEndRecordSignature = 0x06054B50;
// The local signature as the bytes of the file, for scanning an archive byte
// by byte when its directory is lost.
inline constexpr std::array<std::uint8_t, 4> kLocalHeaderSignatureBytes = {0x50, 0x4B, 0x03, 0x04};

// Fixed parts of the records; names, extra fields and comments follow them.
inline constexpr std::int32_t kLocalHeaderFixedSize = 30;
inline constexpr std::int32_t kCentralHeaderFixedSize = 46;
inline constexpr std::int32_t kEndRecordFixedSize = 22;
// Names and comments have 16-bit lengths.
inline constexpr std::size_t kMaxNameLength = 65535;
inline constexpr std::size_t kMaxCommentLength = 65535;
// The end record lies within this many bytes of the end of an archive: its
// fixed part plus the longest archive comment.
inline constexpr std::int32_t kMaxEndRecordSearch = kEndRecordFixedSize + 65535;

// General purpose flag bits this engine looks at.
inline constexpr std::uint16_t kFlagEncrypted = 0x0001;
inline constexpr std::uint16_t kFlagDataDescriptor = 0x0008;
// The name and comment are UTF-8 (set by other programs; this engine stores
// code page 850 and never writes the bit).
inline constexpr std::uint16_t kFlagUtf8 = 0x0800;

// The host system in the upper byte of "version made by"; names of MS-DOS
// hosts are in the OEM code page.
inline constexpr std::uint8_t kHostMsDos = 0;

// ---------------------------------------------------------------------------
// CRC-32 of the ZIP format (reflected polynomial 0xEDB88320). The running
// value starts at kCrcStart and is complemented at the end.

inline constexpr std::uint32_t kCrcStart = 0xFFFFFFFF;

// Folds `count` bytes into the running value and returns it. The result is
// that of the byte-at-a-time table method; eight bytes are folded per step.
std::uint32_t UpdateCrc(std::uint32_t runningCrc, const void* buffer, std::size_t count);

// The finished CRC-32 of one block of data.
std::uint32_t Crc32Of(const void* buffer, std::size_t count);

// ---------------------------------------------------------------------------
// MS-DOS date and time: the time in bits 0..15 (seconds / 2, minutes, hours),
// the date in bits 16..31 (day, month, years since 1980).

struct DosDateTimeParts {
  int year = 1980;
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
};

DosDateTimeParts UnpackDosDateTime(std::uint32_t dosDateTime);
// Packs without checking ranges beyond the bit widths; odd seconds round down.
std::uint32_t PackDosDateTime(const DosDateTimeParts& parts);

// Clamps a stamp read from a header into range (hour 23, minute and second
// 59, year 2099, month 1..12, day at least 1). A stamp needing no clamp is
// returned bit for bit; days past the end of their month are left alone.
std::uint32_t RepairDosDateTime(std::uint32_t dosDateTime);

// A date-time value: days since 30 December 1899, the time of day as the
// fraction. Later moments are larger values.
using TDateTime = double;

// The stamp as a date-time value; nullopt when it names no real moment
// (month 0, 31 February, 62 seconds, ...).
std::optional<TDateTime> DosDateTimeToDateTime(std::uint32_t dosDateTime);

// ---------------------------------------------------------------------------
// One archive entry with the fields of its local and central headers.

class TZipHeaderInfo {
 public:
  static constexpr const char* ClassName() { return "TZipHeaderInfo"; }

  std::uint16_t VersionMadeBy = 20;  // upper byte: host system; lower: format version
  std::uint16_t VersionNeeded = 20;
  std::uint16_t GeneralPurposeFlags = 0;
  std::uint16_t CompressionMethod = 8;  // 8 deflated, 0 stored
  std::uint32_t LastModDateTime = 0;    // MS-DOS stamp
  std::uint32_t Crc32 = 0xFFFFFFFF;
  std::uint32_t CompressedSize = 0;
  std::uint32_t UncompressedSize = 0;
  // Bytes of the stored (code page 850) form of Directory + FileName; kept
  // by SetFileName and SetDirectory.
  std::uint16_t FileNameLength = 0;
  std::uint16_t CentralExtraLength = 0;  // central extra fields are skipped, never kept
  std::uint16_t LocalExtraLength = 0;
  std::uint16_t FileCommentLength = 0;  // also while the comment is not loaded
  std::uint16_t DiskNumberStart = 0;
  std::uint16_t InternalAttributes = 1;
  std::uint32_t ExternalAttributes = 0x20;
  std::uint32_t LocalHeaderOffset = 0;
  std::uint32_t CentralHeaderOffset = 0;  // where the central header was read; 0 when new
  // Scratch marks of entry deletion and selection.
  std::array<std::uint8_t, 3> WorkingMarks{};

  const std::string& FileName() const { return fileName_; }
  // Directory part: empty or ending with "\".
  const std::string& Directory() const { return directory_; }
  // Directory followed by FileName.
  std::string Path() const { return directory_ + fileName_; }

  // Both keep FileNameLength; they raise EInvalidArgument, changing nothing,
  // when the stored name would exceed 65535 bytes.
  void SetFileName(std::string_view value);
  // A nonempty value gets a closing "\" when it lacks one.
  void SetDirectory(std::string_view value);

  // The entry comment when loaded; nullopt when not loaded or absent
  // (FileCommentLength tells which).
  const std::optional<std::string>& FileComment() const { return fileComment_; }
  // Stores a copy (none for an absent or empty text) and sets
  // FileCommentLength; raises EInvalidArgument for more than 65535 bytes.
  void SetFileComment(std::optional<std::string_view> text);

  bool HasFileComment() const { return FileCommentLength != 0; }
  bool HasDataDescriptor() const { return (GeneralPurposeFlags & kFlagDataDescriptor) != 0; }
  std::int32_t LocalHeaderSize() const;
  std::int32_t CentralHeaderSize() const;

  // The name as the archive stores it: the bytes it was read with, as long
  // as it has not been renamed, so that entries carried over from other
  // programs' archives keep their names exactly (UTF-8 or Unix bytes
  // included); otherwise "/" for "\" in code page 850.
  std::string StoredName() const;

  // Copies every field of `source`, the comment (loaded or not) included.
  void Assign(const TZipHeaderInfo& source);
  void AssignTo(TZipHeaderInfo& dest) const { dest.Assign(*this); }

  // Records the stream position as LocalHeaderOffset, then writes the fixed
  // part and the name; extra-field bytes are the caller's to write.
  void WriteLocalHeader(TStream& stream);
  // Writes the fixed part, the name and the comment; no extra field.
  // Raises EInvalidArgument when FileCommentLength is nonzero and the comment
  // is not loaded, rather than writing a header its bytes do not match.
  void WriteCentralHeader(TStream& stream) const;

  // Fill the record from the header at the stream position. On success the
  // stream is after the header's comment (central) or name (local); on
  // failure it is back at the start and the record is unchanged.
  bool ReadCentralHeader(TStream& stream);
  bool ReadLocalHeader(TStream& stream);

 private:
  void SetPath(std::string directory, std::string fileName);
  void SetPathAsArchived(std::string directory, std::string fileName, std::string archivedName);
  std::uint16_t FlagsToWrite() const;

  std::string fileName_;
  std::string directory_;
  std::optional<std::string> fileComment_;
  std::optional<std::string> archivedName_;
};

// ---------------------------------------------------------------------------
// The end-of-central-directory record with the archive comment.

class TEndCentral {
 public:
  std::uint32_t Signature = kEndRecordSignature;
  std::uint16_t ThisDiskNumber = 0;
  std::uint16_t CentralDirDisk = 0;
  std::uint16_t EntriesThisDisk = 0;
  std::uint16_t TotalEntries = 0;
  std::uint32_t CentralDirSize = 0;
  std::uint32_t CentralDirOffset = 0;
  std::uint16_t ArchiveCommentLength = 0;  // also while the comment is not loaded
  std::int32_t ArchiveCommentPos = 0;      // where the comment text lies in the archive read
  // A comment of the archive or of an entry changed since the directory was
  // read, so the archive needs rewriting.
  bool CommentChanged = false;

  const std::optional<std::string>& ArchiveComment() const { return archiveComment_; }
  // Stores a copy (none for an absent or empty text) and sets
  // ArchiveCommentLength; raises EInvalidArgument for more than 65535 bytes.
  void SetArchiveComment(std::optional<std::string_view> text);

  void Clear() { *this = TEndCentral(); }
  // Copies every field but CommentChanged, the comment (loaded or not) included.
  void Assign(const TEndCentral& source);
  void AssignTo(TEndCentral& dest) const { dest.Assign(*this); }

  bool HasArchiveComment() const { return ArchiveCommentLength != 0; }
  std::int32_t EndRecordSize() const { return kEndRecordFixedSize + ArchiveCommentLength; }

  // Writes the 22-byte record and the comment. Raises EInvalidArgument when
  // ArchiveCommentLength is nonzero and the comment is not loaded.
  void WriteEndRecord(TStream& stream) const;

  // Finds the end record in the last 65557 bytes of the stream and reads its
  // fields (not the comment text, whose position goes to ArchiveCommentPos).
  // An empty stream is an archive without entries: true, fields unchanged.
  // On success the stream is at the comment; on failure where it was.
  bool LocateEndRecord(TStream& stream);

 private:
  std::optional<std::string> archiveComment_;
};

}  // namespace quillo::archive
