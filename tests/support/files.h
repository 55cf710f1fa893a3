#pragma once

// Helpers shared by every test program that works with real files: a fresh
// folder per test, whole-file reads and writes, chosen modification times
// and running a shell command.

#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>

namespace quillo::testing {

// A fresh folder under the system's temporary folder, removed with all it
// holds at the end.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  // The path of `name` inside the folder, as text.
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

std::string ReadFileText(const std::filesystem::path& path);  // "" when missing
void WriteFileText(const std::filesystem::path& path, std::string_view bytes);

// The moment of a local calendar time.
std::time_t LocalMoment(int year, int month, int day, int hour, int minute, int second);
// Sets the last-write (and last-access) time; throws when it cannot.
void SetModificationTime(const std::filesystem::path& path, std::time_t moment);

struct CommandResult {
  int exitCode = -1;   // -1 when the command did not exit normally
  std::string output;  // stdout and stderr together
};
// Runs a command line through the shell and waits for it.
CommandResult RunShell(const std::string& command);

}  // namespace quillo::testing
