#pragma once

// Pictures of the window for the documentation, taken by the program itself
// so they show exactly what a user sees on the same display.

#include <QString>

namespace quillo::app {

class TBackupForm1;

// Shows the collapsed layout, the expanded layout and the wait notice in
// turn and writes collapsed.png, expanded.png and wait.png into `folder`.
// Returns the program's exit status: 0 when every picture was written.
int TakeScreenshots(TBackupForm1& form, const QString& folder);

}  // namespace quillo::app
