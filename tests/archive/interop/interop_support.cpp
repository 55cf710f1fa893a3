#include "interop_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace quillo::archive::interop {
namespace {

const std::string kPython = "/usr/bin/python3";
const std::string kInspectScript =
    std::string(QUILLO_SOURCE_DIR) + "/tests/archive/interop/zip_inspect.py";

std::string LowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  for (std::string field; std::getline(in, field, '\t');) fields.push_back(field);
  return fields;
}

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::uint32_t ToU32(const std::string& text) {
  return static_cast<std::uint32_t>(std::stoul(text));
}

ExternalEntry ParseEntry(const std::vector<std::string>& f) {
  if (f.size() != 17) throw std::runtime_error("entry line with " + std::to_string(f.size()));
  ExternalEntry e;
  e.rawName = FromHex(f[1]);
  e.size = ToU32(f[2]);
  e.packedSize = ToU32(f[3]);
  e.crc = ToU32(f[4]);
  e.stamp = {std::stoi(f[5]), std::stoi(f[6]), std::stoi(f[7]),
             std::stoi(f[8]), std::stoi(f[9]), std::stoi(f[10])};
  e.method = std::stoi(f[11]);
  e.flags = std::stoi(f[12]);
  e.dataCrc = ToU32(f[13]);
  e.rawDataDigest = f[14];
  e.localExtraLength = std::stoi(f[15]);
  e.centralExtraLength = std::stoi(f[16]);
  return e;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace

CommandResult RunCommand(const std::vector<std::string>& argv, const std::string& workDir) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  int fds[2];
  if (::pipe(fds) != 0) throw std::runtime_error(std::strerror(errno));
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int devNull = ::open("/dev/null", O_RDONLY);
    ::dup2(devNull, 0);
    ::dup2(fds[1], 1);
    ::dup2(fds[1], 2);
    ::close(fds[0]);
    ::close(fds[1]);
    if (!workDir.empty() && ::chdir(workDir.c_str()) != 0) ::_exit(126);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  CommandResult result;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n > 0) {
      result.output.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

void WriteBytes(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void WriteFileWithTime(const std::string& path, std::string_view bytes, std::time_t moment) {
  WriteBytes(path, bytes);
  SetModificationTime(path, moment);
}

std::uint32_t ZlibCrc(std::string_view bytes) {
  uLong crc = ::crc32(0L, Z_NULL, 0);
  crc = ::crc32(crc, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size()));
  return static_cast<std::uint32_t>(crc);
}

std::string RandomBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 engine(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(engine() & 0xFF);
  return bytes;
}

std::string DatabaseLikeBytes(std::size_t size, std::uint32_t seed) {
  // Fixed-width rows: a binary record number, names and towns from short
  // lists, amounts as text, and blank padding, as table files hold them.
  static const char* const kNames[] = {"MARIA DA SILVA", "JOAO PEREIRA",   "ANA SOUZA",
                                       "CARLOS LIMA",    "FERNANDA COSTA", "PAULO ROCHA"};
  static const char* const kTowns[] = {"SAO PAULO", "CAMPINAS", "RECIFE", "CURITIBA",
                                       "BELO HORIZONTE"};
  constexpr std::size_t kRowSize = 128;
  std::mt19937 engine(seed);
  std::string bytes;
  bytes.reserve(size + kRowSize);
  for (std::uint32_t row = 0; bytes.size() < size; ++row) {
    std::string record(kRowSize, ' ');
    for (int i = 0; i < 4; ++i) record[i] = static_cast<char>((row >> (8 * i)) & 0xFF);
    char text[96];
    std::snprintf(text, sizeof text, "%-24s%-20s%10u.%02u%08u", kNames[engine() % 6],
                  kTowns[engine() % 5], static_cast<unsigned>(engine() % 100000),
                  static_cast<unsigned>(engine() % 100), static_cast<unsigned>(20200101 + row));
    record.replace(4, std::strlen(text), text);
    bytes += record;
  }
  bytes.resize(size);
  return bytes;
}

std::vector<std::string> NamesLike(const std::string& folder, const std::string& prefix,
                                   const std::string& suffix) {
  std::vector<std::string> names;
  const std::string lowerPrefix = LowerAscii(prefix);
  const std::string lowerSuffix = LowerAscii(suffix);
  for (const auto& item : std::filesystem::directory_iterator(folder)) {
    const std::string name = LowerAscii(item.path().filename().string());
    if (name.size() >= lowerPrefix.size() + lowerSuffix.size() &&
        name.compare(0, lowerPrefix.size(), lowerPrefix) == 0 &&
        name.compare(name.size() - lowerSuffix.size(), lowerSuffix.size(), lowerSuffix) == 0) {
      names.push_back(item.path().filename().string());
    }
  }
  return names;
}

StampFields ExpectedStamp(std::time_t moment) {
  std::tm local{};
  ::localtime_r(&moment, &local);
  return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
          local.tm_hour,        local.tm_min,     local.tm_sec & ~1};
}

std::ostream& operator<<(std::ostream& out, const StampFields& s) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", s.year, s.month, s.day, s.hour,
                s.minute, s.second);
  return out << text;
}

void PrintTo(const UpdateEvent& event, std::ostream* out) {
  *out << "(" << static_cast<int>(event.action) << ", " << event.index << ")";
}

ExternalView InspectWithPython(const std::string& archive) {
  const CommandResult run = RunCommand({kPython, kInspectScript, "inspect", archive});
  ExternalView view;
  view.report = run.output;
  view.readable = run.exitCode == 0;
  std::istringstream lines(run.output);
  for (std::string line; std::getline(lines, line);) {
    const std::vector<std::string> fields = SplitTabs(line);
    if (fields.empty()) continue;
    if (fields[0] == "testzip" && fields.size() == 2) view.testzip = fields[1];
    if (fields[0] == "entry") view.entries.push_back(ParseEntry(fields));
  }
  return view;
}

CommandResult MakeWithPython(const std::string& archive, const std::string& mode,
                             const std::vector<std::string>& files) {
  std::vector<std::string> argv = {kPython, kInspectScript, "make", archive, mode};
  argv.insert(argv.end(), files.begin(), files.end());
  return RunCommand(argv);
}

std::vector<ToolVerdict> TestWithExternalTools(const std::string& archive) {
  struct Tester {
    const char* tool;
    std::vector<std::string> argv;
    const char* success;  // what the tool says when every entry is good
  };
  const Tester testers[] = {
      {"unzip -t", {"unzip", "-t", archive}, "No errors detected"},
      {"7z t", {"7z", "t", archive}, "Everything is Ok"},
      {"bsdtar -tf", {"bsdtar", "-tf", archive}, ""},
      // Listing reads headers only; extracting also checks every CRC-32.
      {"bsdtar -xOf", {"bsdtar", "-xOf", archive}, ""},
  };
  std::vector<ToolVerdict> verdicts;
  for (const Tester& tester : testers) {
    const CommandResult run = RunCommand(tester.argv);
    ToolVerdict verdict{tester.tool, ""};
    if (run.exitCode != 0 || !Contains(run.output, tester.success)) {
      verdict.failure = "exit " + std::to_string(run.exitCode) + ": " + run.output.substr(0, 2000);
    }
    verdicts.push_back(verdict);
  }
  return verdicts;
}

void ScratchFolderTest::SetUp() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quillo-interop-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr) << std::strerror(errno);
  folder_ = pattern + "/";
}

void ScratchFolderTest::TearDown() {
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

}  // namespace quillo::archive::interop
