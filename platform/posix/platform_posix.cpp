// The POSIX backend of the platform layer. Paths are UTF-8 and go to the
// system unchanged; every descriptor is opened close-on-exec.

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace quillo::platform {

namespace posix {

SystemCalls& Calls() {
  static SystemCalls calls{::read, ::write, ::fsync};
  return calls;
}

namespace {

char FoldAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// The byte length of the character starting at name[i]: a lead byte with its
// continuation bytes, or a single byte when the text is not valid UTF-8 there.
std::size_t CharLength(std::string_view name, std::size_t i) {
  std::size_t length = 1;
  if (static_cast<unsigned char>(name[i]) < 0xC0) return length;
  while (i + length < name.size() && (static_cast<unsigned char>(name[i + length]) & 0xC0) == 0x80)
    ++length;
  return length;
}

// Star matching with one backtrack point: on a mismatch the last star takes
// one more character and matching resumes after it. Linear in practice and
// never recursive, so hostile patterns cannot exhaust the stack.
bool MatchWildcards(std::string_view name, std::string_view pattern) {
  constexpr std::size_t kNoStar = std::string_view::npos;
  std::size_t n = 0, p = 0, starPattern = kNoStar, starName = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starPattern = ++p;
      starName = n;
    } else if (p < pattern.size() && pattern[p] == '?') {
      n += CharLength(name, n);
      ++p;
    } else if (p < pattern.size() && FoldAscii(pattern[p]) == FoldAscii(name[n])) {
      ++n;
      ++p;
    } else if (starPattern != kNoStar) {
      starName += CharLength(name, starName);
      n = starName;
      p = starPattern;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace

bool MatchesPattern(std::string_view name, std::string_view pattern) {
  if (MatchWildcards(name, pattern)) return true;
  // Windows lets a final ".*" match the end of a name without an extension.
  constexpr std::string_view kAnyExtension = ".*";
  return pattern.ends_with(kAnyExtension) &&
         MatchWildcards(name, pattern.substr(0, pattern.size() - kAnyExtension.size()));
}

std::uint32_t DosTimeFromUnix(std::time_t moment) {
  std::tm local{};
  // Only moments whose year does not fit the broken-down form fail here.
  if (localtime_r(&moment, &local) == nullptr)
    return moment < 0 ? kEarliestDosTime : kLatestDosTime;
  const int year = local.tm_year + 1900;
  if (year < 1980) return kEarliestDosTime;
  if (year > 2107) return kLatestDosTime;
  // A leap second (60) would make an invalid stamp; it belongs to minute's end.
  const int second = std::min(local.tm_sec, 59);
  return (static_cast<std::uint32_t>(year - 1980) << 25) |
         (static_cast<std::uint32_t>(local.tm_mon + 1) << 21) |
         (static_cast<std::uint32_t>(local.tm_mday) << 16) |
         (static_cast<std::uint32_t>(local.tm_hour) << 11) |
         (static_cast<std::uint32_t>(local.tm_min) << 5) | static_cast<std::uint32_t>(second / 2);
}

}  // namespace posix

namespace {

std::string ErrorText(int error) {
  return std::system_category().message(error);
}

bool Fail(int error, std::string* text) {
  if (text != nullptr) *text = ErrorText(error);
  return false;
}

std::string WithDelimiter(const std::string& folder) {
  if (folder.empty() || IsPathDelimiter(folder.back())) return folder;
  return folder + kPathDelimiter;
}

// The folder part of a path, delimiter included; empty for a bare name.
std::string FolderOf(const std::string& path) {
  const auto last = path.find_last_of(kPathDelimiter);
  return last == std::string::npos ? std::string() : path.substr(0, last + 1);
}

bool StatPath(const std::string& path, struct stat& info) {
  return ::stat(path.c_str(), &info) == 0;
}

bool EntryExists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

std::uint32_t AttributesOf(const struct stat& info) {
  if (S_ISDIR(info.st_mode)) return kAttrDirectory;
  return (info.st_mode & S_IWUSR) ? kAttrArchive : kAttrArchive | kAttrReadOnly;
}

// Owns a descriptor and closes it once.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Close(); }

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release() { return std::exchange(fd_, -1); }
  // Returns 0, or the errno of a failing close (a delayed write error on some
  // file systems, which a copy must not ignore).
  int Close() {
    if (fd_ < 0) return 0;
    const int result = ::close(std::exchange(fd_, -1));
    return result == 0 ? 0 : errno;
  }

 private:
  int fd_;
};

// ---------------------------------------------------------------------------
// Listing

class PosixListing final : public DirListing {
 public:
  PosixListing(const std::string& folder, std::string pattern)
      : prefix_(WithDelimiter(folder)), pattern_(std::move(pattern)) {
    ReadNames(folder.empty() ? std::string(".") : folder);
    Advance();
  }

  bool HasEntry() const override { return hasEntry_; }
  const FindData& Entry() const override { return entry_; }
  bool Next() override {
    if (hasEntry_) Advance();
    return hasEntry_;
  }

 private:
  // The names are taken at once, "." and ".." first as Windows gives them,
  // so that the order does not depend on where the file system keeps them.
  void ReadNames(const std::string& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return;
    names_ = {".", ".."};
    while (const dirent* item = ::readdir(dir)) {
      const std::string_view name = item->d_name;
      if (name != "." && name != "..") names_.emplace_back(name);
    }
    ::closedir(dir);
  }

  // Moves to the next name that matches and can still be examined; an entry
  // that vanished since the folder was read, or a link to nothing, is passed
  // over because nothing could be done with it.
  void Advance() {
    hasEntry_ = false;
    while (next_ < names_.size()) {
      const std::string& name = names_[next_++];
      if (!posix::MatchesPattern(name, pattern_)) continue;
      struct stat info;
      if (!StatPath(prefix_ + name, info)) continue;
      entry_.name = name;
      entry_.attributes = AttributesOf(info);
      entry_.size = S_ISDIR(info.st_mode) ? 0 : static_cast<std::int64_t>(info.st_size);
      entry_.lastWriteDos = posix::DosTimeFromUnix(info.st_mtim.tv_sec);
      hasEntry_ = true;
      return;
    }
  }

  std::string prefix_;
  std::string pattern_;
  std::vector<std::string> names_;
  std::size_t next_ = 0;
  FindData entry_;
  bool hasEntry_ = false;
};

// ---------------------------------------------------------------------------
// Copying and renaming

// Every byte of the source into the target; 0 or the errno of the failure.
int CopyBytes(int source, int target) {
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const ssize_t got = ::read(source, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno;
    if (got == 0) return 0;
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = ::write(target, buffer.data() + done, static_cast<size_t>(got - done));
      if (put < 0 && errno == EINTR) continue;
      if (put < 0) return errno;
      if (put == 0) return EIO;
      done += put;
    }
  }
}

// Renames without ever replacing an existing `to`; 0 or an errno.
int RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
  // The file system cannot refuse to replace while renaming. A hard link
  // refuses an existing name just as well, and is atomic.
  if (::link(from.c_str(), to.c_str()) == 0) {
    if (::unlink(from.c_str()) == 0) return 0;
    const int error = errno;
    ::unlink(to.c_str());
    return error;
  }
  if (errno == EEXIST) return EEXIST;
  if (errno != EPERM && errno != EOPNOTSUPP && errno != EMLINK) return errno;
  // No hard links here (a folder, or a file system without them): test, then
  // rename. A creator racing between the two can lose its file; nothing
  // better exists on such a file system.
  if (EntryExists(to)) return EEXIST;
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

// Fills an already created temporary file from the source: bytes, permission
// bits and last-write time. 0 or an errno.
int FillCopy(int source, const struct stat& sourceInfo, UniqueFd& copy) {
  if (const int error = CopyBytes(source, copy.Get())) return error;
  if (::fchmod(copy.Get(), sourceInfo.st_mode & 0777) != 0) return errno;
  const timespec times[2] = {{0, UTIME_OMIT}, sourceInfo.st_mtim};
  if (::futimens(copy.Get(), times) != 0) return errno;
  return copy.Close();
}

// ---------------------------------------------------------------------------
// Open files

// POSIX has no mandatory sharing modes. They are mapped to advisory flock()
// locks, which only openers going through this layer (or otherwise using
// flock) respect; other programs can still read and write the file.
//
//   kNone, kDenyRead   exclusive lock held while open (flock cannot deny
//                      readers alone, so kDenyRead is as strict as kNone)
//   kDenyWrite         shared lock for a reader, so several such readers
//                      coexist and writers are refused; exclusive lock for a
//                      writer, who must then be the only writer
//   kDenyNone          no lock held; the open only checks that nobody holds
//                      a lock that excludes it (an exclusive one for a
//                      reader, any for a writer). An opener that denies others
//                      later cannot see such an opener, as it holds nothing.
//
// A lock conflict fails the open. A file system that cannot lock at all (some
// network mounts) opens without the lock, since the lock is advisory anyway.
struct LockPlan {
  int hold = 0;   // flock operation kept for the life of the file, or 0
  int check = 0;  // flock operation taken and dropped at once, or 0
};

LockPlan PlanLock(File::Access access, File::Share share) {
  const bool writes = access != File::Access::kRead;
  switch (share) {
    case File::Share::kDenyWrite:
      return {writes ? LOCK_EX : LOCK_SH, 0};
    case File::Share::kDenyNone:
      return {0, writes ? LOCK_EX : LOCK_SH};
    case File::Share::kNone:
    case File::Share::kDenyRead:
      break;
  }
  return {LOCK_EX, 0};
}

constexpr char kSharingViolation[] =
    "The file is in use by another opener whose sharing mode excludes this access";

// True unless another opener holds a conflicting lock.
bool TakeLock(int fd, int operation) {
  if (operation == 0) return true;
  int result;
  do {
    result = ::flock(fd, operation | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  return result == 0 || errno != EWOULDBLOCK;
}

bool ApplyLockPlan(int fd, const LockPlan& plan) {
  if (!TakeLock(fd, plan.check)) return false;
  if (plan.check != 0) ::flock(fd, LOCK_UN);
  return TakeLock(fd, plan.hold);
}

// Largest count handed to one system call, well inside ssize_t on any system.
constexpr std::int64_t kMaxTransfer = std::int64_t{1} << 30;

class PosixFile final : public File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;
  ~PosixFile() override { ::close(fd_); }

  // Reads until `count` bytes, the end of the file, or an error, so a short
  // count means the end (or a failure after some bytes).
  std::int64_t Read(void* buffer, std::int64_t count) override {
    if (count < 0) return -1;
    auto* bytes = static_cast<char*>(buffer);
    std::int64_t done = 0;
    while (done < count) {
      const auto chunk = static_cast<size_t>(std::min(count - done, kMaxTransfer));
      const ssize_t got = posix::Calls().read(fd_, bytes + done, chunk);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return done > 0 ? done : -1;
      if (got == 0) break;
      done += got;
    }
    return done;
  }

  // Writes until every byte is taken or the system refuses more; a short
  // count is therefore a real failure (a full disk, the file size limit).
  std::int64_t Write(const void* buffer, std::int64_t count) override {
    if (count < 0) return -1;
    const auto* bytes = static_cast<const char*>(buffer);
    std::int64_t done = 0;
    while (done < count) {
      const auto chunk = static_cast<size_t>(std::min(count - done, kMaxTransfer));
      const ssize_t put = posix::Calls().write(fd_, bytes + done, chunk);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return done > 0 ? done : -1;
      done += put;
    }
    return done;
  }

  std::int64_t Seek(std::int64_t offset, int origin) override {
    static constexpr int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    if (origin < 0 || origin > 2) return -1;
    return ::lseek(fd_, offset, kWhence[origin]);
  }

  std::int64_t Size() override {
    struct stat info;
    return ::fstat(fd_, &info) == 0 ? static_cast<std::int64_t>(info.st_size) : -1;
  }

  bool FlushToDisk() override {
    int result;
    do {
      result = posix::Calls().fsync(fd_);
    } while (result != 0 && errno == EINTR);
    return result == 0;
  }

  std::intptr_t NativeHandle() const override { return fd_; }

 private:
  int fd_;
};

std::unique_ptr<File> OpenFailure(int error, std::string* text) {
  Fail(error, text);
  return nullptr;
}

int OpenFlags(File::Access access) {
  switch (access) {
    case File::Access::kWrite:
      return O_WRONLY;
    case File::Access::kReadWrite:
      return O_RDWR;
    case File::Access::kRead:
      break;
  }
  return O_RDONLY;
}

}  // namespace

bool IsPathDelimiter(char c) {
  return c == kPathDelimiter;
}

std::unique_ptr<DirListing> OpenListing(const std::string& folder, const std::string& pattern) {
  return std::make_unique<PosixListing>(folder, pattern);
}

bool FileExists(const std::string& path) {
  struct stat info;
  return StatPath(path, info) && !S_ISDIR(info.st_mode);
}

bool FolderExists(const std::string& path) {
  struct stat info;
  return StatPath(path, info) && S_ISDIR(info.st_mode);
}

// The copy is written to a temporary name beside the target and renamed into
// place, so the target is never truncated before the source has been read
// and a failed copy leaves no partial file behind.
bool CopyFile(const std::string& from, const std::string& to, bool overwrite, std::string* error) {
  if (!overwrite && EntryExists(to)) return Fail(EEXIST, error);
  UniqueFd source(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!source.Valid()) return Fail(errno, error);
  struct stat sourceInfo;
  if (::fstat(source.Get(), &sourceInfo) != 0) return Fail(errno, error);
  if (S_ISDIR(sourceInfo.st_mode)) return Fail(EISDIR, error);
  ::fcntl(source.Get(), F_SETFL, 0);  // blocking again for the data

  std::string temporary = FolderOf(to) + ".quillo-copy-XXXXXX";
  UniqueFd copy(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!copy.Valid()) return Fail(errno, error);
  int result = FillCopy(source.Get(), sourceInfo, copy);
  if (result == 0) {
    result = overwrite ? (::rename(temporary.c_str(), to.c_str()) == 0 ? 0 : errno)
                       : RenameNoReplace(temporary, to);
  }
  if (result == 0) return true;
  ::unlink(temporary.c_str());
  return Fail(result, error);
}

bool DeleteFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0;
}

bool RenameFile(const std::string& from, const std::string& to) {
  return RenameNoReplace(from, to) == 0;
}

bool CreateFolders(const std::string& path) {
  if (path.empty()) return false;
  // Every prefix that ends before a delimiter is a parent to make first.
  for (std::size_t end = path.find(kPathDelimiter, 1); end != std::string::npos;
       end = path.find(kPathDelimiter, end + 1)) {
    const std::string parent = path.substr(0, end);
    if (::mkdir(parent.c_str(), 0777) != 0 && errno != EEXIST && !FolderExists(parent))
      return false;
  }
  ::mkdir(path.c_str(), 0777);
  return FolderExists(path);
}

std::string TempFolder() {
  const char* folder = std::getenv("TMPDIR");
  if (folder == nullptr || *folder == '\0') return "/tmp/";
  return WithDelimiter(folder);
}

// Like GetTempFileName: a 16-bit number in hexadecimal, starting somewhere
// unpredictable and counting up past names that are taken.
std::optional<std::string> CreateUniqueTempFile(const std::string& folder,
                                                const std::string& prefix) {
  constexpr unsigned kNumbers = 0x10000;
  static constexpr char kHex[] = "0123456789ABCDEF";
  const std::string start = WithDelimiter(folder) + prefix.substr(0, 3);
  const auto seed = static_cast<unsigned>(
      std::chrono::steady_clock::now().time_since_epoch().count() ^ (::getpid() * 2654435761u));
  for (unsigned tried = 0; tried < kNumbers; ++tried) {
    const unsigned number = (seed + tried) % kNumbers;
    if (number == 0) continue;  // zero asks Windows for a generated number; never a name
    std::string digits;
    for (unsigned rest = number; rest != 0; rest >>= 4)
      digits.insert(digits.begin(), kHex[rest & 15]);
    std::string path = start + digits + ".TMP";
    int fd;
    do {
      fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
      ::close(fd);
      return path;
    }
    if (errno != EEXIST) return std::nullopt;
  }
  return std::nullopt;
}

// Empty when the system will not say (no /proc), which callers treat as
// "no folder" and fall back from.
std::string ExecutableFolder() {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return {};
    if (static_cast<std::size_t>(length) < buffer.size())
      return FolderOf(std::string(buffer.data(), static_cast<std::size_t>(length)));
    buffer.resize(buffer.size() * 2);
  }
}

std::optional<std::uint32_t> LastWriteDosTime(const std::string& path) {
  struct stat info;
  if (!StatPath(path, info)) return std::nullopt;
  return posix::DosTimeFromUnix(info.st_mtim.tv_sec);
}

std::uint32_t GetAttributes(const std::string& path) {
  struct stat info;
  return StatPath(path, info) ? AttributesOf(info) : kInvalidAttributes;
}

// Only the read-only bit has a POSIX form: the write permission bits. Making
// a file read-only clears all three; making it writable again gives the owner
// write permission back. Folders keep their permissions, because a read-only
// folder on Windows still takes new files while one without write permission
// here would not.
bool SetAttributes(const std::string& path, std::uint32_t attributes) {
  struct stat info;
  if (attributes == kInvalidAttributes || !StatPath(path, info)) return false;
  if (S_ISDIR(info.st_mode)) return true;
  const mode_t mode = info.st_mode & 07777;
  const mode_t wanted =
      (attributes & kAttrReadOnly) ? mode & ~mode_t{S_IWUSR | S_IWGRP | S_IWOTH} : mode | S_IWUSR;
  return wanted == mode || ::chmod(path.c_str(), wanted) == 0;
}

// The file is opened without truncation, locked, and only then emptied, so a
// file that another opener holds keeps its contents when this call fails.
std::unique_ptr<File> CreateFile(const std::string& path, std::string* error) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666));
  if (!fd.Valid()) return OpenFailure(errno, error);
  if (!ApplyLockPlan(fd.Get(), PlanLock(File::Access::kReadWrite, File::Share::kNone))) {
    if (error != nullptr) *error = kSharingViolation;
    return nullptr;
  }
  if (::ftruncate(fd.Get(), 0) != 0) return OpenFailure(errno, error);
  ::fcntl(fd.Get(), F_SETFL, 0);
  return std::make_unique<PosixFile>(fd.Release());
}

// Opened non-blocking so that a named pipe without a writer cannot hang the
// open, then switched back to blocking transfers.
std::unique_ptr<File> OpenFile(const std::string& path, File::Access access, File::Share share,
                               std::string* error) {
  UniqueFd fd(::open(path.c_str(), OpenFlags(access) | O_CLOEXEC | O_NONBLOCK));
  if (!fd.Valid()) return OpenFailure(errno, error);
  struct stat info;
  if (::fstat(fd.Get(), &info) != 0) return OpenFailure(errno, error);
  if (S_ISDIR(info.st_mode)) return OpenFailure(EISDIR, error);
  if (!ApplyLockPlan(fd.Get(), PlanLock(access, share))) {
    if (error != nullptr) *error = kSharingViolation;
    return nullptr;
  }
  ::fcntl(fd.Get(), F_SETFL, 0);
  return std::make_unique<PosixFile>(fd.Release());
}

std::optional<std::uint32_t> LastWriteDosTime(const File& file) {
  struct stat info;
  if (::fstat(static_cast<int>(file.NativeHandle()), &info) != 0) return std::nullopt;
  return posix::DosTimeFromUnix(info.st_mtim.tv_sec);
}

}  // namespace quillo::platform
