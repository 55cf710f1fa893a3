#pragma once

#include <QFont>

namespace quillo::app {

// The windows' typeface, Tahoma, at a size in device-independent pixels. A
// pixel size keeps text in proportion to the fixed geometry whatever logical
// DPI the desktop reports. Where Tahoma is missing, a condensed face of
// similar width stands in, so no caption is cut off.
inline QFont TahomaFont(int pixelSize, bool bold = false) {
  QFont font;
  font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans Condensed")});
  font.setPixelSize(pixelSize);
  font.setBold(bold);
  return font;
}

}  // namespace quillo::app
