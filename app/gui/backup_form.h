#pragma once

// The program's one window: a notice, the choice between sending the backup
// to technical support (with a comment) or to the customer's own server, and
// the button that runs the backup. It is the run's front end.

#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>
#include <functional>
#include <string>

#include "app/backup_run.h"
#include "app/gui/wait_window.h"

class QAction;
class QCheckBox;
class QFrame;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QStatusBar;
class QToolButton;

namespace quillo::app {

// The text of the error box for an error that leaves a handler: the message
// with a full stop appended when it is not empty and its last character
// sorts after "." (so texts ending in ".", "!" or a space get none).
QString ErrorBoxText(const QString& message);

// A modal message box with one OK button. The window opens every box through
// one of these, so tests can answer them.
using MessageDialog =
    std::function<void(QMessageBox::Icon icon, const QString& title, const QString& text)>;

class TBackupForm1 : public QMainWindow, public BackupFrontEnd {
  Q_OBJECT

 public:
  TBackupForm1(BackupPaths paths, TransmissionSettings transmission, QWidget* parent = nullptr);
  ~TBackupForm1() override;

  // The program's name as the user sees it: on the taskbar and on error boxes.
  static QString ApplicationTitle();

  // How the program starts: minimised to its taskbar button.
  void ShowAtStart();

  // The box every dialog of this window goes through; the default opens a
  // QMessageBox over the window and waits for OK.
  void SetMessageDialog(MessageDialog dialog);
  static void ShowMessageBox(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                             const QString& text);

  // True while a backup run is under way; input to the window is ignored.
  bool Running() const { return running_; }
  // The wait notice on screen, or null.
  TMensagemEsperaForm1* WaitWindow() const { return waitWindow_; }

  // The controls, named as on the form.
  QFrame* Bevel1() const { return bevel1_; }
  QLabel* Label1() const { return label1_; }
  QFrame* Panel1() const { return panel1_; }
  QCheckBox* CheckBox1() const { return checkBox1_; }
  QLabel* Label2() const { return label2_; }
  QPlainTextEdit* Memo1() const { return memo1_; }
  QToolButton* SpeedButton1() const { return speedButton1_; }
  QStatusBar* StatusBar1() const { return statusBar1_; }
  QMenu* Arquivo1() const { return arquivo1_; }
  QAction* Sair1() const { return sair1_; }

  // Event handlers.
  void FormCreate();
  void FormShow();
  void CheckBox1Click();
  void Memo1Change();
  void Sair1Click();
  void SpeedButton1Click();

  // BackupFrontEnd.
  bool SupportMode() override;
  std::string CommentText() override;
  void ShowError(const std::string& text) override;
  void ShowInformation(const std::string& text) override;
  void FocusComment() override;
  void ShowWaitWindow() override;
  void RemoveWaitWindow() override;
  void ProcessMessages() override;
  void RequestTermination() override;

 Q_SIGNALS:
  // The window has asked the application to end (it ends once the current
  // handler returns and the event loop runs again).
  void terminationRequested();

 protected:
  void showEvent(QShowEvent* event) override;
  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct Layout {
    int windowHeight;
    int panelHeight;
    int buttonTop;
  };
  static const Layout kCollapsed;
  static const Layout kExpanded;

  void CreateControls();
  void CreateMenu();
  void CreatePanel(QWidget* client);
  void CreateButton(QWidget* client);
  void BlockInputDuringRuns(QObject* control);
  void ApplyLayout(const Layout& layout);
  void EmptyMemo1();
  void RunFormShowOnFirstRestore();
  void ShowErrorBox(const std::string& message);

  BackupPaths paths_;
  TransmissionSettings transmission_;
  // The archive writer and network clients live as long as the window, so
  // a connection left open by a failed run is closed by the next one.
  BackupComponents components_;
  MessageDialog messageDialog_;
  QPointer<TMensagemEsperaForm1> waitWindow_;
  bool running_ = false;
  bool formShown_ = false;

  QFrame* bevel1_ = nullptr;
  QLabel* label1_ = nullptr;
  QFrame* panel1_ = nullptr;
  QCheckBox* checkBox1_ = nullptr;
  QLabel* label2_ = nullptr;
  QPlainTextEdit* memo1_ = nullptr;
  QToolButton* speedButton1_ = nullptr;
  QStatusBar* statusBar1_ = nullptr;
  QMenu* arquivo1_ = nullptr;
  QAction* sair1_ = nullptr;
};

}  // namespace quillo::app
