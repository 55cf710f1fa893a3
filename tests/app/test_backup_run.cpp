#include "app/backup_run.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "net/net_error.h"
#include "tests/archive/zip_test_support.h"
#include "tests/net/loopback_servers.h"

namespace quillo::app {
namespace {

namespace fs = std::filesystem;
using quillo::test::FtpServer;
using quillo::test::ReadFileText;
using quillo::test::SmtpServer;
using quillo::test::TempFolder;
using quillo::test::WriteFileText;

constexpr const char* kDate = "09122024";
constexpr const char* kArchiveName = "BACKUP_Quillo_09122024.zip";
constexpr const char* kSuccess = "information: Backup realizado com sucesso!";

// Answers for the run the way a user would, and writes down what it was
// asked to do. The wait notice must never be shown twice without being taken
// down in between.
class RecordingFrontEnd : public BackupFrontEnd {
 public:
  bool support = false;
  std::string comment;
  std::vector<std::string> events;
  std::vector<int> progress;
  int pumps = 0;
  bool waitShown = false;

  bool SupportMode() override { return support; }
  std::string CommentText() override { return comment; }
  void ShowError(const std::string& text) override { events.push_back("error: " + text); }
  void ShowInformation(const std::string& text) override {
    events.push_back("information: " + text);
  }
  void FocusComment() override { events.push_back("focus comment"); }
  void ShowWaitWindow() override {
    EXPECT_FALSE(waitShown) << "wait notice shown over another";
    waitShown = true;
    events.push_back("wait shown");
  }
  void RemoveWaitWindow() override {
    EXPECT_TRUE(waitShown) << "wait notice removed while not shown";
    waitShown = false;
    events.push_back("wait removed");
  }
  void ProcessMessages() override { ++pumps; }
  void RequestTermination() override { events.push_back("terminate"); }
  void ArchiveProgress(int percent) override { progress.push_back(percent); }
};

using Events = std::vector<std::string>;
const Events kOneStageAndSuccess = {"wait shown", "wait removed", kSuccess, "terminate"};
const Events kTwoStagesAndSuccess = {"wait shown",   "wait removed", "wait shown",
                                     "wait removed", kSuccess,       "terminate"};
const Events kTwoStagesAndFailure = {"wait shown", "wait removed", "wait shown", "wait removed"};

net::Timeouts ShortTimeouts() {
  net::Timeouts timeouts;
  // Connecting includes the login, which pyftpdlib answers with a refusal
  // only after a pause of a few seconds.
  timeouts.connect = std::chrono::seconds(10);
  timeouts.reply = std::chrono::seconds(10);
  timeouts.stall = std::chrono::seconds(10);
  return timeouts;
}

std::string Bytes(const fs::path& path) {
  return ReadFileText(path);
}

std::set<std::string> FolderNames(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename());
  return names;
}

std::size_t Occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class backup_run_test : public ::testing::Test {
 protected:
  backup_run_test() {
    fs::create_directories(database);
    fs::create_directories(base);
    fs::create_directories(program);
    transmission = TransmissionSettings::Support();
    transmission.supportFtpHost = "127.0.0.1";
    transmission.smtpHost = "127.0.0.1";
    transmission.timeouts = ShortTimeouts();
  }

  // A configuration naming the database folder, followed by `more`.
  void WriteConfig(const std::string& more = "") {
    WriteFileText(config, "[BancoDados]\ndiretorio=" + database.string() + "\n" + more);
  }

  // A table file whose contents tell it from every other.
  std::string AddTable(const std::string& name, std::size_t size = 3000) {
    const std::string contents = name + "\n" + archive::testing::RecordLikeText(size, ++seed_);
    WriteFileText(database / name, contents);
    return contents;
  }

  void Execute() {
    BackupRun run(frontEnd, components, BackupPaths::Under(base.string(), program.string() + "/"),
                  transmission);
    run.DateText = [] { return std::string(kDate); };
    run.Execute();
  }

  fs::path Archive() const { return base / kArchiveName; }

  // The archive's entries as Python's zipfile extracts them, after its own
  // check of every entry.
  std::map<std::string, std::string> ArchivedFiles() {
    const std::vector<std::string> listing = archive::testing::PythonZipListing(Archive().string());
    const fs::path out = temp.Path() / ("extracted-" + std::to_string(++extractions_));
    const auto result = archive::testing::RunShell(
        "python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' '" +
        Archive().string() + "' '" + out.string() + "'");
    EXPECT_EQ(result.exitCode, 0) << result.output;
    std::map<std::string, std::string> files;
    for (const std::string& line : listing) {
      const std::string name = line.substr(0, line.find('|'));
      files[name] = Bytes(out / name);
    }
    return files;
  }

  std::set<std::string> ArchivedNames() {
    std::set<std::string> names;
    for (const auto& [name, contents] : ArchivedFiles()) names.insert(name);
    return names;
  }

  std::string Config() const { return ReadFileText(config); }

  TempFolder temp;
  fs::path database = temp.Path() / "Dados";
  fs::path base = temp.Path() / "Backup";
  fs::path program = temp.Path() / "Programa";
  fs::path config = base / "ConfigBackup.ini";
  RecordingFrontEnd frontEnd;
  BackupComponents components;
  TransmissionSettings transmission;

 private:
  unsigned seed_ = 0;
  int extractions_ = 0;
};

// --- Checks before any work ---------------------------------------------------

TEST_F(backup_run_test, missing_database_folder_setting_stops_with_its_dialog_only) {
  fs::remove_all(base);  // no configuration file, and no backup folder either
  AddTable("Clientes.ADT");
  EXPECT_THROW(Execute(), SilentAbort);
  EXPECT_EQ(frontEnd.events,
            Events{"error: Não existe nenhum diretório do banco de dados configurado!"});
  EXPECT_TRUE(fs::is_directory(base)) << "the backup folder is made all the same";
  EXPECT_TRUE(FolderNames(base).empty());

  // An existing file without the key, or with an empty value, reads the same.
  for (const std::string text : {"[Host]\nusuario=cliente\n", "[BancoDados]\ndiretorio=\n"}) {
    frontEnd.events.clear();
    WriteFileText(config, text);
    EXPECT_THROW(Execute(), SilentAbort);
    EXPECT_EQ(frontEnd.events,
              Events{"error: Não existe nenhum diretório do banco de dados configurado!"});
    EXPECT_EQ(Config(), text);
    EXPECT_EQ(FolderNames(base), std::set<std::string>{"ConfigBackup.ini"});
  }
}

TEST_F(backup_run_test, support_mode_without_comment_asks_for_one_and_does_nothing) {
  WriteConfig();
  AddTable("Clientes.ADT");
  frontEnd.support = true;
  EXPECT_THROW(Execute(), SilentAbort);
  EXPECT_EQ(frontEnd.events,
            (Events{"error: É necessário digitar um comentário!", "focus comment"}));
  EXPECT_EQ(FolderNames(base), std::set<std::string>{"ConfigBackup.ini"});
}

// Staging into the database folder itself would copy every table over itself
// and the clean-up would then delete the live database.
TEST_F(backup_run_test, database_folder_that_is_the_backup_folder_is_refused_untouched) {
  fs::create_directories(temp.Path() / "elsewhere");
  fs::create_symlink(base, temp.Path() / "link-to-backup");
  const std::string spellings[] = {
      base.string(),
      base.string() + "/",
      (temp.Path() / "elsewhere" / ".." / "Backup").string(),
      (temp.Path() / "link-to-backup").string(),
  };
  for (const std::string& spelling : spellings) {
    SCOPED_TRACE(spelling);
    const std::string text = "[BancoDados]\ndiretorio=" + spelling + "\n";
    WriteFileText(config, text);
    WriteFileText(base / "Clientes.ADT", "the live table");
    frontEnd.events.clear();
    EXPECT_THROW(Execute(), SilentAbort);
    EXPECT_EQ(frontEnd.events, Events{"error: O diretório do banco de dados (" + spelling +
                                      ") não pode ser o próprio diretório do backup!"});
    EXPECT_EQ(Bytes(base / "Clientes.ADT"), "the live table");
    EXPECT_EQ(FolderNames(base), (std::set<std::string>{"ConfigBackup.ini", "Clientes.ADT"}));
    EXPECT_EQ(Config(), text);
  }
}

// --- Staging and archiving ----------------------------------------------------

TEST_F(backup_run_test, archive_holds_the_tables_but_no_postal_code_table) {
  std::map<std::string, std::string> expected;
  for (const char* name : {"Clientes.ADT", "Clientes.ADI", "Clientes.ADM",
                           // The exclusion compares names exactly.
                           "Cep_SP.ADI", "cep_sp.adt", "CEP_AC.ADT", "Cep_RJ.adm"}) {
    expected[name] = AddTable(name);
  }
  for (const char* name :
       {"Cep_SP.ADT", "Cep_SP.adi", "Cep_SP.ADM", "Cep_AC.ADT", "Cep_TO.adi", "Cep_RS.ADM"}) {
    AddTable(name);
  }
  AddTable("Notas.txt");
  // A folder named like a table is neither copied nor touched.
  fs::create_directories(database / "Antigo.ADT");
  WriteFileText(database / "Antigo.ADT" / "Dentro.ADT", "inside");
  WriteConfig();

  Execute();

  EXPECT_EQ(ArchivedFiles(), expected);
  EXPECT_EQ(FolderNames(base), (std::set<std::string>{"ConfigBackup.ini", kArchiveName}))
      << "no staged copy is left";
  EXPECT_EQ(Bytes(database / "Antigo.ADT" / "Dentro.ADT"), "inside");
  EXPECT_EQ(FolderNames(database).size(), expected.size() + 6 + 2);
  EXPECT_EQ(frontEnd.events, kOneStageAndSuccess);
  EXPECT_EQ(Config(),
            "[BancoDados]\ndiretorio=" + database.string() + "\n[BackupRealizado]\nResultado=S\n");
  // One pump per entry found, the folder included, and more while archiving.
  EXPECT_GT(frontEnd.pumps, 15);
  ASSERT_FALSE(frontEnd.progress.empty());
  EXPECT_EQ(frontEnd.progress.back(), 100);
}

TEST_F(backup_run_test, second_run_of_the_day_updates_the_same_archive) {
  AddTable("Clientes.ADT");
  const std::string produtos = AddTable("Produtos.ADT");
  WriteConfig();
  Execute();
  ASSERT_EQ(ArchivedNames(), (std::set<std::string>{"Clientes.ADT", "Produtos.ADT"}));

  const std::string clientes = AddTable("Clientes.ADT", 5000);
  fs::last_write_time(database / "Clientes.ADT",
                      fs::last_write_time(database / "Clientes.ADT") + std::chrono::hours(1));
  const std::string vendas = AddTable("Vendas.ADM");
  frontEnd.events.clear();
  Execute();

  EXPECT_EQ(ArchivedFiles(),
            (std::map<std::string, std::string>{
                {"Clientes.ADT", clientes}, {"Produtos.ADT", produtos}, {"Vendas.ADM", vendas}}));
  EXPECT_EQ(FolderNames(base), (std::set<std::string>{"ConfigBackup.ini", kArchiveName}));
  EXPECT_EQ(frontEnd.events, kOneStageAndSuccess);
  EXPECT_EQ(Occurrences(Config(), "Resultado"), 1u);
}

// The backup folder may hold files of the same names as database files that
// this run did not put there; the clean-up leaves them alone.
TEST_F(backup_run_test, cleanup_deletes_only_the_copies_this_run_made) {
  AddTable("Clientes.ADT");
  AddTable("Cep_SP.ADT");
  AddTable("Cep_SP.adi");
  WriteFileText(base / "Cep_SP.ADT", "kept by the user");
  WriteFileText(base / "Cep_SP.adi", "kept by the user too");
  WriteConfig();

  Execute();

  EXPECT_EQ(ArchivedNames(), std::set<std::string>{"Clientes.ADT"});
  EXPECT_EQ(Bytes(base / "Cep_SP.ADT"), "kept by the user");
  EXPECT_EQ(Bytes(base / "Cep_SP.adi"), "kept by the user too");
  EXPECT_FALSE(fs::exists(base / "Clientes.ADT"));
}

// A file that cannot be copied must not make an incomplete backup look
// complete: the rest is archived, the run fails naming every file left out,
// and nothing is sent or recorded.
TEST_F(backup_run_test, files_that_cannot_be_copied_fail_the_run_after_archiving_the_rest) {
  const std::string clientes = AddTable("Clientes.ADT");
  const std::string indice = AddTable("Clientes.ADI");
  AddTable("Produtos.ADT");
  AddTable("Produtos.ADM");
  // The staging folder holds folders where these copies should go.
  fs::create_directories(base / "Produtos.ADT");
  fs::create_directories(base / "Produtos.ADM");
  const fs::path home = temp.Path() / "ftp";
  fs::create_directories(home / "backups");
  FtpServer server(home, "cliente", "segredo");
  transmission.ownHostFtpPort = server.Port();
  WriteConfig("[Host]\nusuario=cliente\nsenha=segredo\nhost=127.0.0.1\ndiretorio=backups\n");

  try {
    Execute();
    FAIL() << "an incomplete backup was reported as made";
  } catch (const SilentAbort&) {
    FAIL() << "the failure must be shown";
  } catch (const Exception& error) {
    const std::string text = error.what();
    EXPECT_EQ(text.rfind("Backup incompleto!", 0), 0u) << text;
    EXPECT_NE(text.find("\nProdutos.ADT ("), std::string::npos) << text;
    EXPECT_NE(text.find("\nProdutos.ADM ("), std::string::npos) << text;
    EXPECT_EQ(text.find("Clientes"), std::string::npos) << text;
  }
  EXPECT_EQ(ArchivedFiles(), (std::map<std::string, std::string>{{"Clientes.ADT", clientes},
                                                                 {"Clientes.ADI", indice}}));
  EXPECT_EQ(frontEnd.events, (Events{"wait shown", "wait removed"}));
  EXPECT_TRUE(FolderNames(home / "backups").empty());
  EXPECT_EQ(server.Log().find("logged in"), std::string::npos);
  EXPECT_EQ(Config().find("Resultado"), std::string::npos);
  EXPECT_FALSE(fs::exists(base / "Clientes.ADT"));
  EXPECT_FALSE(fs::exists(base / "Clientes.ADI"));
}

// A copy left in the staging folder by an earlier failed run is not the
// database as it is now; it must not be archived in place of a copy that
// fails this time.
TEST_F(backup_run_test, stale_staged_copy_never_reaches_the_archive) {
  AddTable("Clientes.ADT");
  // Reading this file fails with an I/O error.
  fs::create_symlink("/proc/self/mem", database / "Produtos.ADT");
  WriteFileText(base / "Produtos.ADT", "left by a run that failed yesterday");
  WriteConfig();

  try {
    Execute();
    FAIL() << "an incomplete backup was reported as made";
  } catch (const Exception& error) {
    EXPECT_NE(std::string(error.what()).find("\nProdutos.ADT ("), std::string::npos)
        << error.what();
  }
  EXPECT_EQ(ArchivedNames(), std::set<std::string>{"Clientes.ADT"});
  EXPECT_EQ(FolderNames(base), (std::set<std::string>{"ConfigBackup.ini", kArchiveName}));
}

TEST_F(backup_run_test, error_while_archiving_takes_the_wait_notice_down) {
  AddTable("Clientes.ADT");
  WriteConfig();
  // A folder where the archive should be: the writer cannot make it.
  fs::create_directories(Archive());
  EXPECT_THROW(Execute(), Exception);
  EXPECT_EQ(frontEnd.events, (Events{"wait shown", "wait removed"}));
  EXPECT_FALSE(fs::exists(base / "Clientes.ADT"));
  EXPECT_EQ(Config().find("Resultado"), std::string::npos);
}

TEST_F(backup_run_test, read_only_configuration_file_fails_when_the_result_is_written) {
  AddTable("Clientes.ADT");
  WriteConfig();
  fs::permissions(config, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  try {
    Execute();
    FAIL() << "the result could not have been written";
  } catch (const Exception& error) {
    EXPECT_EQ(std::string(error.what()), "Unable to write to " + config.string());
  }
  EXPECT_EQ(ArchivedNames(), std::set<std::string>{"Clientes.ADT"});
  EXPECT_EQ(frontEnd.events, (Events{"wait shown", "wait removed"}));
}

// --- Own-host mode -------------------------------------------------------------

class own_host_test : public backup_run_test {
 protected:
  own_host_test() { fs::create_directories(home / "backups"); }

  // The FTP server of the customer, reached on its own port.
  FtpServer& StartServer(const std::string& user, const std::string& password) {
    server = std::make_unique<FtpServer>(home, user, password);
    transmission.ownHostFtpPort = server->Port();
    return *server;
  }

  fs::path home = temp.Path() / "ftp-home";
  std::unique_ptr<FtpServer> server;
};

TEST_F(own_host_test, archive_lands_byte_for_byte_and_result_is_written_once_in_place) {
  AddTable("Clientes.ADT", 200000);
  AddTable("Clientes.ADI");
  StartServer("cliente", "segredo");
  const std::string before = "[BancoDados]\r\ndiretorio=" + database.string() +
                             "\r\n[BackupRealizado]\r\nResultado=N\r\n"
                             "[Host]\r\nusuario=cliente\r\nsenha=segredo\r\nhost=127.0.0.1\r\n"
                             "diretorio=backups\r\n";
  WriteFileText(config, before);

  Execute();

  const fs::path uploaded = home / "backups" / kArchiveName;
  ASSERT_TRUE(fs::exists(uploaded));
  EXPECT_EQ(Bytes(uploaded), Bytes(Archive()));
  EXPECT_EQ(frontEnd.events, kTwoStagesAndSuccess);
  std::string after = before;
  after.replace(after.find("Resultado=N"), 11, "Resultado=S");
  EXPECT_EQ(Config(), after);
  EXPECT_NE(server->Log().find("USER 'cliente' logged in"), std::string::npos);

  // The next run of the day sends the updated archive over the first.
  AddTable("Produtos.ADM");
  frontEnd.events.clear();
  Execute();
  EXPECT_EQ(Bytes(uploaded), Bytes(Archive()));
  EXPECT_EQ(ArchivedNames(),
            (std::set<std::string>{"Clientes.ADT", "Clientes.ADI", "Produtos.ADM"}));
  EXPECT_EQ(Config(), after);
  EXPECT_FALSE(components.ftp.IsConnected());
}

struct UserCase {
  const char* name;
  const char* hostSection;
  const char* serverUser;
  bool uploads;
};

// Names each case in test listings by what it shows, not by its bytes.
void PrintTo(const UserCase& c, std::ostream* out) {
  *out << c.name;
}

class own_host_user_test : public own_host_test, public ::testing::WithParamInterface<UserCase> {};

TEST_P(own_host_user_test, upload_happens_only_for_a_real_user) {
  const UserCase& c = GetParam();
  AddTable("Clientes.ADT");
  StartServer(c.serverUser, "segredo");
  WriteConfig(c.hostSection);

  Execute();

  EXPECT_EQ(fs::exists(home / "backups" / kArchiveName), c.uploads);
  EXPECT_EQ(server->Log().find("logged in") != std::string::npos, c.uploads);
  EXPECT_EQ(frontEnd.events, c.uploads ? kTwoStagesAndSuccess : kOneStageAndSuccess);
  EXPECT_NE(Config().find("[BackupRealizado]\nResultado=S\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    users, own_host_user_test,
    ::testing::Values(
        UserCase{"no_host_section", "", "cliente", false},
        UserCase{"no_user_key", "[Host]\nsenha=segredo\nhost=127.0.0.1\ndiretorio=backups\n",
                 "cliente", false},
        UserCase{"empty_user",
                 "[Host]\nusuario=\nsenha=segredo\nhost=127.0.0.1\ndiretorio=backups\n", "cliente",
                 false},
        UserCase{"reserved_user",
                 "[Host]\nusuario=Norvo System\nsenha=segredo\nhost=127.0.0.1\n"
                 "diretorio=backups\n",
                 "Norvo System", false},
        // Only the exact reserved value skips the upload.
        UserCase{"reserved_user_in_other_case",
                 "[Host]\nusuario=norvo system\nsenha=segredo\nhost=127.0.0.1\n"
                 "diretorio=backups\n",
                 "norvo system", true},
        UserCase{"reserved_user_with_trailing_space",
                 "[Host]\nusuario=Norvo System \nsenha=segredo\nhost=127.0.0.1\n"
                 "diretorio=backups\n",
                 "Norvo System", false},
        // Section and key names match in any letter case.
        UserCase{"names_in_other_letter_case",
                 "[HOST]\nUsuario=cliente\nSENHA=segredo\nHost=127.0.0.1\nDiretorio=backups\n",
                 "cliente", true}),
    [](const ::testing::TestParamInfo<UserCase>& param) { return std::string(param.param.name); });

// A run that crosses midnight sends the archive it wrote, not a file named
// after the new day, which does not exist.
TEST_F(own_host_test, run_across_midnight_sends_the_archive_it_wrote) {
  AddTable("Clientes.ADT");
  StartServer("cliente", "segredo");
  WriteConfig("[Host]\nusuario=cliente\nsenha=segredo\nhost=127.0.0.1\ndiretorio=backups\n");
  BackupRun run(frontEnd, components, BackupPaths::Under(base.string(), program.string() + "/"),
                transmission);
  int calls = 0;
  run.DateText = [&] { return std::string(calls++ == 0 ? kDate : "10122024"); };
  run.Execute();
  EXPECT_EQ(Bytes(home / "backups" / kArchiveName), Bytes(Archive()));
  EXPECT_EQ(frontEnd.events, kTwoStagesAndSuccess);
}

TEST_F(own_host_test, empty_remote_folder_sends_to_the_double_slash_path) {
  AddTable("Clientes.ADT");
  StartServer("cliente", "segredo");
  WriteConfig("[Host]\nusuario=cliente\nsenha=segredo\nhost=127.0.0.1\n");
  Execute();
  // "//" + name: the server's root.
  EXPECT_EQ(Bytes(home / kArchiveName), Bytes(Archive()));
  EXPECT_EQ(frontEnd.events, kTwoStagesAndSuccess);
}

TEST_F(own_host_test, refused_login_shows_the_server_reply_and_records_nothing) {
  AddTable("Clientes.ADT");
  StartServer("cliente", "segredo");
  WriteConfig("[Host]\nusuario=cliente\nsenha=errada\nhost=127.0.0.1\ndiretorio=backups\n");
  try {
    Execute();
    FAIL() << "a refused login was not reported";
  } catch (const net::NetError& error) {
    EXPECT_STREQ(error.what(), "530 Authentication failed.");
  }
  EXPECT_EQ(frontEnd.events, kTwoStagesAndFailure);
  EXPECT_EQ(Config().find("Resultado"), std::string::npos);
  EXPECT_TRUE(fs::exists(Archive()));
  EXPECT_TRUE(FolderNames(home / "backups").empty());
}

// --- Support mode --------------------------------------------------------------

class support_test : public backup_run_test {
 protected:
  support_test() {
    fs::create_directories(home / "BancoDados");
    fs::create_directories(spool);
    frontEnd.support = true;
    frontEnd.comment = "Primeira linha do comentário\nSegunda linha: não há pressa";
  }

  void StartServers(const std::string& smtpPassword = "37918459") {
    ftp = std::make_unique<FtpServer>(home, transmission.supportFtpUser, "xm915384");
    smtp = std::make_unique<SmtpServer>(spool, "norvosystem", smtpPassword);
    transmission.supportFtpPort = ftp->Port();
    transmission.smtpPort = smtp->Port();
  }

  fs::path home = temp.Path() / "support-ftp";
  fs::path spool = temp.Path() / "support-mail";
  std::unique_ptr<FtpServer> ftp;
  std::unique_ptr<SmtpServer> smtp;
};

TEST_F(support_test, archive_goes_to_support_followed_by_one_notice) {
  AddTable("Clientes.ADT", 100000);
  AddTable("Cep_SP.ADT");
  StartServers();
  // The customer's own server is not used in support mode.
  WriteConfig("[Host]\nusuario=cliente\nsenha=segredo\nhost=127.0.0.1\ndiretorio=backups\n");

  Execute();

  EXPECT_EQ(Bytes(home / "BancoDados" / kArchiveName), Bytes(Archive()));
  EXPECT_EQ(FolderNames(home), std::set<std::string>{"BancoDados"});
  const auto messages = smtp->Messages();
  ASSERT_EQ(messages.size(), 1u);
  const fs::path& m = messages[0];
  const std::string mailbox = transmission.supportMailbox;
  EXPECT_EQ(SmtpServer::Field(m, "from_name"), "Norvo System");
  EXPECT_EQ(SmtpServer::Field(m, "from_address"), mailbox);
  EXPECT_EQ(SmtpServer::Field(m, "to"), mailbox);
  EXPECT_EQ(SmtpServer::Field(m, "envelope_from"), mailbox);
  EXPECT_EQ(SmtpServer::Field(m, "envelope_to"), mailbox);
  EXPECT_EQ(SmtpServer::Field(m, "subject"), "Banco de Dados");
  EXPECT_EQ(SmtpServer::Field(m, "parts"), "1") << "no attachment";
  EXPECT_EQ(SmtpServer::Field(m, "body"),
            "Neste e-mail contém um arquivo anexado com o banco de dados.\n"
            "Esta é uma mensagem automática do sistema QUILLO.\n"
            "\n"
            "Usuário: Quillo Móveis e Decorações\n"
            "\n"
            "O banco de dados deste usuário já está disponível para download\n"
            "\n"
            "Comentário do Usuário:\n"
            "\n"
            "Primeira linha do comentário\n"
            "Segunda linha: não há pressa\n");
  EXPECT_EQ(smtp->AuthLog(), std::vector<std::string>{"LOGIN norvosystem ok"});
  EXPECT_EQ(frontEnd.events, kTwoStagesAndSuccess);
  EXPECT_NE(Config().find("[BackupRealizado]\nResultado=S\n"), std::string::npos);
  EXPECT_FALSE(components.ftp.IsConnected());
  EXPECT_FALSE(components.smtp.IsConnected());
}

TEST_F(support_test, unreachable_ftp_server_sends_no_mail_and_records_nothing) {
  AddTable("Clientes.ADT");
  StartServers();
  transmission.supportFtpPort = quillo::test::UnusedLoopbackPort();
  WriteConfig();
  EXPECT_THROW(Execute(), net::NetError);
  EXPECT_TRUE(smtp->Messages().empty());
  EXPECT_TRUE(smtp->AuthLog().empty());
  EXPECT_EQ(frontEnd.events, kTwoStagesAndFailure);
  EXPECT_EQ(Config().find("Resultado"), std::string::npos);
  EXPECT_EQ(ArchivedNames(), std::set<std::string>{"Clientes.ADT"});
}

TEST_F(support_test, refused_authentication_shows_the_server_reply) {
  AddTable("Clientes.ADT");
  StartServers("another password");
  WriteConfig();
  try {
    Execute();
    FAIL() << "a refused authentication was not reported";
  } catch (const net::NetError& error) {
    EXPECT_STREQ(error.what(), "535 5.7.8 Authentication credentials invalid");
  }
  EXPECT_EQ(smtp->AuthLog(), std::vector<std::string>{"LOGIN norvosystem refused"});
  EXPECT_TRUE(smtp->Messages().empty());
  // The upload came first and stays.
  EXPECT_EQ(Bytes(home / "BancoDados" / kArchiveName), Bytes(Archive()));
  EXPECT_EQ(frontEnd.events, kTwoStagesAndFailure);
  EXPECT_EQ(Config().find("Resultado"), std::string::npos);
}

TEST_F(support_test, next_run_closes_the_ftp_session_a_failed_upload_left_open) {
  AddTable("Clientes.ADT");
  StartServers();
  WriteConfig();
  fs::remove(home / "BancoDados");  // the upload is refused
  EXPECT_THROW(Execute(), net::NetError);
  EXPECT_TRUE(components.ftp.IsConnected());
  EXPECT_TRUE(smtp->Messages().empty());

  // A run that sends nothing still closes what the failed one left open.
  frontEnd.support = false;
  frontEnd.events.clear();
  Execute();
  EXPECT_FALSE(components.ftp.IsConnected());
  EXPECT_EQ(frontEnd.events, kOneStageAndSuccess);

  fs::create_directories(home / "BancoDados");
  frontEnd.support = true;
  frontEnd.events.clear();
  Execute();
  EXPECT_EQ(Bytes(home / "BancoDados" / kArchiveName), Bytes(Archive()));
  EXPECT_EQ(smtp->Messages().size(), 1u);
  EXPECT_EQ(frontEnd.events, kTwoStagesAndSuccess);
}

TEST_F(support_test, next_run_closes_the_mail_session_a_failed_send_left_open) {
  AddTable("Clientes.ADT");
  StartServers();
  WriteConfig();
  transmission.supportMailbox = "not an address";  // refused by the send
  EXPECT_THROW(Execute(), net::NetError);
  EXPECT_TRUE(components.smtp.IsConnected());

  transmission.supportMailbox = TransmissionSettings::Support().supportMailbox;
  frontEnd.support = false;
  frontEnd.events.clear();
  Execute();
  EXPECT_FALSE(components.smtp.IsConnected());

  frontEnd.support = true;
  frontEnd.events.clear();
  Execute();
  ASSERT_EQ(smtp->Messages().size(), 1u);
  EXPECT_EQ(SmtpServer::Field(smtp->Messages()[0], "to"), transmission.supportMailbox);
  EXPECT_EQ(frontEnd.events, kTwoStagesAndSuccess);
}

// --- Date text -----------------------------------------------------------------

TEST(backup_date_test, short_date_loses_every_slash) {
  std::tm day{};
  day.tm_year = 2024 - 1900;
  day.tm_mon = 11;
  day.tm_mday = 9;
  day.tm_hour = 12;
  day.tm_isdst = -1;
  const std::time_t when = std::mktime(&day);
  const std::string previous = std::setlocale(LC_TIME, nullptr);
  std::setlocale(LC_TIME, "C");  // "%x" is month/day/two-digit year here
  EXPECT_EQ(ShortDateWithoutSlashes(when), "120924");
  std::setlocale(LC_TIME, previous.c_str());
}

TEST_F(backup_run_test, date_text_other_separators_stay_in_the_archive_name) {
  AddTable("Clientes.ADT");
  WriteConfig();
  BackupRun run(frontEnd, components, BackupPaths::Under(base.string(), program.string()),
                transmission);
  run.DateText = [] { return std::string("09-12-2024"); };
  run.Execute();
  EXPECT_TRUE(fs::exists(base / "BACKUP_Quillo_09-12-2024.zip"));
}

TEST(backup_paths_test, every_path_lies_under_the_base_folder) {
  for (const std::string base : {"/srv/backup", "/srv/backup/"}) {
    const BackupPaths paths = BackupPaths::Under(base, "/usr/bin/");
    EXPECT_EQ(paths.baseDir, "/srv/backup/");
    EXPECT_EQ(paths.configFile, "/srv/backup/ConfigBackup.ini");
    EXPECT_EQ(paths.archivePrefix, "/srv/backup/BACKUP_Quillo_");
    EXPECT_EQ(paths.programFolder, "/usr/bin/");
  }
}

TEST(transmission_settings_test, support_values_are_the_programs_own) {
  const TransmissionSettings settings = TransmissionSettings::Support();
  EXPECT_EQ(settings.supportFtpPort, 21);
  EXPECT_EQ(settings.supportFtpPassword, "xm915384");
  EXPECT_EQ(settings.supportRemoteFolder, "/BancoDados/");
  EXPECT_EQ(settings.smtpPort, 587);
  EXPECT_EQ(settings.smtpUserId, "norvosystem");
  EXPECT_EQ(settings.smtpPassword, "37918459");
  EXPECT_EQ(settings.senderName, "Norvo System");
  EXPECT_EQ(settings.ownHostFtpPort, 21);
  EXPECT_FALSE(settings.supportFtpHost.empty());
  EXPECT_NE(settings.supportFtpUser.find('@'), std::string::npos);
  EXPECT_NE(settings.supportMailbox.find('@'), std::string::npos);
}

}  // namespace
}  // namespace quillo::app
