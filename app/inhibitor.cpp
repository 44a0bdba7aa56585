#include "app/inhibitor.h"

#include <QEventLoop>
#include <QTimer>

// What every platform shares; the rest is in inhibitor_<platform>.cpp.

namespace app {

QString Inhibitor::reason() { return QStringLiteral("Идёт тренировка"); }

void Inhibitor::settle(int msecs)
{
    if (releasesInFlight() == 0)
        return;
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(this, &Inhibitor::changed, &loop, [this, &loop] {
        if (releasesInFlight() == 0)
            loop.quit();
    });
    deadline.start(msecs);
    loop.exec();
}

} // namespace app
