#pragma once

// The logging category of the program's dealings with the desktop session (screen inhibition,
// the end of the session). Off below warnings unless QT_LOGGING_RULES asks, e.g.
// "vintra.session.debug=true".

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcSession)
