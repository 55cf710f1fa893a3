#pragma once

// Small helpers for tests that write real files: a temporary folder, files
// with chosen contents and times, and running Python's zipfile on a result.

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace quillo::archive::testing {

// A fresh folder per test, removed afterwards.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& Path() const { return path_; }
  // The path of `name` inside the folder.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::string& contents);
void WriteFile(const std::string& path, const std::vector<std::uint8_t>& contents);
std::vector<std::uint8_t> ReadFile(const std::string& path);
// Sets the last-write time, local time.
void SetModified(const std::string& path, int year, int month, int day, int hour, int minute,
                 int second);
void SetModified(const std::string& path, std::time_t when);

// Text that compresses well, like records of a table.
std::string RecordLikeText(std::size_t bytes, unsigned seed = 1);

struct CommandResult {
  int exitCode = -1;
  std::string output;  // stdout and stderr together
};
CommandResult RunCommand(const std::string& command);

// Runs Python's zipfile on an archive: testzip() must report nothing, and
// one line per entry comes back: "name|size|crc|Y-M-D h:m:s|method".
std::vector<std::string> PythonZipListing(const std::string& archive);

}  // namespace quillo::archive::testing
