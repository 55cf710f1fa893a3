#include "zip_test_support.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

namespace quillo::archive::testing {

void SetModified(const std::string& path, int year, int month, int day, int hour, int minute,
                 int second) {
  quillo::testing::SetModificationTime(
      path, quillo::testing::LocalMoment(year, month, day, hour, minute, second));
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
  WriteFileText(scriptPath, script);
  const CommandResult result = RunShell("python3 '" + scriptPath + "' '" + archive + "'");
  std::filesystem::remove(scriptPath);
  EXPECT_EQ(result.exitCode, 0) << result.output;
  std::vector<std::string> lines;
  std::istringstream in(result.output);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace quillo::archive::testing
