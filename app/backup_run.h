#pragma once

// The backup run: stage the database files, make or update the day's
// archive, send it away and record the result. It knows no window system;
// the window and the command line each give it a front end.

#include <ctime>
#include <functional>
#include <string>

#include "archive/zip_writer.h"
#include "net/ftp_client.h"
#include "net/mail_message.h"
#include "net/smtp_client.h"
#include "net/timeouts.h"
#include "platform/exception.h"

namespace quillo::app {

// Everything the run asks of the user's side. The window implements it with
// its controls and dialogs, the command line with its options and streams,
// tests with a recorder.
class BackupFrontEnd {
 public:
  virtual ~BackupFrontEnd() = default;

  // Whether the archive goes to technical support (the check box is ticked);
  // asked again each time the run needs it.
  virtual bool SupportMode() = 0;
  // The user's comment for support, as typed (line breaks included).
  virtual std::string CommentText() = 0;
  // Modal message dialogs with one OK button: kind "Error" or "Information".
  virtual void ShowError(const std::string& text) = 0;
  virtual void ShowInformation(const std::string& text) = 0;
  virtual void FocusComment() = 0;
  // The wait notice; the run removes it whichever way it ends.
  virtual void ShowWaitWindow() = 0;
  virtual void RemoveWaitWindow() = 0;
  // Hands control to the user interface once to handle pending input.
  virtual void ProcessMessages() = 0;
  // Ends the program once the current handler returns.
  virtual void RequestTermination() = 0;
  // Share of the archive's bytes read so far, 0 to 100. Optional.
  virtual void ArchiveProgress(int /*percent*/) {}
};

// Ends a run after its own message dialog; a front end shows nothing for it.
class SilentAbort : public Exception {
 public:
  SilentAbort() : Exception("Operation aborted") {}
};

// Where the run works. The defaults are the program's fixed places; tests
// point them at a temporary folder.
struct BackupPaths {
  // The staging folder, which also holds the archive and the configuration
  // file; ends with the path delimiter.
  std::string baseDir;
  std::string configFile;     // baseDir + "ConfigBackup.ini"
  std::string archivePrefix;  // baseDir + "BACKUP_Quillo_"
  // The folder of the program's executable: the writer's TempPath.
  std::string programFolder;

  // The program's own places: QUILLO_BASE_DIR and the executable's folder.
  static BackupPaths Installed();
  // Every path under one base folder (a delimiter is appended when missing).
  static BackupPaths Under(const std::string& baseDir, const std::string& programFolder);
};

// The fixed values of the transmission. Support() gives the program's own;
// tests replace hosts and ports with loopback servers.
struct TransmissionSettings {
  std::string supportFtpHost;
  int supportFtpPort = 21;
  std::string supportFtpUser;
  std::string supportFtpPassword;
  std::string supportRemoteFolder;  // "/BancoDados/"
  std::string smtpHost;
  int smtpPort = 587;
  std::string smtpUserId;
  std::string smtpPassword;
  std::string supportMailbox;
  std::string senderName;  // "Norvo System"
  // The customer's own server is always reached on this port.
  int ownHostFtpPort = 21;
  net::Timeouts timeouts;

  static TransmissionSettings Support();
};

// The network and archive components that live as long as the window: a
// connection left open by a failed run is closed by the next one.
struct BackupComponents {
  archive::TZipWriter zipWriter;
  net::FtpClient ftp;
  net::SmtpClient smtp;
  net::MailMessage message;
};

class BackupRun {
 public:
  BackupRun(BackupFrontEnd& frontEnd, BackupComponents& components, BackupPaths paths,
            TransmissionSettings transmission);

  // The whole run, from the checks to the success message. Errors leave it
  // as exceptions (SilentAbort after its own dialogs); the wait window is
  // removed whichever way it ends.
  void Execute();

  // Today's date as the archive name carries it: the locale's short date
  // with every "/" removed. Tests may replace it.
  std::function<std::string()> DateText;

 private:
  BackupFrontEnd& frontEnd_;
  BackupComponents& components_;
  BackupPaths paths_;
  TransmissionSettings transmission_;
};

// The locale's short date of `when` with every "/" removed.
std::string ShortDateWithoutSlashes(std::time_t when);

}  // namespace quillo::app
