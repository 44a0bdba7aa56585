#include "app/desktopsession.h"

#include "app/sessionlog.h"

#include <QGuiApplication>
#include <QObject>
#include <QSessionManager>
#include <QString>
#include <memory>

#include <windows.h>

// Windows: a log-off or shut-down asks every program first (WM_QUERYENDSESSION, which Qt hands
// on as commitDataRequest) and then ends it without closing its windows, so the settings are
// saved while it asks. `taskkill /PID` (without /F) sends WM_CLOSE, which Qt delivers as the
// window's closeEvent: the Close button's own path, with its error box, so nothing is hooked
// for it. Console control events do not reach a windowed program that has no console.

namespace app {

void onTermination(QObject &context, std::function<void()> end)
{
    // Once, as on Linux: Windows may ask again (a second WM_QUERYENDSESSION after a cancelled
    // shut-down) while the program is already ending.
    auto pending = std::make_shared<std::function<void()>>(std::move(end));
    QObject::connect(qGuiApp, &QGuiApplication::commitDataRequest, &context, [pending](QSessionManager &) {
        if (!*pending)
            return;
        qCDebug(lcSession) << "the session ends: ending";
        const std::function<void()> run = std::move(*pending);
        *pending = nullptr;
        run();
    });
}

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
