#include "app/gui/wait_window.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>

#include "app/gui/fonts.h"

namespace quillo::app {

namespace {

// Sizes in device-independent pixels (96 per inch); Qt scales them on screens
// of higher density.
constexpr QSize kClientSize{392, 48};
// The notice is centred across the whole window rather than set at the left
// margin, so a stand-in face a little wider than Tahoma still fits.
constexpr QRect kLabelGeometry{0, 11, 392, 23};
// 14 pt at 96 per inch.
constexpr int kNoticePixelSize = 19;

}  // namespace

TMensagemEsperaForm1::TMensagemEsperaForm1(QScreen* screen)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      screen_(screen),
      label1_(new QLabel(NoticeText(), this)) {
  setObjectName(QStringLiteral("MensagemEsperaForm1"));
  // The system's name for the window; never drawn, as there is no title bar.
  setWindowTitle(QStringLiteral("Mensagem em Espera"));
  resize(kClientSize);
  // A notice, not a place for input: showing it must not take the keyboard
  // focus away from the main window.
  setAttribute(Qt::WA_ShowWithoutActivating);
  setFocusPolicy(Qt::NoFocus);

  QPalette colours = palette();
  colours.setColor(QPalette::Window, Background());
  setPalette(colours);
  setAutoFillBackground(true);

  label1_->setObjectName(QStringLiteral("Label1"));
  label1_->setGeometry(kLabelGeometry);
  label1_->setFont(TahomaFont(kNoticePixelSize, true));
  label1_->setAlignment(Qt::AlignCenter);
  QPalette text = label1_->palette();
  text.setColor(QPalette::WindowText, Qt::red);
  label1_->setPalette(text);
}

QString TMensagemEsperaForm1::NoticeText() {
  return QStringLiteral("Aguarde, realizando o processamento...");
}

QColor TMensagemEsperaForm1::Background() {
  return QColor(166, 202, 240);
}

void TMensagemEsperaForm1::showEvent(QShowEvent* event) {
  CentreOnScreen();
  QWidget::showEvent(event);
}

void TMensagemEsperaForm1::closeEvent(QCloseEvent* event) {
  setAttribute(Qt::WA_DeleteOnClose);
  event->accept();
}

void TMensagemEsperaForm1::CentreOnScreen() {
  QScreen* target = screen_ ? screen_.data() : QGuiApplication::primaryScreen();
  if (target == nullptr) return;
  QRect frame(QPoint(), size());
  frame.moveCenter(target->geometry().center());
  move(frame.topLeft());
}

}  // namespace quillo::app
