#include "tests/gui/form_test_support.h"

#include <QApplication>
#include <QTimer>
#include <algorithm>

#include "app/gui/wait_window.h"
#include "tests/net/loopback_servers.h"

namespace quillo::test {

namespace fs = std::filesystem;

RecordedForm::RecordedForm(std::unique_ptr<app::TBackupForm1> form) : form_(std::move(form)) {
  form_->SetMessageDialog(
      [this](QMessageBox::Icon icon, const QString& title, const QString& text) {
        events_.push_back({QStringLiteral("dialog"), icon, title, text});
      });
  QObject::connect(form_.get(), &app::TBackupForm1::terminationRequested, form_.get(), [this] {
    events_.push_back({QStringLiteral("terminate"), {}, {}, {}});
  });
}

std::vector<WindowEvent> RecordedForm::Dialogs() const {
  std::vector<WindowEvent> dialogs;
  std::copy_if(events_.begin(), events_.end(), std::back_inserter(dialogs),
               [](const WindowEvent& event) { return event.kind == "dialog"; });
  return dialogs;
}

int RecordedForm::Terminations() const {
  return static_cast<int>(
      std::count_if(events_.begin(), events_.end(),
                    [](const WindowEvent& event) { return event.kind == "terminate"; }));
}

void RecordedForm::StartAndRestore() {
  form_->ShowAtStart();
  form_->showNormal();
}

fs::path BaseDirUnder(const fs::path& root) {
  return root / "backup";
}

app::BackupPaths PathsUnder(const fs::path& root) {
  return app::BackupPaths::Under(BaseDirUnder(root).string(), root.string() + "/");
}

app::TransmissionSettings UnreachableTransmission() {
  app::TransmissionSettings settings = app::TransmissionSettings::Support();
  const int nobody = UnusedLoopbackPort();
  settings.supportFtpHost = "127.0.0.1";
  settings.supportFtpPort = nobody;
  settings.smtpHost = "127.0.0.1";
  settings.smtpPort = nobody;
  settings.ownHostFtpPort = nobody;
  return settings;
}

std::unique_ptr<RecordedForm> MakeRecordedForm(const fs::path& root,
                                               app::TransmissionSettings transmission) {
  return std::make_unique<RecordedForm>(
      std::make_unique<app::TBackupForm1>(PathsUnder(root), std::move(transmission)));
}

fs::path MakeDatabase(const fs::path& root) {
  const fs::path folder = root / "db";
  fs::create_directories(folder);
  for (const char* name : {"Clientes.ADT", "Clientes.ADI", "Clientes.ADM", "Cep_SP.ADT"}) {
    WriteFileText(folder / name, std::string("conteúdo de ") + name + std::string(4096, 'x'));
  }
  return folder;
}

void WriteConfig(const fs::path& baseDir, const std::string& text) {
  fs::create_directories(baseDir);
  WriteFileText(baseDir / "ConfigBackup.ini", text);
}

std::vector<fs::path> ArchivesIn(const fs::path& folder) {
  std::vector<fs::path> archives;
  if (!fs::is_directory(folder)) return archives;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with("BACKUP_Quillo_") && name.ends_with(".zip")) {
      archives.push_back(entry.path());
    }
  }
  return archives;
}

int WaitWindowCount() {
  const QWidgetList windows = QApplication::topLevelWidgets();
  return static_cast<int>(std::count_if(windows.begin(), windows.end(), [](QWidget* window) {
    return qobject_cast<app::TMensagemEsperaForm1*>(window) != nullptr;
  }));
}

void Activate(QWidget& window) {
  window.activateWindow();
  while (!window.isActiveWindow()) QCoreApplication::processEvents();
}

void WhenMessageBoxOpens(std::function<void(QMessageBox&)> inspect) {
  QTimer::singleShot(0, [inspect = std::move(inspect)]() mutable {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || !box->isVisible()) {
      WhenMessageBoxOpens(std::move(inspect));
      return;
    }
    inspect(*box);
  });
}

void AtNextPump(std::function<void()> action) {
  QTimer::singleShot(0, std::move(action));
}

}  // namespace quillo::test
