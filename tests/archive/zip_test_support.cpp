#include "zip_test_support.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

namespace quillo::archive::testing {

TempFolder::TempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quillo-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
  if (!out) throw std::runtime_error("cannot write " + path);
}

void WriteFile(const std::string& path, const std::vector<std::uint8_t>& contents) {
  WriteFile(path, std::string(contents.begin(), contents.end()));
}

std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void SetModified(const std::string& path, std::time_t when) {
  const std::array<timespec, 2> times{timespec{when, 0}, timespec{when, 0}};
  if (utimensat(AT_FDCWD, path.c_str(), times.data(), 0) != 0) {
    throw std::runtime_error("cannot set the time of " + path);
  }
}

void SetModified(const std::string& path, int year, int month, int day, int hour, int minute,
                 int second) {
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;
  SetModified(path, std::mktime(&local));
}

std::string RecordLikeText(std::size_t bytes, unsigned seed) {
  static const char* const kNames[] = {"MARIA DA SILVA", "JOSE DOS SANTOS", "ANA PAULA SOUZA",
                                       "JOAO PEREIRA",   "FRANCISCO LIMA",  "ANTONIO COSTA"};
  static const char* const kStreets[] = {"RUA DAS FLORES", "AV PAULISTA", "RUA XV DE NOVEMBRO",
                                         "AV BRASIL", "RUA DA CONSOLACAO"};
  std::mt19937 random(seed);
  std::string text;
  text.reserve(bytes + 128);
  for (int record = 0; text.size() < bytes; ++record) {
    char line[160];
    std::snprintf(line, sizeof line, "%08d%-30s%-30s%05u%-10s\n", record, kNames[random() % 6],
                  kStreets[random() % 5], static_cast<unsigned>(random() % 99999), "SP");
    text += line;
  }
  text.resize(bytes);
  return text;
}

CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  std::array<char, 4096> chunk;
  for (std::size_t n; (n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0;) {
    result.output.append(chunk.data(), n);
  }
  const int status = pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::vector<std::string> PythonZipListing(const std::string& archive) {
  const std::string script =
      "import sys, zipfile\n"
      "z = zipfile.ZipFile(sys.argv[1])\n"
      "bad = z.testzip()\n"
      "if bad is not None: print('BAD', bad); sys.exit(3)\n"
      "for i in z.infolist():\n"
      "    d = i.date_time\n"
      "    print('%s|%d|%08x|%04d-%02d-%02d %02d:%02d:%02d|%d' % ((i.filename, i.file_size,"
      " i.CRC) + d + (i.compress_type,)))\n";
  const std::string scriptPath = archive + ".check.py";
  WriteFile(scriptPath, script);
  const CommandResult result = RunCommand("python3 '" + scriptPath + "' '" + archive + "'");
  std::filesystem::remove(scriptPath);
  EXPECT_EQ(result.exitCode, 0) << result.output;
  std::vector<std::string> lines;
  std::istringstream in(result.output);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace quillo::archive::testing
