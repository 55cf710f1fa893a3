#pragma once

// The program's pictures, painted by code so they stay sharp at any screen
// density: sheets of paper passing from one folder to another.

#include <QIcon>
#include <QPixmap>

namespace quillo::app {

// The "Fazer Backup" glyph: 32 x 32 device-independent pixels, drawn at
// `devicePixelRatio`, transparent around the picture.
QPixmap BackupGlyph(qreal devicePixelRatio = 1.0);

// The glyph for a button, sharp on screens of any density.
QIcon BackupGlyphIcon();

// The program's icon: the same picture at the usual icon sizes.
QIcon ProgramIcon();

}  // namespace quillo::app
