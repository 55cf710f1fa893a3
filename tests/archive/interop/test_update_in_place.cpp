// The second backup of a day: the writer updates its own archive, and
// programs nobody here wrote check that what it kept is what was there.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "archive/zip_writer.h"
#include "interop_support.h"

namespace quillo::archive::interop {
namespace {

class update_in_place_test : public ScratchFolderTest {
 protected:
  void SetUp() override {
    ScratchFolderTest::SetUp();
    WriteFileWithTime(Path("A.ADT"), DatabaseLikeBytes(120000, 31),
                      LocalMoment(2024, 5, 6, 8, 0, 0));
    WriteFileWithTime(Path("B.ADI"), DatabaseLikeBytes(40000, 32),
                      LocalMoment(2024, 5, 6, 8, 0, 2));
    WriteFileWithTime(Path("C.ADM"), RandomBytes(30000, 33), LocalMoment(2024, 5, 6, 8, 0, 4));
  }

  std::string Archive() const { return Path("BACKUP_Quillo_06052024.zip"); }

  std::int32_t Zip(TZipWriter& writer, const std::vector<std::string>& names) {
    writer.SetZipName(Archive());
    writer.TempPath = Folder();
    for (const std::string& name : names) writer.FilesList.push_back(Path(name));
    writer.OnUpdate = [this](TZipWriter&, TUpdateAction action, std::int32_t index) {
      events_.push_back({action, index});
    };
    return writer.Zip();
  }

  std::int32_t ZipWithNewWriter(const std::vector<std::string>& names) {
    TZipWriter writer;
    return Zip(writer, names);
  }

  std::vector<UpdateEvent> events_;
};

TEST_F(update_in_place_test, second_backup_recompresses_the_newer_file_and_appends_the_new_one) {
  ASSERT_EQ(ZipWithNewWriter({"A.ADT", "B.ADI", "C.ADM"}), 3);
  const ExternalView before = InspectWithPython(Archive());
  ASSERT_EQ(before.entries.size(), 3u) << before.report;

  const std::string newA = DatabaseLikeBytes(150000, 34);
  const std::time_t newAMoment = LocalMoment(2024, 5, 6, 14, 0, 0);
  const std::string d = DatabaseLikeBytes(9000, 35);
  const std::time_t dMoment = LocalMoment(2024, 5, 6, 14, 0, 2);
  WriteFileWithTime(Path("A.ADT"), newA, newAMoment);
  WriteFileWithTime(Path("D.ADT"), d, dMoment);
  events_.clear();
  EXPECT_EQ(ZipWithNewWriter({"A.ADT", "B.ADI", "C.ADM", "D.ADT"}), 2);
  EXPECT_EQ(events_, (std::vector<UpdateEvent>{{uaReplacing, 0}, {uaKeeping, 1}, {uaKeeping, 2}}));

  const ExternalView after = InspectWithPython(Archive());
  ASSERT_TRUE(after.readable) << after.report;
  EXPECT_EQ(after.testzip, "None") << after.report;
  ASSERT_EQ(after.entries.size(), 4u) << after.report;
  EXPECT_EQ(after.entries[0].rawName, "A.ADT");
  EXPECT_EQ(after.entries[0].crc, ZlibCrc(newA));
  EXPECT_EQ(after.entries[0].dataCrc, ZlibCrc(newA));
  EXPECT_EQ(after.entries[0].stamp, ExpectedStamp(newAMoment));
  for (int i : {1, 2}) {
    EXPECT_EQ(after.entries[i].rawName, before.entries[i].rawName);
    EXPECT_EQ(after.entries[i].rawDataDigest, before.entries[i].rawDataDigest);
    EXPECT_EQ(after.entries[i].crc, before.entries[i].crc);
    EXPECT_EQ(after.entries[i].stamp, before.entries[i].stamp);
  }
  EXPECT_EQ(after.entries[3].rawName, "D.ADT");
  EXPECT_EQ(after.entries[3].dataCrc, ZlibCrc(d));
  EXPECT_EQ(after.entries[3].stamp, ExpectedStamp(dMoment));
  for (const ToolVerdict& verdict : TestWithExternalTools(Archive())) {
    EXPECT_EQ(verdict.failure, "") << verdict.tool;
  }
  EXPECT_TRUE(NamesLike(Folder(), "VXQ", ".TMP").empty());
}

TEST_F(update_in_place_test, update_with_every_file_unchanged_is_byte_identical) {
  struct Case {
    const char* name;
    bool sameWriter;  // the writer still holds the directory of the first run
    int level;
  };
  const Case cases[] = {
      {"new writer, stored", false, 0},
      {"new writer, level 6", false, 6},
      {"same writer, level 6", true, 6},
      {"same writer, level 9", true, 9},
  };
  const std::vector<std::string> names = {"A.ADT", "B.ADI", "C.ADM"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(Archive());
    TZipWriter first;
    first.PackLevel = c.level;
    ASSERT_EQ(Zip(first, names), 3);
    const std::string made = ReadBytes(Archive());
    events_.clear();
    TZipWriter fresh;
    TZipWriter& second = c.sameWriter ? first : fresh;
    second.PackLevel = c.level;
    EXPECT_EQ(Zip(second, names), 0);
    EXPECT_EQ(events_, (std::vector<UpdateEvent>{{uaKeeping, 0}, {uaKeeping, 1}, {uaKeeping, 2}}));
    EXPECT_TRUE(ReadBytes(Archive()) == made) << "the archive changed";
    EXPECT_EQ(InspectWithPython(Archive()).testzip, "None");
    EXPECT_TRUE(NamesLike(Folder(), "VXQ", ".TMP").empty());
  }
}

TEST_F(update_in_place_test, quillo_zip_run_twice_leaves_the_archive_byte_identical) {
  for (const char* level : {"-0", "-1", "-6", "-9"}) {
    SCOPED_TRACE(level);
    std::filesystem::remove(Archive());
    const std::vector<std::string> argv = {kQuilloZip,    level,         Archive(),
                                           Path("A.ADT"), Path("B.ADI"), Path("C.ADM")};
    const CommandResult first = RunCommand(argv);
    ASSERT_EQ(first.exitCode, 0) << first.output;
    const std::string made = ReadBytes(Archive());
    const CommandResult second = RunCommand(argv);
    EXPECT_EQ(second.exitCode, 0) << second.output;
    EXPECT_NE(second.output.find("0 files compressed"), std::string::npos) << second.output;
    EXPECT_TRUE(ReadBytes(Archive()) == made) << "the archive changed";
    for (const ToolVerdict& verdict : TestWithExternalTools(Archive())) {
      EXPECT_EQ(verdict.failure, "") << verdict.tool;
    }
  }
}

}  // namespace
}  // namespace quillo::archive::interop
