#include "app/gui/screenshots.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QPlainTextEdit>
#include <QTextStream>

#include "app/gui/backup_form.h"

namespace quillo::app {

namespace {

// Long enough for the display server to map and paint a window.
constexpr int kSettleMilliseconds = 400;

void Settle() {
  QDeadlineTimer deadline(kSettleMilliseconds);
  while (!deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
}

bool Save(QWidget& widget, const QDir& folder, const QString& name) {
  const QString path = folder.filePath(name);
  if (widget.grab().save(path, "PNG")) return true;
  QTextStream(stderr) << "cannot write " << path << "\n";
  return false;
}

}  // namespace

int TakeScreenshots(TBackupForm1& form, const QString& folder) {
  const QDir target(folder);
  if (!target.mkpath(QStringLiteral("."))) {
    QTextStream(stderr) << "cannot create " << folder << "\n";
    return 1;
  }
  bool saved = true;

  form.showNormal();
  form.activateWindow();
  Settle();
  saved &= Save(form, target, QStringLiteral("collapsed.png"));

  form.CheckBox1()->setChecked(true);
  form.Memo1()->setPlainText(QStringLiteral("Favor conferir o fechamento de ontem."));
  form.Memo1()->moveCursor(QTextCursor::End);
  Settle();
  saved &= Save(form, target, QStringLiteral("expanded.png"));

  form.ShowWaitWindow();
  Settle();
  saved &= Save(*form.WaitWindow(), target, QStringLiteral("wait.png"));
  form.RemoveWaitWindow();

  return saved ? 0 : 1;
}

}  // namespace quillo::app
