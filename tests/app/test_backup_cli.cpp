// quillo-backup-cli run as a program, the way a scheduled job runs it.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/net/loopback_servers.h"

namespace {

namespace fs = std::filesystem;
using quillo::test::FtpServer;
using quillo::test::ReadFileText;
using quillo::test::TempFolder;
using quillo::test::WriteFileText;

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

struct Outcome {
  int exitCode = -1;
  std::string out;
  std::string err;
};

class backup_cli_test : public ::testing::Test {
 protected:
  // Runs the program in the C locale with `environment` ("NAME=value").
  Outcome Run(const std::vector<std::string>& arguments,
              const std::vector<std::string>& environment = {}) {
    std::string command = "env LC_ALL=C";
    for (const std::string& setting : environment) command += " " + Quoted(setting);
    command += " " + Quoted(QUILLO_BACKUP_CLI);
    for (const std::string& argument : arguments) command += " " + Quoted(argument);
    const fs::path out = temp.Path() / "stdout";
    const fs::path err = temp.Path() / "stderr";
    command += " >" + Quoted(out.string()) + " 2>" + Quoted(err.string()) + " </dev/null";
    const int status = std::system(command.c_str());
    Outcome outcome;
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.out = ReadFileText(out);
    outcome.err = ReadFileText(err);
    return outcome;
  }

  std::vector<fs::path> Archives() const {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(base)) {
      const std::string name = entry.path().filename();
      if (name.rfind("BACKUP_Quillo_", 0) == 0) found.push_back(entry.path());
    }
    return found;
  }

  TempFolder temp;
  fs::path base = temp.Path() / "Backup";
  fs::path database = temp.Path() / "Dados";
};

TEST_F(backup_cli_test, help_goes_to_stdout_and_succeeds) {
  const Outcome outcome = Run({"--help"});
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_EQ(outcome.out.rfind("usage: quillo-backup-cli", 0), 0u) << outcome.out;
  EXPECT_NE(outcome.out.find("--base-dir DIR"), std::string::npos);
  EXPECT_TRUE(outcome.err.empty());
}

TEST_F(backup_cli_test, bad_usage_exits_with_two_and_does_nothing) {
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus"},
      {"--base-dir"},
      {"--base-dir", base.string(), "extra"},
      {"--comment", "no support mode", "--base-dir", base.string()},
      {"--support", "--comment"},
  };
  for (const auto& arguments : cases) {
    SCOPED_TRACE(arguments.front());
    const Outcome outcome = Run(arguments);
    EXPECT_EQ(outcome.exitCode, 2);
    EXPECT_NE(outcome.err.find("usage: quillo-backup-cli"), std::string::npos) << outcome.err;
    EXPECT_TRUE(outcome.out.empty());
  }
  EXPECT_FALSE(fs::exists(base));

  const Outcome badPort = Run({"--base-dir", base.string()}, {"QUILLO_OWN_FTP_PORT=http"});
  EXPECT_EQ(badPort.exitCode, 2);
  EXPECT_NE(badPort.err.find("QUILLO_OWN_FTP_PORT"), std::string::npos) << badPort.err;
}

TEST_F(backup_cli_test, refused_runs_exit_with_one_and_say_why_on_stderr) {
  Outcome outcome = Run({"--base-dir", base.string()});
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_EQ(outcome.err, "Não existe nenhum diretório do banco de dados configurado!\n");
  EXPECT_TRUE(outcome.out.empty());

  fs::create_directories(database);
  WriteFileText(base / "ConfigBackup.ini", "[BancoDados]\ndiretorio=" + database.string() + "\n");
  outcome = Run({"--base-dir", base.string(), "--support"});
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_EQ(outcome.err, "É necessário digitar um comentário!\n");
  EXPECT_TRUE(Archives().empty());
}

TEST_F(backup_cli_test, backup_uploaded_to_the_customers_server_exits_with_zero) {
  fs::create_directories(database);
  fs::create_directories(base);
  WriteFileText(database / "Clientes.ADT", std::string(50000, 'c'));
  WriteFileText(database / "Cep_SP.ADT", "postal codes");
  const fs::path home = temp.Path() / "ftp";
  fs::create_directories(home / "backups");
  FtpServer server(home, "cliente", "segredo");
  WriteFileText(base / "ConfigBackup.ini",
                "[BancoDados]\ndiretorio=" + database.string() +
                    "\n[Host]\nusuario=cliente\nsenha=segredo\nhost=127.0.0.1\n"
                    "diretorio=backups\n");

  const Outcome outcome =
      Run({"--base-dir", base.string()}, {"QUILLO_OWN_FTP_PORT=" + std::to_string(server.Port())});

  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
  EXPECT_EQ(outcome.out, "Backup realizado com sucesso!\n");
  EXPECT_TRUE(outcome.err.empty()) << "no progress drawn when stderr is not a terminal";
  const std::vector<fs::path> archives = Archives();
  ASSERT_EQ(archives.size(), 1u);
  EXPECT_EQ(ReadFileText(home / "backups" / archives[0].filename()), ReadFileText(archives[0]));
  EXPECT_NE(ReadFileText(base / "ConfigBackup.ini").find("Resultado=S"), std::string::npos);

  // The same server refusing the password: an error on stderr, exit 1.
  WriteFileText(base / "ConfigBackup.ini",
                "[BancoDados]\ndiretorio=" + database.string() +
                    "\n[Host]\nusuario=cliente\nsenha=errada\nhost=127.0.0.1\n");
  const Outcome refused =
      Run({"--base-dir", base.string()}, {"QUILLO_OWN_FTP_PORT=" + std::to_string(server.Port())});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_EQ(refused.err, "530 Authentication failed.\n");
  EXPECT_TRUE(refused.out.empty());
}

}  // namespace
