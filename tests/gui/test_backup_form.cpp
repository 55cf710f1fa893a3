// The window on its own: layouts, the comment and the button, quitting, the
// error box, the wait notice and the guard against input during a run. The
// runs here need no network: the configuration names no server.

#include <QAction>
#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScreen>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QToolButton>
#include <filesystem>

#include "app/gui/backup_form.h"
#include "app/gui/glyphs.h"
#include "app/gui/wait_window.h"
#include "tests/gui/form_test_support.h"
#include "tests/net/loopback_servers.h"

namespace quillo::test {

namespace fs = std::filesystem;
using app::TBackupForm1;
using app::TMensagemEsperaForm1;

namespace {

struct LayoutSeen {
  int windowHeight;
  int panelHeight;
  int buttonTop;
  bool operator==(const LayoutSeen&) const = default;
};

constexpr LayoutSeen kCollapsed{140, 40, 24};
constexpr LayoutSeen kExpanded{215, 110, 85};

LayoutSeen LayoutOf(TBackupForm1& form) {
  return {form.height(), form.Panel1()->height(), form.SpeedButton1()->y()};
}

char* toString(const LayoutSeen& layout) {
  return QTest::toString(QStringLiteral("window %1, panel %2, button top %3")
                             .arg(layout.windowHeight)
                             .arg(layout.panelHeight)
                             .arg(layout.buttonTop));
}

const char* kOwnHostConfig = "[BancoDados]\r\ndiretorio=%1\r\n";

std::string ConfigNaming(const fs::path& database) {
  return QString::fromLatin1(kOwnHostConfig)
      .arg(QString::fromStdString(database.string()))
      .toStdString();
}

// A window whose wait notice fails to appear, to see how the window shows an
// error that leaves the run.
class FailingNoticeForm : public TBackupForm1 {
 public:
  FailingNoticeForm(app::BackupPaths paths, app::TransmissionSettings transmission,
                    std::string failure)
      : TBackupForm1(std::move(paths), std::move(transmission)), failure_(std::move(failure)) {}

  void ShowWaitWindow() override {
    TBackupForm1::ShowWaitWindow();
    throw Exception(failure_);
  }

 private:
  std::string failure_;
};

}  // namespace

class BackupFormTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void starts_minimised_and_first_restore_gives_idle_collapsed_layout();
  void later_restores_keep_what_the_user_typed();
  void ticking_expands_clears_and_focuses_comment_and_disables_button();
  void typing_enables_button_and_erasing_disables_it();
  void unticking_collapses_clears_and_enables_whatever_the_comment_held_data();
  void unticking_collapses_clears_and_enables_whatever_the_comment_held();
  void hidden_comment_is_reachable_by_tab_in_collapsed_layout();
  void escape_and_sair_end_the_program_and_write_nothing();
  void window_offers_close_but_no_minimise_or_maximise_button();
  void error_box_text_gets_full_stop_only_after_later_characters_data();
  void error_box_text_gets_full_stop_only_after_later_characters();
  void error_leaving_the_run_shows_error_box_and_leaves_no_notice_data();
  void error_leaving_the_run_shows_error_box_and_leaves_no_notice();
  void message_box_has_its_title_icon_and_one_ok_button();
  void run_refused_by_its_checks_shows_only_its_own_dialog();
  void input_during_a_run_is_ignored_and_the_run_finishes_first();
  void wait_window_is_centred_on_top_and_sky_blue_with_red_notice();
  void wait_window_destroyed_by_close_request_is_not_destroyed_again();
  void glyph_is_32_pixels_with_transparent_corner();
};

void BackupFormTest::starts_minimised_and_first_restore_gives_idle_collapsed_layout() {
  TempFolder root;
  auto recorded = MakeRecordedForm(root.Path(), UnreachableTransmission());
  TBackupForm1& form = recorded->Form();
  QCOMPARE(LayoutOf(form), kCollapsed);

  form.ShowAtStart();
  QVERIFY(form.isMinimized());
  // Whatever happened to the controls before the user first sees them,
  // restoring shows the idle own-host state.
  form.CheckBox1()->setChecked(true);
  form.Memo1()->setPlainText(QStringLiteral("digitado antes"));
  QCOMPARE(LayoutOf(form), kExpanded);

  form.showNormal();
  QVERIFY(!form.isMinimized());
  QCOMPARE(LayoutOf(form), kCollapsed);
  QVERIFY(!form.CheckBox1()->isChecked());
  QVERIFY(form.Memo1()->toPlainText().isEmpty());
  QVERIFY(form.SpeedButton1()->isEnabled());
  QCOMPARE(form.windowTitle(), QStringLiteral("Backup"));
  QCOMPARE(recorded->Terminations(), 0);
}

void BackupFormTest::later_restores_keep_what_the_user_typed() {
  TempFolder root;
  auto recorded = MakeRecordedForm(root.Path(), UnreachableTransmission());
  TBackupForm1& form = recorded->Form();
  recorded->StartAndRestore();
  QTest::mouseClick(form.CheckBox1(), Qt::LeftButton);
  QTest::keyClicks(form.Memo1(), QStringLiteral("meu comentario"));

  form.showMinimized();
  form.showNormal();
  QVERIFY(form.CheckBox1()->isChecked());
  QCOMPARE(form.Memo1()->toPlainText(), QStringLiteral("meu comentario"));
  QVERIFY(form.SpeedButton1()->isEnabled());
}

void BackupFormTest::ticking_expands_clears_and_focuses_comment_and_disables_button() {
  TempFolder root;
  auto recorded = MakeRecordedForm(root.Path(), UnreachableTransmission());
  TBackupForm1& form = recorded->Form();
  recorded->StartAndRestore();
  Activate(form);
  // Text typed into the hidden comment before ticking is cleared by ticking.
  QTest::keyClicks(form.Memo1(), QStringLiteral("antigo"));
  form.CheckBox1()->setFocus();

  QTest::mouseClick(form.CheckBox1(), Qt::LeftButton);
  QVERIFY(form.CheckBox1()->isChecked());
  QCOMPARE(LayoutOf(form), kExpanded);
  QVERIFY(form.Memo1()->toPlainText().isEmpty());
  QVERIFY(!form.SpeedButton1()->isEnabled());
  QCOMPARE(QApplication::focusWidget(), form.Memo1());
  // The whole comment box now lies inside the grey panel.
  QVERIFY(form.Panel1()->rect().contains(form.Memo1()->geometry()));
}

void BackupFormTest::typing_enables_button_and_erasing_disables_it() {
  TempFolder root;
  auto recorded = MakeRecordedForm(root.Path(), UnreachableTransmission());
  TBackupForm1& form = recorded->Form();
  recorded->StartAndRestore();
  QTest::mouseClick(form.CheckBox1(), Qt::LeftButton);
  QPlainTextEdit* memo = form.Memo1();

  QTest::keyClick(memo, Qt::Key_A);
  QVERIFY(form.SpeedButton1()->isEnabled());
  QTest::keyClick(memo, Qt::Key_Backspace);
  QVERIFY(!form.SpeedButton1()->isEnabled());
  // Blank text is text.
  QTest::keyClick(memo, Qt::Key_Space);
  QVERIFY(form.SpeedButton1()->isEnabled());
  QTest::keyClick(memo, Qt::Key_Backspace);
  QTest::keyClick(memo, Qt::Key_Return);
  QVERIFY(form.SpeedButton1()->isEnabled());
  QCOMPARE(memo->toPlainText(), QStringLiteral("\n"));
}

void BackupFormTest::unticking_collapses_clears_and_enables_whatever_the_comment_held_data() {
  QTest::addColumn<QString>("comment");
  QTest::newRow("empty comment, button disabled") << QString();
  QTest::newRow("typed comment") << QStringLiteral("linha um");
}

void BackupFormTest::unticking_collapses_clears_and_enables_whatever_the_comment_held() {
  QFETCH(QString, comment);
  TempFolder root;
  auto recorded = MakeRecordedForm(root.Path(), UnreachableTransmission());
  TBackupForm1& form = recorded->Form();
  recorded->StartAndRestore();
  QTest::mouseClick(form.CheckBox1(), Qt::LeftButton);
  QTest::keyClicks(form.Memo1(), comment);
  QCOMPARE(form.SpeedButton1()->isEnabled(), !comment.isEmpty());

  QTest::mouseClick(form.CheckBox1(), Qt::LeftButton);
  QVERIFY(!form.CheckBox1()->isChecked());
  QCOMPARE(LayoutOf(form), kCollapsed);
  QVERIFY(form.Memo1()->toPlainText().isEmpty());
  QVERIFY(form.SpeedButton1()->isEnabled());
}

void BackupFormTest::hidden_comment_is_reachable_by_tab_in_collapsed_layout() {
  TempFolder root;
  auto recorded = MakeRecordedForm(root.Path(), UnreachableTransmission());
  TBackupForm1& form = recorded->Form();
  recorded->StartAndRestore();
  Activate(form);
  // The comment box lies below the visible part of the collapsed panel.
  QVERIFY(!form.Panel1()->rect().intersects(form.Memo1()->geometry()));

  form.CheckBox1()->setFocus();
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  QCOMPARE(QApplication::focusWidget(), form.Memo1());

  QTest::keyClick(form.Memo1(), Qt::Key_X);
  QVERIFY(form.SpeedButton1()->isEnabled());
  QTest::keyClick(form.Memo1(), Qt::Key_Backspace);
  // Unticked, with an empty comment, and yet the button is disabled: the
  // comment's rule does not look at the box.
  QVERIFY(!form.CheckBox1()->isChecked());
  QVERIFY(!form.SpeedButton1()->isEnabled());

  QTest::mouseClick(form.CheckBox1(), Qt::LeftButton);
  QTest::mouseClick(form.CheckBox1(), Qt::LeftButton);
  QVERIFY(!form.CheckBox1()->isChecked());
  QVERIFY(form.SpeedButton1()->isEnabled());
}

void BackupFormTest::escape_and_sair_end_the_program_and_write_nothing() {
  TempFolder root;
  auto recorded = MakeRecordedForm(root.Path(), UnreachableTransmission());
  TBackupForm1& form = recorded->Form();
  recorded->StartAndRestore();
  Activate(form);
  QTest::mouseClick(form.CheckBox1(), Qt::LeftButton);
  QTest::keyClicks(form.Memo1(), QStringLiteral("a comentar"));

  // Esc with the focus in the comment box.
  QTest::keyClick(form.Memo1(), Qt::Key_Escape);
  QCOMPARE(recorded->Terminations(), 1);
  QCOMPARE(form.Sair1()->text(), QStringLiteral("&Sair"));
  QCOMPARE(form.Arquivo1()->title(), QStringLiteral("&Arquivo"));
  QCOMPARE(form.Sair1()->shortcut(), QKeySequence(Qt::Key_Escape));
  form.Sair1()->trigger();
  QCOMPARE(recorded->Terminations(), 2);

  QVERIFY(recorded->Dialogs().empty());
  QVERIFY(fs::is_empty(root.Path()));
}

void BackupFormTest::window_offers_close_but_no_minimise_or_maximise_button() {
  TempFolder root;
  auto recorded = MakeRecordedForm(root.Path(), UnreachableTransmission());
  const Qt::WindowFlags flags = recorded->Form().windowFlags();
  QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
  QVERIFY(flags.testFlag(Qt::WindowSystemMenuHint));
  QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
  QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
  // Not a tool window: a minimised tool window has no taskbar button to be
  // restored from.
  QCOMPARE(recorded->Form().windowType(), Qt::Window);
  QVERIFY(recorded->Form().StatusBar1()->isSizeGripEnabled());
  QVERIFY(!recorded->Form().windowIcon().isNull());
}

void BackupFormTest::error_box_text_gets_full_stop_only_after_later_characters_data() {
  QTest::addColumn<QString>("message");
  QTest::addColumn<QString>("shown");
  QTest::newRow("letter") << QStringLiteral("Disk full") << QStringLiteral("Disk full.");
  QTest::newRow("digit") << QStringLiteral("Erro 550") << QStringLiteral("Erro 550.");
  QTest::newRow("slash sorts after the stop")
      << QStringLiteral("Cannot open file /a/b/") << QStringLiteral("Cannot open file /a/b/.");
  QTest::newRow("accented letter")
      << QStringLiteral("Sem conexão") << QStringLiteral("Sem conexão.");
  QTest::newRow("full stop") << QStringLiteral("Feito.") << QStringLiteral("Feito.");
  QTest::newRow("exclamation mark") << QStringLiteral("Falhou!") << QStringLiteral("Falhou!");
  QTest::newRow("space") << QStringLiteral("Falhou ") << QStringLiteral("Falhou ");
  QTest::newRow("hyphen sorts before the stop") << QStringLiteral("a-") << QStringLiteral("a-");
  QTest::newRow("closing parenthesis") << QStringLiteral("(x)") << QStringLiteral("(x)");
  QTest::newRow("empty") << QStringLiteral("") << QStringLiteral("");
}

void BackupFormTest::error_box_text_gets_full_stop_only_after_later_characters() {
  QFETCH(QString, message);
  QFETCH(QString, shown);
  QCOMPARE(app::ErrorBoxText(message), shown);
}

void BackupFormTest::error_leaving_the_run_shows_error_box_and_leaves_no_notice_data() {
  QTest::addColumn<QString>("failure");
  QTest::addColumn<QString>("shown");
  QTest::newRow("without a final full stop")
      << QStringLiteral("Disco cheio") << QStringLiteral("Disco cheio.");
  QTest::newRow("with a final full stop")
      << QStringLiteral("Disco cheio.") << QStringLiteral("Disco cheio.");
}

void BackupFormTest::error_leaving_the_run_shows_error_box_and_leaves_no_notice() {
  QFETCH(QString, failure);
  QFETCH(QString, shown);
  TempFolder root;
  RecordedForm recorded(std::make_unique<FailingNoticeForm>(
      PathsUnder(root.Path()), UnreachableTransmission(), failure.toStdString()));
  WriteConfig(BaseDirUnder(root.Path()), ConfigNaming(MakeDatabase(root.Path())));
  TBackupForm1& form = recorded.Form();
  recorded.StartAndRestore();

  QTest::mouseClick(form.SpeedButton1(), Qt::LeftButton);
  QCOMPARE(recorded.Events().size(), size_t{1});
  const WindowEvent& box = recorded.Events().front();
  QCOMPARE(box.kind, QStringLiteral("dialog"));
  QCOMPARE(box.icon, QMessageBox::Critical);
  QCOMPARE(box.title, QStringLiteral("Backup Quillo"));
  QCOMPARE(box.text, shown);
  // Back to idle, with no notice left claiming that work goes on.
  QCOMPARE(WaitWindowCount(), 0);
  QVERIFY(!form.Running());
  QVERIFY(form.isVisible());
  QVERIFY(form.SpeedButton1()->isEnabled());
}

void BackupFormTest::message_box_has_its_title_icon_and_one_ok_button() {
  struct Case {
    QMessageBox::Icon icon;
    QString title;
    QString text;
  };
  const Case cases[] = {
      {QMessageBox::Critical, QStringLiteral("Backup Quillo"), QStringLiteral("Disco cheio.")},
      {QMessageBox::Critical, QStringLiteral("Error"),
       QStringLiteral("É necessário digitar um comentário!")},
      {QMessageBox::Information, QStringLiteral("Information"),
       QStringLiteral("Backup realizado com sucesso!")},
  };
  QWidget owner;
  owner.show();
  for (const Case& expected : cases) {
    bool seen = false;
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QList<QMessageBox::StandardButton> buttons;
    WhenMessageBoxOpens([&](QMessageBox& box) {
      seen = true;
      title = box.windowTitle();
      text = box.text();
      icon = box.icon();
      for (QAbstractButton* button : box.buttons()) buttons.append(box.standardButton(button));
      // Closed by its OK button, the only way out of it.
      QTest::mouseClick(box.button(QMessageBox::Ok), Qt::LeftButton);
    });
    TBackupForm1::ShowMessageBox(&owner, expected.icon, expected.title, expected.text);
    QVERIFY(seen);
    QCOMPARE(title, expected.title);
    QCOMPARE(text, expected.text);
    QCOMPARE(icon, expected.icon);
    QCOMPARE(buttons, QList<QMessageBox::StandardButton>{QMessageBox::Ok});
  }
}

void BackupFormTest::run_refused_by_its_checks_shows_only_its_own_dialog() {
  TempFolder root;
  auto recorded = MakeRecordedForm(root.Path(), UnreachableTransmission());
  TBackupForm1& form = recorded->Form();
  recorded->StartAndRestore();
  Activate(form);

  // No database folder configured.
  QTest::mouseClick(form.SpeedButton1(), Qt::LeftButton);
  QCOMPARE(recorded->Events().size(), size_t{1});
  QCOMPARE(recorded->Events()[0].title, QStringLiteral("Error"));
  QCOMPARE(recorded->Events()[0].icon, QMessageBox::Critical);
  QCOMPARE(recorded->Events()[0].text,
           QStringLiteral("Não existe nenhum diretório do banco de dados configurado!"));

  // Support mode without a comment: the run puts the cursor in the comment.
  WriteConfig(BaseDirUnder(root.Path()), ConfigNaming(MakeDatabase(root.Path())));
  QTest::mouseClick(form.CheckBox1(), Qt::LeftButton);
  form.CheckBox1()->setFocus();
  form.SpeedButton1Click();
  QCOMPARE(recorded->Events().size(), size_t{2});
  QCOMPARE(recorded->Events()[1].title, QStringLiteral("Error"));
  QCOMPARE(recorded->Events()[1].text, QStringLiteral("É necessário digitar um comentário!"));
  QCOMPARE(QApplication::focusWidget(), form.Memo1());

  QCOMPARE(recorded->Terminations(), 0);
  QCOMPARE(WaitWindowCount(), 0);
  QVERIFY(ArchivesIn(BaseDirUnder(root.Path())).empty());
}

void BackupFormTest::input_during_a_run_is_ignored_and_the_run_finishes_first() {
  TempFolder root;
  auto recorded = MakeRecordedForm(root.Path(), UnreachableTransmission());
  TBackupForm1& form = recorded->Form();
  WriteConfig(BaseDirUnder(root.Path()), ConfigNaming(MakeDatabase(root.Path())));
  recorded->StartAndRestore();
  Activate(form);

  bool pumped = false;
  AtNextPump([&] {
    pumped = true;
    QVERIFY(form.Running());
    QTest::mouseClick(form.SpeedButton1(), Qt::LeftButton);
    form.SpeedButton1()->click();
    QTest::mouseClick(form.CheckBox1(), Qt::LeftButton);
    QTest::keyClicks(form.Memo1(), QStringLiteral("mudado"));
    QTest::keyClick(&form, Qt::Key_Escape);
    form.Sair1()->trigger();
    QVERIFY(!form.close());
  });
  QTest::mouseClick(form.SpeedButton1(), Qt::LeftButton);

  QVERIFY(pumped);
  // One run, in own-host mode as it started, ended by its own success.
  QCOMPARE(recorded->Events().size(), size_t{2});
  QCOMPARE(recorded->Events()[0].title, QStringLiteral("Information"));
  QCOMPARE(recorded->Events()[0].icon, QMessageBox::Information);
  QCOMPARE(recorded->Events()[0].text, QStringLiteral("Backup realizado com sucesso!"));
  QCOMPARE(recorded->Events()[1].kind, QStringLiteral("terminate"));
  QVERIFY(!form.CheckBox1()->isChecked());
  QVERIFY(form.Memo1()->toPlainText().isEmpty());
  QCOMPARE(ArchivesIn(BaseDirUnder(root.Path())).size(), size_t{1});
  QVERIFY(!form.Running());
  QCOMPARE(WaitWindowCount(), 0);
  // The window takes input again.
  QTest::mouseClick(form.CheckBox1(), Qt::LeftButton);
  QVERIFY(form.CheckBox1()->isChecked());
}

void BackupFormTest::wait_window_is_centred_on_top_and_sky_blue_with_red_notice() {
  TempFolder root;
  auto recorded = MakeRecordedForm(root.Path(), UnreachableTransmission());
  TBackupForm1& form = recorded->Form();
  WriteConfig(BaseDirUnder(root.Path()), ConfigNaming(MakeDatabase(root.Path())));
  recorded->StartAndRestore();

  QImage picture;
  QRect frame;
  Qt::WindowFlags flags;
  QString notice;
  AtNextPump([&] {
    TMensagemEsperaForm1* wait = form.WaitWindow();
    QVERIFY(wait != nullptr);
    QVERIFY(wait->isVisible());
    frame = wait->frameGeometry();
    flags = wait->windowFlags();
    notice = wait->Label1()->text();
    picture = wait->grab().toImage();
  });
  QTest::mouseClick(form.SpeedButton1(), Qt::LeftButton);

  QVERIFY(!picture.isNull());
  QCOMPARE(frame.size(), QSize(392, 48));
  const QPoint screenCentre = form.screen()->geometry().center();
  QVERIFY((frame.center() - screenCentre).manhattanLength() <= 1);
  QVERIFY(flags.testFlag(Qt::WindowStaysOnTopHint));
  QVERIFY(flags.testFlag(Qt::FramelessWindowHint));
  QCOMPARE(notice, QStringLiteral("Aguarde, realizando o processamento..."));
  QCOMPARE(picture.pixelColor(1, 1), QColor(166, 202, 240));
  bool red = false;
  for (int y = 0; y < picture.height() && !red; ++y) {
    for (int x = 0; x < picture.width() && !red; ++x) red = picture.pixelColor(x, y) == Qt::red;
  }
  QVERIFY2(red, "the notice is drawn in red");
}

void BackupFormTest::wait_window_destroyed_by_close_request_is_not_destroyed_again() {
  TempFolder root;
  auto recorded = MakeRecordedForm(root.Path(), UnreachableTransmission());
  TBackupForm1& form = recorded->Form();
  recorded->StartAndRestore();

  // Destroyed by the close request before the window removes it.
  form.ShowWaitWindow();
  QVERIFY(form.WaitWindow()->close());
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  QVERIFY(form.WaitWindow() == nullptr);
  form.RemoveWaitWindow();
  QCOMPARE(WaitWindowCount(), 0);

  // Removed while its own destruction is still pending.
  form.ShowWaitWindow();
  QVERIFY(form.WaitWindow()->close());
  form.RemoveWaitWindow();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  QCOMPARE(WaitWindowCount(), 0);

  // Shown twice without removal in between: still one notice.
  form.ShowWaitWindow();
  form.ShowWaitWindow();
  QCOMPARE(WaitWindowCount(), 1);
  form.RemoveWaitWindow();
  QCOMPARE(WaitWindowCount(), 0);
}

void BackupFormTest::glyph_is_32_pixels_with_transparent_corner() {
  for (qreal ratio : {1.0, 2.0}) {
    const QImage glyph = app::BackupGlyph(ratio).toImage();
    QCOMPARE(glyph.deviceIndependentSize().toSize(), QSize(32, 32));
    QCOMPARE(glyph.pixelColor(0, glyph.height() - 1).alpha(), 0);
    int opaque = 0;
    for (int y = 0; y < glyph.height(); ++y) {
      for (int x = 0; x < glyph.width(); ++x) opaque += glyph.pixelColor(x, y).alpha() == 255;
    }
    QVERIFY(opaque > glyph.width() * glyph.height() / 4);
  }
  TempFolder root;
  auto recorded = MakeRecordedForm(root.Path(), UnreachableTransmission());
  QToolButton* button = recorded->Form().SpeedButton1();
  QCOMPARE(button->iconSize(), QSize(32, 32));
  QCOMPARE(button->text(), QStringLiteral("Fazer Backup"));
  QCOMPARE(button->focusPolicy(), Qt::NoFocus);
}

}  // namespace quillo::test

QTEST_MAIN(quillo::test::BackupFormTest)
#include "test_backup_form.moc"
