// quillo-zip: the archive engine's own command line, in the manner of
// Info-ZIP zip. It creates or updates an archive, or lists one.

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "archive/errors.h"
#include "archive/names.h"
#include "archive/records.h"
#include "archive/zip_writer.h"
#include "platform/platform.h"

namespace {

using quillo::archive::TZipHeaderInfo;
using quillo::archive::TZipReader;
using quillo::archive::TZipWriter;

constexpr int kExitOk = 0;
constexpr int kExitError = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: quillo-zip [-0..-9] [-r] [-x PATTERN]... ARCHIVE FILE...\n"
    "       quillo-zip -l ARCHIVE\n"
    "\n"
    "Creates ARCHIVE, or brings it up to date: a listed file replaces its\n"
    "entry when it is newer, new files are appended, other entries are kept.\n"
    "\n"
    "  -0..-9      compression level (0 stores, default 6)\n"
    "  -r          add the files of listed folders and their subfolders\n"
    "  -x PATTERN  leave out files matching PATTERN (* ? <set>), may repeat\n"
    "  -l          list the entries of ARCHIVE\n"
    "  -h, --help  show this help\n";

struct Options {
  bool list = false;
  bool recurse = false;
  int level = 6;
  std::vector<std::string> excludes;
  std::string archive;
  std::vector<std::string> files;
};

// Returns false (after saying why) when the arguments make no sense.
bool ParseArguments(int argc, char** argv, Options& options, bool& help) {
  bool endOfOptions = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!endOfOptions && arg == "--") {
      endOfOptions = true;
    } else if (!endOfOptions && (arg == "-h" || arg == "--help")) {
      help = true;
      return true;
    } else if (!endOfOptions && arg == "-l") {
      options.list = true;
    } else if (!endOfOptions && arg == "-r") {
      options.recurse = true;
    } else if (!endOfOptions && arg == "-x") {
      if (++i == argc) {
        std::cerr << "quillo-zip: -x needs a pattern\n";
        return false;
      }
      options.excludes.emplace_back(argv[i]);
    } else if (!endOfOptions && arg.size() == 2 && arg[0] == '-' && arg[1] >= '0' &&
               arg[1] <= '9') {
      options.level = arg[1] - '0';
    } else if (!endOfOptions && arg.size() > 1 && arg[0] == '-') {
      std::cerr << "quillo-zip: unknown option " << arg << "\n";
      return false;
    } else if (options.archive.empty()) {
      options.archive = arg;
    } else {
      options.files.push_back(arg);
    }
  }
  if (options.archive.empty()) {
    std::cerr << "quillo-zip: no archive named\n";
    return false;
  }
  if (options.list && !options.files.empty()) {
    std::cerr << "quillo-zip: -l takes only the archive\n";
    return false;
  }
  if (!options.list && options.files.empty()) {
    std::cerr << "quillo-zip: no files to add\n";
    return false;
  }
  return true;
}

std::string FormatDate(std::uint32_t stamp) {
  const auto parts = quillo::archive::UnpackDosDateTime(stamp);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", parts.year, parts.month,
                parts.day, parts.hour, parts.minute, parts.second);
  return text;
}

int ListArchive(const Options& options) {
  if (!quillo::platform::FileExists(options.archive)) {
    std::cerr << "quillo-zip: " << options.archive << ": no such archive\n";
    return kExitError;
  }
  TZipReader reader;
  reader.SetZipName(options.archive);
  try {
    reader.OpenArchive();
  } catch (const std::exception& error) {
    std::cerr << "quillo-zip: " << options.archive << ": " << error.what() << "\n";
    return kExitError;
  }
  std::printf("%10s %10s %-7s %-19s %-8s %s\n", "Length", "Size", "Method", "Date", "CRC-32",
              "Name");
  std::uint64_t totalLength = 0;
  std::uint64_t totalSize = 0;
  for (std::int32_t i = 0; i < reader.EntryCount(); ++i) {
    const TZipHeaderInfo& entry = reader.Entry(i);
    const char* method = entry.CompressionMethod == 8   ? "Defl"
                         : entry.CompressionMethod == 0 ? "Stored"
                                                        : "Other";
    std::printf("%10u %10u %-7s %-19s %08x %s\n", entry.UncompressedSize, entry.CompressedSize,
                method, FormatDate(entry.LastModDateTime).c_str(), entry.Crc32,
                entry.Path().c_str());
    totalLength += entry.UncompressedSize;
    totalSize += entry.CompressedSize;
  }
  std::printf("%10llu %10llu %d entries\n", static_cast<unsigned long long>(totalLength),
              static_cast<unsigned long long>(totalSize), reader.EntryCount());
  reader.CloseArchive();
  return kExitOk;
}

int ZipFiles(const Options& options) {
  TZipWriter writer;
  writer.PackLevel = options.level;
  writer.ExcludeList = options.excludes;
  writer.SetZipName(options.archive);
  bool anyMissing = false;
  for (const std::string& file : options.files) {
    if (quillo::platform::FolderExists(file)) {
      if (!options.recurse) {
        std::cerr << "quillo-zip: " << file << " is a folder, skipped (use -r)\n";
        anyMissing = true;
        continue;
      }
      std::string folderPattern = file;
      if (!quillo::platform::IsPathDelimiter(folderPattern.back()))
        folderPattern += quillo::platform::kPathDelimiter;
      writer.FilesList.push_back(">" + folderPattern + "*");
    } else if (quillo::platform::FileExists(file) || quillo::archive::HasWildcards(file)) {
      writer.FilesList.push_back(file);
    } else {
      std::cerr << "quillo-zip: " << file << ": no such file\n";
      anyMissing = true;
    }
  }
  if (writer.FilesList.empty() && !quillo::platform::FileExists(options.archive)) {
    // Like Info-ZIP zip: no archive is made when there is nothing to put in it.
    std::cerr << "quillo-zip: nothing to add, " << options.archive << " not created\n";
    return kExitError;
  }
  writer.OnNoSuchFile = [&](TZipWriter&, const std::string& name) {
    std::cerr << "quillo-zip: " << name << ": no such file\n";
    anyMissing = true;
  };
  writer.OnSkippingFile = [&](TZipReader&, quillo::archive::TSkipReason reason,
                              const std::string& name, std::int32_t, bool&) {
    std::cerr << "quillo-zip: " << name
              << (reason == quillo::archive::srDuplicateName
                      ? ": an entry of that name is already in the archive, skipped\n"
                      : ": cannot be opened, skipped\n");
    anyMissing = true;
  };
  writer.OnUpdate = [](TZipWriter& sender, quillo::archive::TUpdateAction action,
                       std::int32_t index) {
    if (action == quillo::archive::uaKeeping) {
      std::printf("  keeping: %s (up to date)\n", sender.Entry(index).Path().c_str());
    }
  };
  writer.OnEndZip = [](TZipWriter&, const std::string& name, std::int32_t size, std::int32_t packed,
                       std::int32_t) {
    const int saved = size > 0 ? 100 - quillo::archive::Percent(packed, size) : 0;
    std::printf("   adding: %s (%d%% saved)\n", name.c_str(), saved);
  };
  const std::int32_t added = writer.Zip();
  std::printf("%d file%s compressed into %s\n", added, added == 1 ? "" : "s",
              options.archive.c_str());
  return anyMissing ? kExitError : kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bool help = false;
  if (!ParseArguments(argc, argv, options, help)) {
    std::cerr << kUsage;
    return kExitUsage;
  }
  if (help) {
    std::cout << kUsage;
    return kExitOk;
  }
  try {
    return options.list ? ListArchive(options) : ZipFiles(options);
  } catch (const std::exception& error) {
    std::cerr << "quillo-zip: " << error.what() << "\n";
    return kExitError;
  }
}
