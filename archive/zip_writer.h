#pragma once

// The archive writer: creates the archive named by ZipName from the files in
// FilesList, or brings an existing archive up to date through a temporary
// file that replaces it only once it is complete.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "archive/zip_reader.h"

namespace quillo::archive {

class Deflater;
class TLFNFileStream;

// What happens to a listed file that already has an entry in the archive.
enum TZipAction : std::uint8_t {
  zaUpdate = 0,   // replaced when the file is newer than the entry
  zaReplace = 1,  // always replaced
  zaFreshen = 2,  // like zaUpdate, and files without an entry are not added
};

// The two things an update does with an old entry that a listed file names.
enum TUpdateAction : std::uint8_t {
  uaReplacing = 0,  // the entry is about to be replaced by its file
  uaKeeping = 1,    // the entry is carried over: its file is not newer
};

inline constexpr const char* kMsgNotEnoughRoom = "Not enough room to write archive";
inline constexpr const char* kMsgZipCanceled = "User canceled Zip operation";

// Multi-volume settings. Only mmNone is supported; the others are kept so
// that settings made for them still load, and a run refuses them.
class TMultiZipInfo {
 public:
  std::int32_t BlockSize = 1457600;
  std::int32_t FirstBlockSize = 1457600;
  std::int32_t SaveOnFirstDisk = 0;
  bool SaveZipInfoOnFirstDisk = false;
  TMultiMode MultiMode = mmNone;
  bool CheckDiskLabels = true;
  bool WriteDiskLabels = true;

  void Assign(const TMultiZipInfo& source) { *this = source; }
};

class TZipWriter : public TZipReader {
 public:
  TZipWriter();
  ~TZipWriter() override;

  // --- Published settings -------------------------------------------------

  // 0 stores every file; 1 to 9 deflate at that level. Out-of-range values
  // make a run fail rather than write something else.
  int PackLevel = 6;
  bool Recurse = false;
  // After a successful run, delete the files it added or found up to date.
  bool Dispose = false;
  TZipAction ZipAction = zaUpdate;
  bool Store83Names = false;
  // Folder of an update's temporary file; when empty, missing or not
  // writable, the system's temporary folder is used.
  std::string TempPath;
  bool SkipIfArchiveBitNotSet = false;
  bool ResetArchiveBitOnZip = false;
  // Wildcard patterns of files to leave out, and of files to store unpacked.
  TStrings ExcludeList;
  TStrings NoCompressList;
  bool AddDirEntriesOnRecurse = false;
  // Encryption is not supported: a run with a password set fails.
  std::string Password;

  bool StorePaths() const { return storePaths_; }
  // Off also switches RelativePaths and StoreVolumes off.
  void SetStorePaths(bool value);
  bool RelativePaths() const { return relativePaths_; }
  // On also switches StorePaths and Recurse on.
  void SetRelativePaths(bool value);
  bool StoreVolumes() const { return storeVolumes_; }
  // On also switches StorePaths on.
  void SetStoreVolumes(bool value);

  const TMultiZipInfo& MultiZipInfo() const { return multiZipInfo_; }
  void SetMultiZipInfo(const TMultiZipInfo& info) { multiZipInfo_.Assign(info); }

  // --- Events (an empty function is not raised) ---------------------------

  std::function<void(TZipWriter& sender, std::int32_t numFiles, std::int64_t totalBytes,
                     TEndCentral& endCentralRecord, bool& stopNow)>
      OnStartZipInfo;
  std::function<void(TZipWriter& sender, const std::string& fileName, TZipHeaderInfo& zipHeader,
                     bool& skip)>
      OnStartZip;
  std::function<void(TZipWriter& sender, const std::string& fileName, std::int32_t uncompressedSize,
                     std::int32_t compressedSize, std::int32_t currentZipSize)>
      OnEndZip;
  std::function<void(TZipWriter& sender, const std::string& fileName, bool& skip)> OnDisposeFile;
  // Never raised: no operation deletes entries.
  std::function<void(TZipWriter& sender, const std::string& fileName, bool& skip)> OnDeleteEntry;
  std::function<void(TZipWriter& sender, const std::string& fileName)> OnNoSuchFile;
  std::function<void(TZipWriter& sender, std::int32_t fileCount)> OnZipComplete;
  std::function<void(TZipWriter& sender, TUpdateAction action, std::int32_t fileIndex)> OnUpdate;
  // Multi-volume only; never raised.
  std::function<void(TZipWriter& sender, std::int32_t diskNum)> OnPrepareNextDisk;
  std::function<void(TZipWriter& sender, const std::string& fileName)> OnRecursingFile;

  // Copies reader settings from any reader, and the writer's own settings
  // and most events from a writer (OnPrepareNextDisk and OnRecursingFile
  // stay as they are).
  void Assign(const TZipReader& source) override;

  // A different name first writes pending comment changes into the current
  // archive, then forgets it.
  void SetZipName(const std::string& name) override;

  // Creates or updates ZipName from FilesList and returns the number of
  // files compressed into it (new entries and replaced ones). FilesList is
  // empty afterwards. On an error a new archive is deleted and an existing
  // one is left exactly as it was.
  std::int32_t Zip();

 protected:
  TMultiMode GetMultiMode() const override { return multiZipInfo_.MultiMode; }
  void SetMultiMode(TMultiMode mode) override;
  bool GetCheckDiskLabels() const override { return multiZipInfo_.CheckDiskLabels; }
  void SetCheckDiskLabels(bool check) override;

 private:
  struct Run;
  class EntryIo;

  std::int32_t RunZip();
  void RefuseUnsupportedSettings() const;
  void WriteArchive(Run& run);
  void OpenOutput(Run& run);
  void UpdateOldEntries(Run& run);
  void AddListedFiles(Run& run);
  void RecordEntry(Run& run, std::unique_ptr<TZipHeaderInfo> header, const std::string& item);
  void CarryOver(Run& run, std::unique_ptr<TZipHeaderInfo> header);
  void CopyOldEntry(Run& run, TZipHeaderInfo& header);
  void WriteCentralDirectory(Run& run);
  void CloseOutput(Run& run);
  void Finish(Run& run);
  void Fail(Run& run) noexcept;
  void EndRun(Run& run) noexcept;
  std::string CreateTempFile() const;
  void MoveIntoPlace(const std::string& tempFile, const std::string& zipName);
  void DisposeFiles(Run& run);

  // The file list (file_list.cpp).
  void ExpandFilesList(Run& run);
  bool ExpandPlainItem(Run& run, std::string& item);
  void ExpandWildcardItem(Run& run, std::string item);
  bool HasEntryLike(const std::string& item) const;
  std::string ItemKey(const std::string& item) const;

  // One file (add_file.cpp).
  bool AddFile(Run& run, const std::string& name, TZipHeaderInfo& header);
  bool AddFolderEntry(Run& run, const std::string& name, TZipHeaderInfo& header);
  std::unique_ptr<TLFNFileStream> OpenInput(const std::string& name);
  void SetStoredName(const std::string& name, const std::string& root,
                     TZipHeaderInfo& header) const;
  bool IsDuplicateName(Run& run, const std::string& name, TZipHeaderInfo& header);
  void WriteFileData(Run& run, TZipHeaderInfo& header);
  void CompleteLocalHeader(Run& run, TZipHeaderInfo& header);
  std::uint32_t ReadInput(Run& run, std::uint8_t* buffer, std::uint32_t count);
  void WriteOutput(Run& run, const void* buffer, std::uint32_t count);

  bool storePaths_ = false;
  bool relativePaths_ = false;
  bool storeVolumes_ = false;
  TMultiZipInfo multiZipInfo_;
  // Lives with the writer: the compressor's fixed tables are built once;
  // its work buffers exist only during a run.
  std::unique_ptr<Deflater> deflater_;
};

// Matches a name against a list of wildcard patterns: a pattern holding a
// folder delimiter is matched against the whole name, any other against the
// file-name part only. Letter case (A to Z) is ignored; an empty list
// matches nothing.
bool MatchesPatternList(const std::string& name, const TStrings& patterns);

// The key under which an archive entry is matched to a listed file.
std::string EntryKey(const TZipHeaderInfo& entry);

}  // namespace quillo::archive
