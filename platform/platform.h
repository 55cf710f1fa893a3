#pragma once

// The operating-system services the rest of the program needs, behind one
// narrow interface. Everything here takes and returns UTF-8 paths. The POSIX
// backend lives in posix/; a Win32 backend would implement the same header.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace quillo::platform {

// MS-DOS attribute bits, the form in which the archive stores attributes.
inline constexpr std::uint32_t kAttrReadOnly = 0x01;
inline constexpr std::uint32_t kAttrHidden = 0x02;
inline constexpr std::uint32_t kAttrSystem = 0x04;
inline constexpr std::uint32_t kAttrVolumeLabel = 0x08;
inline constexpr std::uint32_t kAttrDirectory = 0x10;
inline constexpr std::uint32_t kAttrArchive = 0x20;
inline constexpr std::uint32_t kInvalidAttributes = 0xFFFFFFFF;

// The character that ends a folder part of a path on this platform.
#ifdef _WIN32
inline constexpr char kPathDelimiter = '\\';
#else
inline constexpr char kPathDelimiter = '/';
#endif

// True for every character that ends a folder part here ("\" and ":" on
// Windows, "/" elsewhere).
bool IsPathDelimiter(char c);

// One entry of a folder listing.
struct FindData {
  std::string name;                // the entry's own name, no folder
  std::uint32_t attributes = 0;    // kAttr* bits
  std::int64_t size = 0;           // bytes; 0 for folders
  std::uint32_t lastWriteDos = 0;  // last-write time, MS-DOS stamp in local time
};

// A folder listing in the manner of FindFirstFile/FindNextFile: every entry,
// folders and "." and ".." included, whose name matches the pattern ("*" and
// "?", letter case ignored; "*.*" and "*" match every name).
class DirListing {
 public:
  virtual ~DirListing() = default;
  // False once the listing has no current entry (or failed to open).
  virtual bool HasEntry() const = 0;
  virtual const FindData& Entry() const = 0;
  // Moves to the next matching entry; false when there is none.
  virtual bool Next() = 0;
};

// Opens a listing of `folder` (with or without a trailing delimiter). A folder
// that cannot be listed gives a listing without entries.
std::unique_ptr<DirListing> OpenListing(const std::string& folder,
                                        const std::string& pattern = "*");

bool FileExists(const std::string& path);    // an existing entry that is not a folder
bool FolderExists(const std::string& path);  // an existing folder

// Copies a file's bytes and last-write time; replaces `to` when overwrite is
// true, fails when it exists otherwise. The text of the failure goes to
// *error when given.
bool CopyFile(const std::string& from, const std::string& to, bool overwrite,
              std::string* error = nullptr);
bool DeleteFile(const std::string& path);
// Renames within one file system; fails when `to` exists.
bool RenameFile(const std::string& from, const std::string& to);
// Creates the folder and every missing parent; true when it exists afterwards.
bool CreateFolders(const std::string& path);

// The system's temporary folder, ending with the path delimiter.
std::string TempFolder();
// Creates a new empty file named prefix (first three characters) + a
// hexadecimal number + ".TMP" in `folder`, exclusively, and returns its path;
// nullopt when no such file can be created there.
std::optional<std::string> CreateUniqueTempFile(const std::string& folder,
                                                const std::string& prefix);
// The folder of the running executable, ending with the path delimiter.
std::string ExecutableFolder();

// Last-write time as an MS-DOS stamp in local time; nullopt when unknown.
std::optional<std::uint32_t> LastWriteDosTime(const std::string& path);
// kAttr* bits of an entry, kInvalidAttributes when it does not exist.
std::uint32_t GetAttributes(const std::string& path);
// Applies the read-only bit (the only one POSIX can keep).
bool SetAttributes(const std::string& path, std::uint32_t attributes);

// An open file, unbuffered. Positions are 64-bit; counts are what one system
// call moves. Errors come back as short counts or -1, never as exceptions.
class File {
 public:
  enum class Access { kRead, kWrite, kReadWrite };
  enum class Share { kNone, kDenyWrite, kDenyRead, kDenyNone };

  virtual ~File() = default;
  virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
  virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
  // origin: 0 from the beginning, 1 from the current position, 2 from the end.
  // Returns the new position, or -1.
  virtual std::int64_t Seek(std::int64_t offset, int origin) = 0;
  virtual std::int64_t Size() = 0;
  // Asks the system to put the file's data on the disk.
  virtual bool FlushToDisk() = 0;
  // The operating system's handle (a descriptor on POSIX).
  virtual std::intptr_t NativeHandle() const = 0;
};

// Creates or empties a file for reading and writing, shared with nobody.
std::unique_ptr<File> CreateFile(const std::string& path, std::string* error = nullptr);
// Opens an existing file without changing it.
std::unique_ptr<File> OpenFile(const std::string& path, File::Access access, File::Share share,
                               std::string* error = nullptr);

// Last-write time of an open file as an MS-DOS stamp in local time.
std::optional<std::uint32_t> LastWriteDosTime(const File& file);

}  // namespace quillo::platform
