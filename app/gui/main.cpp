// quillo-backup: the desktop window that backs up the Quillo database.

#include <QApplication>

#include "app/gui/backup_form.h"
#include "app/gui/glyphs.h"
#include "app/gui/screenshots.h"

int main(int argc, char* argv[]) {
  using quillo::app::TBackupForm1;
  QApplication application(argc, argv);
  QApplication::setApplicationDisplayName(TBackupForm1::ApplicationTitle());
  QApplication::setWindowIcon(quillo::app::ProgramIcon());

  TBackupForm1 form(quillo::app::BackupPaths::Installed(),
                    quillo::app::TransmissionSettings::Support());

  // For the documentation's pictures (scripts/screenshot): never set by users.
  const QString screenshots = qEnvironmentVariable("QUILLO_SCREENSHOTS");
  if (!screenshots.isEmpty()) return quillo::app::TakeScreenshots(form, screenshots);

  form.ShowAtStart();
  return QApplication::exec();
}
