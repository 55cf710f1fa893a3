#include "archive/zip_writer.h"

#include <algorithm>
#include <filesystem>
#include <vector>

#include "archive/deflate/deflate.h"
#include "archive/names.h"
#include "archive/zip_run.h"
#include "platform/platform.h"

namespace quillo::archive {
namespace {

// Copies of old entries move through a buffer of this size.
constexpr std::int32_t kCopyChunk = 65536;
constexpr std::uint32_t kDataDescriptorSignature = 0x08074B50;
const std::string kTempPrefix = "VXQ";
const std::string kMovedAsideSuffix = "$$$";

bool IsBlank(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) <= 32; });
}

std::unique_ptr<TSortedZip> NewList(TZipSortMode mode, bool owns) {
  auto list = std::make_unique<TSortedZip>(dupError, owns);
  list->SortMode = mode;
  return list;
}

void Store32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

TZipWriter::TZipWriter() : deflater_(std::make_unique<Deflater>()) {}

TZipWriter::~TZipWriter() = default;

void TZipWriter::SetStorePaths(bool value) {
  if (value == storePaths_) return;
  storePaths_ = value;
  if (!value) {
    storeVolumes_ = false;
    relativePaths_ = false;
  }
}

void TZipWriter::SetRelativePaths(bool value) {
  if (value == relativePaths_) return;
  relativePaths_ = value;
  if (value) {
    storePaths_ = true;
    Recurse = true;
  }
}

void TZipWriter::SetStoreVolumes(bool value) {
  if (value == storeVolumes_) return;
  storeVolumes_ = value;
  if (value) storePaths_ = true;
}

void TZipWriter::SetMultiMode(TMultiMode mode) {
  multiZipInfo_.MultiMode = mode;
  TZipReader::SetMultiMode(mode);
}

void TZipWriter::SetCheckDiskLabels(bool check) {
  multiZipInfo_.CheckDiskLabels = check;
  TZipReader::SetCheckDiskLabels(check);
}

void TZipWriter::Assign(const TZipReader& source) {
  TZipReader::Assign(source);
  const auto* writer = dynamic_cast<const TZipWriter*>(&source);
  if (writer == nullptr || writer == this) return;
  PackLevel = writer->PackLevel;
  Recurse = writer->Recurse;
  Dispose = writer->Dispose;
  storePaths_ = writer->storePaths_;
  relativePaths_ = writer->relativePaths_;
  storeVolumes_ = writer->storeVolumes_;
  ZipAction = writer->ZipAction;
  multiZipInfo_.Assign(writer->multiZipInfo_);
  Store83Names = writer->Store83Names;
  TempPath = writer->TempPath;
  SkipIfArchiveBitNotSet = writer->SkipIfArchiveBitNotSet;
  ResetArchiveBitOnZip = writer->ResetArchiveBitOnZip;
  ExcludeList = writer->ExcludeList;
  NoCompressList = writer->NoCompressList;
  AddDirEntriesOnRecurse = writer->AddDirEntriesOnRecurse;
  Password = writer->Password;
  OnStartZip = writer->OnStartZip;
  OnStartZipInfo = writer->OnStartZipInfo;
  OnEndZip = writer->OnEndZip;
  OnDisposeFile = writer->OnDisposeFile;
  OnDeleteEntry = writer->OnDeleteEntry;
  OnNoSuchFile = writer->OnNoSuchFile;
  OnZipComplete = writer->OnZipComplete;
  OnUpdate = writer->OnUpdate;
}

void TZipWriter::SetZipName(const std::string& name) {
  if (SameArchiveName(name, zipName_)) return;
  if (endRecord_.CommentChanged && !IsBlank(zipName_)) {
    // Save the comment changes into the archive they belong to first.
    FilesList.clear();
    Zip();
    endRecord_.CommentChanged = false;
  }
  AssignZipName(name);
}

std::int32_t TZipWriter::Zip() {
  const std::int32_t count = IsBlank(zipName_) ? 0 : RunZip();
  if (OnZipComplete) OnZipComplete(*this, count);
  return count;
}

void TZipWriter::RefuseUnsupportedSettings() const {
  if (PackLevel < 0 || PackLevel > 9) {
    throw EInvalidArgument("PackLevel must be 0 to 9, not " + std::to_string(PackLevel));
  }
  if (multiZipInfo_.MultiMode != mmNone) {
    throw EInvalidArgument("Archives split over several disks or files are not supported");
  }
  if (!Password.empty()) throw EInvalidArgument("Encrypted archives are not supported");
}

std::int32_t TZipWriter::RunZip() {
  if (busy_) throw EInvalidArgument("A zip run is already under way for " + zipName_);
  RefuseUnsupportedSettings();
  Run run;
  busy_ = true;
  run.savedSortMode = SortMode;
  run.savedKeepZipOpen = KeepZipOpen;
  KeepZipOpen = true;
  sortedView_.reset();
  view_ = entryList_.get();
  SortMode = ByNone;
  try {
    if (!FilesList.empty()) ExpandFilesList(run);
    WriteArchive(run);
  } catch (...) {
    Fail(run);
    throw;
  }
  Finish(run);
  return run.count;
}

void TZipWriter::WriteArchive(Run& run) {
  run.updating = platform::FileExists(zipName_);
  if (run.updating) {
    // Read the old archive before anything is created: an unreadable one
    // fails the run with no temporary file made, and its comment is known
    // before the new end record copies it.
    OpenArchive();
  }
  deflater_->AllocateBuffers();
  run.outputName = run.updating ? CreateTempFile() : zipName_;
  run.outputCreated = run.updating;  // the temporary file exists from here on
  OpenOutput(run);
  if (run.updating) UpdateOldEntries(run);
  if (!FilesList.empty()) {
    bool stopNow = false;
    if (OnStartZipInfo) {
      OnStartZipInfo(*this, static_cast<std::int32_t>(FilesList.size()), run.totalBytes, run.newEnd,
                     stopNow);
    }
    if (stopNow) throw EUserCanceled(kMsgZipCanceled);
  }
  AddListedFiles(run);
  WriteCentralDirectory(run);
  CloseOutput(run);
}

std::string TZipWriter::CreateTempFile() const {
  std::vector<std::string> folders;
  if (!TempPath.empty() && platform::FolderExists(TempPath)) folders.push_back(TempPath);
  folders.push_back(platform::TempFolder());
  for (const std::string& folder : folders) {
    if (auto path = platform::CreateUniqueTempFile(folder, kTempPrefix)) return *path;
  }
  throw EFCreateError("Cannot create a temporary file for the archive in " + folders.front());
}

void TZipWriter::OpenOutput(Run& run) {
  run.outputFile = std::make_unique<TLFNFileStream>(run.outputName, kModeCreate, FlushFilesOnClose);
  run.outputCreated = true;
  run.output = std::make_unique<CheckedOutput>(*run.outputFile);
  run.newDirectory = NewList(ByNone, /*owns=*/true);
  run.nameIndex = NewList(ByName, /*owns=*/false);
  run.newEnd.Clear();
  if (run.updating || endRecord_.CommentChanged) {
    if (endRecord_.ArchiveCommentLength != 0 && !endRecord_.ArchiveComment()) {
      ArchiveCommentText();
    }
    run.newEnd.Assign(endRecord_);
    run.newEnd.EntriesThisDisk = 0;
    run.newEnd.TotalEntries = 0;
    run.newEnd.CommentChanged = false;
  }
}

void TZipWriter::UpdateOldEntries(Run& run) {
  // Each listed file's key, computed once; kept in step with FilesList.
  std::vector<std::string> itemKeys;
  itemKeys.reserve(FilesList.size());
  for (const std::string& item : FilesList) itemKeys.push_back(ItemKey(item));
  auto forget = [&](std::size_t index) {
    FilesList.erase(FilesList.begin() + static_cast<std::ptrdiff_t>(index));
    itemKeys.erase(itemKeys.begin() + static_cast<std::ptrdiff_t>(index));
  };
  for (std::int32_t p = 0; p < entryList_->Count(); ++p) {
    const TZipHeaderInfo& entry = *entryList_->Get(p);
    auto header = std::make_unique<TZipHeaderInfo>();
    header->Assign(entry);
    if (entry.FileCommentLength != 0 && !entry.FileComment()) {
      header->SetFileComment(ReadEntryComment(entry));
    }
    const auto match = std::find(itemKeys.begin(), itemKeys.end(), EntryKey(entry));
    if (match == itemKeys.end()) {
      CarryOver(run, std::move(header));
      continue;
    }
    const auto index = static_cast<std::size_t>(match - itemKeys.begin());
    const std::string name = FilesList[index];
    if (ZipAction != zaReplace && !(EntryDateTime(p) < FileDate(name))) {
      if (Dispose) run.disposeList.push_back(name);
      forget(index);
      if (OnUpdate) OnUpdate(*this, uaKeeping, p);
      CarryOver(run, std::move(header));
      continue;
    }
    auto replacement = std::make_unique<TZipHeaderInfo>();
    if (OnUpdate) OnUpdate(*this, uaReplacing, p);
    const bool added = AddFile(run, name, *replacement);
    forget(index);
    if (added) {
      RecordEntry(run, std::move(replacement), name);
    } else {
      // The newer file could not be added after all (gone, unreadable or
      // skipped): keep the old entry rather than lose it.
      std::int32_t found = 0;
      if (!run.nameIndex->Find(header.get(), found)) CarryOver(run, std::move(header));
    }
  }
}

void TZipWriter::AddListedFiles(Run& run) {
  const std::size_t items = FilesList.size();
  for (std::size_t i = 0; i < items; ++i) {
    auto header = std::make_unique<TZipHeaderInfo>();
    const std::string name = FilesList[i];
    if (AddFile(run, name, *header)) RecordEntry(run, std::move(header), name);
  }
}

void TZipWriter::RecordEntry(Run& run, std::unique_ptr<TZipHeaderInfo> header,
                             const std::string& item) {
  if (run.newEnd.TotalEntries >= kMaxEntries) {
    throw EInvalidArgument("An archive holds at most 65535 entries");
  }
  ++run.count;
  ++run.newEnd.EntriesThisDisk;
  ++run.newEnd.TotalEntries;
  run.nameIndex->Add(header.get());
  run.newDirectory->Add(header.release());
  if (Dispose) run.disposeList.push_back(item);
}

void TZipWriter::CarryOver(Run& run, std::unique_ptr<TZipHeaderInfo> header) {
  if (run.newEnd.TotalEntries >= kMaxEntries) {
    throw EInvalidArgument("An archive holds at most 65535 entries");
  }
  CopyOldEntry(run, *header);
  run.nameIndex->Add(header.get());
  run.newDirectory->Add(header.release());
  ++run.newEnd.EntriesThisDisk;
  ++run.newEnd.TotalEntries;
}

void TZipWriter::CopyOldEntry(Run& run, TZipHeaderInfo& header) {
  TStream& in = *archiveStream_;
  std::array<std::uint8_t, kLocalHeaderFixedSize> fixed{};
  in.SetPosition(header.LocalHeaderOffset);
  if (in.Read(fixed.data(), kLocalHeaderFixedSize) != kLocalHeaderFixedSize ||
      fixed[0] != kLocalHeaderSignatureBytes[0] || fixed[1] != kLocalHeaderSignatureBytes[1] ||
      fixed[2] != kLocalHeaderSignatureBytes[2] || fixed[3] != kLocalHeaderSignatureBytes[3]) {
    // Copying from a wrong offset would write garbage into the new archive.
    throw EBadZipFile("Not a valid zip file! No local header for " + header.Path() + " at offset " +
                      std::to_string(header.LocalHeaderOffset));
  }
  const auto nameLength = static_cast<std::int64_t>(fixed[26] | (fixed[27] << 8));
  header.LocalExtraLength = static_cast<std::uint16_t>(fixed[28] | (fixed[29] << 8));
  in.Seek(nameLength, soFromCurrent);
  header.WriteLocalHeader(*run.output);

  std::vector<std::uint8_t>& chunk = run.copyBuffer;
  chunk.resize(kCopyChunk);
  std::int64_t left = std::int64_t{header.LocalExtraLength} + header.CompressedSize;
  while (left > 0) {
    const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(left, kCopyChunk));
    in.ReadBuffer(chunk.data(), n);
    WriteOutput(run, chunk.data(), static_cast<std::uint32_t>(n));
    left -= n;
  }
  if (header.HasDataDescriptor()) {
    // The old descriptor is not copied (its form varies between writers);
    // a flag announcing one must be followed by one, so write it afresh
    // from the directory's values.
    std::array<std::uint8_t, 16> descriptor{};
    Store32(&descriptor[0], kDataDescriptorSignature);
    Store32(&descriptor[4], header.Crc32);
    Store32(&descriptor[8], header.CompressedSize);
    Store32(&descriptor[12], header.UncompressedSize);
    WriteOutput(run, descriptor.data(), descriptor.size());
  }
}

void TZipWriter::WriteCentralDirectory(Run& run) {
  TStream& out = *run.output;
  run.newEnd.CentralDirOffset = static_cast<std::uint32_t>(out.Position());
  run.newEnd.CentralDirDisk = 0;
  for (std::int32_t i = 0; i < run.newDirectory->Count(); ++i) {
    run.newDirectory->Get(i)->WriteCentralHeader(out);
  }
  run.newEnd.CentralDirSize =
      static_cast<std::uint32_t>(out.Position() - run.newEnd.CentralDirOffset);
  run.newEnd.ThisDiskNumber = 0;
  run.newEnd.WriteEndRecord(out);
}

void TZipWriter::CloseOutput(Run& run) {
  deflater_->ReleaseBuffers();
  run.output.reset();
  try {
    run.outputFile->Close();
  } catch (const EStreamError&) {
    throw ENotEnoughRoom(kMsgNotEnoughRoom);
  }
  run.outputFile.reset();
}

void TZipWriter::Finish(Run& run) {
  const std::string name = zipName_;
  if (run.updating) ResetArchive();
  try {
    SetZipName(name);
    if (run.updating) MoveIntoPlace(run.outputName, name);
  } catch (...) {
    EndRun(run);
    throw;
  }
  DisposeFiles(run);

  endRecord_.Assign(run.newEnd);
  endRecord_.CommentChanged = false;
  sortedView_.reset();
  entryList_ = std::move(run.newDirectory);
  view_ = entryList_.get();
  SortMode = ByNone;
  // Remember which version of the file this directory describes, so the
  // next run need not read it again.
  archiveIdentity_.dosTime = platform::LastWriteDosTime(name).value_or(0xFFFFFFFF);
  std::error_code error;
  const auto size = std::filesystem::file_size(name, error);
  archiveIdentity_.size = error ? -1 : static_cast<std::int64_t>(size);
  archiveDate_ =
      DosDateTimeToDateTime(RepairDosDateTime(archiveIdentity_.dosTime)).value_or(NowAsDateTime());
  if (run.savedSortMode == ByName) {
    sortedView_ = std::move(run.nameIndex);
    view_ = sortedView_.get();
    SortMode = ByName;
  } else {
    ApplySortMode(run.savedSortMode);
  }
  EndRun(run);
}

void TZipWriter::Fail(Run& run) noexcept {
  deflater_->ReleaseBuffers();
  run.input.reset();
  run.output.reset();
  run.outputFile.reset();  // best effort; the file is deleted anyway
  run.nameIndex.reset();
  run.newDirectory.reset();
  if (run.outputCreated) platform::DeleteFile(run.outputName);
  try {
    ApplySortMode(run.savedSortMode);
  } catch (...) {
    // Building a view only allocates; the run's own error matters more.
  }
  EndRun(run);
}

void TZipWriter::EndRun(Run& run) noexcept {
  SortMode = run.savedSortMode;
  KeepZipOpen = run.savedKeepZipOpen;
  run.nameIndex.reset();
  CloseArchive();
  busy_ = false;
  FilesList.clear();
}

void TZipWriter::MoveIntoPlace(const std::string& tempFile, const std::string& zipName) {
  // Never a moment without an archive at zipName: the old one moves aside,
  // the new one takes its name, and the old one comes back if that fails.
  const std::string aside = zipName + kMovedAsideSuffix;
  bool moved = false;
  const bool hadOld = platform::FileExists(zipName);
  if (!hadOld || platform::RenameFile(zipName, aside) ||
      (platform::DeleteFile(aside) && platform::RenameFile(zipName, aside))) {
    moved = platform::RenameFile(tempFile, zipName);
    if (!moved && hadOld) platform::RenameFile(aside, zipName);
  }
  if (moved) {
    if (hadOld) platform::DeleteFile(aside);
    platform::DeleteFile(tempFile);
    return;
  }
  // Renaming is not possible (another file system): copy. The copy replaces
  // zipName only once complete, so a failure leaves the old archive.
  std::string error;
  if (!platform::CopyFile(tempFile, zipName, /*overwrite=*/true, &error)) {
    throw EWriteError("Could not copy from " + tempFile + " -> " + zipName + " (" + error +
                      "); the new archive is kept in " + tempFile);
  }
  platform::DeleteFile(tempFile);
}

void TZipWriter::DisposeFiles(Run& run) {
  for (const std::string& file : run.disposeList) {
    bool skip = false;
    if (OnDisposeFile) OnDisposeFile(*this, file, skip);
    if (!skip) platform::DeleteFile(file);
  }
}

}  // namespace quillo::archive
