#include "archive/zip_reader.h"

#include <array>
#include <cstdio>

#include "archive/errors.h"
#include "archive/names.h"
#include "archive/paths.h"
#include "platform/platform.h"

namespace quillo::archive {
namespace {

// A self-extracting archive starts with a program of at least this size, so
// the search for local headers starts after it.
constexpr std::int64_t kSelfExtractorStubSize = 14000;
// While scanning for local headers, the front end gets control after this
// many bytes that could not start a header.
constexpr std::int32_t kScanBytesPerPump = 10240;
// "Version needed to extract" of a real local header is below 10.0 (its
// upper byte is the major version times ten, divided down to a byte).
constexpr std::uint8_t kMaxVersionNeededHighByte = 10;

std::string FormatIndexMessage(std::int32_t index) {
  char text[64];
  std::snprintf(text, sizeof text, "Index %d is out of range", static_cast<int>(index));
  return text;
}

bool EndsWithExe(const std::string& name) {
  return name.size() >= 4 && LowerAscii(std::string_view(name).substr(name.size() - 4)) == ".exe";
}

std::unique_ptr<TSortedZip> NewEntryList() {
  auto list = std::make_unique<TSortedZip>(dupError, /*ownsObjects=*/true);
  list->SortMode = ByNone;
  return list;
}

TDateTime DateTimeOrNow(std::uint32_t dosTime) {
  return DosDateTimeToDateTime(RepairDosDateTime(dosTime)).value_or(NowAsDateTime());
}

}  // namespace

bool SameArchiveName(const std::string& a, const std::string& b) {
#ifdef _WIN32
  return LowerAscii(a) == LowerAscii(b);
#else
  return a == b;
#endif
}

TZipReader::TZipReader() = default;

TZipReader::~TZipReader() {
  // Never let a failed flush escape a destructor; the reader writes nothing.
  archiveStream_.reset();
}

void TZipReader::Assign(const TZipReader& source) {
  if (&source == this) return;
  SetZipName(source.zipName_);
  destDir_ = source.destDir_;
  rootDir_ = source.rootDir_;
  SortMode = source.SortMode;
  IncompleteZipMode = source.IncompleteZipMode;
  FilesList = source.FilesList;
  KeepZipOpen = source.KeepZipOpen;
  DoProcessMessages = source.DoProcessMessages;
  FlushFilesOnClose = source.FlushFilesOnClose;
  RecreateDirs = source.RecreateDirs;
  OverwriteMode = source.OverwriteMode;
  DoAll = source.DoAll;
  RetainAttributes = source.RetainAttributes;
  ReplaceReadOnly = source.ReplaceReadOnly;
  OnInCompleteZip = source.OnInCompleteZip;
  OnGetNextDisk = source.OnGetNextDisk;
  OnFilePercentDone = source.OnFilePercentDone;
  OnTotalPercentDone = source.OnTotalPercentDone;
  OnSkippingFile = source.OnSkippingFile;
  ProcessMessages = source.ProcessMessages;
}

void TZipReader::SetZipName(const std::string& name) {
  AssignZipName(name);
}

void TZipReader::AssignZipName(const std::string& name) {
  if (SameArchiveName(name, zipName_)) return;
  if (!name.empty() && name.back() == '?') throw EUserCanceled(kMsgZipNameCanceled);
  zipName_ = name;
  ReleaseView();
  ReleaseEntries();
  archiveDate_ = 0;
  archiveIdentity_ = {};
  endRecord_.Clear();
  archiveStream_.reset();
  rebuilt_ = false;
}

void TZipReader::SetDestDir(const std::string& folder) {
  if (folder == "?") throw EUserCanceled(kMsgDestDirCanceled);
  destDir_ = folder;
  if (!destDir_.empty() && platform::IsPathDelimiter(destDir_.back())) destDir_.pop_back();
}

void TZipReader::SetRootDir(const std::string& folder) {
  rootDir_ = folder;
  if (!rootDir_.empty() && !platform::IsPathDelimiter(rootDir_.back())) {
    rootDir_ += platform::kPathDelimiter;
  }
}

TZipReader::ArchiveIdentity TZipReader::IdentityOfOpenArchive() {
  ArchiveIdentity identity;
  platform::File& file = archiveStream_->File();
  identity.dosTime = platform::LastWriteDosTime(file).value_or(0xFFFFFFFF);
  identity.size = file.Size();
  return identity;
}

void TZipReader::OpenArchive() {
  if (!archiveStream_) {
    archiveStream_ = std::make_unique<TLFNFileStream>(zipName_, kModeReadDenyWrite,
                                                      FlushFilesOnClose, ArchiveBufferSize);
  }
  if (!entryList_ || IdentityOfOpenArchive() != archiveIdentity_) ReadDirectory(*archiveStream_);
}

void TZipReader::CloseArchive() {
  if (!KeepZipOpen) archiveStream_.reset();
}

void TZipReader::ResetArchive() {
  archiveStream_.reset();
  ReleaseView();
  ReleaseEntries();
  endRecord_.Clear();
  rebuilt_ = false;
  archiveDate_ = 0;
  archiveIdentity_ = {};
  SetMultiMode(mmNone);
  zipName_.clear();
}

void TZipReader::ReleaseView() {
  sortedView_.reset();
  view_ = entryList_.get();
}

void TZipReader::ReleaseEntries() {
  view_ = nullptr;
  sortedView_.reset();
  entryList_.reset();
}

void TZipReader::ApplySortMode(TZipSortMode mode) {
  sortedView_.reset();
  view_ = entryList_.get();
  if (mode != ByNone && entryList_) {
    sortedView_ = std::make_unique<TSortedZip>(dupAccept, /*ownsObjects=*/false);
    sortedView_->SortMode = mode;
    for (std::int32_t i = 0; i < entryList_->Count(); ++i) sortedView_->Add(entryList_->Get(i));
    view_ = sortedView_.get();
  }
  SortMode = mode;
}

std::int32_t TZipReader::EntryCount() const {
  return entryList_ ? entryList_->Count() : 0;
}

TZipHeaderInfo& TZipReader::ViewEntry(std::int32_t index) const {
  if (view_ == nullptr || index < 0 || index >= view_->Count()) {
    throw EListError(FormatIndexMessage(index));
  }
  return *view_->Get(index);
}

const TZipHeaderInfo& TZipReader::Entry(std::int32_t index) const {
  return ViewEntry(index);
}

TDateTime TZipReader::EntryDateTime(std::int32_t index) const {
  return DosDateTimeToDateTime(ViewEntry(index).LastModDateTime).value_or(NowAsDateTime());
}

std::string TZipReader::EntryComment(std::int32_t index) {
  {
    const TZipHeaderInfo& entry = ViewEntry(index);
    if (entry.FileCommentLength == 0) return {};
    if (entry.FileComment()) return *entry.FileComment();
  }
  OpenArchive();
  try {
    // Opening may have read the directory again, so look the entry up anew.
    TZipHeaderInfo& entry = ViewEntry(index);
    const std::string comment = ReadEntryComment(entry);
    const bool changed = endRecord_.CommentChanged;
    entry.SetFileComment(comment);
    endRecord_.CommentChanged = changed;
  } catch (...) {
    CloseArchive();
    throw;
  }
  CloseArchive();
  return *ViewEntry(index).FileComment();
}

std::string TZipReader::ReadEntryComment(const TZipHeaderInfo& entry) {
  std::array<std::uint8_t, kCentralHeaderFixedSize> header;
  archiveStream_->SetPosition(entry.CentralHeaderOffset);
  archiveStream_->ReadBuffer(header.data(), kCentralHeaderFixedSize);
  const auto nameLength = static_cast<std::int64_t>(header[28] | (header[29] << 8));
  const auto extraLength = static_cast<std::int64_t>(header[30] | (header[31] << 8));
  archiveStream_->Seek(nameLength + extraLength, soFromCurrent);
  std::string comment(entry.FileCommentLength, '\0');
  archiveStream_->ReadBuffer(comment.data(), entry.FileCommentLength);
  return comment;
}

void TZipReader::SetEntryComment(std::int32_t index, const std::string& text) {
  TZipHeaderInfo& entry = ViewEntry(index);
  const bool unchanged = entry.FileComment() ? *entry.FileComment() == text
                                             : text.empty() && entry.FileCommentLength == 0;
  if (unchanged) return;
  entry.SetFileComment(text);
  endRecord_.CommentChanged = true;
}

std::string TZipReader::ArchiveCommentText() {
  if (endRecord_.ArchiveCommentLength == 0) return {};
  if (endRecord_.ArchiveComment()) return *endRecord_.ArchiveComment();
  OpenArchive();
  try {
    std::string comment(endRecord_.ArchiveCommentLength, '\0');
    archiveStream_->SetPosition(endRecord_.ArchiveCommentPos);
    archiveStream_->ReadBuffer(comment.data(), endRecord_.ArchiveCommentLength);
    const bool changed = endRecord_.CommentChanged;
    endRecord_.SetArchiveComment(comment);
    endRecord_.CommentChanged = changed;
  } catch (...) {
    CloseArchive();
    throw;
  }
  CloseArchive();
  return endRecord_.ArchiveComment().value_or(std::string());
}

void TZipReader::SetArchiveCommentText(const std::string& text) {
  if (ArchiveCommentText() == text) return;
  endRecord_.SetArchiveComment(text);
  endRecord_.CommentChanged = true;
}

void TZipReader::ReadDirectory(TStream& stream) {
  archiveIdentity_ = IdentityOfOpenArchive();
  archiveDate_ = DateTimeOrNow(archiveIdentity_.dosTime);
  ReleaseEntries();
  rebuilt_ = false;

  if (endRecord_.LocateEndRecord(stream)) {
    if (endRecord_.ThisDiskNumber != 0) {
      // A volume of a multi-volume set: this engine neither reads nor writes
      // such sets, and treating one volume as the archive would lose data.
      throw EBadZipFile("Multi-volume archives are not supported: " + zipName_);
    }
    SetMultiMode(mmNone);
    if (endRecord_.TotalEntries != 0) stream.SetPosition(endRecord_.CentralDirOffset);
  } else {
    if (OnInCompleteZip) OnInCompleteZip(*this, IncompleteZipMode);
    if (IncompleteZipMode == izAssumeNotAZip) throw ENotAZipFile(kMsgNotAZip);
    if (IncompleteZipMode != izAssumeBad) throw EIncompleteZip(kMsgIncompleteZip);
    if (!RebuildFromLocalHeaders()) {
      ResetArchive();
      throw EBadZipFile(kMsgNotAZip);
    }
  }

  if (!entryList_ || entryList_->Count() == 0) entryList_ = NewEntryList();
  view_ = entryList_.get();

  for (std::int32_t i = 0; i < endRecord_.TotalEntries;) {
    auto header = std::make_unique<TZipHeaderInfo>();
    const bool read = header->ReadCentralHeader(stream);
    if (read && !rebuilt_) {
      try {
        entryList_->Add(header.get());
        header.release();
        ++i;
        continue;
      } catch (const EListError&) {
        // Two central headers claim one local header: trust the data instead.
      }
    } else if (read) {
      std::int32_t index = 0;
      if (entryList_->Find(header.get(), index)) {
        TZipHeaderInfo* listed = entryList_->Get(index);
        const std::uint32_t offset = listed->LocalHeaderOffset;
        listed->Assign(*header);
        listed->LocalHeaderOffset = offset;
      }
      ++i;
      continue;
    } else if (rebuilt_) {
      break;
    } else if (GetMultiMode() != mmNone) {
      ResetArchive();
      throw EBadZipFile(kMsgNotAZip);
    }
    if (!RebuildFromLocalHeaders()) {
      ResetArchive();
      throw EBadZipFile(kMsgNotAZip);
    }
    view_ = entryList_.get();
    i = 0;
  }

  ApplySortMode(SortMode);
}

bool TZipReader::RebuildFromLocalHeaders() {
  if (rebuilt_) return false;
  rebuilt_ = true;
  ReleaseEntries();
  TStream& stream = *archiveStream_;
  std::int64_t candidate = EndsWithExe(zipName_) ? kSelfExtractorStubSize : 0;
  stream.SetPosition(candidate);

  // Look for "PK\3\4" followed by a plausible version. The signature has no
  // repeated prefix, so a byte that breaks a partial match can only start a
  // new one. A rejected candidate resumes the scan at its second byte, so a
  // real header overlapping it is still found.
  std::size_t matched = 0;
  std::int32_t sincePump = 0;
  std::uint8_t byte = 0;
  for (;;) {
    if (stream.Read(&byte, 1) != 1) return false;
    if (byte == kLocalHeaderSignatureBytes[matched]) {
      if (++matched < kLocalHeaderSignatureBytes.size()) continue;
      std::array<std::uint8_t, 2> version{};
      const std::int64_t signatureStart = stream.Position() - 4;
      if (stream.Read(version.data(), 2) == 2 && version[1] < kMaxVersionNeededHighByte) {
        candidate = signatureStart;
        break;
      }
      stream.SetPosition(signatureStart + 1);
      matched = 0;
      continue;
    }
    matched = byte == kLocalHeaderSignatureBytes[0] ? 1 : 0;
    if (matched == 0 && ++sincePump >= kScanBytesPerPump) {
      sincePump = 0;
      PumpMessages();
    }
  }

  stream.SetPosition(candidate);
  entryList_ = NewEntryList();
  view_ = entryList_.get();
  for (;;) {
    auto header = std::make_unique<TZipHeaderInfo>();
    if (!header->ReadLocalHeader(stream)) break;
    std::int64_t skip = std::int64_t{header->LocalExtraLength} + header->CompressedSize;
    if (header->HasDataDescriptor()) skip += 16;
    try {
      entryList_->Add(header.get());
    } catch (const EListError&) {
      break;  // the scan came round to a header it already holds
    }
    header.release();
    stream.Seek(skip, soFromCurrent);
  }

  endRecord_.ThisDiskNumber = 0;
  endRecord_.CentralDirOffset = static_cast<std::uint32_t>(stream.Position());
  endRecord_.TotalEntries = static_cast<std::uint16_t>(entryList_->Count());
  return true;
}

}  // namespace quillo::archive
