// Archives written by quillo-zip, read back by programs nobody here wrote:
// Python's zipfile, Info-ZIP unzip, 7-Zip and libarchive's bsdtar. And the
// command line's answers to bad usage and to files that are no archives.

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <iomanip>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "interop_support.h"

namespace quillo::archive::interop {
namespace {

// One file of the sample folder, with its name in the three forms the tools
// show: as on disk (UTF-8), as an MS-DOS archive stores it (code page 850),
// and as unzip prints it here (it turns code page 850 into ISO 8859-1).
struct SampleFile {
  std::string name;
  std::string storedName;
  std::string latin1Name;
  std::string content;
  std::time_t moment;
  bool compressible;  // a deflating level must make it smaller
};

std::vector<SampleFile> SampleFolder() {
  return {
      {"Leia-me.txt", "Leia-me.txt", "Leia-me.txt",
       "Backup dos arquivos do sistema.\nCada linha repete um pouco.\n"
       "Cada linha repete um pouco.\nCada linha repete um pouco.\n",
       LocalMoment(2021, 3, 14, 15, 9, 27), true},
      {"random.bin", "random.bin", "random.bin", RandomBytes(70000, 7),
       LocalMoment(2019, 12, 31, 23, 59, 59), false},
      {"vazio.dat", "vazio.dat", "vazio.dat", "", LocalMoment(2020, 2, 29, 0, 0, 0), false},
      {"CLIENTES.ADT", "CLIENTES.ADT", "CLIENTES.ADT", DatabaseLikeBytes(300 * 1024, 11),
       LocalMoment(2022, 7, 1, 12, 34, 56), true},
      {"Relatório_Conceição.ADT", "Relat\xA2rio_Concei\x87\xC6o.ADT",
       "Relat\xF3rio_Concei\xE7\xE3o.ADT", DatabaseLikeBytes(5000, 3),
       LocalMoment(2023, 10, 5, 8, 7, 9), true},
  };
}

std::string Hex8(std::uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}

std::string RightAligned(std::size_t value, int width) {
  std::ostringstream text;
  text << std::setw(width) << value;
  return text.str();
}

std::string LowerText(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// bsdtar prints bytes it cannot show as a backslash and three octal digits.
std::string OctalEscaped(const std::string& bytes) {
  std::string text;
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      text.push_back(static_cast<char>(c));
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\%03o", c);
      text += escaped;
    }
  }
  return text;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::size_t CountOf(const std::string& haystack, const std::string& needle) {
  std::size_t count = 0;
  for (std::size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

// The entries of `7z l -slt`, each as its "Key = Value" lines.
std::vector<std::map<std::string, std::string>> SevenZipEntries(const std::string& listing) {
  std::vector<std::map<std::string, std::string>> entries;
  bool inEntries = false;
  for (const std::string& line : Lines(listing)) {
    if (line == "----------") {
      inEntries = true;
      continue;
    }
    const std::size_t split = line.find(" = ");
    if (!inEntries || split == std::string::npos) continue;
    const std::string key = line.substr(0, split);
    if (key == "Path") entries.emplace_back();
    if (!entries.empty()) entries.back()[key] = line.substr(split + 3);
  }
  return entries;
}

class quillo_zip_level_test : public ScratchFolderTest, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    ScratchFolderTest::SetUp();
    files_ = SampleFolder();
    std::vector<std::string> argv = {kQuilloZip, "-" + std::to_string(GetParam()), Archive()};
    for (const SampleFile& file : files_) {
      WriteFileWithTime(Path(file.name), file.content, file.moment);
      argv.push_back(Path(file.name));
    }
    const CommandResult run = RunCommand(argv);
    ASSERT_EQ(run.exitCode, 0) << run.output;
  }

  std::string Archive() const { return Path("sample.zip"); }

  std::vector<SampleFile> files_;
};

TEST_P(quillo_zip_level_test, zipfile_reads_every_entry_with_its_name_size_date_and_crc) {
  const ExternalView view = InspectWithPython(Archive());
  ASSERT_TRUE(view.readable) << view.report;
  EXPECT_EQ(view.testzip, "None");
  ASSERT_EQ(view.entries.size(), files_.size()) << view.report;
  for (std::size_t i = 0; i < files_.size(); ++i) {
    const SampleFile& file = files_[i];
    const ExternalEntry& entry = view.entries[i];
    SCOPED_TRACE(file.name);
    EXPECT_EQ(entry.rawName, file.storedName);
    EXPECT_EQ(entry.size, file.content.size());
    EXPECT_EQ(entry.crc, ZlibCrc(file.content));
    EXPECT_EQ(entry.dataCrc, ZlibCrc(file.content));
    EXPECT_EQ(entry.stamp, ExpectedStamp(file.moment));
  }
}

TEST_P(quillo_zip_level_test, unzip_7z_and_bsdtar_find_no_error) {
  for (const ToolVerdict& verdict : TestWithExternalTools(Archive())) {
    EXPECT_EQ(verdict.failure, "") << verdict.tool;
  }
}

TEST_P(quillo_zip_level_test, methods_and_flags_follow_the_level) {
  const int level = GetParam();
  // The deflate option bits 1 and 2: 4 for the fastest levels, 2 for the
  // strongest, as unzip -v reports them.
  const int optionBits = level == 1 || level == 2 ? 4 : level >= 8 ? 2 : 0;
  const ExternalView view = InspectWithPython(Archive());
  ASSERT_EQ(view.entries.size(), files_.size()) << view.report;
  for (std::size_t i = 0; i < files_.size(); ++i) {
    const ExternalEntry& entry = view.entries[i];
    SCOPED_TRACE(files_[i].name);
    EXPECT_EQ(entry.flags & ~0x6, 0) << "no data descriptor, UTF-8 or encryption flag";
    if (level == 0 || entry.size == 0) {
      EXPECT_EQ(entry.method, 0);
      EXPECT_EQ(entry.packedSize, entry.size);
      continue;
    }
    if (files_[i].compressible) {
      EXPECT_EQ(entry.method, 8);
      EXPECT_LT(entry.packedSize, entry.size);
    }
    if (entry.method == 8) {
      EXPECT_EQ(entry.flags & 0x6, optionBits);
    }
  }
}

TEST_P(quillo_zip_level_test, accented_name_is_stored_in_code_page_850) {
  const SampleFile& accented = files_.back();
  const std::string archive = ReadBytes(Archive());
  // Once in the local header, once in the central directory, never as UTF-8.
  EXPECT_EQ(CountOf(archive, accented.storedName), 2u);
  EXPECT_EQ(CountOf(archive, accented.name), 0u);

  const CommandResult unzip = RunCommand({"unzip", "-Z1", Archive()});
  ASSERT_EQ(unzip.exitCode, 0) << unzip.output;
  EXPECT_EQ(Lines(unzip.output).back(), accented.latin1Name);

  const CommandResult bsdtar = RunCommand({"bsdtar", "-tf", Archive()});
  ASSERT_EQ(bsdtar.exitCode, 0) << bsdtar.output;
  std::vector<std::string> expected;
  for (const SampleFile& file : files_) expected.push_back(OctalEscaped(file.storedName));
  EXPECT_EQ(Lines(bsdtar.output), expected);
}

TEST_P(quillo_zip_level_test, seven_zip_listing_agrees_on_sizes_dates_and_crcs) {
  const CommandResult run = RunCommand({"7z", "l", "-slt", Archive()});
  ASSERT_EQ(run.exitCode, 0) << run.output;
  const auto entries = SevenZipEntries(run.output);
  ASSERT_EQ(entries.size(), files_.size()) << run.output;
  for (std::size_t i = 0; i < files_.size(); ++i) {
    const SampleFile& file = files_[i];
    auto entry = entries[i];
    SCOPED_TRACE(file.name);
    if (file.name == file.storedName) {
      EXPECT_EQ(entry["Path"], file.name);
    }
    EXPECT_EQ(entry["Size"], std::to_string(file.content.size()));
    EXPECT_EQ(entry["CRC"], Hex8(ZlibCrc(file.content)));
    std::ostringstream stamp;
    stamp << ExpectedStamp(file.moment);
    EXPECT_EQ(entry["Modified"], stamp.str());
  }
}

TEST_P(quillo_zip_level_test, info_zip_can_add_to_it) {
  // Another writer takes the directory and every entry over as they are.
  WriteBytes(Path("extra.txt"), "added by Info-ZIP zip\n");
  const CommandResult run = RunCommand({"zip", "-q", Archive(), "extra.txt"}, Folder());
  ASSERT_EQ(run.exitCode, 0) << run.output;
  const ExternalView view = InspectWithPython(Archive());
  EXPECT_EQ(view.testzip, "None") << view.report;
  ASSERT_EQ(view.entries.size(), files_.size() + 1) << view.report;
  for (std::size_t i = 0; i < files_.size(); ++i) {
    EXPECT_EQ(view.entries[i].rawName, files_[i].storedName);
    EXPECT_EQ(view.entries[i].dataCrc, ZlibCrc(files_[i].content));
  }
  EXPECT_EQ(view.entries.back().rawName, "extra.txt");
}

TEST_P(quillo_zip_level_test, listing_shows_every_entry) {
  const CommandResult run = RunCommand({kQuilloZip, "-l", Archive()});
  ASSERT_EQ(run.exitCode, 0) << run.output;
  const std::vector<std::string> lines = Lines(run.output);
  // A heading, one line per entry in archive order, and a total.
  ASSERT_EQ(lines.size(), files_.size() + 2) << run.output;
  std::size_t total = 0;
  for (std::size_t i = 0; i < files_.size(); ++i) {
    const SampleFile& file = files_[i];
    const std::string& line = lines[i + 1];
    std::ostringstream stamp;
    stamp << ExpectedStamp(file.moment);
    EXPECT_EQ(line.substr(0, 10), RightAligned(file.content.size(), 10)) << line;
    EXPECT_NE(line.find(stamp.str()), std::string::npos) << line;
    EXPECT_NE(line.find(LowerText(Hex8(ZlibCrc(file.content)))), std::string::npos) << line;
    EXPECT_EQ(line.substr(line.size() - file.name.size()), file.name) << line;
    total += file.content.size();
  }
  EXPECT_NE(lines.back().find(std::to_string(total)), std::string::npos) << lines.back();
  EXPECT_NE(lines.back().find(std::to_string(files_.size()) + " entries"), std::string::npos)
      << lines.back();
}

INSTANTIATE_TEST_SUITE_P(levels, quillo_zip_level_test, ::testing::Values(0, 1, 6, 9),
                         [](const auto& param) { return "level_" + std::to_string(param.param); });

class quillo_zip_usage_test : public ScratchFolderTest {};

TEST_F(quillo_zip_usage_test, recursion_adds_subfolders_and_exclusions_leave_files_out) {
  std::filesystem::create_directories(Path("base/sub/deeper"));
  WriteBytes(Path("base/one.ADT"), "one");
  WriteBytes(Path("base/sub/two.ADI"), "two");
  WriteBytes(Path("base/sub/deeper/three.ADM"), "three");
  WriteBytes(Path("base/sub/work.tmp"), "scratch");
  const CommandResult run =
      RunCommand({kQuilloZip, "-r", "-x", "*.TMP", Path("tree.zip"), Path("base")});
  ASSERT_EQ(run.exitCode, 0) << run.output;
  const ExternalView view = InspectWithPython(Path("tree.zip"));
  EXPECT_EQ(view.testzip, "None") << view.report;
  std::set<std::string> names;
  for (const ExternalEntry& entry : view.entries) names.insert(entry.rawName);
  // Entries carry bare file names: the writer stores no folders by default.
  EXPECT_EQ(names, (std::set<std::string>{"one.ADT", "two.ADI", "three.ADM"}));
}

TEST_F(quillo_zip_usage_test, second_file_of_the_same_bare_name_is_reported_and_left_out) {
  std::filesystem::create_directories(Path("base/sub"));
  WriteBytes(Path("base/one.ADT"), "first");
  WriteBytes(Path("base/sub/one.ADT"), "second");
  const CommandResult run =
      RunCommand({kQuilloZip, Path("tree.zip"), Path("base/one.ADT"), Path("base/sub/one.ADT")});
  EXPECT_EQ(run.exitCode, 1) << run.output;
  EXPECT_NE(run.output.find("already in the archive"), std::string::npos) << run.output;
  const ExternalView view = InspectWithPython(Path("tree.zip"));
  EXPECT_EQ(view.testzip, "None") << view.report;
  ASSERT_EQ(view.entries.size(), 1u) << view.report;
  EXPECT_EQ(view.entries[0].dataCrc, ZlibCrc("first"));
}

TEST_F(quillo_zip_usage_test, bad_usage_exits_2_with_the_usage_text) {
  WriteBytes(Path("a.txt"), "a");
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"-l"},
      {"-5"},
      {Path("out.zip")},
      {"-x"},
      {"-q", Path("out.zip"), Path("a.txt")},
      {"-l", Path("out.zip"), Path("a.txt")},
      {"-10", Path("out.zip"), Path("a.txt")},
  };
  for (const auto& arguments : cases) {
    std::vector<std::string> argv = {kQuilloZip};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const CommandResult run = RunCommand(argv);
    SCOPED_TRACE(::testing::PrintToString(arguments));
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_NE(run.output.find("usage: quillo-zip"), std::string::npos) << run.output;
  }
  EXPECT_FALSE(std::filesystem::exists(Path("out.zip")));
}

TEST_F(quillo_zip_usage_test, missing_or_damaged_archives_exit_1_with_a_message) {
  WriteBytes(Path("notes.txt"), "These are notes, not an archive.\n");
  WriteBytes(Path("truncated.zip"), "PK\x03\x04 cut short");
  WriteBytes(Path("file.txt"), "x");
  struct Case {
    std::vector<std::string> arguments;
    std::string damagedFile;  // must be left as it was
  };
  const Case cases[] = {
      {{"-l", Path("missing.zip")}, ""},
      {{"-l", Path("notes.txt")}, Path("notes.txt")},
      {{"-l", Path("truncated.zip")}, Path("truncated.zip")},
      {{Path("notes.txt"), Path("file.txt")}, Path("notes.txt")},
      {{Path("truncated.zip"), Path("file.txt")}, Path("truncated.zip")},
      {{Path("new.zip"), Path("no-such-file.txt")}, ""},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = {kQuilloZip};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    const std::string before = c.damagedFile.empty() ? "" : ReadBytes(c.damagedFile);
    const CommandResult run = RunCommand(argv);
    SCOPED_TRACE(::testing::PrintToString(c.arguments));
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_NE(run.output.find("quillo-zip: "), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("usage:"), std::string::npos) << run.output;
    if (!c.damagedFile.empty()) {
      EXPECT_EQ(ReadBytes(c.damagedFile), before);
    }
  }
  EXPECT_FALSE(std::filesystem::exists(Path("missing.zip")));
}

}  // namespace
}  // namespace quillo::archive::interop
