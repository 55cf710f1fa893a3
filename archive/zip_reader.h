#pragma once

// The archive component's reader base: it names an archive, opens it, reads
// its central directory into a list of entries and keeps that list current.
// The writer derives from it and relies on it to learn what an existing
// archive holds before updating it.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive/buffer_stream.h"
#include "archive/lists.h"
#include "archive/records.h"

namespace quillo::archive {

// The ordered list of strings behind FilesList, ExcludeList and NoCompressList.
using TStrings = std::vector<std::string>;

enum TIncompleteZipMode : std::uint8_t {
  izAssumeMulti = 0,    // a missing end record means a volume of a set: "Incomplete Zip File"
  izAssumeBad = 1,      // rebuild the directory from the local headers
  izAssumeNotAZip = 2,  // "Not a valid zip file!"
};

// Extraction settings; kept so that code setting them still compiles.
enum class TUZOverwriteMode : std::uint8_t { Prompt, Always, Never, ifNewer, ifOlder };

// Why a file is left out of a zip run.
enum TSkipReason : std::uint8_t {
  srNone = 0,
  srDuplicateName = 1,  // the new archive already holds an entry of that stored name
  srOpenFailed = 2,     // the file cannot be opened
};

// Multi-volume modes; only mmNone is written by this engine.
enum TMultiMode : std::uint8_t { mmNone = 0, mmSpan = 1, mmBlocks = 2 };

// The engine's own messages.
inline constexpr const char* kMsgIndexOutOfRange = "Index %d is out of range";
inline constexpr const char* kMsgIncompleteZip = "Incomplete Zip File";
inline constexpr const char* kMsgNotAZip = "Not a valid zip file!";
inline constexpr const char* kMsgZipNameCanceled = "User canceled setting zip file name.";
inline constexpr const char* kMsgDestDirCanceled = "User canceled Set Desination Directory";

class TZipReader {
 public:
  TZipReader();
  virtual ~TZipReader();
  TZipReader(const TZipReader&) = delete;
  TZipReader& operator=(const TZipReader&) = delete;

  // --- Published settings -------------------------------------------------

  // Any assignment stores 222.
  int ThisVersion() const { return kThisVersion; }
  void SetThisVersion(int /*ignored*/) {}

  const std::string& ZipName() const { return zipName_; }
  // Names the archive without reading or creating it; a different name drops
  // everything known about the previous one. A name ending in "?" would ask
  // the user to choose a file; the engine has no dialogs, so it raises
  // EUserCanceled "User canceled setting zip file name." instead.
  virtual void SetZipName(const std::string& name);

  const std::string& DestDir() const { return destDir_; }
  // Extraction only. "?" would ask for a folder: EUserCanceled here.
  void SetDestDir(const std::string& folder);

  const std::string& RootDir() const { return rootDir_; }
  // A nonempty folder gets a closing delimiter.
  void SetRootDir(const std::string& folder);

  // Order in which Entry() offers the entries; applied when the directory
  // is next read or the writer finishes (see ApplySortMode).
  TZipSortMode SortMode = ByNone;
  TIncompleteZipMode IncompleteZipMode = izAssumeMulti;
  TStrings FilesList;
  bool KeepZipOpen = false;
  // Hand control to the front end (ProcessMessages) during long work.
  bool DoProcessMessages = true;
  bool FlushFilesOnClose = false;
  // Extraction only.
  bool RecreateDirs = false;
  TUZOverwriteMode OverwriteMode = TUZOverwriteMode::Prompt;
  bool DoAll = false;
  bool RetainAttributes = true;
  bool ReplaceReadOnly = false;

  // --- Events (an empty function is not raised) ---------------------------

  std::function<void(TZipReader& sender, TIncompleteZipMode& mode)> OnInCompleteZip;
  std::function<void(TZipReader& sender, std::int32_t nextDisk, std::string& fileName)>
      OnGetNextDisk;
  std::function<void(TZipReader& sender, std::int32_t percent)> OnFilePercentDone;
  std::function<void(TZipReader& sender, std::int32_t percent)> OnTotalPercentDone;
  std::function<void(TZipReader& sender, TSkipReason reason, const std::string& fileName,
                     std::int32_t fileIndex, bool& retry)>
      OnSkippingFile;

  // The front end's message pump: long work calls it so that a window stays
  // responsive. The engine itself knows no window system.
  std::function<void()> ProcessMessages;

  // Copies the settings and events of another reader.
  virtual void Assign(const TZipReader& source);

  // --- The archive --------------------------------------------------------

  // Opens ZipName (others may read it but not write it) and reads its
  // directory unless the one held is current. Raises the file-open error,
  // EIncompleteZip, ENotAZipFile or EBadZipFile.
  void OpenArchive();
  // Releases the archive stream unless KeepZipOpen.
  void CloseArchive();
  // Forgets the archive: stream, entries, end record, and ZipName.
  void ResetArchive();
  void ApplySortMode(TZipSortMode mode);

  std::int32_t EntryCount() const;
  // Entries in the order of SortMode; EListError "Index %d is out of range".
  const TZipHeaderInfo& Entry(std::int32_t index) const;
  // The entry's stamp as a date-time value; now when it names no real day.
  TDateTime EntryDateTime(std::int32_t index) const;
  // Loaded from the archive on first use.
  std::string EntryComment(std::int32_t index);
  void SetEntryComment(std::int32_t index, const std::string& text);
  std::string ArchiveCommentText();
  void SetArchiveCommentText(const std::string& text);

  const TEndCentral& EndRecord() const { return endRecord_; }
  // The archive file's modification date-time when its directory was read
  // or written; 0 when none is held.
  TDateTime ArchiveDate() const { return archiveDate_; }
  bool Busy() const { return busy_; }
  // The directory was rebuilt from the local headers during the last read.
  bool Rebuilt() const { return rebuilt_; }

 protected:
  static constexpr int kThisVersion = 222;

  // Multi-volume state, redirected by the writer to its settings.
  virtual TMultiMode GetMultiMode() const { return multiMode_; }
  virtual void SetMultiMode(TMultiMode mode) { multiMode_ = mode; }
  virtual bool GetCheckDiskLabels() const { return checkDiskLabels_; }
  virtual void SetCheckDiskLabels(bool check) { checkDiskLabels_ = check; }

  // The base setter of ZipName.
  void AssignZipName(const std::string& name);
  void ReadDirectory(TStream& stream);
  bool RebuildFromLocalHeaders();
  // The comment bytes of an entry, from the open archive.
  std::string ReadEntryComment(const TZipHeaderInfo& entry);
  void PumpMessages() {
    if (DoProcessMessages && ProcessMessages) ProcessMessages();
  }
  TZipHeaderInfo& ViewEntry(std::int32_t index) const;
  void ReleaseView();
  void ReleaseEntries();

  // What identifies the version of the archive file whose directory is held:
  // its MS-DOS stamp and its size. The size is compared too because the
  // stamp has a two-second grain, and a directory held for an archive that
  // changed since would send the writer copying from wrong offsets.
  struct ArchiveIdentity {
    std::uint32_t dosTime = 0;
    std::int64_t size = -1;
    bool operator==(const ArchiveIdentity&) const = default;
  };
  ArchiveIdentity IdentityOfOpenArchive();

  std::string zipName_;
  std::string destDir_;
  std::string rootDir_;
  std::unique_ptr<TLFNFileStream> archiveStream_;
  std::unique_ptr<TSortedZip> entryList_;   // physical order, owns the entries
  std::unique_ptr<TSortedZip> sortedView_;  // only when SortMode is not ByNone
  TSortedZip* view_ = nullptr;
  TEndCentral endRecord_;
  TDateTime archiveDate_ = 0;
  ArchiveIdentity archiveIdentity_;
  bool rebuilt_ = false;
  TMultiMode multiMode_ = mmNone;
  bool checkDiskLabels_ = true;
  // A zip run is under way; a second one started from an event handler
  // or the message pump meanwhile is refused.
  bool busy_ = false;
};

// True when two archive names denote the same file name by the platform's
// rule (letter case ignored on Windows, exact elsewhere, where "A.zip" and
// "a.zip" are two files).
bool SameArchiveName(const std::string& a, const std::string& b);

}  // namespace quillo::archive
