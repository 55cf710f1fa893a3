// Archives written by other programs, brought up to date by the writer:
// every entry the writer carries over must stay a valid entry, whatever the
// other program put around its data (extra fields, data descriptors).

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "archive/zip_writer.h"
#include "interop_support.h"

namespace quillo::archive::interop {
namespace {

// The files of the archive a foreign program makes, in its order. The
// accented name is stored as UTF-8 by all of them (Info-ZIP marks the entry
// as made on Unix, the others set the UTF-8 flag): a carried-over entry must
// keep those bytes, and its listed file must still find it.
const std::vector<std::string> kOriginalNames = {"alpha.txt", "beta.ADT",
                                                 "Relatório_Conceição.bin"};

struct ForeignMaker {
  const char* name;
  // Makes `archive` from the files named, run in `folder`.
  std::function<CommandResult(const std::string& folder, const std::string& archive)> make;
  bool dataDescriptors;  // the maker announces a data descriptor (flag bit 3)
  bool localExtras;      // the maker writes local extra fields
};

// Names the case in test output instead of dumping the object's bytes.
void PrintTo(const ForeignMaker& maker, std::ostream* out) {
  *out << maker.name;
}

std::vector<std::string> WithNames(std::vector<std::string> argv) {
  argv.insert(argv.end(), kOriginalNames.begin(), kOriginalNames.end());
  return argv;
}

const ForeignMaker kMakers[] = {
    {"info_zip",
     [](const std::string& folder, const std::string& archive) {
       return RunCommand(WithNames({"zip", "-q", archive}), folder);
     },
     false, true},
    // Writing to a pipe, zip cannot seek back: data descriptors follow the data.
    {"info_zip_to_pipe",
     [](const std::string& folder, const std::string& archive) {
       return RunCommand({"/bin/sh", "-c", "zip -q - \"$@\" | cat > '" + archive + "'", "sh",
                          kOriginalNames[0], kOriginalNames[1], kOriginalNames[2]},
                         folder);
     },
     true, true},
    {"seven_zip",
     [](const std::string& folder, const std::string& archive) {
       return RunCommand(WithNames({"7z", "a", "-tzip", archive}), folder);
     },
     false, false},
    {"python_zipfile",
     [](const std::string& folder, const std::string& archive) {
       std::vector<std::string> files;
       for (const std::string& name : kOriginalNames) files.push_back(folder + name);
       return MakeWithPython(archive, "seekable", files);
     },
     false, false},
    {"python_zipfile_unseekable",
     [](const std::string& folder, const std::string& archive) {
       std::vector<std::string> files;
       for (const std::string& name : kOriginalNames) files.push_back(folder + name);
       return MakeWithPython(archive, "stream", files);
     },
     true, false},
};

class foreign_archive_update_test : public ScratchFolderTest,
                                    public ::testing::WithParamInterface<ForeignMaker> {
 protected:
  void SetUp() override {
    ScratchFolderTest::SetUp();
    // Even seconds: some writers round odd ones up, and an entry later than
    // its file would hide a fault in the date comparison.
    WriteFileWithTime(Path("alpha.txt"), "alpha, first version\n",
                      LocalMoment(2024, 1, 2, 10, 0, 0));
    WriteFileWithTime(Path("beta.ADT"), DatabaseLikeBytes(100000, 21),
                      LocalMoment(2024, 1, 2, 10, 0, 2));
    WriteFileWithTime(Path(kOriginalNames[2]), RandomBytes(20000, 22),
                      LocalMoment(2024, 1, 2, 10, 0, 4));
    const CommandResult made = GetParam().make(Folder(), Archive());
    ASSERT_EQ(made.exitCode, 0) << made.output;
    original_ = InspectWithPython(Archive());
    ASSERT_EQ(original_.testzip, "None") << original_.report;
    ASSERT_EQ(original_.entries.size(), kOriginalNames.size()) << original_.report;
    for (const ExternalEntry& entry : original_.entries) {
      // The archive must really have the feature the case is about.
      ASSERT_EQ((entry.flags & 0x8) != 0, GetParam().dataDescriptors) << original_.report;
      ASSERT_EQ(entry.localExtraLength != 0, GetParam().localExtras) << original_.report;
    }
  }

  std::string Archive() const { return Path("foreign.zip"); }

  // Runs the writer over the archive with the files named.
  std::int32_t Update(const std::vector<std::string>& names) {
    TZipWriter writer;
    writer.SetZipName(Archive());
    writer.TempPath = Folder();
    for (const std::string& name : names) writer.FilesList.push_back(Path(name));
    writer.OnUpdate = [this](TZipWriter&, TUpdateAction action, std::int32_t index) {
      events_.push_back({action, index});
    };
    return writer.Zip();
  }

  void ExpectNoLeftovers() const {
    EXPECT_TRUE(NamesLike(Folder(), "VXQ", ".TMP").empty());
    EXPECT_FALSE(std::filesystem::exists(Archive() + "$$$"));
  }

  static void ExpectCarriedOver(const ExternalEntry& now, const ExternalEntry& before) {
    EXPECT_EQ(now.rawName, before.rawName);
    EXPECT_EQ(now.rawDataDigest, before.rawDataDigest) << "compressed data changed";
    EXPECT_EQ(now.crc, before.crc);
    EXPECT_EQ(now.size, before.size);
    EXPECT_EQ(now.packedSize, before.packedSize);
    EXPECT_EQ(now.method, before.method);
    EXPECT_EQ(now.stamp, before.stamp);
    EXPECT_EQ(now.localExtraLength, before.localExtraLength);
  }

  static void ExpectMadeFrom(const ExternalEntry& entry, const std::string& name,
                             const std::string& content, std::time_t moment) {
    EXPECT_EQ(entry.rawName, name);
    EXPECT_EQ(entry.size, content.size());
    EXPECT_EQ(entry.crc, ZlibCrc(content));
    EXPECT_EQ(entry.dataCrc, ZlibCrc(content));
    EXPECT_EQ(entry.stamp, ExpectedStamp(moment));
  }

  std::int32_t OriginalIndexOf(const std::string& name) const {
    for (std::size_t i = 0; i < original_.entries.size(); ++i) {
      if (original_.entries[i].rawName == name) return static_cast<std::int32_t>(i);
    }
    ADD_FAILURE() << name << " is not in the original archive";
    return -1;
  }

  ExternalView original_;
  std::vector<UpdateEvent> events_;
};

TEST_P(foreign_archive_update_test, newer_file_replaced_new_file_appended_others_kept) {
  const std::string alpha = "alpha, second and longer version\nalpha alpha alpha alpha\n";
  const std::time_t alphaMoment = LocalMoment(2024, 1, 2, 11, 0, 0);
  const std::string delta = DatabaseLikeBytes(30000, 23);
  const std::time_t deltaMoment = LocalMoment(2024, 1, 3, 9, 30, 0);
  WriteFileWithTime(Path("alpha.txt"), alpha, alphaMoment);
  WriteFileWithTime(Path("delta.ADI"), delta, deltaMoment);

  // beta is listed but unchanged; the third file is not listed at all.
  EXPECT_EQ(Update({"alpha.txt", "beta.ADT", "delta.ADI"}), 2);
  // Some makers order entries their own way (7z by kind): the update keeps
  // the old order, with the replacement in the old entry's place.
  const std::int32_t alphaAt = OriginalIndexOf("alpha.txt");
  const std::int32_t betaAt = OriginalIndexOf("beta.ADT");
  std::vector<UpdateEvent> expectedEvents = {{uaReplacing, alphaAt}, {uaKeeping, betaAt}};
  if (betaAt < alphaAt) std::swap(expectedEvents[0], expectedEvents[1]);
  EXPECT_EQ(events_, expectedEvents);

  const ExternalView view = InspectWithPython(Archive());
  ASSERT_TRUE(view.readable) << view.report;
  EXPECT_EQ(view.testzip, "None") << view.report;
  ASSERT_EQ(view.entries.size(), 4u) << view.report;
  for (std::size_t i = 0; i < original_.entries.size(); ++i) {
    SCOPED_TRACE(original_.entries[i].rawName);
    if (static_cast<std::int32_t>(i) == alphaAt) {
      ExpectMadeFrom(view.entries[i], "alpha.txt", alpha, alphaMoment);
    } else {
      ExpectCarriedOver(view.entries[i], original_.entries[i]);
    }
  }
  ExpectMadeFrom(view.entries[3], "delta.ADI", delta, deltaMoment);
  EXPECT_EQ(view.entries[3].flags & 0x8, 0);
  for (const ToolVerdict& verdict : TestWithExternalTools(Archive())) {
    EXPECT_EQ(verdict.failure, "") << verdict.tool;
  }
  ExpectNoLeftovers();
}

TEST_P(foreign_archive_update_test, update_with_nothing_newer_keeps_every_entry_valid) {
  // Every listed file finds its entry, the accented one included.
  EXPECT_EQ(Update(kOriginalNames), 0);
  EXPECT_EQ(events_, (std::vector<UpdateEvent>{{uaKeeping, 0}, {uaKeeping, 1}, {uaKeeping, 2}}));
  const ExternalView view = InspectWithPython(Archive());
  EXPECT_EQ(view.testzip, "None") << view.report;
  ASSERT_EQ(view.entries.size(), original_.entries.size()) << view.report;
  for (std::size_t i = 0; i < view.entries.size(); ++i) {
    SCOPED_TRACE(original_.entries[i].rawName);
    ExpectCarriedOver(view.entries[i], original_.entries[i]);
  }
  for (const ToolVerdict& verdict : TestWithExternalTools(Archive())) {
    EXPECT_EQ(verdict.failure, "") << verdict.tool;
  }
  ExpectNoLeftovers();
}

TEST_P(foreign_archive_update_test, once_rewritten_an_unchanged_update_is_byte_identical) {
  WriteFileWithTime(Path("delta.ADI"), "new", LocalMoment(2024, 1, 3, 9, 30, 0));
  ASSERT_EQ(Update({"delta.ADI"}), 1);
  const std::string rewritten = ReadBytes(Archive());
  EXPECT_EQ(Update({"alpha.txt", "beta.ADT", kOriginalNames[2], "delta.ADI"}), 0);
  EXPECT_TRUE(ReadBytes(Archive()) == rewritten) << "the archive changed";
  ExpectNoLeftovers();
}

INSTANTIATE_TEST_SUITE_P(makers, foreign_archive_update_test, ::testing::ValuesIn(kMakers),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace quillo::archive::interop
