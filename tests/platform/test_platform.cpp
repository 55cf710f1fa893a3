#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"
#include "tests/support/files.h"

namespace quillo::platform {
namespace {

// A fresh folder per test, removed with everything in it afterwards.
class TempFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = TempFolder() + "quillo-platform-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr) << std::strerror(errno);
    folder_ = pattern + "/";
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string Path(const std::string& name) const { return folder_ + name; }

  std::string MakeFile(const std::string& name, const std::string& content) const {
    std::ofstream(Path(name), std::ios::binary) << content;
    return Path(name);
  }

  static std::string Content(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
  }

  // Names in the folder, "." and ".." left out.
  std::set<std::string> Names() const {
    std::set<std::string> names;
    for (const auto& item : std::filesystem::directory_iterator(folder_))
      names.insert(item.path().filename().string());
    return names;
  }

  std::string folder_;
};

// One suite per service, each with its own fresh folder.
class attributes_test : public TempFolderTest {};
class copy_test : public TempFolderTest {};
class file_sharing_test : public TempFolderTest {};
class file_system_test : public TempFolderTest {};
class file_test : public TempFolderTest {};
class last_write_time_test : public TempFolderTest {};
class listing_test : public TempFolderTest {};
class rename_test : public TempFolderTest {};
class unique_temp_file_test : public TempFolderTest {};

using quillo::testing::LocalMoment;

std::uint32_t DosStamp(int year, int month, int day, int hour, int minute, int second) {
  return static_cast<std::uint32_t>(((year - 1980) << 25) | (month << 21) | (day << 16) |
                                    (hour << 11) | (minute << 5) | (second / 2));
}

void SetModified(const std::string& path, std::time_t moment) {
  quillo::testing::SetModificationTime(path, moment);
}

std::time_t Modified(const std::string& path) {
  struct stat info {};
  ::stat(path.c_str(), &info);
  return info.st_mtim.tv_sec;
}

mode_t Mode(const std::string& path) {
  struct stat info {};
  ::stat(path.c_str(), &info);
  return info.st_mode & 07777;
}

std::vector<FindData> ListAll(const std::string& folder, const std::string& pattern) {
  std::vector<FindData> entries;
  for (auto listing = OpenListing(folder, pattern); listing->HasEntry(); listing->Next())
    entries.push_back(listing->Entry());
  return entries;
}

std::set<std::string> NamesOf(const std::vector<FindData>& entries) {
  std::set<std::string> names;
  for (const auto& entry : entries) names.insert(entry.name);
  return names;
}

// ---------------------------------------------------------------------------
// Pattern matching

struct PatternCase {
  const char* name;
  const char* pattern;
  bool matches;
};

void PrintTo(const PatternCase& c, std::ostream* out) {
  *out << '"' << c.name << "\" against \"" << c.pattern << '"';
}

class pattern_match_test : public ::testing::TestWithParam<PatternCase> {};

TEST_P(pattern_match_test, matches_as_windows_listing_does) {
  const PatternCase& c = GetParam();
  EXPECT_EQ(posix::MatchesPattern(c.name, c.pattern), c.matches);
}

INSTANTIATE_TEST_SUITE_P(
    table, pattern_match_test,
    ::testing::Values(
        // "*" and "*.*" take every name, dots and names without a dot included.
        PatternCase{"Clientes.ADT", "*", true}, PatternCase{"README", "*.*", true},
        PatternCase{".", "*.*", true}, PatternCase{"..", "*", true}, PatternCase{"", "*", true},
        // Letter case is ignored both ways, for ASCII letters.
        PatternCase{"Clientes.ADT", "*.adt", true}, PatternCase{"clientes.adt", "*.ADT", true},
        PatternCase{"CLIENTES.ADT", "clientes.adt", true},
        PatternCase{"Clientes.ADTX", "*.ADT", false}, PatternCase{"Clientes.AD", "*.ADT", false},
        PatternCase{"ClientesADT", "*.ADT", false},
        // Non-ASCII letters are compared as they are.
        PatternCase{"Ação.ADT", "AÇÃO.ADT", false}, PatternCase{"Ação.ADT", "Ação.adt", true},
        // "?" is exactly one character, a multi-byte one too.
        PatternCase{"a.txt", "?.txt", true}, PatternCase{"ab.txt", "?.txt", false},
        PatternCase{".txt", "?.txt", false}, PatternCase{"ç.txt", "?.txt", true},
        PatternCase{"çç.txt", "??.txt", true}, PatternCase{"çç.txt", "???.txt", false},
        // Stars need backtracking to find the right split.
        PatternCase{"a.b.c.ADT", "*.ADT", true}, PatternCase{"abcabd", "*abd", true},
        PatternCase{"abcab", "*ab*ab", true}, PatternCase{"abcab", "*ab*abd", false},
        PatternCase{"x", "**x**", true}, PatternCase{"CEP_SP.ADT", "CEP_??.ADT", true},
        // A final ".*" also takes a name without that extension.
        PatternCase{"README", "readme.*", true}, PatternCase{"README.txt", "readme.*", true},
        PatternCase{"READMEtxt", "readme.*", false},
        // Without wildcards only the name itself matches; an empty pattern none.
        PatternCase{"Clientes.ADT", "Clientes.ADI", false}, PatternCase{"a", "", false}));

// ---------------------------------------------------------------------------
// Listing

TEST_F(listing_test, gives_dots_first_then_files_and_folders_with_their_data) {
  const std::time_t moment = LocalMoment(2024, 12, 9, 14, 35, 46);
  SetModified(MakeFile("Clientes.ADT", "12345"), moment);
  MakeFile("noext", "");
  ::chmod(MakeFile("locked.ADI", "ab").c_str(), 0444);
  ASSERT_EQ(::mkdir(Path("sub").c_str(), 0755), 0);
  SetModified(Path("sub"), moment);

  const auto entries = ListAll(folder_, "*");
  ASSERT_GE(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, ".");
  EXPECT_EQ(entries[1].name, "..");
  std::map<std::string, FindData> byName;
  for (const auto& entry : entries) byName[entry.name] = entry;
  EXPECT_EQ(NamesOf(entries),
            (std::set<std::string>{".", "..", "Clientes.ADT", "noext", "locked.ADI", "sub"}));

  EXPECT_EQ(byName["."].attributes, kAttrDirectory);
  EXPECT_EQ(byName[".."].attributes, kAttrDirectory);
  EXPECT_EQ(byName["Clientes.ADT"].attributes, kAttrArchive);
  EXPECT_EQ(byName["Clientes.ADT"].size, 5);
  EXPECT_EQ(byName["Clientes.ADT"].lastWriteDos, DosStamp(2024, 12, 9, 14, 35, 46));
  EXPECT_EQ(byName["locked.ADI"].attributes, kAttrArchive | kAttrReadOnly);
  EXPECT_EQ(byName["locked.ADI"].size, 2);
  EXPECT_EQ(byName["noext"].size, 0);
  EXPECT_EQ(byName["sub"].attributes, kAttrDirectory);
  EXPECT_EQ(byName["sub"].size, 0);
  EXPECT_EQ(byName["sub"].lastWriteDos, DosStamp(2024, 12, 9, 14, 35, 46));
}

TEST_F(listing_test, filters_by_pattern_without_regard_to_case) {
  MakeFile("Clientes.ADT", "x");
  MakeFile("produtos.adt", "x");
  MakeFile("Clientes.ADI", "x");
  MakeFile("README", "x");
  ASSERT_EQ(::mkdir(Path("Folder.ADT").c_str(), 0755), 0);

  const std::string withoutDelimiter = folder_.substr(0, folder_.size() - 1);
  for (const std::string& folder : {folder_, withoutDelimiter}) {
    EXPECT_EQ(NamesOf(ListAll(folder, "*.ADT")),
              (std::set<std::string>{"Clientes.ADT", "produtos.adt", "Folder.ADT"}));
    EXPECT_EQ(NamesOf(ListAll(folder, "*.*")),
              (std::set<std::string>{".", "..", "Clientes.ADT", "produtos.adt", "Clientes.ADI",
                                     "README", "Folder.ADT"}));
    EXPECT_EQ(NamesOf(ListAll(folder, "CLIENTES.AD?")),
              (std::set<std::string>{"Clientes.ADT", "Clientes.ADI"}));
    EXPECT_TRUE(ListAll(folder, "*.ADM").empty());
  }
}

TEST_F(listing_test, of_a_missing_folder_or_a_file_has_no_entries) {
  const std::string file = MakeFile("plain", "x");
  for (const std::string& folder : {Path("missing"), file}) {
    auto listing = OpenListing(folder, "*");
    EXPECT_FALSE(listing->HasEntry()) << folder;
    EXPECT_FALSE(listing->Next()) << folder;
    EXPECT_FALSE(listing->HasEntry()) << folder;
  }
}

TEST_F(listing_test, passes_over_a_link_to_nothing) {
  MakeFile("real", "x");
  ASSERT_EQ(::symlink(Path("gone").c_str(), Path("dangling").c_str()), 0);
  EXPECT_EQ(NamesOf(ListAll(folder_, "*")), (std::set<std::string>{".", "..", "real"}));
}

// ---------------------------------------------------------------------------
// Existence, deletion, folders

TEST_F(file_system_test, existence_tells_files_from_folders) {
  const std::string file = MakeFile("file", "x");
  const std::string folder = folder_ + "folder";
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  struct Case {
    std::string path;
    bool file;
    bool folder;
  };
  for (const Case& c :
       {Case{file, true, false}, Case{folder, false, true}, Case{folder + "/", false, true},
        Case{Path("missing"), false, false}, Case{file + "/", false, false}}) {
    EXPECT_EQ(FileExists(c.path), c.file) << c.path;
    EXPECT_EQ(FolderExists(c.path), c.folder) << c.path;
  }
}

TEST_F(file_system_test, delete_removes_files_only) {
  const std::string file = MakeFile("file", "x");
  ASSERT_EQ(::mkdir(Path("folder").c_str(), 0755), 0);
  EXPECT_TRUE(DeleteFile(file));
  EXPECT_FALSE(FileExists(file));
  EXPECT_FALSE(DeleteFile(file));
  EXPECT_FALSE(DeleteFile(Path("folder")));
  EXPECT_TRUE(FolderExists(Path("folder")));
}

TEST_F(file_system_test, create_folders_makes_every_missing_parent) {
  EXPECT_TRUE(CreateFolders(Path("a/b/c")));
  EXPECT_TRUE(FolderExists(Path("a/b/c")));
  EXPECT_TRUE(CreateFolders(Path("a/b/c")));   // already there
  EXPECT_TRUE(CreateFolders(Path("a/x/y/")));  // trailing delimiter
  EXPECT_TRUE(FolderExists(Path("a/x/y")));
  MakeFile("a/file", "x");
  EXPECT_FALSE(CreateFolders(Path("a/file/sub")));  // a file stands in the way
  EXPECT_FALSE(CreateFolders(Path("a/file")));
  EXPECT_FALSE(CreateFolders(""));
}

// ---------------------------------------------------------------------------
// Copy and rename

TEST_F(copy_test, takes_bytes_time_and_read_only_state) {
  const std::string source = MakeFile("source.ADT", std::string(200000, 'q') + "end");
  const std::time_t moment = LocalMoment(2023, 3, 4, 5, 6, 8);
  SetModified(source, moment);
  ::chmod(source.c_str(), 0444);

  std::string error;
  ASSERT_TRUE(CopyFile(source, Path("copy.ADT"), false, &error)) << error;
  EXPECT_EQ(Content(Path("copy.ADT")), Content(source));
  EXPECT_EQ(Modified(Path("copy.ADT")), moment);
  EXPECT_EQ(GetAttributes(Path("copy.ADT")), kAttrArchive | kAttrReadOnly);
  EXPECT_EQ(Names(), (std::set<std::string>{"source.ADT", "copy.ADT"}));
}

TEST_F(copy_test, replaces_an_existing_target_only_when_asked) {
  const std::string source = MakeFile("source", "new bytes");
  const std::string target = MakeFile("target", "old");
  std::string error;
  EXPECT_FALSE(CopyFile(source, target, false, &error));
  EXPECT_EQ(error, std::system_category().message(EEXIST));
  EXPECT_EQ(Content(target), "old");

  error.clear();
  EXPECT_TRUE(CopyFile(source, target, true, &error)) << error;
  EXPECT_EQ(Content(target), "new bytes");
  EXPECT_EQ(Names(), (std::set<std::string>{"source", "target"}));
}

TEST_F(copy_test, failure_leaves_the_target_and_folder_as_they_were) {
  const std::string target = MakeFile("target", "keep me");
  ASSERT_EQ(::mkdir(Path("folder").c_str(), 0755), 0);
  struct Case {
    std::string source;
    int error;
  };
  for (const Case& c : {Case{Path("missing"), ENOENT}, Case{Path("folder"), EISDIR}}) {
    std::string error;
    EXPECT_FALSE(CopyFile(c.source, target, true, &error)) << c.source;
    EXPECT_EQ(error, std::system_category().message(c.error)) << c.source;
    EXPECT_EQ(Content(target), "keep me") << c.source;
    EXPECT_EQ(Names(), (std::set<std::string>{"target", "folder"})) << c.source;
  }
  // A target that is a folder cannot be replaced by a file; no copy stays behind.
  const std::string source = MakeFile("source", "x");
  EXPECT_FALSE(CopyFile(source, Path("folder"), true));
  EXPECT_EQ(Names(), (std::set<std::string>{"target", "folder", "source"}));
  // Into a missing folder, without an error text asked for.
  EXPECT_FALSE(CopyFile(source, Path("nowhere/target"), true));
}

TEST_F(rename_test, refuses_an_existing_target) {
  const std::string from = MakeFile("from", "from");
  const std::string to = MakeFile("to", "to");
  EXPECT_FALSE(RenameFile(from, to));
  EXPECT_EQ(Content(from), "from");
  EXPECT_EQ(Content(to), "to");

  EXPECT_TRUE(RenameFile(from, Path("moved")));
  EXPECT_EQ(Content(Path("moved")), "from");
  EXPECT_FALSE(FileExists(from));
  EXPECT_FALSE(RenameFile(Path("missing"), Path("other")));
}

TEST_F(rename_test, moves_folders_but_not_onto_one) {
  ASSERT_TRUE(CreateFolders(Path("one/inner")));
  ASSERT_TRUE(CreateFolders(Path("two")));
  EXPECT_FALSE(RenameFile(Path("one"), Path("two")));
  EXPECT_TRUE(RenameFile(Path("one"), Path("three")));
  EXPECT_TRUE(FolderExists(Path("three/inner")));
}

// ---------------------------------------------------------------------------
// Temporary files and folders

TEST_F(unique_temp_file_test, is_new_empty_and_named_like_windows) {
  const std::regex shape("VXQ[0-9A-F]{1,4}\\.TMP");
  std::set<std::string> made;
  for (int i = 0; i < 20; ++i) {
    const auto path = CreateUniqueTempFile(folder_, "VXQ");
    ASSERT_TRUE(path.has_value());
    ASSERT_EQ(path->rfind(folder_, 0), 0u) << *path;
    EXPECT_TRUE(std::regex_match(path->substr(folder_.size()), shape)) << *path;
    EXPECT_TRUE(FileExists(*path));
    EXPECT_EQ(Content(*path), "");
    made.insert(*path);
  }
  EXPECT_EQ(made.size(), 20u);
  EXPECT_EQ(Names().size(), 20u);
}

TEST_F(unique_temp_file_test, takes_three_prefix_characters_and_any_folder_form) {
  const std::string withoutDelimiter = folder_.substr(0, folder_.size() - 1);
  const auto longPrefix = CreateUniqueTempFile(withoutDelimiter, "ABCDEF");
  ASSERT_TRUE(longPrefix.has_value());
  EXPECT_TRUE(std::regex_match(*longPrefix, std::regex(".*/ABC[0-9A-F]{1,4}\\.TMP")))
      << *longPrefix;
  const auto shortPrefix = CreateUniqueTempFile(folder_, "Z");
  ASSERT_TRUE(shortPrefix.has_value());
  EXPECT_TRUE(std::regex_match(*shortPrefix, std::regex(".*/Z[0-9A-F]{1,4}\\.TMP")))
      << *shortPrefix;
}

TEST_F(unique_temp_file_test, in_an_unusable_folder_is_nullopt) {
  // The tests may run as root, who can write anywhere; a missing folder and a
  // file posing as a folder cannot be written by anybody.
  EXPECT_FALSE(CreateUniqueTempFile(Path("missing"), "VXQ").has_value());
  EXPECT_FALSE(CreateUniqueTempFile(MakeFile("plain", "x"), "VXQ").has_value());
}

// Restores TMPDIR as it was, whatever a test does to it.
class TmpdirGuard {
 public:
  TmpdirGuard() {
    if (const char* value = std::getenv("TMPDIR")) saved_ = value;
  }
  ~TmpdirGuard() {
    if (saved_) {
      ::setenv("TMPDIR", saved_->c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
  }

 private:
  std::optional<std::string> saved_;
};

TEST(temp_folder_test, comes_from_tmpdir_or_tmp_and_ends_with_delimiter) {
  TmpdirGuard guard;
  ::setenv("TMPDIR", "/var/spool/quillo", 1);
  EXPECT_EQ(TempFolder(), "/var/spool/quillo/");
  ::setenv("TMPDIR", "/var/spool/quillo/", 1);
  EXPECT_EQ(TempFolder(), "/var/spool/quillo/");
  ::setenv("TMPDIR", "", 1);
  EXPECT_EQ(TempFolder(), "/tmp/");
  ::unsetenv("TMPDIR");
  EXPECT_EQ(TempFolder(), "/tmp/");
}

TEST(executable_folder_test, ends_with_delimiter_and_holds_this_program) {
  const std::string folder = ExecutableFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.back(), '/');
  EXPECT_EQ(folder.front(), '/');
  EXPECT_TRUE(FileExists(folder + "platform_tests"));
}

TEST(path_delimiter_test, only_slash_ends_a_folder_part) {
  EXPECT_TRUE(IsPathDelimiter('/'));
  EXPECT_FALSE(IsPathDelimiter('\\'));
  EXPECT_FALSE(IsPathDelimiter(':'));
  EXPECT_EQ(kPathDelimiter, '/');
}

// ---------------------------------------------------------------------------
// Times and attributes

TEST(dos_time_test, converts_local_time_and_clamps_to_the_stamp_range) {
  struct Case {
    std::time_t moment;
    std::uint32_t stamp;
  };
  for (const Case& c : {
           Case{LocalMoment(2024, 12, 9, 14, 35, 46), DosStamp(2024, 12, 9, 14, 35, 46)},
           Case{LocalMoment(2024, 12, 9, 14, 35, 47), DosStamp(2024, 12, 9, 14, 35, 46)},
           Case{LocalMoment(1980, 1, 1, 0, 0, 0), DosStamp(1980, 1, 1, 0, 0, 0)},
           Case{LocalMoment(2000, 2, 29, 23, 59, 59), DosStamp(2000, 2, 29, 23, 59, 58)},
           Case{LocalMoment(2107, 12, 31, 23, 59, 59), DosStamp(2107, 12, 31, 23, 59, 58)},
           Case{LocalMoment(1979, 12, 31, 23, 59, 59), DosStamp(1980, 1, 1, 0, 0, 0)},
           Case{0, DosStamp(1980, 1, 1, 0, 0, 0)},
           Case{-86400 * 365, DosStamp(1980, 1, 1, 0, 0, 0)},
           Case{LocalMoment(2108, 1, 1, 0, 0, 0), DosStamp(2107, 12, 31, 23, 59, 58)},
           Case{std::numeric_limits<std::time_t>::max(), DosStamp(2107, 12, 31, 23, 59, 58)},
           Case{std::numeric_limits<std::time_t>::min(), DosStamp(1980, 1, 1, 0, 0, 0)},
       }) {
    EXPECT_EQ(posix::DosTimeFromUnix(c.moment), c.stamp) << c.moment;
  }
  EXPECT_EQ(posix::kEarliestDosTime, DosStamp(1980, 1, 1, 0, 0, 0));
  EXPECT_EQ(posix::kLatestDosTime, DosStamp(2107, 12, 31, 23, 59, 58));
}

TEST_F(last_write_time_test, of_path_and_open_file_is_a_local_dos_stamp) {
  const std::string file = MakeFile("dated", "x");
  SetModified(file, LocalMoment(2024, 7, 15, 8, 9, 10));
  EXPECT_EQ(LastWriteDosTime(file), DosStamp(2024, 7, 15, 8, 9, 10));
  const auto open = OpenFile(file, File::Access::kRead, File::Share::kDenyNone);
  ASSERT_NE(open, nullptr);
  EXPECT_EQ(LastWriteDosTime(*open), DosStamp(2024, 7, 15, 8, 9, 10));

  SetModified(file, LocalMoment(1975, 6, 1, 12, 0, 0));
  EXPECT_EQ(LastWriteDosTime(file), DosStamp(1980, 1, 1, 0, 0, 0));
  EXPECT_EQ(LastWriteDosTime(*open), DosStamp(1980, 1, 1, 0, 0, 0));
  EXPECT_EQ(LastWriteDosTime(Path("missing")), std::nullopt);
}

TEST_F(attributes_test, follow_type_and_owner_write_permission) {
  const std::string file = MakeFile("file", "x");
  ASSERT_EQ(::mkdir(Path("folder").c_str(), 0755), 0);
  struct Case {
    mode_t mode;
    std::uint32_t attributes;
  };
  for (const Case& c :
       {Case{0644, kAttrArchive}, Case{0200, kAttrArchive},
        Case{0444, kAttrArchive | kAttrReadOnly}, Case{0466, kAttrArchive | kAttrReadOnly}}) {
    ASSERT_EQ(::chmod(file.c_str(), c.mode), 0);
    EXPECT_EQ(GetAttributes(file), c.attributes) << std::oct << c.mode;
  }
  EXPECT_EQ(GetAttributes(Path("folder")), kAttrDirectory);
  EXPECT_EQ(GetAttributes(Path("missing")), kInvalidAttributes);
}

TEST_F(attributes_test, set_applies_the_read_only_bit_to_files_only) {
  const std::string file = MakeFile("file", "x");
  ASSERT_EQ(::chmod(file.c_str(), 0664), 0);
  EXPECT_TRUE(SetAttributes(file, kAttrArchive | kAttrReadOnly));
  EXPECT_EQ(Mode(file), 0444u);
  EXPECT_EQ(GetAttributes(file), kAttrArchive | kAttrReadOnly);
  EXPECT_TRUE(SetAttributes(file, kAttrArchive));
  EXPECT_EQ(Mode(file), 0644u);
  EXPECT_TRUE(SetAttributes(file, 0));  // the archive bit has no POSIX form
  EXPECT_EQ(GetAttributes(file), kAttrArchive);

  ASSERT_EQ(::mkdir(Path("folder").c_str(), 0755), 0);
  EXPECT_TRUE(SetAttributes(Path("folder"), kAttrDirectory | kAttrReadOnly));
  EXPECT_EQ(Mode(Path("folder")), 0755u);
  EXPECT_FALSE(SetAttributes(Path("missing"), kAttrArchive));
  EXPECT_FALSE(SetAttributes(file, kInvalidAttributes));
}

// ---------------------------------------------------------------------------
// Open files

TEST_F(file_test, created_file_reads_writes_seeks_and_sizes) {
  std::string error;
  auto file = CreateFile(Path("data"), &error);
  ASSERT_NE(file, nullptr) << error;
  EXPECT_GE(file->NativeHandle(), 0);
  EXPECT_EQ(file->Write("hello world", 11), 11);
  EXPECT_EQ(file->Size(), 11);
  EXPECT_TRUE(file->FlushToDisk());

  struct SeekCase {
    std::int64_t offset;
    int origin;
    std::int64_t position;
  };
  // Each case starts where the previous one left the file.
  for (const SeekCase& c :
       {SeekCase{6, 0, 6}, SeekCase{-2, 1, 4}, SeekCase{-5, 2, 6}, SeekCase{0, 1, 6},
        SeekCase{20, 0, 20}, SeekCase{-1, 0, -1}, SeekCase{0, 3, -1}, SeekCase{6, 0, 6}}) {
    EXPECT_EQ(file->Seek(c.offset, c.origin), c.position)
        << "offset " << c.offset << " origin " << c.origin;
  }
  char buffer[16] = {};
  EXPECT_EQ(file->Read(buffer, sizeof buffer), 5);
  EXPECT_EQ(std::string(buffer, 5), "world");
  EXPECT_EQ(file->Read(buffer, sizeof buffer), 0);
  EXPECT_EQ(file->Read(buffer, -1), -1);
  EXPECT_EQ(file->Write(buffer, 0), 0);

  EXPECT_EQ(file->Seek(0, 0), 0);
  EXPECT_EQ(file->Write("J", 1), 1);
  file.reset();
  EXPECT_EQ(Content(Path("data")), "Jello world");
}

TEST_F(file_test, create_empties_an_existing_file) {
  MakeFile("data", "old content");
  auto file = CreateFile(Path("data"));
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->Size(), 0);
  EXPECT_EQ(Content(Path("data")), "");
}

TEST_F(file_test, open_keeps_content_and_honours_access) {
  MakeFile("data", "abcdef");
  auto writer = OpenFile(Path("data"), File::Access::kWrite, File::Share::kDenyNone);
  ASSERT_NE(writer, nullptr);
  EXPECT_EQ(writer->Size(), 6);
  char byte;
  EXPECT_EQ(writer->Read(&byte, 1), -1);  // not opened for reading
  EXPECT_EQ(writer->Write("X", 1), 1);
  writer.reset();
  EXPECT_EQ(Content(Path("data")), "Xbcdef");

  auto reader = OpenFile(Path("data"), File::Access::kRead, File::Share::kDenyWrite);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(reader->Write("Y", 1), -1);  // not opened for writing
  EXPECT_EQ(reader->Read(&byte, 1), 1);
  EXPECT_EQ(byte, 'X');
}

TEST_F(file_test, open_refuses_missing_files_and_folders) {
  ASSERT_EQ(::mkdir(Path("folder").c_str(), 0755), 0);
  struct Case {
    std::string path;
    int error;
  };
  for (const Case& c : {Case{Path("missing"), ENOENT}, Case{Path("folder"), EISDIR}}) {
    std::string error;
    EXPECT_EQ(OpenFile(c.path, File::Access::kRead, File::Share::kDenyNone, &error), nullptr);
    EXPECT_EQ(error, std::system_category().message(c.error)) << c.path;
  }
  std::string error;
  EXPECT_EQ(CreateFile(Path("folder"), &error), nullptr);
  EXPECT_EQ(error, std::system_category().message(EISDIR));
  EXPECT_EQ(CreateFile(Path("nowhere/file"), &error), nullptr);
  EXPECT_EQ(error, std::system_category().message(ENOENT));
}

TEST_F(file_test, open_of_a_pipe_without_writer_does_not_hang) {
  ASSERT_EQ(::mkfifo(Path("pipe").c_str(), 0644), 0);
  auto pipe = OpenFile(Path("pipe"), File::Access::kRead, File::Share::kDenyNone);
  ASSERT_NE(pipe, nullptr);
  char byte;
  EXPECT_EQ(pipe->Read(&byte, 1), 0);
}

// Whether a second opener gets in while a first one holds the file, for the
// combinations the archive engine uses and the ones around them.
TEST_F(file_sharing_test, modes_admit_and_refuse_later_openers) {
  using A = File::Access;
  using S = File::Share;
  struct Opener {
    bool create;
    A access;
    S share;
  };
  const Opener create{true, A::kReadWrite, S::kNone};
  const Opener readDenyWrite{false, A::kRead, S::kDenyWrite};
  const Opener readDenyNone{false, A::kRead, S::kDenyNone};
  const Opener readExclusive{false, A::kRead, S::kNone};
  const Opener writeDenyNone{false, A::kWrite, S::kDenyNone};
  const Opener writeDenyWrite{false, A::kReadWrite, S::kDenyWrite};
  struct Case {
    const char* what;
    Opener first;
    Opener second;
    bool admitted;
  };
  const Case cases[] = {
      {"readers denying writers share", readDenyWrite, readDenyWrite, true},
      {"reader denying none joins reader denying writers", readDenyWrite, readDenyNone, true},
      {"reader denying writers joins reader denying none", readDenyNone, readDenyWrite, true},
      {"writer kept off by reader denying writers", readDenyWrite, writeDenyNone, false},
      {"creator kept off by reader denying writers", readDenyWrite, create, false},
      {"writer joins reader denying none", readDenyNone, writeDenyNone, true},
      {"reader kept off by creator", create, readDenyNone, false},
      {"reader denying writers kept off by creator", create, readDenyWrite, false},
      {"second creator kept off", create, create, false},
      {"reader kept off by exclusive reader", readExclusive, readDenyNone, false},
      {"second writer denying writers kept off", writeDenyWrite, writeDenyWrite, false},
      {"reader denying writers kept off by writer denying writers", writeDenyWrite, readDenyWrite,
       false},
  };
  auto open = [&](const Opener& opener, std::string* error) {
    return opener.create ? CreateFile(Path("shared"), error)
                         : OpenFile(Path("shared"), opener.access, opener.share, error);
  };
  for (const Case& c : cases) {
    MakeFile("shared", "contents");
    auto first = open(c.first, nullptr);
    ASSERT_NE(first, nullptr) << c.what;
    std::string error;
    auto second = open(c.second, &error);
    EXPECT_EQ(second != nullptr, c.admitted) << c.what;
    if (!c.admitted) {
      EXPECT_FALSE(error.empty()) << c.what;
      // A refused creator must not have emptied the file on its way.
      if (!c.first.create) {
        EXPECT_EQ(Content(Path("shared")), "contents") << c.what;
      }
    }
    second.reset();
    first.reset();
    // Closing the first opener lets anybody in again.
    EXPECT_NE(open(c.second, nullptr), nullptr) << c.what;
  }
}

// Replaces File's system calls for one test, putting the real ones back after.
class FakeCalls {
 public:
  FakeCalls() : saved_(posix::Calls()) {}
  ~FakeCalls() { posix::Calls() = saved_; }

 private:
  posix::SystemCalls saved_;
};

// Scripted results for the fake write: a positive number takes that many
// bytes (at most what was asked), a negative one fails with that errno.
std::vector<int> g_writeScript;
std::string g_written;
ssize_t ScriptedWrite(int, const void* buffer, size_t count) {
  if (g_writeScript.empty()) return static_cast<ssize_t>(count);
  const int step = g_writeScript.front();
  g_writeScript.erase(g_writeScript.begin());
  if (step < 0) {
    errno = -step;
    return -1;
  }
  const size_t taken = std::min(count, static_cast<size_t>(step));
  g_written.append(static_cast<const char*>(buffer), taken);
  return static_cast<ssize_t>(taken);
}

TEST_F(file_test, write_goes_on_after_partial_writes_and_interruptions) {
  struct Case {
    std::vector<int> script;
    std::int64_t result;
    std::string written;
  };
  const std::string data = "0123456789";
  for (const Case& c : {
           Case{{3, 3, 100}, 10, data}, Case{{-EINTR, 4, -EINTR, 100}, 10, data},
           Case{{4, -ENOSPC}, 4, "0123"},  // full disk after some bytes: short count
           Case{{-ENOSPC}, -1, ""},        // nothing taken at all
           Case{{-EFBIG}, -1, ""},
           Case{{6, 0}, 6, "012345"},  // a write taking nothing must not spin
       }) {
    FakeCalls fake;
    posix::Calls().write = ScriptedWrite;
    g_writeScript = c.script;
    g_written.clear();
    auto file = CreateFile(Path("out"));
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->Write(data.data(), static_cast<std::int64_t>(data.size())), c.result);
    EXPECT_EQ(g_written, c.written);
  }
}

int g_interruptionsLeft = 0;
ssize_t InterruptedRead(int fd, void* buffer, size_t count) {
  if (g_interruptionsLeft > 0) {
    --g_interruptionsLeft;
    errno = EINTR;
    return -1;
  }
  return ::read(fd, buffer, std::min<size_t>(count, 3));  // short reads too
}
int InterruptedFsync(int fd) {
  if (g_interruptionsLeft > 0) {
    --g_interruptionsLeft;
    errno = EINTR;
    return -1;
  }
  return ::fsync(fd);
}

TEST_F(file_test, read_and_flush_retry_interruptions_and_gather_short_reads) {
  MakeFile("in", "abcdefghij");
  FakeCalls fake;
  posix::Calls().read = InterruptedRead;
  posix::Calls().fsync = InterruptedFsync;
  auto file = OpenFile(Path("in"), File::Access::kRead, File::Share::kDenyNone);
  ASSERT_NE(file, nullptr);
  g_interruptionsLeft = 2;
  char buffer[8] = {};
  EXPECT_EQ(file->Read(buffer, 8), 8);
  EXPECT_EQ(std::string(buffer, 8), "abcdefgh");
  EXPECT_EQ(file->Read(buffer, 8), 2);
  g_interruptionsLeft = 2;
  EXPECT_TRUE(file->FlushToDisk());
}

// The real file-size limit: the kernel takes what fits and refuses the rest
// with EFBIG (the signal that would come with it is ignored, as a program that
// wants to report a full disk does).
TEST_F(file_test, write_beyond_the_file_size_limit_returns_a_short_count) {
  const std::string path = Path("limited");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{4096, 4096};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(2);
    auto file = CreateFile(path);
    if (file == nullptr) ::_exit(3);
    const std::vector<char> data(3 * 4096, 'z');
    if (file->Write(data.data(), static_cast<std::int64_t>(data.size())) != 4096) ::_exit(4);
    if (file->Write(data.data(), 1) != -1) ::_exit(5);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(Content(path), std::string(4096, 'z'));
}

}  // namespace
}  // namespace quillo::platform
