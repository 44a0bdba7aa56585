#include "app/desktopsession.h"

#include "app/sessionlog.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QObject>
#include <QString>

#include <windows.h>

// Windows: a log-off or shut-down first asks every top-level window (WM_QUERYENDSESSION). Another
// program or the user may still cancel it then, so the settings are saved but the window and
// the workout stay. Only WM_ENDSESSION with TRUE says the session really ends; the system may
// end the process as soon as that message is answered, so the window lets go right there.
// WM_ENDSESSION with FALSE is the cancellation: a later log-off asks, and saves, again. Both
// messages come once per top-level window. `taskkill /PID` (without /F) sends WM_CLOSE, which Qt
// delivers as the window's closeEvent: the Close button's own path, with its error box, so
// nothing is hooked for it. Console control events do not reach a windowed program that has no
// console.

namespace app {

namespace {

class SessionEndFilter : public QObject, public QAbstractNativeEventFilter {
public:
    SessionEndFilter(QObject &context, SessionEnd steps) : QObject(&context), m_steps(std::move(steps))
    {
        QCoreApplication::instance()->installNativeEventFilter(this);
    }
    ~SessionEndFilter() override { QCoreApplication::instance()->removeNativeEventFilter(this); }

    // Never filters: Qt answers the query itself (TRUE, as no handler of ours cancels).
    bool nativeEventFilter(const QByteArray &, void *message, qintptr *) override
    {
        const auto *msg = static_cast<const MSG *>(message);
        if (msg->message == WM_QUERYENDSESSION && m_phase == Phase::Running) {
            qCDebug(lcSession) << "the session asks to end: saving";
            m_phase = Phase::Asked;
            m_failure = m_steps.save();
        } else if (msg->message == WM_ENDSESSION && m_phase == Phase::Asked && msg->wParam == FALSE) {
            qCDebug(lcSession) << "the session's end was cancelled: going on";
            m_phase = Phase::Running;
        } else if (msg->message == WM_ENDSESSION && m_phase != Phase::Ended && msg->wParam != FALSE) {
            qCDebug(lcSession) << "the session ends: ending";
            if (m_phase == Phase::Running) // no question came first
                m_failure = m_steps.save();
            m_phase = Phase::Ended;
            m_steps.end(m_failure);
        }
        return false;
    }

private:
    enum class Phase { Running, Asked, Ended };
    SessionEnd m_steps;
    Phase m_phase = Phase::Running;
    QString m_failure;
};

} // namespace

void onTermination(QObject &context, SessionEnd steps) { new SessionEndFilter(context, std::move(steps)); }

// No session bus here: the screen's inhibition and the accessibility bridge use the system's
// own interfaces.
bool avoidHungSessionBus(std::chrono::milliseconds) { return true; }

void writeToStandardError(const QString &line)
{
    // A windowed program has a standard error only when whoever started it gave one (a script's
    // redirection, a test harness). Without one the line goes to the system's debug output,
    // where a debugger or a debug-output viewer shows it, as Qt's own messages do then.
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (error != nullptr && error != INVALID_HANDLE_VALUE && GetFileType(error) != FILE_TYPE_UNKNOWN) {
        const QByteArray bytes = line.toLocal8Bit() + "\r\n";
        DWORD written = 0;
        if (WriteFile(error, bytes.constData(), DWORD(bytes.size()), &written, nullptr))
            return;
    }
    OutputDebugStringW(reinterpret_cast<const wchar_t *>((line + QStringLiteral("\n")).utf16()));
}

} // namespace app
