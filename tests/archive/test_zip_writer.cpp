#include "archive/zip_writer.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <utility>
#include <vector>

#include "archive/errors.h"
#include "zip_test_support.h"

namespace quillo::archive {
namespace {

using testing::PythonZipListing;
using testing::ReadFileText;
using testing::RecordLikeText;
using testing::SetModified;
using testing::TempFolder;
using testing::WriteFileText;

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The staged files of a day's backup: three tables of a few kilobytes each.
class ZipWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"Clientes.ADT", "Clientes.ADI", "Clientes.ADM"}) {
      const std::string path = folder_ / name;
      WriteFileText(path, RecordLikeText(20000, static_cast<unsigned>(path.size())));
      SetModified(path, 2024, 12, 9, 10, 0, 0);
      staged_.push_back(path);
    }
    writer_.SetZipName(archive_);
  }

  std::int32_t ZipFiles(const std::vector<std::string>& files) {
    writer_.FilesList = files;
    return writer_.Zip();
  }

  TempFolder folder_;
  std::string archive_ = folder_ / "BACKUP_Quillo_09122024.zip";
  std::vector<std::string> staged_;
  TZipWriter writer_;
};

TEST(zip_writer_settings_test, new_writer_has_documented_defaults) {
  TZipWriter writer;
  EXPECT_EQ(writer.PackLevel, 6);
  EXPECT_EQ(writer.ZipAction, zaUpdate);
  EXPECT_EQ(writer.MultiZipInfo().MultiMode, mmNone);
  EXPECT_EQ(writer.MultiZipInfo().BlockSize, 1457600);
  EXPECT_EQ(writer.MultiZipInfo().FirstBlockSize, 1457600);
  EXPECT_TRUE(writer.MultiZipInfo().CheckDiskLabels);
  EXPECT_TRUE(writer.MultiZipInfo().WriteDiskLabels);
  EXPECT_TRUE(writer.ExcludeList.empty());
  EXPECT_TRUE(writer.NoCompressList.empty());
  EXPECT_TRUE(writer.TempPath.empty());
  EXPECT_TRUE(writer.FilesList.empty());
  EXPECT_FALSE(writer.StorePaths());
  EXPECT_TRUE(writer.DoProcessMessages);
  EXPECT_EQ(writer.ThisVersion(), 222);
  EXPECT_EQ(writer.IncompleteZipMode, izAssumeMulti);
}

TEST(zip_writer_settings_test, path_setters_keep_their_dependencies) {
  TZipWriter writer;
  writer.SetRelativePaths(true);
  EXPECT_TRUE(writer.StorePaths());
  EXPECT_TRUE(writer.Recurse);
  writer.SetStorePaths(false);
  EXPECT_FALSE(writer.RelativePaths());
  EXPECT_TRUE(writer.Recurse);

  writer.SetStoreVolumes(false);  // already false: StorePaths untouched
  EXPECT_FALSE(writer.StorePaths());
  writer.SetStoreVolumes(true);
  EXPECT_TRUE(writer.StorePaths());
  writer.SetStorePaths(false);
  EXPECT_FALSE(writer.StoreVolumes());
}

TEST(zip_writer_settings_test, assign_copies_settings_but_not_the_recursing_handler) {
  TZipWriter source;
  source.PackLevel = 9;
  source.ExcludeList = {"*.tmp"};
  source.SetRelativePaths(true);
  int sourceCalls = 0;
  int targetCalls = 0;
  source.OnRecursingFile = [&](TZipWriter&, const std::string&) { ++sourceCalls; };
  source.OnNoSuchFile = [&](TZipWriter&, const std::string&) { ++sourceCalls; };
  TZipWriter target;
  target.OnRecursingFile = [&](TZipWriter&, const std::string&) { ++targetCalls; };
  target.Assign(source);
  source.ExcludeList.push_back("*.bak");

  EXPECT_EQ(target.PackLevel, 9);
  EXPECT_EQ(target.ExcludeList, TStrings{"*.tmp"});
  EXPECT_TRUE(target.RelativePaths());
  ASSERT_TRUE(target.OnRecursingFile && target.OnNoSuchFile);
  target.OnRecursingFile(target, "x");
  target.OnNoSuchFile(target, "x");
  EXPECT_EQ(targetCalls, 1);
  EXPECT_EQ(sourceCalls, 1);
}

TEST_F(ZipWriterTest, blank_name_does_nothing_and_reports_zero) {
  TZipWriter writer;
  writer.SetZipName(" \t");
  writer.FilesList = staged_;
  std::vector<std::int32_t> completed;
  writer.OnZipComplete = [&](TZipWriter&, std::int32_t count) { completed.push_back(count); };
  EXPECT_EQ(writer.Zip(), 0);
  EXPECT_EQ(completed, std::vector<std::int32_t>{0});
  EXPECT_EQ(writer.FilesList, staged_);
}

TEST_F(ZipWriterTest, empty_list_writes_a_bare_end_record) {
  EXPECT_EQ(ZipFiles({}), 0);
  const std::string bytes = ReadFileText(archive_);
  ASSERT_EQ(bytes.size(), 22u);
  EXPECT_EQ(bytes[0], 'P');
  EXPECT_EQ(bytes[3], 6);
  EXPECT_TRUE(PythonZipListing(archive_).empty());
}

TEST_F(ZipWriterTest, new_archive_holds_bare_names_readable_by_zipfile) {
  EXPECT_EQ(ZipFiles(staged_), 3);
  EXPECT_TRUE(writer_.FilesList.empty());
  const auto listing = PythonZipListing(archive_);
  ASSERT_EQ(listing.size(), 3u);
  EXPECT_EQ(listing[0].substr(0, listing[0].find('|')), "Clientes.ADT");
  EXPECT_NE(listing[0].find("|2024-12-09 10:00:00|8"), std::string::npos) << listing[0];
  EXPECT_EQ(writer_.EntryCount(), 3);
  EXPECT_EQ(writer_.Entry(2).FileName(), "Clientes.ADM");
}

// The second backup of a day: A is newer than its entry, B and C are not,
// D is new.
TEST_F(ZipWriterTest, update_replaces_newer_keeps_others_and_appends_new) {
  ASSERT_EQ(ZipFiles(staged_), 3);
  const std::string before = ReadFileText(archive_);

  WriteFileText(staged_[0], RecordLikeText(30000, 99));
  SetModified(staged_[0], 2024, 12, 9, 15, 0, 0);
  const std::string d = folder_ / "Produtos.ADT";
  WriteFileText(d, RecordLikeText(5000, 7));
  std::vector<std::pair<int, int>> updates;
  TZipWriter fresh;  // a later run of the day starts with a new program
  fresh.OnUpdate = [&](TZipWriter&, TUpdateAction action, std::int32_t index) {
    updates.emplace_back(action, index);
  };
  fresh.SetZipName(archive_);
  fresh.FilesList = {staged_[0], staged_[1], staged_[2], d};
  EXPECT_EQ(fresh.Zip(), 2);
  EXPECT_EQ(updates, (std::vector<std::pair<int, int>>{{0, 0}, {1, 1}, {1, 2}}));

  const auto listing = PythonZipListing(archive_);
  ASSERT_EQ(listing.size(), 4u);
  EXPECT_NE(listing[0].find("Clientes.ADT|30000|"), std::string::npos);
  EXPECT_NE(listing[3].find("Produtos.ADT|5000|"), std::string::npos);
  // B and C were copied byte for byte: their local headers and data are the
  // old archive's bytes, only moved by A's new size.
  const std::string after = ReadFileText(archive_);
  WriteFileText(folder_ / "before.zip", before);
  TZipReader old;
  old.SetZipName(folder_ / "before.zip");
  old.OpenArchive();
  const std::size_t oldStart = old.Entry(1).LocalHeaderOffset;
  const std::size_t oldEnd = old.EndRecord().CentralDirOffset;
  const std::size_t newStart = fresh.Entry(1).LocalHeaderOffset;
  ASSERT_EQ(fresh.Entry(3).LocalHeaderOffset - newStart, oldEnd - oldStart);
  EXPECT_TRUE(std::equal(before.begin() + static_cast<std::ptrdiff_t>(oldStart),
                         before.begin() + static_cast<std::ptrdiff_t>(oldEnd),
                         after.begin() + static_cast<std::ptrdiff_t>(newStart)));
}

TEST_F(ZipWriterTest, update_with_nothing_changed_is_byte_identical) {
  ASSERT_EQ(ZipFiles(staged_), 3);
  const std::string first = ReadFileText(archive_);
  TZipWriter again;
  again.SetZipName(archive_);
  again.FilesList = staged_;
  EXPECT_EQ(again.Zip(), 0);
  EXPECT_EQ(ReadFileText(archive_), first);
  EXPECT_EQ(FolderEntries(folder_.Path().string()).size(), 4u);  // no temporary file left
}

TEST_F(ZipWriterTest, replace_and_equal_dates) {
  ASSERT_EQ(ZipFiles(staged_), 3);
  struct Case {
    TZipAction action;
    int compressed;
  };
  for (const Case& c : {Case{zaUpdate, 0}, Case{zaReplace, 3}}) {
    TZipWriter writer;
    writer.ZipAction = c.action;
    writer.SetZipName(archive_);
    writer.FilesList = staged_;
    EXPECT_EQ(writer.Zip(), c.compressed) << static_cast<int>(c.action);
    EXPECT_EQ(PythonZipListing(archive_).size(), 3u);
  }
}

TEST_F(ZipWriterTest, old_entry_without_listed_file_is_carried_over) {
  ASSERT_EQ(ZipFiles(staged_), 3);
  WriteFileText(staged_[1], "changed");
  SetModified(staged_[1], 2025, 1, 1, 0, 0, 0);
  TZipWriter writer;
  writer.SetZipName(archive_);
  writer.FilesList = {staged_[1]};
  EXPECT_EQ(writer.Zip(), 1);
  const auto listing = PythonZipListing(archive_);
  ASSERT_EQ(listing.size(), 3u);
  EXPECT_NE(listing[1].find("Clientes.ADI|7|"), std::string::npos) << listing[1];
}

TEST_F(ZipWriterTest, listed_name_in_other_letter_case_matches_its_entry) {
  ASSERT_EQ(ZipFiles({staged_[0]}), 1);
  const std::string other = folder_ / "other";
  std::filesystem::create_directory(other);
  const std::string upper = other + "/CLIENTES.adt";
  WriteFileText(upper, "newer");
  SetModified(upper, 2025, 1, 1, 0, 0, 0);
  TZipWriter writer;
  writer.SetZipName(archive_);
  writer.FilesList = {upper};
  EXPECT_EQ(writer.Zip(), 1);
  const auto listing = PythonZipListing(archive_);
  ASSERT_EQ(listing.size(), 1u);
  EXPECT_EQ(listing[0].substr(0, listing[0].find('|')), "CLIENTES.adt");
}

// A newer file that cannot be added after all must not take its old entry
// with it.
TEST_F(ZipWriterTest, newer_file_that_vanishes_keeps_its_old_entry) {
  ASSERT_EQ(ZipFiles(staged_), 3);
  SetModified(staged_[0], 2025, 1, 1, 0, 0, 0);
  TZipWriter writer;
  writer.SetZipName(archive_);
  writer.FilesList = staged_;
  writer.OnUpdate = [&](TZipWriter&, TUpdateAction action, std::int32_t) {
    if (action == uaReplacing) std::filesystem::remove(staged_[0]);
  };
  EXPECT_EQ(writer.Zip(), 0);
  const auto listing = PythonZipListing(archive_);
  ASSERT_EQ(listing.size(), 3u);
  EXPECT_NE(listing[0].find("Clientes.ADT|20000|"), std::string::npos) << listing[0];
}

TEST_F(ZipWriterTest, zero_byte_archive_file_is_replaced_by_a_new_archive) {
  WriteFileText(archive_, "");
  EXPECT_EQ(ZipFiles(staged_), 3);
  EXPECT_EQ(PythonZipListing(archive_).size(), 3u);
}

TEST_F(ZipWriterTest, file_that_is_not_an_archive_fails_and_stays_unchanged) {
  for (const std::string& contents : {std::string("short"), RecordLikeText(5000)}) {
    WriteFileText(archive_, contents);
    writer_.TempPath = folder_.Path().string();
    writer_.FilesList = staged_;
    EXPECT_THROW(writer_.Zip(), EIncompleteZip);
    EXPECT_EQ(ReadFileText(archive_), contents);
    EXPECT_EQ(FolderEntries(folder_.Path().string()).size(), 4u) << "a temporary file was left";
    EXPECT_TRUE(writer_.FilesList.empty());
  }
}

TEST_F(ZipWriterTest, stop_in_start_zip_info_cancels_and_deletes_new_archive) {
  writer_.OnStartZipInfo = [](TZipWriter&, std::int32_t files, std::int64_t bytes, TEndCentral&,
                              bool& stop) {
    EXPECT_EQ(files, 3);
    EXPECT_EQ(bytes, 60000);
    stop = true;
  };
  writer_.FilesList = staged_;
  try {
    writer_.Zip();
    FAIL() << "no error";
  } catch (const EUserCanceled& error) {
    EXPECT_STREQ(error.what(), "User canceled Zip operation");
  }
  EXPECT_FALSE(std::filesystem::exists(archive_));
}

TEST_F(ZipWriterTest, start_zip_info_can_set_the_archive_comment) {
  writer_.OnStartZipInfo = [](TZipWriter&, std::int32_t, std::int64_t, TEndCentral& end, bool&) {
    end.SetArchiveComment("Backup do dia");
  };
  ASSERT_EQ(ZipFiles(staged_), 3);
  TZipWriter again;  // an update keeps the comment
  again.SetZipName(archive_);
  EXPECT_EQ(again.Zip(), 0);
  TZipReader reader;
  reader.SetZipName(archive_);
  reader.OpenArchive();
  EXPECT_EQ(reader.ArchiveCommentText(), "Backup do dia");
}

TEST_F(ZipWriterTest, store_and_deflate_choices) {
  struct Case {
    int level;
    TStrings noCompress;
    std::uint16_t method;
  };
  const Case cases[] = {
      {0, {}, 0},
      {6, {}, 8},
      {6, {"*.adt"}, 0},                             // matched on the file name
      {6, {folder_.Path().string() + "/*.adt"}, 8},  // a folder in the pattern never matches
      {1, {}, 8},
      {9, {}, 8},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(archive_);
    TZipWriter writer;
    writer.PackLevel = c.level;
    writer.NoCompressList = c.noCompress;
    writer.SetZipName(archive_);
    writer.FilesList = {staged_[0]};
    ASSERT_EQ(writer.Zip(), 1);
    const TZipHeaderInfo& entry = writer.Entry(0);
    EXPECT_EQ(entry.CompressionMethod, c.method) << c.level;
    if (c.method == 0) {
      EXPECT_EQ(entry.CompressedSize, entry.UncompressedSize);
      EXPECT_EQ(entry.InternalAttributes, 0);
    }
    const std::uint16_t levelFlags = c.level >= 8 ? 2 : (c.level == 1 || c.level == 2) ? 4 : 0;
    if (c.method == 8) {
      EXPECT_EQ(entry.GeneralPurposeFlags, levelFlags) << c.level;
    }
    EXPECT_EQ(PythonZipListing(archive_).size(), 1u);
  }
}

TEST_F(ZipWriterTest, empty_file_gives_an_empty_stored_entry) {
  const std::string empty = folder_ / "Vazio.ADT";
  WriteFileText(empty, "");
  ASSERT_EQ(ZipFiles({empty}), 1);
  const TZipHeaderInfo& entry = writer_.Entry(0);
  EXPECT_EQ(entry.UncompressedSize, 0u);
  EXPECT_EQ(entry.CompressedSize, 0u);
  EXPECT_EQ(entry.Crc32, 0u);
  EXPECT_EQ(entry.CompressionMethod, 0);
}

TEST_F(ZipWriterTest, stored_paths_follow_the_path_settings) {
  const std::string sub = folder_ / "dados";
  std::filesystem::create_directory(sub);
  const std::string file = sub + "/Clientes.ADT";
  WriteFileText(file, "x");
  const std::string folderWithoutSlash = folder_.Path().string().substr(1);
  std::string expectedFolder = folderWithoutSlash + "/dados/";
  struct Case {
    bool storePaths;
    bool relative;
    std::string root;
    std::string item;
    std::string expected;
  };
  const Case cases[] = {
      {false, false, "", file, "Clientes.ADT"},
      {true, false, "", file, expectedFolder + "Clientes.ADT"},
      {true, true, folder_.Path().string() + "/", file, "dados/Clientes.ADT"},
      {true, true, "/elsewhere/", file, expectedFolder + "Clientes.ADT"},
      {true, false, "", sub + "/", expectedFolder},
      {false, false, "", sub + "/", ""},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(archive_);
    TZipWriter writer;
    writer.SetStorePaths(c.storePaths);
    writer.SetRelativePaths(c.relative);
    writer.SetRootDir(c.root);
    writer.SetZipName(archive_);
    writer.FilesList = {c.item};
    ASSERT_EQ(writer.Zip(), 1) << c.item;
    std::string stored = writer.Entry(0).Path();
    std::replace(stored.begin(), stored.end(), '\\', '/');
    EXPECT_EQ(stored, c.expected);
  }
}

TEST_F(ZipWriterTest, expansion_of_wildcards_and_plain_names) {
  const std::string sub = folder_ / "sub";
  std::filesystem::create_directory(sub);
  WriteFileText(sub + "/Fundo.ADT", "deep");
  WriteFileText(folder_ / "notes.txt", "n");
  struct Case {
    TStrings items;
    bool recurse;
    TStrings exclude;
    std::vector<std::string> expected;  // sorted entry names
  };
  const Case cases[] = {
      {{folder_.Path().string() + "/*.*"},
       false,
       {},
       {"Clientes.ADI", "Clientes.ADM", "Clientes.ADT", "notes.txt"}},
      {{">" + folder_.Path().string() + "/*.ADT"}, false, {}, {"Clientes.ADT", "Fundo.ADT"}},
      {{"|" + folder_.Path().string() + "/*.ADT"}, true, {}, {"Clientes.ADT"}},
      {{folder_.Path().string() + "/*"}, false, {"*.ad?"}, {"notes.txt"}},
      {{"notes.txt", "missing.txt"}, false, {}, {"notes.txt"}},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(archive_);
    TZipWriter writer;
    writer.Recurse = c.recurse;
    writer.ExcludeList = c.exclude;
    writer.SetRootDir(folder_.Path().string());
    writer.SetZipName(archive_);
    writer.FilesList = c.items;
    std::vector<std::string> missing;
    writer.OnNoSuchFile = [&](TZipWriter&, const std::string& name) { missing.push_back(name); };
    writer.Zip();
    std::vector<std::string> names;
    for (std::int32_t i = 0; i < writer.EntryCount(); ++i) names.push_back(writer.Entry(i).Path());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, c.expected) << c.items[0];
    if (c.items.size() == 2) {
      EXPECT_EQ(missing, TStrings{folder_ / "missing.txt"});
    }
  }
}

TEST_F(ZipWriterTest, same_name_from_two_folders_is_skipped_with_reason) {
  const std::string sub = folder_ / "sub";
  std::filesystem::create_directory(sub);
  WriteFileText(sub + "/Clientes.ADT", "twin");
  std::vector<int> reasons;
  writer_.OnSkippingFile = [&](TZipReader&, TSkipReason reason, const std::string&, std::int32_t,
                               bool&) { reasons.push_back(reason); };
  EXPECT_EQ(ZipFiles({staged_[0], sub + "/Clientes.ADT"}), 1);
  EXPECT_EQ(reasons, std::vector<int>{srDuplicateName});
}

TEST_F(ZipWriterTest, accented_name_is_stored_in_code_page_850) {
  const std::string name = folder_ / "Relatório_Ação.ADT";
  WriteFileText(name, "dados");
  ASSERT_EQ(ZipFiles({name}), 1);
  const std::string bytes = ReadFileText(archive_);
  const std::string expected = "Relat\xA2rio_A\x87\xC6o.ADT";  // ó ç ã in code page 850
  const std::size_t local = bytes.find(expected);
  ASSERT_NE(local, std::string::npos);
  EXPECT_NE(bytes.find(expected, local + 1), std::string::npos);  // and in the central header
  EXPECT_EQ(writer_.Entry(0).FileName(), "Relatório_Ação.ADT");
}

TEST_F(ZipWriterTest, read_error_part_way_fails_the_run) {
  // Reading this file fails with an I/O error from its first byte.
  writer_.FilesList = {staged_[0], "/proc/self/mem"};
  EXPECT_THROW(writer_.Zip(), EReadError);
  EXPECT_FALSE(std::filesystem::exists(archive_));
}

TEST_F(ZipWriterTest, file_growing_while_read_gets_a_matching_header) {
  bool grown = false;
  writer_.OnFilePercentDone = [&](TZipReader&, std::int32_t) {
    if (grown) return;
    grown = true;
    std::FILE* f = std::fopen(staged_[0].c_str(), "ab");
    const std::string more = RecordLikeText(50000, 3);
    std::fwrite(more.data(), 1, more.size(), f);
    std::fclose(f);
  };
  ASSERT_EQ(ZipFiles({staged_[0]}), 1);
  const auto listing = PythonZipListing(archive_);  // testzip checks CRC against the data
  ASSERT_EQ(listing.size(), 1u);
  EXPECT_NE(listing[0].find("Clientes.ADT|70000|"), std::string::npos) << listing[0];
}

TEST_F(ZipWriterTest, file_of_two_gib_fails_before_anything_is_harmed) {
  ASSERT_EQ(ZipFiles({staged_[1]}), 1);
  const std::string before = ReadFileText(archive_);
  const std::string huge = folder_ / "Enorme.ADT";
  ASSERT_EQ(truncate((WriteFileText(huge, ""), huge.c_str()), 0x80000000LL), 0);  // sparse
  TZipWriter writer;
  writer.SetZipName(archive_);
  writer.TempPath = folder_.Path().string();
  writer.FilesList = {huge};
  EXPECT_THROW(writer.Zip(), EInvalidArgument);
  EXPECT_EQ(ReadFileText(archive_), before);
  EXPECT_EQ(FolderEntries(folder_.Path().string()).size(), 5u);  // three staged, archive, huge
}

TEST_F(ZipWriterTest, temporary_file_that_cannot_be_made_fails_before_writing) {
  ASSERT_EQ(ZipFiles({staged_[1]}), 1);
  const std::string before = ReadFileText(archive_);
  const char* savedTmp = std::getenv("TMPDIR");
  const std::string oldTmp = savedTmp ? savedTmp : "";
  setenv("TMPDIR", (folder_ / "no-such-folder").c_str(), 1);
  TZipWriter writer;
  writer.SetZipName(archive_);
  writer.TempPath = folder_ / "also-missing";
  writer.FilesList = staged_;
  EXPECT_THROW(writer.Zip(), EFCreateError);
  if (savedTmp) {
    setenv("TMPDIR", oldTmp.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
  EXPECT_EQ(ReadFileText(archive_), before);
}

TEST_F(ZipWriterTest, unwritable_temp_path_falls_back_to_system_folder) {
  ASSERT_EQ(ZipFiles({staged_[1]}), 1);
  SetModified(staged_[1], 2025, 1, 1, 0, 0, 0);
  TZipWriter writer;
  writer.SetZipName(archive_);
  writer.TempPath = "/proc";  // exists, but no file can be created there
  writer.FilesList = {staged_[1]};
  EXPECT_EQ(writer.Zip(), 1);
  EXPECT_EQ(PythonZipListing(archive_).size(), 1u);
}

TEST_F(ZipWriterTest, unsupported_settings_fail_clearly) {
  writer_.Password = "segredo";
  writer_.FilesList = staged_;
  EXPECT_THROW(writer_.Zip(), EInvalidArgument);
  writer_.Password.clear();
  TMultiZipInfo info;
  info.MultiMode = mmBlocks;
  writer_.SetMultiZipInfo(info);
  writer_.FilesList = staged_;
  EXPECT_THROW(writer_.Zip(), EInvalidArgument);
  EXPECT_FALSE(std::filesystem::exists(archive_));
}

// The message pump lets the user start another run in the middle of one;
// the writer refuses it instead of mixing two runs' state.
TEST_F(ZipWriterTest, second_run_started_during_a_run_is_refused) {
  std::string refusal;
  writer_.OnEndZip = [&](TZipWriter& sender, const std::string&, std::int32_t, std::int32_t,
                         std::int32_t) {
    EXPECT_TRUE(sender.Busy());
    try {
      sender.Zip();
    } catch (const EInvalidArgument& error) {
      refusal = error.what();
    }
  };
  EXPECT_EQ(ZipFiles(staged_), 3);
  EXPECT_NE(refusal.find("already under way"), std::string::npos);
  EXPECT_FALSE(writer_.Busy());
  EXPECT_EQ(PythonZipListing(archive_).size(), 3u);
  EXPECT_NE(writer_.ArchiveDate(), 0);
}

TEST_F(ZipWriterTest, dispose_deletes_added_and_up_to_date_files) {
  ASSERT_EQ(ZipFiles({staged_[0]}), 1);
  TZipWriter writer;
  writer.Dispose = true;
  writer.SetZipName(archive_);
  writer.FilesList = staged_;
  std::vector<std::string> asked;
  writer.OnDisposeFile = [&](TZipWriter&, const std::string& name, bool& skip) {
    asked.push_back(name);
    skip = name == staged_[2];
  };
  EXPECT_EQ(writer.Zip(), 2);
  EXPECT_EQ(asked, staged_);
  EXPECT_FALSE(std::filesystem::exists(staged_[0]));
  EXPECT_FALSE(std::filesystem::exists(staged_[1]));
  EXPECT_TRUE(std::filesystem::exists(staged_[2]));
}

}  // namespace
}  // namespace quillo::archive
