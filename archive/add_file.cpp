// Turning one listed file or folder into one entry of the archive being
// written, and the two routines through which all entry data flows.

#include <ctime>
#include <vector>

#include "archive/deflate/deflate.h"
#include "archive/names.h"
#include "archive/paths.h"
#include "archive/zip_run.h"
#include "archive/zip_writer.h"
#include "platform/platform.h"

namespace quillo::archive {
namespace {

// The store path reads and writes blocks of this size.
constexpr std::uint32_t kStoreBlockSize = 32768;
// InternalAttributes while the data has not been looked at yet; the data
// step replaces it with 0 (binary) or 1 (text).
constexpr std::uint16_t kNotYetClassified = 2;

std::uint32_t NowAsDosDateTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  DosDateTimeParts parts;
  parts.year = local.tm_year + 1900;
  parts.month = local.tm_mon + 1;
  parts.day = local.tm_mday;
  parts.hour = local.tm_hour;
  parts.minute = local.tm_min;
  parts.second = local.tm_sec;
  return PackDosDateTime(parts);
}

}  // namespace

// Hands the compressor's reads and writes to the writer, which keeps the
// CRC-32, the progress events and the full-disk check in one place.
class TZipWriter::EntryIo final : public DeflateIo {
 public:
  EntryIo(TZipWriter& writer, Run& run) : writer_(writer), run_(run) {}
  std::uint32_t ReadInput(std::uint8_t* buffer, std::uint32_t count) override {
    return writer_.ReadInput(run_, buffer, count);
  }
  void WriteOutput(const std::uint8_t* buffer, std::uint32_t count) override {
    writer_.WriteOutput(run_, buffer, count);
  }

 private:
  TZipWriter& writer_;
  Run& run_;
};

std::unique_ptr<TLFNFileStream> TZipWriter::OpenInput(const std::string& name) {
  for (;;) {
    try {
      return std::make_unique<TLFNFileStream>(name, kModeReadDenyNone, false, ArchiveBufferSize);
    } catch (const EStreamError&) {
      bool retry = false;
      if (OnSkippingFile) OnSkippingFile(*this, srOpenFailed, name, -1, retry);
      if (!retry) return nullptr;
    }
  }
}

bool TZipWriter::AddFile(Run& run, const std::string& listedName, TZipHeaderInfo& header) {
  run.fileBytesRead = 0;
  const bool isFolder = EndsWithDelimiter(listedName);
  std::int64_t size = 0;
  if (isFolder) {
    header.LastModDateTime = platform::LastWriteDosTime(listedName.substr(0, listedName.size() - 1))
                                 .value_or(NowAsDosDateTime());
    header.UncompressedSize = header.CompressedSize = header.Crc32 = 0;
    header.CompressionMethod = 0;
    header.InternalAttributes = 0;
  } else {
    if (!platform::FileExists(listedName)) return false;
    header.ExternalAttributes = platform::GetAttributes(listedName);
    run.input = OpenInput(listedName);
    if (!run.input) return false;
  }
  try {
    if (!isFolder) {
      header.LastModDateTime =
          platform::LastWriteDosTime(run.input->File()).value_or(NowAsDosDateTime());
      size = run.input->File().Size();
      if (size > kMaxArchiveSize) {
        throw EInvalidArgument(listedName +
                               " is 2 GiB or larger, more than this archive format holds");
      }
      header.UncompressedSize = static_cast<std::uint32_t>(size);
      run.fileSize = header.UncompressedSize;
    }
    std::string name = listedName;
    std::string root = rootDir_;
    if (Store83Names) {
      name = ShortPathOf(name);
      if (!root.empty()) root = ShortPathOf(root);
    }
    OemRoundTrip(name);
    SetStoredName(name, root, header);
    header.LocalHeaderOffset = static_cast<std::uint32_t>(run.output->Position());
    if (!isFolder) header.InternalAttributes = kNotYetClassified;
    header.DiskNumberStart = 0;

    bool skip = IsDuplicateName(run, name, header);
    if (!skip && OnStartZip) OnStartZip(*this, name, header, skip);
    if (skip) {
      run.totalBytes -= size;
      run.input.reset();
      return false;
    }
    header.WriteLocalHeader(*run.output);
    if (isFolder) {
      if (OnEndZip) OnEndZip(*this, name, 0, 0, 0);
      return true;
    }
    run.runningCrc = kCrcStart;
    WriteFileData(run, header);
    CompleteLocalHeader(run, header);
    run.input.reset();
    if (ResetArchiveBitOnZip) {
      const std::uint32_t attributes = platform::GetAttributes(listedName);
      if (attributes != platform::kInvalidAttributes) {
        platform::SetAttributes(listedName, attributes & ~platform::kAttrArchive);
      }
    }
    if (OnEndZip) {
      OnEndZip(*this, name, static_cast<std::int32_t>(header.UncompressedSize),
               static_cast<std::int32_t>(header.CompressedSize),
               static_cast<std::int32_t>(run.output->Position()));
    }
    return true;
  } catch (...) {
    run.input.reset();
    throw;
  }
}

void TZipWriter::SetStoredName(const std::string& name, const std::string& root,
                               TZipHeaderInfo& header) const {
  header.SetFileName(EndsWithDelimiter(name) ? std::string() : FileNamePart(name));
  if (!storePaths_) return;
  std::string folder = FolderPart(name);
  if (folder.empty()) folder = std::string(1, platform::kPathDelimiter);
  if (folder.size() >= 2 && platform::IsPathDelimiter(folder[folder.size() - 2])) folder.pop_back();
  if (relativePaths_ && !root.empty() && StartsWithIgnoringCase(folder, root)) {
    folder = folder.size() == root.size() ? std::string() : folder.substr(root.size());
  }
  if (!storeVolumes_ && !folder.empty()) {
    folder.erase(0, VolumeLength(folder));
    if (!folder.empty() && platform::IsPathDelimiter(folder[0])) folder.erase(0, 1);
  }
  header.SetDirectory(ToEntrySeparators(folder));
}

bool TZipWriter::IsDuplicateName(Run& run, const std::string& name, TZipHeaderInfo& header) {
  std::int32_t index = 0;
  if (!run.nameIndex->Find(&header, index)) return false;
  bool retry = false;  // asked for, then ignored: the same name cannot be retried
  if (OnSkippingFile) OnSkippingFile(*this, srDuplicateName, name, -1, retry);
  return true;
}

void TZipWriter::WriteFileData(Run& run, TZipHeaderInfo& header) {
  if (PackLevel == 0 || MatchesPatternList(header.FileName(), NoCompressList)) {
    std::vector<std::uint8_t> block(kStoreBlockSize);
    for (std::uint32_t n; (n = ReadInput(run, block.data(), kStoreBlockSize)) != 0;) {
      WriteOutput(run, block.data(), n);
    }
    header.CompressedSize = static_cast<std::uint32_t>(run.fileBytesRead);
    header.CompressionMethod = 0;
    header.InternalAttributes = 0;
  } else {
    EntryIo io(*this, run);
    const DeflateResult result = deflater_->deflate(PackLevel, io);
    header.CompressedSize = static_cast<std::uint32_t>(result.CompressedSize);
    header.CompressionMethod = result.CompressionMethod;
    header.GeneralPurposeFlags |= result.GeneralPurposeFlags;
    if (header.InternalAttributes == kNotYetClassified) {
      header.InternalAttributes = result.InternalAttributes;
    }
  }
  // The bytes actually read, which differ from the size at opening when the
  // file changed meanwhile: the header must describe the data stored.
  header.UncompressedSize = static_cast<std::uint32_t>(run.fileBytesRead);
}

void TZipWriter::CompleteLocalHeader(Run& run, TZipHeaderInfo& header) {
  header.Crc32 = run.runningCrc ^ 0xFFFFFFFF;
  TStream& out = *run.output;
  const std::int64_t end = out.Position();
  out.SetPosition(header.LocalHeaderOffset);
  header.WriteLocalHeader(out);
  out.SetPosition(end);
}

std::uint32_t TZipWriter::ReadInput(Run& run, std::uint8_t* buffer, std::uint32_t count) {
  const std::int32_t n = run.input->Read(buffer, static_cast<std::int32_t>(count));
  if (n <= 0) {
    if (run.input->ReadFailed()) {
      throw EReadError("Could not read " + run.input->FileName() + " to the end");
    }
    return 0;
  }
  run.fileBytesRead += n;
  run.bytesDone += n;
  if (run.fileBytesRead > kMaxArchiveSize) {
    throw EInvalidArgument(run.input->FileName() +
                           " grew to 2 GiB while being read, more than this archive format holds");
  }
  if (OnFilePercentDone) {
    OnFilePercentDone(*this, Percent64(run.fileBytesRead, std::int64_t{run.fileSize}));
  }
  if (OnTotalPercentDone) OnTotalPercentDone(*this, Percent64(run.bytesDone, run.totalBytes));
  run.runningCrc = UpdateCrc(run.runningCrc, buffer, static_cast<std::size_t>(n));
  return static_cast<std::uint32_t>(n);
}

void TZipWriter::WriteOutput(Run& run, const void* buffer, std::uint32_t count) {
  run.output->Write(buffer, static_cast<std::int32_t>(count));
  PumpMessages();
}

}  // namespace quillo::archive
