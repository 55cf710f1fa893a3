#include "archive/zip_reader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "archive/errors.h"
#include "archive/records.h"
#include "zip_test_support.h"

namespace quillo::archive {
namespace {

using testing::ReadFileText;
using testing::TempFolder;
using testing::WriteFileText;

struct ArchiveLayout {
  std::vector<std::string> names;
  // Indexes into names, in the order their central headers are written; an
  // index may repeat to make two headers claim one local header.
  std::vector<int> centralOrder;
  bool withEndRecord = true;
  std::string archiveComment;
  std::string firstEntryComment;
};

ArchiveLayout Layout(std::vector<std::string> names, std::vector<int> order, bool withEnd = true) {
  ArchiveLayout layout;
  layout.names = std::move(names);
  layout.centralOrder = std::move(order);
  layout.withEndRecord = withEnd;
  return layout;
}

// Stored entries whose data is "data of <name>", laid out as asked.
std::string BuildArchive(const ArchiveLayout& layout) {
  TMemoryStream out;
  std::vector<TZipHeaderInfo> headers(layout.names.size());
  for (std::size_t i = 0; i < layout.names.size(); ++i) {
    TZipHeaderInfo& header = headers[i];
    const std::string data = "data of " + layout.names[i];
    header.SetFileName(layout.names[i]);
    header.CompressionMethod = 0;
    header.Crc32 = Crc32Of(data.data(), data.size());
    header.CompressedSize = header.UncompressedSize = static_cast<std::uint32_t>(data.size());
    header.LastModDateTime = 0x59890000 + static_cast<std::uint32_t>(i);
    header.WriteLocalHeader(out);
    out.WriteBuffer(data.data(), static_cast<std::int32_t>(data.size()));
  }
  if (!layout.firstEntryComment.empty()) headers[0].SetFileComment(layout.firstEntryComment);
  TEndCentral end;
  end.CentralDirOffset = static_cast<std::uint32_t>(out.Position());
  for (int index : layout.centralOrder)
    headers[static_cast<std::size_t>(index)].WriteCentralHeader(out);
  end.TotalEntries = end.EntriesThisDisk = static_cast<std::uint16_t>(layout.centralOrder.size());
  end.CentralDirSize = static_cast<std::uint32_t>(out.Position() - end.CentralDirOffset);
  if (!layout.archiveComment.empty()) end.SetArchiveComment(layout.archiveComment);
  if (layout.withEndRecord) end.WriteEndRecord(out);
  return std::string(out.Data().begin(), out.Data().end());
}

std::vector<std::string> EntryNames(const TZipReader& reader) {
  std::vector<std::string> names;
  for (std::int32_t i = 0; i < reader.EntryCount(); ++i) names.push_back(reader.Entry(i).Path());
  return names;
}

class ZipReaderTest : public ::testing::Test {
 protected:
  void Open(const ArchiveLayout& layout) {
    WriteFileText(path_, BuildArchive(layout));
    reader_.SetZipName(path_);
    reader_.OpenArchive();
  }

  TempFolder folder_;
  std::string path_ = folder_ / "arquivo.zip";
  TZipReader reader_;
};

TEST_F(ZipReaderTest, entries_come_in_physical_order_whatever_the_directory_order) {
  Open(Layout({"a.adt", "b.adt", "c.adt"}, {2, 0, 1}));
  EXPECT_EQ(EntryNames(reader_), (std::vector<std::string>{"a.adt", "b.adt", "c.adt"}));
  EXPECT_FALSE(reader_.Rebuilt());
  for (std::int32_t i = 1; i < reader_.EntryCount(); ++i) {
    EXPECT_LT(reader_.Entry(i - 1).LocalHeaderOffset, reader_.Entry(i).LocalHeaderOffset);
  }
}

TEST_F(ZipReaderTest, two_headers_claiming_one_entry_rebuild_from_local_headers) {
  Open(Layout({"a.adt", "b.adt", "c.adt"}, {0, 1, 1, 2}));
  EXPECT_TRUE(reader_.Rebuilt());
  EXPECT_EQ(EntryNames(reader_), (std::vector<std::string>{"a.adt", "b.adt", "c.adt"}));
}

TEST_F(ZipReaderTest, zero_byte_file_is_an_archive_without_entries) {
  WriteFileText(path_, "");
  reader_.SetZipName(path_);
  reader_.OpenArchive();
  EXPECT_EQ(reader_.EntryCount(), 0);
}

TEST_F(ZipReaderTest, missing_end_record_follows_the_incomplete_mode) {
  WriteFileText(path_, BuildArchive(Layout({"a.adt", "b.adt"}, {0, 1}, /*withEnd=*/false)));
  struct Case {
    TIncompleteZipMode mode;
    const char* expectedError;  // nullptr: the entries are rebuilt
  };
  for (const Case& c :
       {Case{izAssumeMulti, "Incomplete Zip File"}, Case{izAssumeNotAZip, "Not a valid zip file!"},
        Case{izAssumeBad, nullptr}}) {
    TZipReader reader;
    reader.IncompleteZipMode = c.mode;
    reader.SetZipName(path_);
    if (c.expectedError != nullptr) {
      try {
        reader.OpenArchive();
        ADD_FAILURE() << "no error for mode " << static_cast<int>(c.mode);
      } catch (const EBadZipFile& error) {
        EXPECT_STREQ(error.what(), c.expectedError);
      }
      EXPECT_EQ(reader.EntryCount(), 0);
    } else {
      reader.OpenArchive();
      EXPECT_EQ(EntryNames(reader), (std::vector<std::string>{"a.adt", "b.adt"}));
    }
  }
  EXPECT_THROW(
      {
        TZipReader reader;
        reader.SetZipName(path_);
        reader.OpenArchive();
      },
      EIncompleteZip);
}

TEST_F(ZipReaderTest, incomplete_zip_handler_can_ask_for_a_rebuild) {
  WriteFileText(path_, BuildArchive(Layout({"a.adt"}, {0}, /*withEnd=*/false)));
  reader_.OnInCompleteZip = [](TZipReader&, TIncompleteZipMode& mode) { mode = izAssumeBad; };
  reader_.SetZipName(path_);
  reader_.OpenArchive();
  EXPECT_EQ(EntryNames(reader_), std::vector<std::string>{"a.adt"});
}

TEST_F(ZipReaderTest, rebuild_of_a_file_without_local_headers_is_not_a_zip) {
  WriteFileText(path_, std::string(5000, 'x') + "PK\x03\x04\x14\x50 not a header at all");
  reader_.IncompleteZipMode = izAssumeBad;
  reader_.SetZipName(path_);
  EXPECT_THROW(reader_.OpenArchive(), EBadZipFile);
  EXPECT_EQ(reader_.ZipName(), "");  // the reader forgot the archive
}

TEST_F(ZipReaderTest, sort_mode_orders_the_view_but_not_the_entries) {
  reader_.SortMode = ByName;
  Open(Layout({"c.adt", "A.adt", "b.adt"}, {0, 1, 2}));
  EXPECT_EQ(EntryNames(reader_), (std::vector<std::string>{"A.adt", "b.adt", "c.adt"}));
  reader_.ApplySortMode(ByNone);
  EXPECT_EQ(EntryNames(reader_), (std::vector<std::string>{"c.adt", "A.adt", "b.adt"}));
}

TEST_F(ZipReaderTest, naming_keeps_or_drops_the_directory) {
  Open(Layout({"a.adt"}, {0}));
  const TZipHeaderInfo* first = &reader_.Entry(0);
  reader_.SetZipName(path_);
  EXPECT_EQ(&reader_.Entry(0), first);
  reader_.SetZipName(folder_ / "outro.zip");
  EXPECT_EQ(reader_.EntryCount(), 0);
  EXPECT_TRUE(std::filesystem::exists(path_));
  EXPECT_THROW(reader_.SetZipName(folder_ / "escolher?"), EUserCanceled);
  reader_.ResetArchive();
  EXPECT_EQ(reader_.ZipName(), "");
}

TEST_F(ZipReaderTest, index_out_of_range_names_the_index) {
  Open(Layout({"a.adt"}, {0}));
  try {
    reader_.Entry(5);
    FAIL() << "no error";
  } catch (const EListError& error) {
    EXPECT_STREQ(error.what(), "Index 5 is out of range");
  }
}

TEST_F(ZipReaderTest, comments_load_on_demand) {
  ArchiveLayout layout = Layout({"a.adt", "b.adt"}, {0, 1});
  layout.archiveComment = "Comentário do arquivo";
  layout.firstEntryComment = "nota da entrada";
  Open(layout);
  EXPECT_FALSE(reader_.Entry(0).FileComment().has_value());
  EXPECT_EQ(reader_.EntryComment(0), "nota da entrada");
  EXPECT_EQ(reader_.EntryComment(1), "");
  EXPECT_EQ(reader_.ArchiveCommentText(), "Comentário do arquivo");
  EXPECT_FALSE(reader_.EndRecord().CommentChanged);
  reader_.SetArchiveCommentText("novo");
  EXPECT_TRUE(reader_.EndRecord().CommentChanged);
}

// A directory held for an archive that changed on disk must not be used:
// the writer would copy from the wrong offsets.
TEST_F(ZipReaderTest, archive_rewritten_within_the_same_two_seconds_is_read_again) {
  Open(Layout({"a.adt"}, {0}));
  reader_.CloseArchive();
  WriteFileText(path_, BuildArchive(Layout({"longer-name.adt", "b.adt"}, {0, 1})));
  reader_.OpenArchive();
  EXPECT_EQ(EntryNames(reader_), (std::vector<std::string>{"longer-name.adt", "b.adt"}));
}

TEST_F(ZipReaderTest, entry_dates_convert_and_fall_back_to_now) {
  Open(Layout({"a.adt"}, {0}));
  const TDateTime date = reader_.EntryDateTime(0);
  EXPECT_EQ(date, DosDateTimeToDateTime(reader_.Entry(0).LastModDateTime).value());
}

}  // namespace
}  // namespace quillo::archive
