#pragma once

// Milestones of the start, for bench/startup-profile.sh. Off unless QT_LOGGING_RULES asks for
// "vintra.startup.debug=true"; then each milestone is one line "startup <name> <µs>", the
// microseconds on the monotonic clock (std::chrono::steady_clock), which the bench subtracts
// from the moment it launched the program. Nothing else reads them.

#include <QLoggingCategory>
#include <functional>

class QWidget;

Q_DECLARE_LOGGING_CATEGORY(lcStartup)

namespace app {

void markStartup(const char *milestone);

// Runs `then` once, on the event loop, after the window's first paint has been handed to the
// window system: the place for work the first picture does not need.
void afterFirstPaint(QWidget &window, std::function<void()> then);

} // namespace app
