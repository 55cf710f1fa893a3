#pragma once

// Shared helpers of the interoperability tests: a scratch folder per test,
// files with chosen modification times, running other programs, and what
// Python's zipfile reports about an archive.

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "archive/zip_writer.h"
#include "tests/support/files.h"

namespace quillo::archive::interop {

// The engine's command line, built alongside the tests.
inline const std::string kQuilloZip = QUILLO_ZIP_EXE;

struct CommandResult {
  int exitCode = -1;   // -1 when the program did not exit normally
  std::string output;  // stdout and stderr, interleaved as written
};

// Runs argv[0] (looked up in PATH) with stdin from /dev/null, in workDir
// when one is given, and waits for it.
CommandResult RunCommand(const std::vector<std::string>& argv, const std::string& workDir = "");

std::string ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, std::string_view bytes);
using quillo::testing::LocalMoment;
using quillo::testing::SetModificationTime;
void WriteFileWithTime(const std::string& path, std::string_view bytes, std::time_t moment);
// zlib's CRC-32, independent of the engine's own.
std::uint32_t ZlibCrc(std::string_view bytes);

// Reproducible contents: bytes that do not compress, and rows of a table
// file like the database files the program backs up.
std::string RandomBytes(std::size_t size, std::uint32_t seed);
std::string DatabaseLikeBytes(std::size_t size, std::uint32_t seed);

// Names in a folder that start with `prefix` and end with `suffix`, letter
// case ignored.
std::vector<std::string> NamesLike(const std::string& folder, const std::string& prefix,
                                   const std::string& suffix);

// The local calendar fields an archive stores for a moment: MS-DOS stamps
// keep even seconds only.
struct StampFields {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  bool operator==(const StampFields&) const = default;
};
StampFields ExpectedStamp(std::time_t moment);
std::ostream& operator<<(std::ostream& out, const StampFields& stamp);

// One entry as Python's zipfile sees it.
struct ExternalEntry {
  std::string rawName;  // the name's bytes in the archive
  std::uint32_t size = 0;
  std::uint32_t packedSize = 0;
  std::uint32_t crc = 0;
  StampFields stamp;
  int method = -1;
  int flags = 0;
  std::uint32_t dataCrc = 0;  // of the data zipfile read back, by zlib
  std::string rawDataDigest;  // MD5 of the compressed bytes
  int localExtraLength = 0;
  int centralExtraLength = 0;
};

struct ExternalView {
  bool readable = false;
  std::string testzip;  // "None" when every entry reads back with its CRC
  std::vector<ExternalEntry> entries;
  std::string report;  // the script's whole output, for failure messages
};

ExternalView InspectWithPython(const std::string& archive);
// Writes `files` with Python's zipfile: "seekable", or "stream" for entries
// with data descriptors.
CommandResult MakeWithPython(const std::string& archive, const std::string& mode,
                             const std::vector<std::string>& files);

// Each external tester's verdict on an archive (unzip -t, 7z t, bsdtar -tf);
// an empty string when it passes, else what it said.
struct ToolVerdict {
  std::string tool;
  std::string failure;
};
std::vector<ToolVerdict> TestWithExternalTools(const std::string& archive);

// One OnUpdate of the writer: what it does with the old entry at `index`.
struct UpdateEvent {
  TUpdateAction action;
  std::int32_t index;
  bool operator==(const UpdateEvent&) const = default;
};
void PrintTo(const UpdateEvent& event, std::ostream* out);

// A fresh folder per test, removed with everything in it afterwards.
class ScratchFolderTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::string Path(const std::string& name) const { return folder_ + name; }
  const std::string& Folder() const { return folder_; }

 private:
  std::string folder_;
};

}  // namespace quillo::archive::interop
