// Whole backups started from the window as a user would start them, against
// real FTP and mail servers on loopback; the test answers the dialogs.

#include <QCheckBox>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <filesystem>

#include "app/gui/backup_form.h"
#include "app/profile_file.h"
#include "tests/gui/form_test_support.h"
#include "tests/net/loopback_servers.h"

namespace quillo::test {

namespace fs = std::filesystem;
using app::TBackupForm1;

namespace {

const QString kSuccess = QStringLiteral("Backup realizado com sucesso!");

// Types text key by key, accents included, as the keyboard would.
void TypeInto(QWidget* widget, const QString& text) {
  for (const QChar character : text) {
    if (character == QLatin1Char('\n')) {
      QTest::keyClick(widget, Qt::Key_Return);
    } else {
      QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, QString(character),
                          Qt::NoModifier);
    }
  }
}

// Presses "Fazer Backup" from inside the application's event loop, as a
// user would, and returns when the loop has ended: when the window has ended
// the program.
void ClickAndRunTheProgram(TBackupForm1& form) {
  QTimer::singleShot(0, &form, [&form] { QTest::mouseClick(form.SpeedButton1(), Qt::LeftButton); });
  QCOMPARE(QApplication::exec(), 0);
  // Ending the program closed the window.
  QVERIFY(!form.isVisible());
}

std::string Result(const fs::path& baseDir) {
  return app::ProfileFile((baseDir / "ConfigBackup.ini").string())
      .ReadString("BackupRealizado", "Resultado");
}

}  // namespace

class BackupFormRunTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void support_run_from_the_window_ends_the_program_after_success();
  void failed_run_leaves_the_window_idle_and_a_second_click_succeeds();
};

void BackupFormRunTest::support_run_from_the_window_ends_the_program_after_success() {
  TempFolder root;
  const fs::path home = root.Path() / "ftp";
  const fs::path spool = root.Path() / "mail";
  fs::create_directories(home / "BancoDados");
  fs::create_directories(spool);
  app::TransmissionSettings transmission = UnreachableTransmission();
  FtpServer ftp(home, transmission.supportFtpUser, transmission.supportFtpPassword);
  SmtpServer smtp(spool, transmission.smtpUserId, transmission.smtpPassword);
  transmission.supportFtpPort = ftp.Port();
  transmission.smtpPort = smtp.Port();
  const fs::path baseDir = BaseDirUnder(root.Path());
  WriteConfig(baseDir, "[BancoDados]\r\ndiretorio=" + MakeDatabase(root.Path()).string() + "\r\n");

  auto recorded = MakeRecordedForm(root.Path(), transmission);
  TBackupForm1& form = recorded->Form();
  recorded->StartAndRestore();
  Activate(form);
  QTest::mouseClick(form.CheckBox1(), Qt::LeftButton);
  TypeInto(form.Memo1(), QStringLiteral("Fechamento do mês\nconferir estoque"));
  QVERIFY(form.SpeedButton1()->isEnabled());

  ClickAndRunTheProgram(form);

  QCOMPARE(recorded->Events().size(), size_t{2});
  QCOMPARE(recorded->Events()[0].title, QStringLiteral("Information"));
  QCOMPARE(recorded->Events()[0].text, kSuccess);
  QCOMPARE(recorded->Events()[1].kind, QStringLiteral("terminate"));
  QCOMPARE(ArchivesIn(home / "BancoDados").size(), size_t{1});
  const auto messages = smtp.Messages();
  QCOMPARE(messages.size(), size_t{1});
  QCOMPARE(SmtpServer::Field(messages[0], "subject"), std::string("Banco de Dados"));
  const std::string body = SmtpServer::Field(messages[0], "body");
  QVERIFY2(body.find("Fechamento do mês") != std::string::npos, body.c_str());
  QVERIFY2(body.find("conferir estoque") != std::string::npos, body.c_str());
  QCOMPARE(Result(baseDir), std::string("S"));
  QCOMPARE(WaitWindowCount(), 0);
  QVERIFY(!form.Running());
}

void BackupFormRunTest::failed_run_leaves_the_window_idle_and_a_second_click_succeeds() {
  TempFolder root;
  const fs::path home = root.Path() / "ftp";
  fs::create_directories(home / "backups");
  FtpServer ftp(home, "cliente", "certa");
  app::TransmissionSettings transmission = UnreachableTransmission();
  transmission.ownHostFtpPort = ftp.Port();
  const fs::path baseDir = BaseDirUnder(root.Path());
  const std::string database = MakeDatabase(root.Path()).string();
  WriteConfig(baseDir, "[BancoDados]\r\ndiretorio=" + database +
                           "\r\n[Host]\r\nusuario=cliente\r\nsenha=errada\r\n"
                           "host=127.0.0.1\r\ndiretorio=backups\r\n");

  auto recorded = MakeRecordedForm(root.Path(), transmission);
  TBackupForm1& form = recorded->Form();
  recorded->StartAndRestore();
  Activate(form);

  QTest::mouseClick(form.SpeedButton1(), Qt::LeftButton);
  QCOMPARE(recorded->Events().size(), size_t{1});
  const WindowEvent refused = recorded->Events()[0];
  QCOMPARE(refused.title, QStringLiteral("Backup Quillo"));
  QCOMPARE(refused.icon, QMessageBox::Critical);
  QVERIFY(!refused.text.isEmpty());
  QCOMPARE(refused.text, app::ErrorBoxText(refused.text));
  // Idle in own-host mode, no notice left on screen, nothing recorded.
  QCOMPARE(WaitWindowCount(), 0);
  QVERIFY(!form.Running());
  QVERIFY(form.isVisible());
  QVERIFY(!form.CheckBox1()->isChecked());
  QVERIFY(form.SpeedButton1()->isEnabled());
  QCOMPARE(Result(baseDir), std::string());
  QVERIFY(ArchivesIn(home / "backups").empty());

  app::ProfileFile(baseDir.string() + "/ConfigBackup.ini").WriteString("Host", "senha", "certa");
  ClickAndRunTheProgram(form);
  QCOMPARE(recorded->Events().size(), size_t{3});
  QCOMPARE(recorded->Events()[1].title, QStringLiteral("Information"));
  QCOMPARE(recorded->Events()[1].text, kSuccess);
  QCOMPARE(recorded->Events()[2].kind, QStringLiteral("terminate"));
  QCOMPARE(ArchivesIn(home / "backups").size(), size_t{1});
  QCOMPARE(Result(baseDir), std::string("S"));
  QCOMPARE(WaitWindowCount(), 0);
}

}  // namespace quillo::test

QTEST_MAIN(quillo::test::BackupFormRunTest)
#include "test_backup_form_run.moc"
