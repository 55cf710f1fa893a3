#pragma once

// The notice that asks the user to wait while a backup works: borderless,
// above every ordinary window, centred on the screen, taking no input.

#include <QPointer>
#include <QScreen>
#include <QWidget>

class QLabel;

namespace quillo::app {

class TMensagemEsperaForm1 : public QWidget {
  Q_OBJECT

 public:
  // `screen` is where the notice is centred; the primary screen when null.
  explicit TMensagemEsperaForm1(QScreen* screen = nullptr);

  static QString NoticeText();
  static QColor Background();

  QLabel* Label1() const { return label1_; }

 protected:
  void showEvent(QShowEvent* event) override;
  // FormClose: a close request destroys the window at once.
  void closeEvent(QCloseEvent* event) override;

 private:
  void CentreOnScreen();

  QPointer<QScreen> screen_;
  QLabel* label1_;
};

}  // namespace quillo::app
