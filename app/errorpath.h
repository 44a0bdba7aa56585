#pragma once

// The program's one way of reporting a failure: an exception that escapes a handler ends that
// handler where it arose and its message is shown in a modal error box; the program goes on.
// Every handler is connected through runHandler()/handler(), so no handler catches by itself.

#include <QString>
#include <exception>
#include <functional>
#include <utility>

class QWidget;

namespace app {

// The title of the error box: the executable's file name without folder, cut at its first ".",
// every character after the first in lower case.
QString applicationTitle(const QString &executablePath);

// The box's text: the message, with "." appended when its last character sorts above ".".
QString errorBoxText(const QString &message);

// The message an exception carries (UTF-8 what()), or a fixed text for foreign ones.
QString exceptionMessage(const std::exception_ptr &error);

// Shows the modal error box now. Timers keep firing while it is open. The box belongs to the
// owner window (see setErrorBoxOwner), or to the modal dialog open over it: transient for it,
// centred on it and stacked above it whether or not the program is active, and in the
// always-on-top band when the owner is. When the owner is minimised the box waits, with
// timers running, until the owner is restored, so it never stands alone on the desktop nor
// opens unseen.
void showErrorBox(const QString &message);

// The window every error box belongs to: the main window, set while it is built. Without one
// the box falls back to the active window.
void setErrorBoxOwner(QWidget *owner);

// The owner's close has gone ahead: a failure reported from then on has no window to stand over
// and nobody to answer it, so it is dropped (written to the vintra.session log) instead of
// opening a box on an empty desktop. Setting an owner again ends this.
void errorBoxOwnerGone();

// Shows the box once the current handler has returned (for failures reported after the fact).
void showErrorBoxLater(const QString &message);

// Runs one event handler; whatever it throws is shown in the error box. False when it threw.
bool runHandler(const std::function<void()> &handlerBody);

// Wraps a callable for connect(): the slot runs through runHandler().
template <class F>
auto handler(F &&f)
{
    return [f = std::forward<F>(f)](auto &&...) { runHandler(f); };
}

// Lets tests see what would have been shown instead of opening a modal box.
using ErrorSink = std::function<void(const QString &boxText)>;
void setErrorSinkForTests(ErrorSink sink);

} // namespace app
