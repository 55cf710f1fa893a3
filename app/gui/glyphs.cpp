#include "app/gui/glyphs.h"

#include <QPainter>
#include <QPainterPath>

namespace quillo::app {

namespace {

// The picture is drawn on a 32 x 32 grid and scaled to the pixels asked for.
constexpr int kGrid = 32;

// The classic 16-colour desktop palette, so the picture sits well beside the
// grey window it was made for.
const QColor kOutline(0, 0, 0);
const QColor kFolderFront(255, 255, 0);
const QColor kFolderBack(128, 128, 0);
const QColor kSheet(255, 255, 255);
const QColor kSheetLine(0, 0, 128);
const QColor kArrow(0, 128, 0);

void PaintFolder(QPainter& painter, QPointF origin) {
  // Back with its tab, then the front flap slightly lower and narrower.
  QPainterPath back;
  back.moveTo(origin + QPointF(0, 3));
  back.lineTo(origin + QPointF(0, 13));
  back.lineTo(origin + QPointF(13, 13));
  back.lineTo(origin + QPointF(13, 3));
  back.lineTo(origin + QPointF(6, 3));
  back.lineTo(origin + QPointF(5, 1));
  back.lineTo(origin + QPointF(1, 1));
  back.closeSubpath();
  painter.setBrush(kFolderBack);
  painter.drawPath(back);

  QPainterPath front;
  front.moveTo(origin + QPointF(0, 13));
  front.lineTo(origin + QPointF(2, 6));
  front.lineTo(origin + QPointF(14.5, 6));
  front.lineTo(origin + QPointF(13, 13));
  front.closeSubpath();
  painter.setBrush(kFolderFront);
  painter.drawPath(front);
}

void PaintSheet(QPainter& painter, QPointF centre, qreal angle) {
  painter.save();
  painter.translate(centre);
  painter.rotate(angle);
  painter.setBrush(kSheet);
  painter.drawRect(QRectF(-4, -5, 8, 10));
  painter.setPen(QPen(kSheetLine, 0.8));
  for (qreal y = -3; y <= 3; y += 2) painter.drawLine(QPointF(-2.5, y), QPointF(2.5, y));
  painter.restore();
}

void PaintArrow(QPainter& painter) {
  // An arc over the sheets from the left folder to the right one.
  QPainterPath arc;
  arc.moveTo(7, 15);
  arc.cubicTo(7, 2, 24, 2, 24.5, 13);
  painter.setBrush(Qt::NoBrush);
  painter.setPen(QPen(kArrow, 1.6, Qt::SolidLine, Qt::RoundCap));
  painter.drawPath(arc);

  QPainterPath head;
  head.moveTo(21.5, 11);
  head.lineTo(27.5, 11);
  head.lineTo(24.5, 15.5);
  head.closeSubpath();
  painter.setPen(QPen(kArrow, 0.8));
  painter.setBrush(kArrow);
  painter.drawPath(head);
}

void PaintPicture(QPainter& painter) {
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(kOutline, 1.0, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
  PaintFolder(painter, QPointF(0.5, 17.5));
  PaintFolder(painter, QPointF(17.5, 17.5));
  PaintArrow(painter);
  painter.setPen(QPen(kOutline, 1.0));
  PaintSheet(painter, QPointF(11.5, 10.5), -15);
  PaintSheet(painter, QPointF(17.5, 8.5), 10);
}

QPixmap PaintAt(int pixels, qreal devicePixelRatio) {
  const int side = qRound(pixels * devicePixelRatio);
  QPixmap pixmap(side, side);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.scale(qreal(side) / kGrid, qreal(side) / kGrid);
  PaintPicture(painter);
  painter.end();
  pixmap.setDevicePixelRatio(devicePixelRatio);
  return pixmap;
}

}  // namespace

QPixmap BackupGlyph(qreal devicePixelRatio) {
  return PaintAt(kGrid, devicePixelRatio);
}

QIcon BackupGlyphIcon() {
  QIcon icon;
  for (qreal ratio : {1.0, 1.5, 2.0, 3.0}) icon.addPixmap(BackupGlyph(ratio));
  return icon;
}

QIcon ProgramIcon() {
  QIcon icon;
  for (int pixels : {16, 24, 32, 48, 64, 128}) icon.addPixmap(PaintAt(pixels, 1.0));
  return icon;
}

}  // namespace quillo::app
