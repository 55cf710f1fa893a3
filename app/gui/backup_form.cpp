#include "app/gui/backup_form.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFrame>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QToolButton>
#include <optional>
#include <utility>

#include "app/gui/fonts.h"
#include "app/gui/glyphs.h"

namespace quillo::app {

// Geometry in device-independent pixels (96 per inch); Qt scales it on
// screens of higher density. Heights are the window's own, menu bar and
// status bar included; the platform draws its caption and borders outside.
const TBackupForm1::Layout TBackupForm1::kCollapsed{140, 40, 24};
const TBackupForm1::Layout TBackupForm1::kExpanded{215, 110, 85};

namespace {

constexpr QPoint kFormPosition{194, 102};
constexpr int kFormWidth = 345;
constexpr int kBevelHeight = 2;
constexpr QPoint kLabel1Position{63, 8};
constexpr int kLabelHeight = 13;
constexpr QRect kPanel1Geometry{7, 27, 200, 110};
constexpr QRect kCheckBox1Geometry{7, 15, 185, 17};
constexpr QRect kLabel2Geometry{7, 40, 185, 13};
constexpr QRect kMemo1Geometry{7, 54, 185, 50};
constexpr QPoint kSpeedButton1Position{214, 85};
constexpr QSize kSpeedButton1Size{110, 50};
constexpr QSize kGlyphSize{32, 32};
constexpr int kStatusBarHeight = 19;
const QColor kPanelColour(160, 160, 164);

// 8 pt at 96 per inch.
constexpr int kFormFontPixelSize = 11;

void SetColour(QWidget* widget, QPalette::ColorRole role, const QColor& colour) {
  QPalette colours = widget->palette();
  colours.setColor(role, colour);
  widget->setPalette(colours);
}

bool IsUserInput(QEvent::Type type) {
  switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::InputMethod:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop:
    case QEvent::Wheel:
    case QEvent::ContextMenu:  // the comment's Cut and Paste
      return true;
    default:
      return false;
  }
}

}  // namespace

QString ErrorBoxText(const QString& message) {
  if (!message.isEmpty() && message.back() > QLatin1Char('.')) return message + QLatin1Char('.');
  return message;
}

TBackupForm1::TBackupForm1(BackupPaths paths, TransmissionSettings transmission, QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      paths_(std::move(paths)),
      transmission_(std::move(transmission)),
      messageDialog_([this](QMessageBox::Icon icon, const QString& title, const QString& text) {
        ShowMessageBox(this, icon, title, text);
      }) {
  setObjectName(QStringLiteral("BackupForm1"));
  setWindowTitle(QStringLiteral("Backup"));
  setWindowIcon(ProgramIcon());
  setFont(TahomaFont(kFormFontPixelSize));
  setGeometry(QRect(kFormPosition, QSize(kFormWidth, kExpanded.windowHeight)));
  CreateControls();
  FormCreate();
}

TBackupForm1::~TBackupForm1() {
  RemoveWaitWindow();
}

QString TBackupForm1::ApplicationTitle() {
  return QStringLiteral("Backup Quillo");
}

void TBackupForm1::ShowAtStart() {
  showMinimized();
}

void TBackupForm1::SetMessageDialog(MessageDialog dialog) {
  messageDialog_ = std::move(dialog);
}

void TBackupForm1::ShowMessageBox(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                                  const QString& text) {
  QMessageBox box(icon, title, text, QMessageBox::Ok, parent);
  box.exec();
}

void TBackupForm1::CreateControls() {
  auto* client = new QWidget(this);
  client->setObjectName(QStringLiteral("client"));
  setCentralWidget(client);

  bevel1_ = new QFrame(client);
  bevel1_->setObjectName(QStringLiteral("Bevel1"));
  bevel1_->setFrameStyle(QFrame::HLine | QFrame::Sunken);
  bevel1_->setGeometry(0, 0, kFormWidth, kBevelHeight);

  label1_ = new QLabel(QStringLiteral("O Backup será feito em formato ZIP"), client);
  label1_->setObjectName(QStringLiteral("Label1"));
  label1_->setFont(TahomaFont(kFormFontPixelSize, true));
  SetColour(label1_, QPalette::WindowText, Qt::red);
  label1_->move(kLabel1Position);
  label1_->resize(label1_->sizeHint().width(), kLabelHeight);

  CreatePanel(client);
  CreateButton(client);
  CreateMenu();

  statusBar1_ = new QStatusBar(this);
  statusBar1_->setObjectName(QStringLiteral("StatusBar1"));
  statusBar1_->setSizeGripEnabled(true);
  statusBar1_->setFixedHeight(kStatusBarHeight);
  setStatusBar(statusBar1_);
}

void TBackupForm1::CreatePanel(QWidget* client) {
  panel1_ = new QFrame(client);
  panel1_->setObjectName(QStringLiteral("Panel1"));
  panel1_->setFrameStyle(QFrame::Panel | QFrame::Raised);
  panel1_->setGeometry(kPanel1Geometry);
  panel1_->setAutoFillBackground(true);
  SetColour(panel1_, QPalette::Window, kPanelColour);

  checkBox1_ = new QCheckBox(QStringLiteral("Enviar Backup para Sup. Técnico"), panel1_);
  checkBox1_->setObjectName(QStringLiteral("CheckBox1"));
  checkBox1_->setGeometry(kCheckBox1Geometry);
  connect(checkBox1_, &QCheckBox::toggled, this, [this] { CheckBox1Click(); });

  label2_ = new QLabel(QStringLiteral("Comentário"), panel1_);
  label2_->setObjectName(QStringLiteral("Label2"));
  label2_->setAlignment(Qt::AlignCenter);
  label2_->setGeometry(kLabel2Geometry);

  memo1_ = new QPlainTextEdit(panel1_);
  memo1_->setObjectName(QStringLiteral("Memo1"));
  memo1_->setGeometry(kMemo1Geometry);
  // Tab moves on to the next control, as in any dialog; the comment is
  // plain text, so a tab character in it would only confuse.
  memo1_->setTabChangesFocus(true);
  memo1_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  connect(memo1_, &QPlainTextEdit::textChanged, this, [this] { Memo1Change(); });

  // The check box comes first, then the comment, whatever the layout shows.
  setTabOrder(checkBox1_, memo1_);
  BlockInputDuringRuns(checkBox1_);
  BlockInputDuringRuns(memo1_);
  BlockInputDuringRuns(memo1_->viewport());
}

void TBackupForm1::CreateButton(QWidget* client) {
  speedButton1_ = new QToolButton(client);
  speedButton1_->setObjectName(QStringLiteral("SpeedButton1"));
  speedButton1_->setText(QStringLiteral("Fazer Backup"));
  speedButton1_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  speedButton1_->setIcon(BackupGlyphIcon());
  speedButton1_->setIconSize(kGlyphSize);
  // A button of the mouse: it never takes the keyboard focus away from the
  // comment.
  speedButton1_->setFocusPolicy(Qt::NoFocus);
  speedButton1_->setGeometry(QRect(kSpeedButton1Position, kSpeedButton1Size));
  connect(speedButton1_, &QToolButton::clicked, this, [this] { SpeedButton1Click(); });
  BlockInputDuringRuns(speedButton1_);
}

void TBackupForm1::CreateMenu() {
  QMenuBar* bar = menuBar();
  bar->setObjectName(QStringLiteral("MainMenu1"));
  arquivo1_ = bar->addMenu(QStringLiteral("&Arquivo"));
  arquivo1_->setObjectName(QStringLiteral("Arquivo1"));
  sair1_ = arquivo1_->addAction(QStringLiteral("&Sair"));
  sair1_->setObjectName(QStringLiteral("Sair1"));
  sair1_->setShortcut(QKeySequence(Qt::Key_Escape));
  // Esc works while the window is active, also when the menu is closed.
  addAction(sair1_);
  connect(sair1_, &QAction::triggered, this, [this] { Sair1Click(); });
}

void TBackupForm1::BlockInputDuringRuns(QObject* control) {
  control->installEventFilter(this);
}

bool TBackupForm1::eventFilter(QObject* watched, QEvent* event) {
  // The run hands control to the event loop between files. Input to the
  // window then must not start a second run, switch the mode or change the
  // comment under the running one.
  if (running_ && IsUserInput(event->type())) return true;
  return QMainWindow::eventFilter(watched, event);
}

void TBackupForm1::ApplyLayout(const Layout& layout) {
  resize(width(), layout.windowHeight);
  panel1_->resize(panel1_->width(), layout.panelHeight);
  speedButton1_->move(speedButton1_->x(), layout.buttonTop);
}

void TBackupForm1::EmptyMemo1() {
  // Only a real change raises Memo1Change, as it would for the user.
  if (!memo1_->document()->isEmpty()) memo1_->clear();
}

void TBackupForm1::FormCreate() {
  ApplyLayout(kCollapsed);
}

void TBackupForm1::FormShow() {
  EmptyMemo1();
  checkBox1_->setChecked(false);
}

void TBackupForm1::CheckBox1Click() {
  if (checkBox1_->isChecked()) {
    EmptyMemo1();
    ApplyLayout(kExpanded);
    speedButton1_->setEnabled(false);
    memo1_->setFocus(Qt::OtherFocusReason);
  } else {
    EmptyMemo1();
    ApplyLayout(kCollapsed);
    speedButton1_->setEnabled(true);
  }
}

void TBackupForm1::Memo1Change() {
  speedButton1_->setEnabled(!memo1_->document()->isEmpty());
}

void TBackupForm1::Sair1Click() {
  if (running_) return;
  RequestTermination();
}

void TBackupForm1::SpeedButton1Click() {
  if (running_) return;
  running_ = true;
  std::optional<std::string> failure;
  try {
    BackupRun run(*this, components_, paths_, transmission_);
    run.Execute();
  } catch (const SilentAbort&) {
    // The run has already told the user in its own dialog.
  } catch (const std::exception& error) {
    failure = error.what();
  }
  // Whichever way the run ended, no notice may claim that work goes on.
  RemoveWaitWindow();
  running_ = false;
  if (failure) ShowErrorBox(*failure);
}

void TBackupForm1::ShowErrorBox(const std::string& message) {
  messageDialog_(QMessageBox::Critical, ApplicationTitle(),
                 ErrorBoxText(QString::fromStdString(message)));
}

bool TBackupForm1::SupportMode() {
  return checkBox1_->isChecked();
}

std::string TBackupForm1::CommentText() {
  return memo1_->toPlainText().toStdString();
}

void TBackupForm1::ShowError(const std::string& text) {
  messageDialog_(QMessageBox::Critical, QStringLiteral("Error"), QString::fromStdString(text));
}

void TBackupForm1::ShowInformation(const std::string& text) {
  messageDialog_(QMessageBox::Information, QStringLiteral("Information"),
                 QString::fromStdString(text));
}

void TBackupForm1::FocusComment() {
  memo1_->setFocus(Qt::OtherFocusReason);
}

void TBackupForm1::ShowWaitWindow() {
  // One notice at a time, however the run calls.
  RemoveWaitWindow();
  waitWindow_ = new TMensagemEsperaForm1(screen());
  waitWindow_->show();
}

void TBackupForm1::RemoveWaitWindow() {
  // The pointer is null when a close request has destroyed the notice.
  delete waitWindow_.data();
}

void TBackupForm1::ProcessMessages() {
  QCoreApplication::processEvents();
}

void TBackupForm1::RequestTermination() {
  Q_EMIT terminationRequested();
  // Queued, so the application ends once the current handler has returned:
  // quitting closes every window, and this one refuses to close while a run
  // is under way.
  QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                            Qt::QueuedConnection);
}

void TBackupForm1::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  RunFormShowOnFirstRestore();
}

void TBackupForm1::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange) RunFormShowOnFirstRestore();
}

void TBackupForm1::RunFormShowOnFirstRestore() {
  // The window starts minimised; it is shown when the user first restores
  // it. Later restores keep what the user had typed.
  if (formShown_ || !isVisible() || isMinimized()) return;
  formShown_ = true;
  FormShow();
}

void TBackupForm1::closeEvent(QCloseEvent* event) {
  // Closing ends the program; in the middle of a run that would cut the run
  // off, so the request is refused until the run is over.
  if (running_) {
    event->ignore();
    return;
  }
  QMainWindow::closeEvent(event);
}

}  // namespace quillo::app
