#include "app/backup_run.h"

#include <array>
#include <ctime>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "app/profile_file.h"
#include "platform/platform.h"

namespace quillo::app {
namespace {

namespace platform = quillo::platform;

// Texts the user sees.
constexpr const char* kNoDatabaseFolder =
    "Não existe nenhum diretório do banco de dados configurado!";
constexpr const char* kCommentRequired = "É necessário digitar um comentário!";
constexpr const char* kBackupDone = "Backup realizado com sucesso!";

// Names in the configuration file.
constexpr const char* kDatabaseSection = "BancoDados";
constexpr const char* kHostSection = "Host";
constexpr const char* kResultSection = "BackupRealizado";
constexpr const char* kFolderKey = "diretorio";
constexpr const char* kUserKey = "usuario";
constexpr const char* kPasswordKey = "senha";
constexpr const char* kHostKey = "host";
constexpr const char* kResultKey = "Resultado";
constexpr const char* kResultDone = "S";

// An own-server user of this value means "no own server": it is the name
// under which the program itself writes to support.
constexpr std::string_view kReservedUser = "Norvo System";

constexpr const char* kArchiveSuffix = ".zip";

// The postal-code tables, one per state, are public data that every
// installation can download again; they would only make the archive large.
constexpr std::array<const char*, 27> kStateCodes = {
    "AC", "AL", "AM", "AP", "BA", "CE", "DF", "ES", "GO", "MA", "MG", "MS", "MT", "PA",
    "PB", "PE", "PI", "PR", "RJ", "RN", "RO", "RR", "RS", "SC", "SE", "SP", "TO"};

// One search of the database folder and the extension of the names it never
// copies. The index search excludes lower-case ".adi" only: the comparison is
// exact, as the installations name those files.
struct TableSearch {
  const char* pattern;
  const char* excludedExtension;
};
constexpr std::array<TableSearch, 3> kSearches = {{
    {"*.ADT", ".ADT"},
    {"*.ADI", ".adi"},
    {"*.ADM", ".ADM"},
}};

bool IsExcluded(const TableSearch& search, const std::string& name) {
  for (const char* state : kStateCodes) {
    if (name == std::string("Cep_") + state + search.excludedExtension) return true;
  }
  return false;
}

std::string WithoutEvery(std::string text, std::string_view part) {
  if (part.empty()) return text;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at)) {
    text.erase(at, part.size());
  }
  return text;
}

// True when both name one existing folder, whatever way each is written
// (trailing delimiters, "..", links).
bool SameFolder(const std::string& a, const std::string& b) {
  std::error_code error;
  return std::filesystem::equivalent(std::filesystem::path(a), std::filesystem::path(b), error) &&
         !error;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (!folder.empty() && platform::IsPathDelimiter(folder.back())) return folder + name;
  return folder + platform::kPathDelimiter + name;
}

// The wait notice of one stage of the run. It is taken down when the stage
// ends, and also when an error or an abort leaves the stage, so a failed run
// never leaves the notice standing over an idle window.
class WaitNotice {
 public:
  explicit WaitNotice(BackupFrontEnd& frontEnd) : frontEnd_(frontEnd) {}
  ~WaitNotice() {
    if (!shown_) return;
    try {
      frontEnd_.RemoveWaitWindow();
    } catch (...) {
      // Already leaving with an error; that one is the one to report.
    }
  }
  WaitNotice(const WaitNotice&) = delete;
  WaitNotice& operator=(const WaitNotice&) = delete;

  void Show() {
    frontEnd_.ShowWaitWindow();
    shown_ = true;
    frontEnd_.ProcessMessages();
  }
  void Remove() {
    if (!shown_) return;
    shown_ = false;
    frontEnd_.RemoveWaitWindow();
  }

 private:
  BackupFrontEnd& frontEnd_;
  bool shown_ = false;
};

// Lends the writer's pump and progress events to this run's front end and
// gives the previous ones back afterwards, so a writer that outlives the run
// never calls into a front end that may be gone.
class WriterEvents {
 public:
  WriterEvents(archive::TZipWriter& writer, BackupFrontEnd& frontEnd)
      : writer_(writer),
        previousPump_(
            std::exchange(writer.ProcessMessages, [&frontEnd] { frontEnd.ProcessMessages(); })),
        previousProgress_(std::exchange(writer.OnTotalPercentDone,
                                        [&frontEnd](archive::TZipReader&, std::int32_t percent) {
                                          frontEnd.ArchiveProgress(percent);
                                        })) {}
  ~WriterEvents() {
    writer_.ProcessMessages = std::move(previousPump_);
    writer_.OnTotalPercentDone = std::move(previousProgress_);
  }
  WriterEvents(const WriterEvents&) = delete;
  WriterEvents& operator=(const WriterEvents&) = delete;

 private:
  archive::TZipWriter& writer_;
  std::function<void()> previousPump_;
  std::function<void(archive::TZipReader&, std::int32_t)> previousProgress_;
};

// The copies this run put into the staging folder. They are deleted however
// the run ends: only these, never a file of the staging folder that merely
// shares a name with a database file.
class StagedCopies {
 public:
  explicit StagedCopies(BackupFrontEnd& frontEnd) : frontEnd_(frontEnd) {}
  ~StagedCopies() { DeleteAll(); }
  StagedCopies(const StagedCopies&) = delete;
  StagedCopies& operator=(const StagedCopies&) = delete;

  void Add(std::string path) { paths_.push_back(std::move(path)); }

  void DeleteAll() noexcept {
    for (const std::string& path : paths_) {
      try {
        frontEnd_.ProcessMessages();
      } catch (...) {
        // Deleting the copies matters more than the pump.
      }
      platform::DeleteFile(path);
    }
    paths_.clear();
  }

 private:
  BackupFrontEnd& frontEnd_;
  std::vector<std::string> paths_;
};

// A database file that could not be copied, and why.
struct MissedFile {
  std::string name;
  std::string reason;
};

std::string IncompleteBackupMessage(const std::vector<MissedFile>& missed) {
  std::string text = missed.size() == 1
                         ? "Backup incompleto! Este arquivo não pôde ser copiado e ficou fora do "
                           "backup:"
                         : "Backup incompleto! Estes arquivos não puderam ser copiados e ficaram "
                           "fora do backup:";
  for (const MissedFile& file : missed) text += "\n" + file.name + " (" + file.reason + ")";
  text += "\nO backup não foi enviado.";
  return text;
}

std::string SameFolderMessage(const std::string& folder) {
  return "O diretório do banco de dados (" + folder +
         ") não pode ser o próprio diretório do backup!";
}

// One run: its values, its steps in order.
class Run {
 public:
  Run(BackupFrontEnd& frontEnd, BackupComponents& components, const BackupPaths& paths,
      const TransmissionSettings& transmission, const std::function<std::string()>& dateText)
      : frontEnd_(frontEnd),
        components_(components),
        paths_(paths),
        transmission_(transmission),
        dateText_(dateText),
        config_(paths.configFile) {}

  void Execute() {
    const std::string databaseFolder = CheckSettings();
    CloseLeftoverConnections();
    CheckComment();
    const std::string archivePath = MakeArchive(databaseFolder);
    Transmit(archivePath);
    config_.WriteString(kResultSection, kResultKey, kResultDone);
    frontEnd_.ShowInformation(kBackupDone);
    frontEnd_.RequestTermination();
  }

 private:
  // Refuses the run with a dialog and nothing else.
  [[noreturn]] void Refuse(const std::string& text) {
    frontEnd_.ShowError(text);
    throw SilentAbort();
  }

  std::string CheckSettings() {
    if (!platform::FolderExists(paths_.baseDir)) platform::CreateFolders(paths_.baseDir);
    const std::string databaseFolder = config_.ReadString(kDatabaseSection, kFolderKey);
    if (databaseFolder.empty()) Refuse(kNoDatabaseFolder);
    // Staging into the database folder itself would copy each file over
    // itself and the clean-up would then delete the live database.
    if (SameFolder(databaseFolder, paths_.baseDir)) Refuse(SameFolderMessage(databaseFolder));
    return databaseFolder;
  }

  // A run that failed in the middle of a transfer leaves its connection open.
  void CloseLeftoverConnections() {
    if (components_.ftp.IsConnected()) components_.ftp.Quit();
    if (components_.smtp.IsConnected()) components_.smtp.Disconnect();
  }

  void CheckComment() {
    if (!frontEnd_.SupportMode() || !frontEnd_.CommentText().empty()) return;
    frontEnd_.ShowError(kCommentRequired);
    frontEnd_.FocusComment();
    throw SilentAbort();
  }

  std::string ArchivePath() const { return paths_.archivePrefix + dateText_() + kArchiveSuffix; }

  // Stages the database files, archives them and deletes the copies; gives
  // the archive's path. Files that could not be copied fail the run once the
  // others are safely archived.
  std::string MakeArchive(const std::string& databaseFolder) {
    WaitNotice wait(frontEnd_);
    wait.Show();
    archive::TZipWriter& writer = components_.zipWriter;
    WriterEvents events(writer, frontEnd_);
    // The archive sent away is the one written here, even when the run
    // crosses midnight: a name built again from the clock would name a file
    // that does not exist.
    const std::string archivePath = ArchivePath();
    writer.SetZipName(archivePath);
    writer.FilesList.clear();

    StagedCopies copies(frontEnd_);
    std::vector<MissedFile> missed;
    for (const TableSearch& search : kSearches) Stage(databaseFolder, search, copies, missed);
    writer.Zip();
    copies.DeleteAll();
    writer.FilesList.clear();
    wait.Remove();
    if (!missed.empty()) throw Exception(IncompleteBackupMessage(missed));
    return archivePath;
  }

  void Stage(const std::string& databaseFolder, const TableSearch& search, StagedCopies& copies,
             std::vector<MissedFile>& missed) {
    archive::TZipWriter& writer = components_.zipWriter;
    const auto listing = platform::OpenListing(databaseFolder, search.pattern);
    for (; listing->HasEntry(); listing->Next()) {
      frontEnd_.ProcessMessages();
      const platform::FindData& entry = listing->Entry();
      if ((entry.attributes & platform::kAttrDirectory) != 0) continue;
      if (IsExcluded(search, entry.name)) continue;
      const std::string staged = paths_.baseDir + entry.name;
      // A copy left by an earlier run that failed is not this database's
      // current state; it must not stand in for a copy that fails now.
      if (platform::FileExists(staged)) platform::DeleteFile(staged);
      std::string error;
      if (!platform::CopyFile(JoinPath(databaseFolder, entry.name), staged, true, &error)) {
        missed.push_back({entry.name, error});
        continue;
      }
      copies.Add(staged);
      writer.TempPath = paths_.programFolder;
      writer.FilesList.push_back(staged);
    }
  }

  void Transmit(const std::string& archivePath) {
    const std::string fileName = WithoutEvery(archivePath, paths_.baseDir);
    if (frontEnd_.SupportMode()) SendToSupport(archivePath, fileName);
    if (!frontEnd_.SupportMode()) SendToOwnServer(archivePath, fileName);
  }

  void SendToSupport(const std::string& archivePath, const std::string& fileName) {
    WaitNotice wait(frontEnd_);
    wait.Show();
    ComposeNotice();
    net::FtpClient& ftp = components_.ftp;
    ftp.SetUser(transmission_.supportFtpUser);
    ftp.SetPassword(transmission_.supportFtpPassword);
    ftp.SetHost(transmission_.supportFtpHost);
    ftp.SetPort(transmission_.supportFtpPort);
    ftp.SetTimeouts(transmission_.timeouts);
    ftp.Connect();
    if (ftp.IsConnected()) {
      ftp.Put(archivePath, transmission_.supportRemoteFolder + fileName);
      ftp.Quit();
    }
    net::SmtpClient& smtp = components_.smtp;
    smtp.SetPort(transmission_.smtpPort);
    smtp.SetHost(transmission_.smtpHost);
    smtp.SetUserId(transmission_.smtpUserId);
    smtp.SetPassword(transmission_.smtpPassword);
    smtp.SetTimeouts(transmission_.timeouts);
    smtp.Connect();  // greets and logs in with the LOGIN mechanism
    smtp.Send(components_.message);
    smtp.Disconnect();
    wait.Remove();
  }

  void ComposeNotice() {
    net::MailMessage& message = components_.message;
    message.Clear();
    message.SetFrom(transmission_.supportMailbox, transmission_.senderName);
    message.SetSubject("Banco de Dados");
    message.AddBodyLine("Neste e-mail contém um arquivo anexado com o banco de dados.");
    message.AddBodyLine("Esta é uma mensagem automática do sistema QUILLO.");
    message.AddBodyLine("");
    message.AddBodyLine("Usuário: Quillo Móveis e Decorações");
    message.AddBodyLine("");
    message.AddBodyLine("O banco de dados deste usuário já está disponível para download");
    message.AddBodyLine("");
    message.AddBodyLine("Comentário do Usuário:");
    message.AddBodyLine("");
    message.AddBodyLine(frontEnd_.CommentText());
    message.SetRecipient(transmission_.supportMailbox);
  }

  // Each value is read when it is needed, so an edit of the file made while
  // the archive was written still counts.
  void SendToOwnServer(const std::string& archivePath, const std::string& fileName) {
    if (config_.ReadString(kHostSection, kUserKey).empty()) return;
    if (config_.ReadString(kHostSection, kUserKey) == kReservedUser) return;
    WaitNotice wait(frontEnd_);
    wait.Show();
    net::FtpClient& ftp = components_.ftp;
    ftp.SetUser(config_.ReadString(kHostSection, kUserKey));
    ftp.SetPassword(config_.ReadString(kHostSection, kPasswordKey));
    ftp.SetHost(config_.ReadString(kHostSection, kHostKey));
    ftp.SetPort(transmission_.ownHostFtpPort);
    ftp.SetTimeouts(transmission_.timeouts);
    ftp.Connect();
    if (ftp.IsConnected()) {
      const std::string remoteFolder = config_.ReadString(kHostSection, kFolderKey);
      ftp.Put(archivePath, "/" + remoteFolder + "/" + fileName);
      ftp.Quit();
    }
    wait.Remove();
  }

  BackupFrontEnd& frontEnd_;
  BackupComponents& components_;
  const BackupPaths& paths_;
  const TransmissionSettings& transmission_;
  const std::function<std::string()>& dateText_;
  ProfileFile config_;
};

}  // namespace

BackupPaths BackupPaths::Installed() {
  return Under(QUILLO_BASE_DIR, platform::ExecutableFolder());
}

BackupPaths BackupPaths::Under(const std::string& baseDir, const std::string& programFolder) {
  BackupPaths paths;
  paths.baseDir = baseDir;
  if (paths.baseDir.empty() || !platform::IsPathDelimiter(paths.baseDir.back())) {
    paths.baseDir += platform::kPathDelimiter;
  }
  paths.configFile = paths.baseDir + "ConfigBackup.ini";
  paths.archivePrefix = paths.baseDir + "BACKUP_Quillo_";
  paths.programFolder = programFolder;
  return paths;
}

TransmissionSettings TransmissionSettings::Support() {
  TransmissionSettings settings;
  settings.supportFtpHost = QUILLO_SUPPORT_FTP_HOST;
  settings.supportFtpPort = net::FtpClient::kDefaultPort;
  settings.supportFtpUser = QUILLO_SUPPORT_FTP_USER;
  settings.supportFtpPassword = "xm915384";
  settings.supportRemoteFolder = "/BancoDados/";
  settings.smtpHost = QUILLO_SMTP_HOST;
  settings.smtpPort = 587;
  settings.smtpUserId = "norvosystem";
  settings.smtpPassword = "37918459";
  settings.supportMailbox = QUILLO_SUPPORT_MAILBOX;
  settings.senderName = std::string(kReservedUser);
  settings.ownHostFtpPort = net::FtpClient::kDefaultPort;
  return settings;
}

BackupRun::BackupRun(BackupFrontEnd& frontEnd, BackupComponents& components, BackupPaths paths,
                     TransmissionSettings transmission)
    : DateText([] { return ShortDateWithoutSlashes(std::time(nullptr)); }),
      frontEnd_(frontEnd),
      components_(components),
      paths_(std::move(paths)),
      transmission_(std::move(transmission)) {}

void BackupRun::Execute() {
  Run(frontEnd_, components_, paths_, transmission_, DateText).Execute();
}

std::string ShortDateWithoutSlashes(std::time_t when) {
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &when);
#else
  localtime_r(&when, &local);
#endif
  char text[128];
  const std::size_t length = std::strftime(text, sizeof text, "%x", &local);
  return WithoutEvery(std::string(text, length), "/");
}

}  // namespace quillo::app
