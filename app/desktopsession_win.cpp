// The Windows session: one platform (Qt's windows plugin), nothing to choose. A log-off or
// shut-down asks every program first (WM_QUERYENDSESSION, Qt's commitDataRequest) and then ends
// it without closing its windows, so the window is closed while asked, the way its Close button
// closes it, and the settings are saved. taskkill /PID sends WM_CLOSE, which is the Close button
// already.

#include "app/desktopsession.h"

#include <QGuiApplication>
#include <QSessionManager>
#include <QWidget>

namespace app {

QByteArray preferredPlatform(const EnvironmentReader &environment)
{
    Q_UNUSED(environment);
    return {};
}

bool choosePlatform() { return false; }

void forgetPlatformChoice() {}

void closeOnTermination(QWidget &window)
{
    QObject::connect(qGuiApp, &QGuiApplication::commitDataRequest, &window,
                     [&window](QSessionManager &) { window.close(); });
}

} // namespace app
