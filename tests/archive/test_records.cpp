#include "archive/records.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "archive/errors.h"

namespace quillo::archive {
namespace {

using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------------------
// Helpers

// The CRC-32 from its definition, one bit at a time.
std::uint32_t BitwiseCrc(const Bytes& data) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (const std::uint8_t byte : data) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
  }
  return ~crc;
}

Bytes RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  Bytes data(size);
  for (auto& byte : data) byte = static_cast<std::uint8_t>(generator());
  return data;
}

Bytes BytesOf(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

std::uint16_t Get16(const Bytes& b, std::size_t at) {
  return static_cast<std::uint16_t>(b.at(at) | (b.at(at + 1) << 8));
}

std::uint32_t Get32(const Bytes& b, std::size_t at) {
  return Get16(b, at) | (static_cast<std::uint32_t>(Get16(b, at + 2)) << 16);
}

void Put16(Bytes& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}

void Put32(Bytes& b, std::uint32_t v) {
  Put16(b, static_cast<std::uint16_t>(v));
  Put16(b, static_cast<std::uint16_t>(v >> 16));
}

std::uint32_t Dos(int year, int month, int day, int hour, int minute, int second) {
  return PackDosDateTime({year, month, day, hour, minute, second});
}

// A central header built byte by byte, as another program might write it.
struct RawCentral {
  std::uint16_t madeBy = 20;
  std::uint16_t flags = 0;
  std::uint32_t dos = 0;
  std::string name;
  std::string extra;
  std::string comment;
  std::uint32_t localOffset = 0;
};

Bytes CentralBytes(const RawCentral& r) {
  Bytes b;
  Put32(b, kCentralHeaderSignature);
  Put16(b, r.madeBy);
  Put16(b, 20);
  Put16(b, r.flags);
  Put16(b, 8);
  Put32(b, r.dos);
  Put32(b, 0x12345678);
  Put32(b, 100);
  Put32(b, 300);
  Put16(b, static_cast<std::uint16_t>(r.name.size()));
  Put16(b, static_cast<std::uint16_t>(r.extra.size()));
  Put16(b, static_cast<std::uint16_t>(r.comment.size()));
  Put16(b, 0);
  Put16(b, 1);
  Put32(b, 0x20);
  Put32(b, r.localOffset);
  for (const std::string* part : {&r.name, &r.extra, &r.comment}) {
    b.insert(b.end(), part->begin(), part->end());
  }
  return b;
}

Bytes EndRecordBytes(std::uint16_t entries, std::uint32_t dirSize, std::uint32_t dirOffset,
                     const std::string& comment) {
  Bytes b;
  Put32(b, kEndRecordSignature);
  Put16(b, 0);
  Put16(b, 0);
  Put16(b, entries);
  Put16(b, entries);
  Put32(b, dirSize);
  Put32(b, dirOffset);
  Put16(b, static_cast<std::uint16_t>(comment.size()));
  b.insert(b.end(), comment.begin(), comment.end());
  return b;
}

TZipHeaderInfo SampleEntry() {
  TZipHeaderInfo h;
  h.SetDirectory("Dados\\Relatórios");
  h.SetFileName("Conceição_AÇÃO.ADT");
  h.GeneralPurposeFlags = 0x0002;
  h.CompressionMethod = 8;
  h.LastModDateTime = Dos(2023, 7, 14, 9, 30, 12);
  h.Crc32 = 0xDEADBEEF;
  h.CompressedSize = 1234;
  h.UncompressedSize = 56789;
  h.InternalAttributes = 1;
  h.ExternalAttributes = 0x21;
  h.LocalHeaderOffset = 777;
  return h;
}

void ExpectSameHeaderFields(const TZipHeaderInfo& a, const TZipHeaderInfo& b) {
  EXPECT_EQ(a.VersionNeeded, b.VersionNeeded);
  EXPECT_EQ(a.GeneralPurposeFlags, b.GeneralPurposeFlags);
  EXPECT_EQ(a.CompressionMethod, b.CompressionMethod);
  EXPECT_EQ(a.LastModDateTime, b.LastModDateTime);
  EXPECT_EQ(a.Crc32, b.Crc32);
  EXPECT_EQ(a.CompressedSize, b.CompressedSize);
  EXPECT_EQ(a.UncompressedSize, b.UncompressedSize);
  EXPECT_EQ(a.FileNameLength, b.FileNameLength);
  EXPECT_EQ(a.Directory(), b.Directory());
  EXPECT_EQ(a.FileName(), b.FileName());
}

// ---------------------------------------------------------------------------
// CRC-32

struct CrcCase {
  std::string input;
  std::uint32_t expected;
};

TEST(crc32_test, known_check_values) {
  const CrcCase cases[] = {
      {"", 0x00000000},
      {"123456789", 0xCBF43926},
      {"a", 0xE8B7BE43},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Crc32Of(c.input.data(), c.input.size()), c.expected) << c.input;
    EXPECT_EQ(~UpdateCrc(kCrcStart, c.input.data(), c.input.size()), c.expected) << c.input;
  }
}

TEST(crc32_test, agrees_with_bitwise_definition_for_every_length_and_alignment) {
  const Bytes data = RandomBytes(4096 + 64, 7);
  for (std::size_t offset = 0; offset < 8; ++offset) {
    for (std::size_t length : {0, 1, 7, 8, 9, 15, 16, 17, 63, 64, 65, 255, 1000, 4096}) {
      const Bytes slice(data.begin() + static_cast<std::ptrdiff_t>(offset),
                        data.begin() + static_cast<std::ptrdiff_t>(offset + length));
      ASSERT_EQ(Crc32Of(data.data() + offset, length), BitwiseCrc(slice))
          << "offset " << offset << " length " << length;
    }
  }
}

TEST(crc32_test, chunks_fed_in_pieces_give_the_crc_of_the_whole) {
  const Bytes data = RandomBytes(100003, 11);
  const std::uint32_t whole = BitwiseCrc(data);
  for (std::size_t chunk : {1, 3, 7, 8, 9, 13, 64, 1000, 8192, 65536}) {
    std::uint32_t running = kCrcStart;
    for (std::size_t at = 0; at < data.size(); at += chunk) {
      running = UpdateCrc(running, data.data() + at, std::min(chunk, data.size() - at));
    }
    EXPECT_EQ(~running, whole) << "chunk " << chunk;
  }
}

// ---------------------------------------------------------------------------
// MS-DOS date and time

struct RepairCase {
  const char* what;
  std::uint32_t input;
  std::uint32_t expected;
};

TEST(dos_date_time_test, repair_clamps_out_of_range_parts_and_keeps_valid_stamps) {
  const std::uint32_t goodDate = Dos(2021, 3, 4, 0, 0, 0) & 0xFFFF0000;
  const RepairCase cases[] = {
      {"valid stamp kept", Dos(2024, 2, 29, 13, 45, 30), Dos(2024, 2, 29, 13, 45, 30)},
      {"arbitrary valid stamp kept", 0x58A96C8F, 0x58A96C8F},
      {"31 February left alone", Dos(2023, 2, 31, 10, 0, 0), Dos(2023, 2, 31, 10, 0, 0)},
      {"time 0xFFFF reads as 23:59:58", goodDate | 0xFFFF,
       goodDate | (Dos(1980, 1, 1, 23, 59, 58) & 0xFFFF)},
      {"date 0 reads as 1 January 1980", Dos(1980, 1, 1, 8, 15, 20) & 0xFFFF,
       Dos(1980, 1, 1, 8, 15, 20)},
      {"month 13 becomes 12", Dos(2020, 13, 5, 1, 2, 4), Dos(2020, 12, 5, 1, 2, 4)},
      {"month 0 becomes 1", Dos(2020, 0, 5, 1, 2, 4), Dos(2020, 1, 5, 1, 2, 4)},
      {"year 2107 becomes 2099", Dos(2107, 6, 6, 6, 6, 6), Dos(2099, 6, 6, 6, 6, 6)},
      {"62 seconds become 58", Dos(2001, 1, 1, 1, 1, 0) | 31, Dos(2001, 1, 1, 1, 1, 58)},
      {"hour 24 becomes 23", Dos(2001, 1, 1, 24, 0, 0), Dos(2001, 1, 1, 23, 0, 0)},
      {"minute 60 becomes 59", Dos(2001, 1, 1, 5, 60, 0), Dos(2001, 1, 1, 5, 59, 0)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RepairDosDateTime(c.input), c.expected) << c.what;
  }
}

TEST(dos_date_time_test, converts_to_date_time_values_or_reports_none) {
  EXPECT_EQ(DosDateTimeToDateTime(Dos(1980, 1, 1, 0, 0, 0)), 29221.0);
  EXPECT_EQ(DosDateTimeToDateTime(Dos(2000, 1, 1, 12, 0, 0)), 36526.5);
  EXPECT_EQ(DosDateTimeToDateTime(Dos(2024, 2, 29, 6, 0, 0)), 45351.25);
  for (const std::uint32_t invalid :
       {0u, Dos(2023, 2, 29, 0, 0, 0), Dos(2023, 4, 31, 0, 0, 0), Dos(2023, 1, 1, 0, 0, 0) | 30,
        Dos(2023, 1, 1, 24, 0, 0), Dos(2023, 0, 1, 0, 0, 0)}) {
    EXPECT_FALSE(DosDateTimeToDateTime(invalid).has_value()) << std::hex << invalid;
  }
  EXPECT_LT(*DosDateTimeToDateTime(Dos(2023, 12, 31, 23, 59, 58)),
            *DosDateTimeToDateTime(Dos(2024, 1, 1, 0, 0, 0)));
}

// ---------------------------------------------------------------------------
// TZipHeaderInfo: names and comments

TEST(zip_header_info_test, new_record_holds_the_creation_values) {
  const TZipHeaderInfo h;
  EXPECT_EQ(h.VersionMadeBy, 20);
  EXPECT_EQ(h.VersionNeeded, 20);
  EXPECT_EQ(h.CompressionMethod, 8);
  EXPECT_EQ(h.Crc32, 0xFFFFFFFFu);
  EXPECT_EQ(h.InternalAttributes, 1);
  EXPECT_EQ(h.ExternalAttributes, 0x20u);
  EXPECT_EQ(h.FileNameLength, 0);
  EXPECT_FALSE(h.FileComment().has_value());
  EXPECT_EQ(h.LocalHeaderSize(), 30);
  EXPECT_EQ(h.CentralHeaderSize(), 46);
}

TEST(zip_header_info_test, directory_gets_a_closing_backslash_and_length_counts_characters) {
  TZipHeaderInfo h;
  h.SetDirectory("Dados\\Relatórios");
  EXPECT_EQ(h.Directory(), "Dados\\Relatórios\\");
  h.SetFileName("ação.ADT");
  EXPECT_EQ(h.FileNameLength, 17 + 8);
  EXPECT_EQ(h.LocalHeaderSize(), 30 + 25);
  h.SetDirectory("");
  EXPECT_EQ(h.Directory(), "");
  EXPECT_EQ(h.FileNameLength, 8);
  h.SetDirectory("x\\");
  EXPECT_EQ(h.Directory(), "x\\");
  EXPECT_EQ(h.StoredName(), "x/a\x87\xC6o.ADT");
}

TEST(zip_header_info_test, names_longer_than_65535_bytes_are_refused) {
  TZipHeaderInfo h;
  h.SetDirectory("d");
  h.SetFileName("keep");
  EXPECT_THROW(h.SetFileName(std::string(65534, 'n')), EInvalidArgument);
  EXPECT_THROW(h.SetDirectory(std::string(65533, 'd')), EInvalidArgument);
  EXPECT_EQ(h.FileName(), "keep");
  EXPECT_EQ(h.Directory(), "d\\");
  EXPECT_EQ(h.FileNameLength, 6);
  h.SetFileName(std::string(65533, 'n'));  // exactly 65535 with "d\"
  EXPECT_EQ(h.FileNameLength, 65535);
}

TEST(zip_header_info_test, comment_is_owned_and_empty_text_means_none) {
  TZipHeaderInfo h;
  std::string text = "observação";
  h.SetFileComment(text);
  text = "changed";
  ASSERT_TRUE(h.FileComment().has_value());
  EXPECT_EQ(*h.FileComment(), "observação");
  EXPECT_EQ(h.FileCommentLength, std::string("observação").size());
  EXPECT_TRUE(h.HasFileComment());
  h.SetFileComment("");
  EXPECT_FALSE(h.FileComment().has_value());
  EXPECT_FALSE(h.HasFileComment());
  EXPECT_THROW(h.SetFileComment(std::string(65536, 'c')), EInvalidArgument);
}

TEST(zip_header_info_test, assign_copies_every_field_and_the_comment_state) {
  TZipHeaderInfo source = SampleEntry();
  source.VersionMadeBy = 0x0314;
  source.CentralHeaderOffset = 99;
  source.DiskNumberStart = 2;
  source.WorkingMarks = {1, 2, 3};
  source.SetFileComment("nota");

  TZipHeaderInfo target;
  target.SetFileComment("old");
  source.AssignTo(target);
  ExpectSameHeaderFields(target, source);
  EXPECT_EQ(target.VersionMadeBy, 0x0314);
  EXPECT_EQ(target.CentralHeaderOffset, 99u);
  EXPECT_EQ(target.DiskNumberStart, 2);
  EXPECT_EQ(target.LocalHeaderOffset, 777u);
  EXPECT_EQ(target.WorkingMarks, source.WorkingMarks);
  EXPECT_EQ(target.FileComment(), std::optional<std::string>("nota"));

  // A source whose comment is not loaded leaves the target not loaded too,
  // so that the target's length and text never disagree.
  TMemoryStream stream;
  source.WriteCentralHeader(stream);
  stream.SetPosition(0);
  TZipHeaderInfo unloaded;
  ASSERT_TRUE(unloaded.ReadCentralHeader(stream));
  target.Assign(unloaded);
  EXPECT_EQ(target.FileCommentLength, 4);
  EXPECT_FALSE(target.FileComment().has_value());
}

// ---------------------------------------------------------------------------
// TZipHeaderInfo: headers on disk

TEST(zip_header_info_test, local_header_round_trip_stores_names_in_code_page_850) {
  TZipHeaderInfo h = SampleEntry();
  TMemoryStream stream;
  stream.WriteBuffer("junk!", 5);
  h.WriteLocalHeader(stream);
  EXPECT_EQ(h.LocalHeaderOffset, 5u);

  const Bytes& b = stream.Data();
  const std::string stored = "Dados/Relat\xA2rios/Concei\x87\xC6o_A\x80\xC7O.ADT";
  ASSERT_EQ(b.size(), 5u + 30 + stored.size());
  EXPECT_EQ(Get32(b, 5), kLocalHeaderSignature);
  EXPECT_EQ(Get16(b, 5 + 4), 20);
  EXPECT_EQ(Get16(b, 5 + 6), 0x0002);
  EXPECT_EQ(Get16(b, 5 + 8), 8);
  EXPECT_EQ(Get32(b, 5 + 10), h.LastModDateTime);
  EXPECT_EQ(Get32(b, 5 + 14), 0xDEADBEEFu);
  EXPECT_EQ(Get32(b, 5 + 18), 1234u);
  EXPECT_EQ(Get32(b, 5 + 22), 56789u);
  EXPECT_EQ(Get16(b, 5 + 26), stored.size());
  EXPECT_EQ(Get16(b, 5 + 28), 0);
  EXPECT_EQ(std::string(b.begin() + 35, b.end()), stored);
  EXPECT_EQ(h.FileNameLength, stored.size());

  stream.SetPosition(5);
  TZipHeaderInfo read;
  read.SetFileComment("stale");
  ASSERT_TRUE(read.ReadLocalHeader(stream));
  EXPECT_EQ(stream.Position(), static_cast<std::int64_t>(b.size()));
  ExpectSameHeaderFields(read, h);
  EXPECT_EQ(read.VersionMadeBy, 0);
  EXPECT_EQ(read.LocalHeaderOffset, 5u);
  EXPECT_EQ(read.InternalAttributes, 0);
  EXPECT_EQ(read.ExternalAttributes, 0u);
  EXPECT_EQ(read.FileCommentLength, 0);
  EXPECT_FALSE(read.FileComment().has_value());
}

TEST(zip_header_info_test, central_header_round_trip_with_comment) {
  TZipHeaderInfo h = SampleEntry();
  h.SetFileComment("Cópia");
  TMemoryStream stream;
  stream.WriteBuffer("0123456789", 10);
  h.WriteCentralHeader(stream);
  stream.WriteBuffer("tail", 4);
  EXPECT_EQ(h.LocalHeaderOffset, 777u);  // writing a central header leaves it

  stream.SetPosition(10);
  TZipHeaderInfo read;
  ASSERT_TRUE(read.ReadCentralHeader(stream));
  EXPECT_EQ(stream.Position(), 10 + h.CentralHeaderSize());
  ExpectSameHeaderFields(read, h);
  EXPECT_EQ(read.VersionMadeBy, 20);
  EXPECT_EQ(read.InternalAttributes, 1);
  EXPECT_EQ(read.ExternalAttributes, 0x21u);
  EXPECT_EQ(read.LocalHeaderOffset, 777u);
  EXPECT_EQ(read.CentralHeaderOffset, 10u);
  EXPECT_EQ(read.FileCommentLength, std::string("Cópia").size());
  EXPECT_FALSE(read.FileComment().has_value());  // read on demand

  // Rewriting the record read needs its comment, and says so.
  TMemoryStream again;
  EXPECT_THROW(read.WriteCentralHeader(again), EInvalidArgument);
  read.SetFileComment("Cópia");
  read.WriteCentralHeader(again);
  EXPECT_EQ(again.Data(), Bytes(stream.Data().begin() + 10, stream.Data().end() - 4));
}

TEST(zip_header_info_test, central_header_with_extra_field_is_read_whole_and_rewritten_without) {
  RawCentral first;
  first.name = "pasta/um.txt";
  first.extra = std::string("\x55\x54\x05\x00\x03\x01\x02\x03\x04", 9);
  first.comment = "first comment";
  first.dos = Dos(2022, 5, 6, 7, 8, 10);
  RawCentral second;
  second.name = "dois.txt";
  second.localOffset = 500;
  Bytes bytes = CentralBytes(first);
  const Bytes secondBytes = CentralBytes(second);
  bytes.insert(bytes.end(), secondBytes.begin(), secondBytes.end());

  TMemoryStream stream(bytes);
  TZipHeaderInfo a;
  TZipHeaderInfo b;
  ASSERT_TRUE(a.ReadCentralHeader(stream));
  EXPECT_EQ(stream.Position(), static_cast<std::int64_t>(bytes.size() - secondBytes.size()));
  ASSERT_TRUE(b.ReadCentralHeader(stream));
  EXPECT_EQ(b.FileName(), "dois.txt");
  EXPECT_EQ(b.LocalHeaderOffset, 500u);
  EXPECT_EQ(a.Directory(), "pasta\\");
  EXPECT_EQ(a.FileName(), "um.txt");
  EXPECT_EQ(a.CentralExtraLength, 0);
  EXPECT_EQ(a.CentralHeaderSize(), 46 + 12 + 13);

  a.SetFileComment(first.comment);
  TMemoryStream out;
  a.WriteCentralHeader(out);
  RawCentral expected = first;
  expected.extra.clear();
  EXPECT_EQ(out.Data(), CentralBytes(expected));
}

struct NameCase {
  const char* what;
  std::uint16_t madeBy;
  std::uint16_t flags;
  std::string raw;
  std::string directory;
  std::string fileName;
  std::uint16_t fileNameLength;
};

TEST(zip_header_info_test, central_names_convert_by_host_and_split_after_the_last_delimiter) {
  const NameCase cases[] = {
      {"MS-DOS host: code page 850", 0x0014, 0, "dir/a\x87\xC6o.txt", "dir\\", "ação.txt", 12},
      {"Unix host: UTF-8 bytes kept", 0x0314, 0, "dir/a\xC3\xA7\xC3\xA3o.txt", "dir\\", "ação.txt",
       14},
      {"Unix host: other bytes read as Windows-1252", 0x0314, 0, "a\x87.txt", "", "a‡.txt", 6},
      {"UTF-8 flag on MS-DOS host", 0x0014, kFlagUtf8, "\xC3\x87", "", "Ç", 2},
      {"box drawing best-fitted", 0x0000, 0, "x\xC4\xB3y", "", "x-¦y", 4},
      {"two levels, no file", 0x0014, 0, "a/b/", "a\\b\\", "", 4},
      {"no delimiter", 0x0014, 0, "plain.ADT", "", "plain.ADT", 9},
      {"drive colon ends the directory", 0x0014, 0, "C:file", "C:", "file", 6},
      {"backslash in a name", 0x0014, 0, "w\\x/y", "w\\x\\", "y", 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RawCentral raw;
    raw.madeBy = c.madeBy;
    raw.flags = c.flags;
    raw.name = c.raw;
    TMemoryStream stream(CentralBytes(raw));
    TZipHeaderInfo h;
    ASSERT_TRUE(h.ReadCentralHeader(stream));
    EXPECT_EQ(h.Directory(), c.directory);
    EXPECT_EQ(h.FileName(), c.fileName);
    EXPECT_EQ(h.FileNameLength, c.fileNameLength);
  }
}

// Entries carried over from other programs' archives must keep their names
// exactly; only a renamed entry is stored in the engine's own form.
TEST(zip_header_info_test, names_keep_the_bytes_and_flag_they_were_read_with_until_renamed) {
  RawCentral raw;
  raw.madeBy = 0x0314;
  raw.flags = kFlagUtf8 | 0x0002;
  raw.name = "\xE6\x97\xA5/\xC3\xA7.txt";  // a character code page 850 lacks, and ç
  TMemoryStream stream(CentralBytes(raw));
  TZipHeaderInfo h;
  ASSERT_TRUE(h.ReadCentralHeader(stream));
  TZipHeaderInfo copy;
  copy.Assign(h);
  for (TZipHeaderInfo* header : {&h, &copy}) {
    TMemoryStream local;
    header->WriteLocalHeader(local);
    TMemoryStream central;
    header->WriteCentralHeader(central);
    EXPECT_EQ(Get16(local.Data(), 6), kFlagUtf8 | 0x0002);
    EXPECT_EQ(Get16(central.Data(), 8), kFlagUtf8 | 0x0002);
    EXPECT_EQ(std::string(local.Data().begin() + 30, local.Data().end()), raw.name);
    EXPECT_EQ(header->FileNameLength, raw.name.size());
  }

  h.SetFileName("\xC3\xA7\xC3\xA3o.txt");  // renamed: code page 850, no UTF-8 flag
  TMemoryStream local;
  h.WriteLocalHeader(local);
  EXPECT_EQ(Get16(local.Data(), 6), 0x0002);
  EXPECT_EQ(std::string(local.Data().begin() + 30, local.Data().end()), "?/\x87\xC6o.txt");
  EXPECT_EQ(h.GeneralPurposeFlags, kFlagUtf8 | 0x0002);  // the record itself is unchanged
}

TEST(zip_header_info_test, headers_read_repair_their_date) {
  RawCentral raw;
  raw.name = "x";
  raw.dos = (Dos(2010, 10, 10, 0, 0, 0) & 0xFFFF0000) | 0xFFFF;
  TMemoryStream central(CentralBytes(raw));
  TZipHeaderInfo h;
  ASSERT_TRUE(h.ReadCentralHeader(central));
  EXPECT_EQ(h.LastModDateTime, Dos(2010, 10, 10, 23, 59, 58));

  TZipHeaderInfo source;
  source.SetFileName("y");
  source.LastModDateTime = 0;
  TMemoryStream local;
  source.WriteLocalHeader(local);
  local.SetPosition(0);
  ASSERT_TRUE(h.ReadLocalHeader(local));
  EXPECT_EQ(h.LastModDateTime, Dos(1980, 1, 1, 0, 0, 0));
}

TEST(zip_header_info_test, damaged_headers_are_refused_and_the_stream_is_put_back) {
  TZipHeaderInfo good = SampleEntry();
  TMemoryStream localStream;
  good.WriteLocalHeader(localStream);
  const Bytes local = localStream.Data();
  TMemoryStream centralStream;
  good.WriteCentralHeader(centralStream);
  const Bytes central = centralStream.Data();

  Bytes wrongSignature = local;
  wrongSignature[3] = 0x05;
  const struct {
    const char* what;
    Bytes bytes;
    bool central;
  } cases[] = {
      {"empty", {}, false},
      {"local fixed part cut short", Bytes(local.begin(), local.begin() + 29), false},
      {"local name cut short", Bytes(local.begin(), local.end() - 1), false},
      {"local signature wrong", wrongSignature, false},
      {"central header read as local", central, false},
      {"central fixed part cut short", Bytes(central.begin(), central.begin() + 45), true},
      {"central name cut short", Bytes(central.begin(), central.end() - 1), true},
      {"local header read as central", local, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes bytes = BytesOf("ab");
    bytes.insert(bytes.end(), c.bytes.begin(), c.bytes.end());
    TMemoryStream stream(bytes);
    stream.SetPosition(2);
    TZipHeaderInfo h;
    h.SetFileName("untouched");
    h.Crc32 = 42;
    const bool ok = c.central ? h.ReadCentralHeader(stream) : h.ReadLocalHeader(stream);
    EXPECT_FALSE(ok);
    EXPECT_EQ(stream.Position(), 2);
    EXPECT_EQ(h.FileName(), "untouched");
    EXPECT_EQ(h.Crc32, 42u);
  }
}

// ---------------------------------------------------------------------------
// TEndCentral

TEST(end_central_test, write_and_locate_round_trip_with_comment) {
  TEndCentral end;
  end.EntriesThisDisk = 3;
  end.TotalEntries = 3;
  end.CentralDirSize = 150;
  end.CentralDirOffset = 4000;
  end.SetArchiveComment("Backup diário");
  const std::int32_t commentLength = static_cast<std::int32_t>(std::string("Backup diário").size());
  EXPECT_EQ(end.EndRecordSize(), 22 + commentLength);

  TMemoryStream stream(Bytes(4150, 0xAA));
  stream.SetPosition(4150);
  end.WriteEndRecord(stream);
  ASSERT_EQ(stream.Data().size(), 4150u + 22 + commentLength);

  TEndCentral read;
  stream.SetPosition(0);
  ASSERT_TRUE(read.LocateEndRecord(stream));
  EXPECT_EQ(read.TotalEntries, 3);
  EXPECT_EQ(read.EntriesThisDisk, 3);
  EXPECT_EQ(read.CentralDirSize, 150u);
  EXPECT_EQ(read.CentralDirOffset, 4000u);
  EXPECT_EQ(read.ArchiveCommentLength, commentLength);
  EXPECT_EQ(read.ArchiveCommentPos, 4150 + 22);
  EXPECT_EQ(stream.Position(), read.ArchiveCommentPos);
  EXPECT_FALSE(read.ArchiveComment().has_value());
}

TEST(end_central_test, locate_in_short_files) {
  TMemoryStream empty;
  TEndCentral end;
  end.TotalEntries = 9;  // an empty file leaves the fields as they are
  EXPECT_TRUE(end.LocateEndRecord(empty));
  EXPECT_EQ(end.TotalEntries, 9);

  const Bytes record = EndRecordBytes(0, 0, 0, "");
  for (std::size_t size = 1; size < 22; ++size) {
    TMemoryStream stream(Bytes(record.begin(), record.begin() + static_cast<std::ptrdiff_t>(size)));
    stream.SetPosition(static_cast<std::int64_t>(size / 2));
    EXPECT_FALSE(end.LocateEndRecord(stream)) << size;
    EXPECT_EQ(stream.Position(), static_cast<std::int64_t>(size / 2));
  }
  TMemoryStream exact(record);
  EXPECT_TRUE(end.LocateEndRecord(exact));
  EXPECT_EQ(end.TotalEntries, 0);
}

TEST(end_central_test, signature_inside_the_comment_is_not_taken_for_the_record) {
  std::string comment = "before ";
  comment += std::string("PK\x05\x06", 4) + std::string(18, '\x7F') + " after";
  Bytes bytes(100, 0);
  const Bytes record = EndRecordBytes(2, 92, 8, comment);
  bytes.insert(bytes.end(), record.begin(), record.end());
  TMemoryStream stream(bytes);
  TEndCentral end;
  ASSERT_TRUE(end.LocateEndRecord(stream));
  EXPECT_EQ(end.TotalEntries, 2);
  EXPECT_EQ(end.CentralDirOffset, 8u);
  EXPECT_EQ(end.ArchiveCommentLength, comment.size());
  EXPECT_EQ(end.ArchiveCommentPos, 122);
}

TEST(end_central_test, bytes_after_the_record_fall_back_to_the_last_signature) {
  Bytes bytes = EndRecordBytes(1, 10, 20, "");
  const Bytes garbage = BytesOf("trailing bytes of a download");
  bytes.insert(bytes.end(), garbage.begin(), garbage.end());
  TMemoryStream stream(bytes);
  TEndCentral end;
  ASSERT_TRUE(end.LocateEndRecord(stream));
  EXPECT_EQ(end.CentralDirOffset, 20u);
  EXPECT_EQ(end.ArchiveCommentPos, 22);
}

TEST(end_central_test, search_reaches_exactly_65557_bytes_back) {
  const std::string longest(65535, 'c');
  for (const std::size_t lead : {0u, 1000u}) {
    Bytes bytes(lead, 0);
    const Bytes record = EndRecordBytes(0, 0, 0, longest);
    bytes.insert(bytes.end(), record.begin(), record.end());
    TMemoryStream found(bytes);
    TEndCentral end;
    ASSERT_TRUE(end.LocateEndRecord(found)) << lead;
    EXPECT_EQ(end.ArchiveCommentPos, static_cast<std::int32_t>(lead + 22));
  }
  // One byte more and the record lies beyond the search.
  Bytes tooFar = EndRecordBytes(0, 0, 0, "");
  tooFar.resize(tooFar.size() + 65536, 'z');
  TMemoryStream stream(tooFar);
  TEndCentral end;
  EXPECT_FALSE(end.LocateEndRecord(stream));
  EXPECT_EQ(stream.Position(), 0);
}

TEST(end_central_test, clear_assign_and_unloaded_comment) {
  TEndCentral source;
  source.TotalEntries = 5;
  source.SetArchiveComment("abc");
  source.ArchiveCommentPos = 77;
  source.CommentChanged = true;
  TEndCentral target;
  source.AssignTo(target);
  EXPECT_EQ(target.TotalEntries, 5);
  EXPECT_EQ(target.ArchiveComment(), std::optional<std::string>("abc"));
  EXPECT_EQ(target.ArchiveCommentPos, 77);
  EXPECT_FALSE(target.CommentChanged);

  target.Clear();
  EXPECT_EQ(target.TotalEntries, 0);
  EXPECT_EQ(target.Signature, kEndRecordSignature);
  EXPECT_EQ(target.ArchiveCommentLength, 0);
  EXPECT_FALSE(target.ArchiveComment().has_value());

  // A length without its text cannot be written truthfully.
  target.ArchiveCommentLength = 3;
  TMemoryStream stream;
  EXPECT_THROW(target.WriteEndRecord(stream), EInvalidArgument);
  target.ArchiveCommentLength = 0;
  target.WriteEndRecord(stream);
  EXPECT_EQ(stream.Data(), EndRecordBytes(0, 0, 0, ""));
}

// ---------------------------------------------------------------------------
// An archive built from these records alone, read by Python's zipfile.

struct StoredEntry {
  std::string directory;
  std::string fileName;
  std::string data;
  std::uint32_t dos;
};

std::string RunAndCapture(const std::string& command, int& status) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    status = -1;
    return output;
  }
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  status = pclose(pipe);
  return output;
}

Bytes BuildStoredArchive(const std::vector<StoredEntry>& entries, const std::string& comment) {
  TMemoryStream out;
  std::vector<TZipHeaderInfo> headers;
  for (const auto& e : entries) {
    TZipHeaderInfo h;
    h.SetDirectory(e.directory);
    h.SetFileName(e.fileName);
    h.CompressionMethod = 0;
    h.InternalAttributes = 0;
    h.LastModDateTime = e.dos;
    h.Crc32 = Crc32Of(e.data.data(), e.data.size());
    h.CompressedSize = h.UncompressedSize = static_cast<std::uint32_t>(e.data.size());
    h.WriteLocalHeader(out);
    out.WriteBuffer(e.data.data(), static_cast<std::int32_t>(e.data.size()));
    headers.push_back(h);
  }
  TEndCentral end;
  end.CentralDirOffset = static_cast<std::uint32_t>(out.Position());
  for (const auto& h : headers) h.WriteCentralHeader(out);
  end.CentralDirSize = static_cast<std::uint32_t>(out.Position()) - end.CentralDirOffset;
  end.EntriesThisDisk = end.TotalEntries = static_cast<std::uint16_t>(headers.size());
  end.SetArchiveComment(comment);
  end.WriteEndRecord(out);
  return out.Data();
}

TEST(zip_interop_test, python_zipfile_reads_an_archive_made_of_these_records) {
  int status = -1;
  RunAndCapture("python3 --version 2>&1", status);
  ASSERT_EQ(status, 0) << "python3 is needed to check archives with zipfile";

  const std::vector<StoredEntry> entries = {
      {"", "leia-me.txt", "Backup Quillo\r\n", Dos(2024, 3, 15, 10, 20, 30)},
      {"Dados\\Relatórios", "ação.ADT", std::string(5000, 'x') + "fim",
       Dos(1999, 12, 31, 23, 59, 58)},
      {"vazio", "nada.ADM", "", Dos(2107, 12, 31, 0, 0, 0)},
  };
  const std::string comment = "Quillo daily backup";
  const Bytes archive = BuildStoredArchive(entries, comment);

  const auto path = std::filesystem::temp_directory_path() /
                    ("quillo_records_" + std::to_string(::getpid()) + ".zip");
  {
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(archive.data()),
               static_cast<std::streamsize>(archive.size()));
  }
  // Names without the UTF-8 flag come back as code page 437 text; re-encoding
  // gives the stored bytes, which are code page 850.
  const std::string script =
      "import sys, zipfile\n"
      "z = zipfile.ZipFile(sys.argv[1])\n"
      "print('testzip', z.testzip())\n"
      "print('comment', z.comment.decode('ascii'))\n"
      "for i in z.infolist():\n"
      "    name = i.filename.encode('cp437').decode('cp850')\n"
      "    print(name, '%04d-%02d-%02d %02d:%02d:%02d' % i.date_time, '%08x' % i.CRC,\n"
      "          i.file_size, i.compress_type)\n";
  const std::string scriptPath = path.string() + ".py";
  std::ofstream(scriptPath) << script;
  const std::string output = RunAndCapture(
      "PYTHONIOENCODING=utf-8 python3 '" + scriptPath + "' '" + path.string() + "' 2>&1", status);
  std::filesystem::remove(path);
  std::filesystem::remove(scriptPath);

  std::string expected = "testzip None\ncomment " + comment + "\n";
  for (const auto& e : entries) {
    const DosDateTimeParts t = UnpackDosDateTime(e.dos);
    char line[200];
    std::snprintf(line, sizeof line, " %04d-%02d-%02d %02d:%02d:%02d %08x %zu 0\n", t.year, t.month,
                  t.day, t.hour, t.minute, t.second,
                  static_cast<unsigned>(BitwiseCrc(BytesOf(e.data))), e.data.size());
    std::string directory = e.directory.empty() ? "" : e.directory + "/";
    std::replace(directory.begin(), directory.end(), '\\', '/');
    expected += directory + e.fileName + line;
  }
  EXPECT_EQ(status, 0);
  EXPECT_EQ(output, expected);

  // And our own reader finds the same directory.
  TMemoryStream stream(archive);
  TEndCentral end;
  ASSERT_TRUE(end.LocateEndRecord(stream));
  EXPECT_EQ(end.TotalEntries, entries.size());
  stream.SetPosition(end.CentralDirOffset);
  for (const auto& e : entries) {
    TZipHeaderInfo h;
    ASSERT_TRUE(h.ReadCentralHeader(stream));
    EXPECT_EQ(h.FileName(), e.fileName);
    EXPECT_EQ(h.LastModDateTime, RepairDosDateTime(e.dos));  // 2107 reads as 2099
  }
}

}  // namespace
}  // namespace quillo::archive
