#pragma once

// The X server's own screen saver blanks the screen after its idle time, whatever the desktop's
// services were told. Suspending it through the MIT-SCREEN-SAVER extension keeps it off; the
// server ends the suspension by itself should the program go away.

namespace app {

// Suspends (true) or resumes (false) the X server's screen saver when the program runs on X11
// and the server has the extension; does nothing otherwise. Calls must alternate.
void suspendXScreenSaver(bool suspend);

} // namespace app
