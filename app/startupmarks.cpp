#include "app/startupmarks.h"

#include <QEvent>
#include <QObject>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <functional>

Q_LOGGING_CATEGORY(lcStartup, "vintra.startup", QtInfoMsg)

namespace app {

void markStartup(const char *milestone)
{
    if (!lcStartup().isDebugEnabled())
        return;
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    qCDebug(lcStartup, "startup %s %lld", milestone,
            static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(now).count()));
}

namespace {

// The window paints all its widgets in one pass and then flushes them to the window system;
// an event posted from inside that pass runs once the flush is over.
class FirstPaint : public QObject {
public:
    FirstPaint(QWidget &window, std::function<void()> then) : QObject(&window), m_then(std::move(then))
    {
        window.installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint) {
            watched->removeEventFilter(this);
            QTimer::singleShot(0, this, [this] {
                m_then();
                deleteLater();
            });
        }
        return false;
    }

private:
    std::function<void()> m_then;
};

} // namespace

void afterFirstPaint(QWidget &window, std::function<void()> then) { new FirstPaint(window, std::move(then)); }

} // namespace app
