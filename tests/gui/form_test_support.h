#pragma once

// What the window tests share: a window over a temporary backup folder whose
// dialogs are answered by the test, and the files a run reads.

#include <QMessageBox>
#include <QString>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/gui/backup_form.h"

namespace quillo::test {

// One dialog the window opened, or a termination it asked for.
struct WindowEvent {
  QString kind;  // "dialog" or "terminate"
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QString title;
  QString text;
};

// A window whose every dialog is answered at once with OK and written down,
// in the order the user would have met them, together with its termination
// requests.
class RecordedForm {
 public:
  explicit RecordedForm(std::unique_ptr<app::TBackupForm1> form);

  app::TBackupForm1& Form() { return *form_; }
  const std::vector<WindowEvent>& Events() const { return events_; }
  std::vector<WindowEvent> Dialogs() const;
  int Terminations() const;
  // Starts the window as the program does, then restores it as the user does.
  void StartAndRestore();

 private:
  std::unique_ptr<app::TBackupForm1> form_;
  std::vector<WindowEvent> events_;
};

// The backup folder of a window under `root`: root/backup, not created.
std::filesystem::path BaseDirUnder(const std::filesystem::path& root);
app::BackupPaths PathsUnder(const std::filesystem::path& root);

// Support endpoints on loopback ports where nothing listens, so a window
// under test never reaches out by mistake.
app::TransmissionSettings UnreachableTransmission();

std::unique_ptr<RecordedForm> MakeRecordedForm(const std::filesystem::path& root,
                                               app::TransmissionSettings transmission);

// A database folder root/db of three Clientes files and one excluded table.
std::filesystem::path MakeDatabase(const std::filesystem::path& root);

// Writes ConfigBackup.ini into the backup folder (created when missing).
void WriteConfig(const std::filesystem::path& baseDir, const std::string& text);

// The day's archives in `folder` ("BACKUP_Quillo_*.zip").
std::vector<std::filesystem::path> ArchivesIn(const std::filesystem::path& folder);

// The wait notices that exist at this moment.
int WaitWindowCount();

// Makes `window` the active window and waits until the platform says so.
void Activate(QWidget& window);

// Runs `inspect` on the next modal message box once it is on screen; the
// inspector closes it.
void WhenMessageBoxOpens(std::function<void(QMessageBox&)> inspect);

// Runs `action` the first time the event loop gets control, e.g. in the
// middle of a run that pumps messages.
void AtNextPump(std::function<void()> action);

}  // namespace quillo::test
