#include "archive/names.h"
#include "tests/support/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace quillo::archive {
namespace {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// Wildcards

struct WildCase {
  const char* pattern;
  const char* text;
  bool matches;
};

const WildCase kWildCases[] = {
    // Stars and dots
    {"*.TXT", "readme.txt", true},
    {"*.*", "readme", false},  // the dot is an ordinary character
    {"*.*", "readme.", true},
    {"*", "", true},
    {"*", "anything at all", true},
    {"", "", true},
    {"", "a", false},
    {"a*", "a", true},
    {"a**", "a", false},  // two trailing stars need text
    {"a**", "ab", true},
    {"x*y*z", "xaybz", true},
    {"x*y*z", "xaybzq", false},
    {"*.adt", "CEPSP.ADT", true},
    {"cep*.adt", "CEPSP.ADI", false},
    {"noext.*", "noext.", true},
    // Question marks
    {"?", "", false},
    {"?", "a", true},
    {"a?c", "ac", false},
    {"a?c", "abc", true},
    {"*?", "a", false},  // the question mark after a star wants text beyond it
    {"*?", "ab", true},
    // Sets
    {"<a-c>x", "bx", true},
    {"<a-c>x", "dx", false},
    {"<!a-c>x", "bx", false},
    {"<^a-c>x", "dx", true},
    {"a<b-dx>e", "axe", true},
    {"<c-a>", "b", false},  // a range ending below its start holds nothing
    {"<a->", "-", true},    // a "-" before ">" is a member of its own
    {"<>", "a", false},     // empty set: malformed
    {"<>x", "x", false},
    {"<!>", "a", false},
    {"<a-c", "a", false},  // unclosed set: malformed
    {"<a-c", "d", false},
    // Star sets
    {"*<0-9>", "123", true},
    {"*<0-9>", "12a", false},
    {"*<0-9>", "", false},
    {"*<9-0>", "1", false},  // empty star set
    {"*<0-9", "1", false},   // unclosed star set
    {"*<!0-9>", "abc", true},
    {"*<!0-9>", "ab1", false},
    {"*<0-9>a", "12a", true},
    {"*<0-9>a", "1xa", false},
    // The star set holds only until the rest of the pattern is first tried.
    {"*<0-9>a", "1a2a", true},
    // Letter case: A to Z only
    {"ABC", "abc", true},
    {"abc", "ABC", true},
    {"\xC3\x89*",
     "\xC3\xA9"
     "a",
     false},  // É is not folded to é
    {"\xC3\xA9?",
     "\xC3\xA9"
     "a",
     true},
    // A question mark takes one whole character, an accented one too
    {"?", "\xC3\xA7", true},
    {"relat?rio.adt", "relat\xC3\xB3rio.ADT", true},
    {"<\xC3\xA0-\xC3\xBF>", "\xC3\xA7", true},  // a range over accented letters
    // Other characters are literal
    {"a\\b", "a\\b", true},
    {"c:x", "c:x", true},
    {"a.b", "a_b", false},
};

TEST(wildcard_test, match_table) {
  for (const WildCase& c : kWildCases) {
    EXPECT_EQ(WildMatch(c.pattern, c.text), c.matches)
        << "pattern \"" << c.pattern << "\" text \"" << c.text << "\"";
  }
}

TEST(wildcard_test, many_stars_against_a_long_name_finish) {
  // Tried naively, every star would try every position: 300^9 attempts.
  const std::string name(300, 'a');
  EXPECT_FALSE(WildMatch("*a*a*a*a*a*a*a*a*b", name));
  EXPECT_TRUE(WildMatch("*a*a*a*a*a*a*a*a*a", name));
  EXPECT_FALSE(WildMatch("*<a>*<a>*<a>*<a>*<a>*b", name));
}

TEST(wildcard_test, has_wildcards_knows_all_five_characters) {
  for (const char* text : {"a*b", "a?b", "a<b", "a>b", "a|b", "|x", ">x"}) {
    EXPECT_TRUE(HasWildcards(text)) << text;
  }
  for (const char* text : {"", "plain.txt", "C:\\folder\\file.adt", "a-b[c]!^"}) {
    EXPECT_FALSE(HasWildcards(text)) << text;
  }
}

// ---------------------------------------------------------------------------
// Folder search

class dir_search_test : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = (fs::temp_directory_path() /
             ("quillo_names_" + std::to_string(::getpid()) + "_" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name()))
                .string();
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  // Creates a file of `size` bytes at root/relative.
  void MakeFile(const std::string& relative, std::size_t size) {
    const fs::path path = fs::path(root_) / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << std::string(size, 'x');
  }
  void MakeFolder(const std::string& relative) {
    fs::create_directories(fs::path(root_) / relative);
  }

  std::string Path(const std::string& relative) const { return root_ + "/" + relative; }

  struct Found {
    std::vector<std::string> paths;
    std::map<std::string, std::int64_t> sizes;  // files only
  };

  static Found RunSearch(const std::string& folder, const std::string& pattern, bool recurse) {
    Found found;
    TDirSearch search(folder, pattern, recurse);
    for (;;) {
      std::int64_t size = -7;
      const std::string path = search.NextEntry(size);
      if (path.empty()) break;
      found.paths.push_back(path);
      if (path.back() == '/') {
        EXPECT_EQ(size, -7) << "a folder must leave the size alone: " << path;
      } else {
        found.sizes[path] = size;
      }
    }
    EXPECT_EQ(search.OpenListings(), 0u);
    std::int64_t size = 0;
    EXPECT_EQ(search.NextEntry(size), "");  // asking again stays finished
    return found;
  }

  // Depth-first order: every folder is followed at once by everything below
  // it, which therefore comes before the later entries of its parent.
  static void ExpectFoldersPrecedeTheirContents(const std::vector<std::string>& paths) {
    for (std::size_t i = 0; i < paths.size(); ++i) {
      const std::string& folder = paths[i];
      if (folder.back() != '/') continue;
      std::size_t end = i + 1;
      while (end < paths.size() && paths[end].starts_with(folder)) ++end;
      for (std::size_t k = end; k < paths.size(); ++k) {
        EXPECT_FALSE(paths[k].starts_with(folder)) << paths[k] << " is apart from " << folder;
      }
      for (std::size_t k = 0; k < i; ++k) {
        EXPECT_FALSE(paths[k].starts_with(folder)) << paths[k] << " came before " << folder;
      }
    }
  }

  static std::set<std::string> AsSet(const std::vector<std::string>& paths) {
    const std::set<std::string> set(paths.begin(), paths.end());
    EXPECT_EQ(set.size(), paths.size()) << "a path was delivered twice";
    return set;
  }

  void MakeSmallTree() {
    MakeFile("a.txt", 11);
    MakeFile("noext", 12);
    MakeFile(".hiddenfile", 13);
    MakeFile("sub1/b.txt", 14);
    MakeFile("sub1/deep/c.dat", 15);
    MakeFile("sub2/d", 16);
    MakeFile("sub2/e.TXT", 17);
    MakeFile(".hidden/f.txt", 18);
    MakeFolder("empty");
  }

  std::string root_;
};

TEST_F(dir_search_test, recursive_search_walks_depth_first_and_skips_dot_folders) {
  MakeSmallTree();
  const Found found = RunSearch(root_, "*", true);
  EXPECT_EQ(
      AsSet(found.paths),
      (std::set<std::string>{Path("a.txt"), Path("noext"), Path(".hiddenfile"), Path("sub1/"),
                             Path("sub1/b.txt"), Path("sub1/deep/"), Path("sub1/deep/c.dat"),
                             Path("sub2/"), Path("sub2/d"), Path("sub2/e.TXT"), Path("empty/")}));
  ExpectFoldersPrecedeTheirContents(found.paths);
  EXPECT_EQ(found.sizes.at(Path("a.txt")), 11);
  EXPECT_EQ(found.sizes.at(Path("sub1/deep/c.dat")), 15);
  EXPECT_EQ(found.sizes.at(Path("sub2/d")), 16);
}

TEST_F(dir_search_test, search_without_recursion_delivers_only_the_folders_own_files) {
  MakeSmallTree();
  const Found found = RunSearch(root_ + "/", "*", false);
  EXPECT_EQ(AsSet(found.paths),
            (std::set<std::string>{Path("a.txt"), Path("noext"), Path(".hiddenfile")}));
}

TEST_F(dir_search_test, patterns_filter_file_names) {
  MakeSmallTree();
  struct Case {
    const char* pattern;
    bool recurse;
    std::set<std::string> files;  // folders are not listed here
  };
  const Case cases[] = {
      {"*.", false, {"noext"}},
      {"*.", true, {"noext", "sub2/d"}},
      {"*.txt", true, {"a.txt", "sub1/b.txt", "sub2/e.TXT"}},
      {"*.TXT", false, {"a.txt"}},
      {"noext.*", false, {"noext"}},
      {"?.*", true, {"a.txt", "sub1/b.txt", "sub1/deep/c.dat", "sub2/d", "sub2/e.TXT"}},
      {"*.zip", true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.pattern) + (c.recurse ? " recursive" : ""));
    const Found found = RunSearch(root_, c.pattern, c.recurse);
    std::set<std::string> files;
    for (const std::string& path : found.paths) {
      if (path.back() == '/') {
        EXPECT_TRUE(c.recurse) << "folder without recursion: " << path;
      } else {
        EXPECT_TRUE(fs::is_regular_file(path)) << path;
        files.insert(path.substr(root_.size() + 1));
      }
    }
    EXPECT_EQ(files, c.files);
    ExpectFoldersPrecedeTheirContents(found.paths);
  }
}

TEST_F(dir_search_test, name_ending_with_a_dot_keeps_it) {
  MakeFile("dotted.", 3);
  const Found found = RunSearch(root_, "*", false);
  ASSERT_EQ(found.paths, std::vector<std::string>{Path("dotted.")});
  EXPECT_TRUE(fs::is_regular_file(found.paths[0]));
}

TEST_F(dir_search_test, missing_folder_yields_nothing) {
  const Found found = RunSearch(Path("no such folder"), "*", true);
  EXPECT_TRUE(found.paths.empty());
}

TEST_F(dir_search_test, empty_folder_means_the_current_folder) {
  MakeFile("here.txt", 1);
  MakeFile("sub/there.txt", 1);
  const fs::path previous = fs::current_path();
  fs::current_path(root_);
  const Found found = RunSearch("", "*.txt", true);
  fs::current_path(previous);
  EXPECT_EQ(AsSet(found.paths), (std::set<std::string>{"here.txt", "sub/", "sub/there.txt"}));
}

std::string DeepFolder(int levels) {
  std::string relative;
  for (int level = 0; level < levels; ++level) relative += "level" + std::to_string(level) + "/";
  return relative;
}

TEST_F(dir_search_test, tree_deeper_than_twenty_levels_is_found_completely) {
  constexpr int kLevels = 25;
  const std::string deepest = DeepFolder(kLevels);
  MakeFile(deepest + "bottom.txt", 5);
  MakeFile(DeepFolder(22) + "near_bottom.txt", 6);
  const Found found = RunSearch(root_, "*", true);
  std::vector<std::string> expected;
  for (int level = 1; level <= kLevels; ++level) expected.push_back(Path(DeepFolder(level)));
  expected.push_back(Path(deepest + "bottom.txt"));
  expected.push_back(Path(DeepFolder(22) + "near_bottom.txt"));
  EXPECT_EQ(AsSet(found.paths), std::set<std::string>(expected.begin(), expected.end()));
  ExpectFoldersPrecedeTheirContents(found.paths);
  EXPECT_EQ(found.sizes.at(Path(deepest + "bottom.txt")), 5);
}

TEST_F(dir_search_test, link_loops_are_not_walked_again) {
  MakeFile("top.txt", 1);
  MakeFile("sub/inner.txt", 2);
  // Two links back up in one folder: walked blindly, every level would
  // double the work until the system refuses the path.
  fs::create_directory_symlink(".", Path("sub/again"));
  fs::create_directory_symlink("..", Path("sub/up"));
  fs::create_directory_symlink("sub", Path("alias"));
  const Found found = RunSearch(root_, "*", true);
  // "alias" is the same folder as "sub" but no ancestor of itself, so it is
  // walked once as a folder of its own.
  EXPECT_EQ(AsSet(found.paths),
            (std::set<std::string>{Path("top.txt"), Path("sub/"), Path("sub/inner.txt"),
                                   Path("alias/"), Path("alias/inner.txt")}));
  ExpectFoldersPrecedeTheirContents(found.paths);
}

std::size_t OpenDescriptors() {
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

TEST_F(dir_search_test, search_destroyed_midway_releases_its_listings) {
  MakeFile(DeepFolder(25) + "bottom.txt", 1);
  const std::size_t descriptorsBefore = OpenDescriptors();
  {
    TDirSearch search(root_, "*", true);
    std::int64_t size = 0;
    for (int i = 0; i < 12; ++i) ASSERT_FALSE(search.NextEntry(size).empty());
    EXPECT_EQ(search.OpenListings(), 13u);  // the start folder and twelve below it
  }
  EXPECT_EQ(OpenDescriptors(), descriptorsBefore);
  // Memory of the listings is checked by the leak checker of sanitized builds.
}

// ---------------------------------------------------------------------------
// Paths, percentages and small utilities

TEST(short_path_test, posix_paths_come_back_as_written) {
  for (const char* path : {"", "/", "/usr/local/", "/usr/local/file.txt", "relative/file",
                           "a long folder name/readme.txt", "a//b", "name"}) {
    EXPECT_EQ(ShortPathOf(path), path);
  }
}

TEST(percent_test, rounds_half_to_even_and_caps_at_100) {
  struct Case {
    std::int64_t part;
    std::int64_t total;
    std::int32_t expected;
  };
  const Case cases[] = {
      {5, 0, 0},  {5, -3, 0},      {1, 3, 33},      {2, 3, 67},   {1, 8, 12},
      {3, 8, 38}, {5, 1000, 0},    {15, 1000, 2},   {7, 1000, 1}, {1, 2, 50},
      {0, 5, 0},  {100, 100, 100}, {250, 100, 100}, {-1, 8, -12},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.part) + "/" + std::to_string(c.total));
    EXPECT_EQ(Percent64(c.part, c.total), c.expected);
    EXPECT_EQ(Percent(static_cast<std::int32_t>(c.part), static_cast<std::int32_t>(c.total)),
              c.expected);
  }
}

TEST(percent_test, sixty_four_bit_operands_do_not_overflow) {
  constexpr std::int64_t kHuge = std::int64_t{1} << 61;
  EXPECT_EQ(Percent64(kHuge, 2 * kHuge), 50);
  EXPECT_EQ(Percent64(INT64_MAX, INT64_MAX), 100);
  EXPECT_EQ(Percent64(INT64_MAX / 3, INT64_MAX), 33);
  EXPECT_EQ(Percent64(INT64_MAX, 1), 100);
  EXPECT_EQ(Percent64(INT64_MIN, 1), INT32_MIN);
  EXPECT_EQ(Percent(INT32_MAX, INT32_MAX - 1), 100);
}

TEST(name_utility_test, first_and_last_characters) {
  EXPECT_EQ(LastChars("abcdef", 2), "ef");
  EXPECT_EQ(LastChars("ab", 5), "ab");
  EXPECT_EQ(LastChars("ab", 0), "");
  EXPECT_EQ(LastChars("ab", -1), "");
  EXPECT_EQ(LastChars("C:\\\\", 2), "\\\\");
  EXPECT_EQ(FirstChars("abcdef", 2), "ab");
  EXPECT_EQ(FirstChars("ab", 5), "ab");
  EXPECT_EQ(FirstChars("ab", -1), "");
}

TEST(name_utility_test, slash_conversions_replace_every_occurrence) {
  std::string name = "a\\b\\c/d";
  BackslashToSlash(name);
  EXPECT_EQ(name, "a/b/c/d");
  SlashToBackslash(name);
  EXPECT_EQ(name, "a\\b\\c\\d");
}

TEST(name_utility_test, oem_round_trip_keeps_what_code_page_850_has) {
  std::string kept = "Relat\xC3\xB3rio \xC3\xA7\xC3\xA3o.ADT";  // ó, ç, ã
  const std::string original = kept;
  OemRoundTrip(kept);
  EXPECT_EQ(kept, original);
  std::string changed =
      "\xE2\x82\xAC"
      "uro";  // € has no place in code page 850
  OemRoundTrip(changed);
  EXPECT_NE(changed,
            "\xE2\x82\xAC"
            "uro");
  EXPECT_TRUE(changed.ends_with("uro"));
}

class file_date_test : public dir_search_test {};

TEST_F(file_date_test, last_write_time_becomes_a_date_time) {
  MakeFile("dated.txt", 1);
  quillo::testing::SetModificationTime(Path("dated.txt"),
                                       quillo::testing::LocalMoment(2021, 6, 15, 10, 20, 30));
  // 15 June 2021 is day 44362 after 30 December 1899.
  const double expected = 44362.0 + (10 * 3600 + 20 * 60 + 30) / 86400.0;
  EXPECT_NEAR(FileDate(Path("dated.txt")), expected, 1e-7);
}

TEST_F(file_date_test, unknown_time_counts_as_now) {
  const TDateTime before = NowAsDateTime();
  const TDateTime date = FileDate(Path("missing.txt"));
  const TDateTime after = NowAsDateTime();
  EXPECT_LE(before, date);
  EXPECT_LE(date, after);
}

}  // namespace
}  // namespace quillo::archive
