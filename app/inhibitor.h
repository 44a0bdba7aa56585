#pragma once

// Keeps the desktop from blanking or locking the screen while a workout runs: the person
// exercises without touching the computer, and the countdown must stay in sight.
//
// How is the platform's business, each in its own file chosen by app/CMakeLists.txt
// (inhibitor_linux.cpp: the session bus and the X server's screen saver; inhibitor_win.cpp: the
// system's own request). Every request is asynchronous, so a slow or hung service never stalls
// the window. Where the platform offers nothing, nothing happens and nothing is reported: the
// workout runs as it would anyway.

#include <QObject>
#include <QString>
#include <chrono>
#include <memory>

namespace app {

class Inhibitor : public QObject {
    Q_OBJECT

public:
    // Which service holds the inhibition. On Linux the session bus's services, asked in this
    // order: the desktop portal, the freedesktop screen saver, the GNOME session manager. On
    // Windows the system's own request (SetThreadExecutionState). Each platform lists only its
    // own, so that its code handles every value it can meet.
    enum class Service {
        None,
#ifdef Q_OS_WIN
        System,
#else
        Portal,
        ScreenSaver,
        GnomeSession,
#endif
    };

    // A service that has not answered within this time is taken as absent and the next one is
    // asked; an answer that comes later still is not lost (see setHeld). A release is given up
    // after this time, a request after kCallLifetimes times it: no call stays pending for good.
    static constexpr std::chrono::milliseconds kAnswerLimit{10000};
    static constexpr int kCallLifetimes = 6;

    // answerLimit is for tests that cannot wait the real limit out.
    explicit Inhibitor(QObject *parent = nullptr, std::chrono::milliseconds answerLimit = kAnswerLimit);
    ~Inhibitor() override;

    // The reason the desktop shows for the inhibition.
    static QString reason();

    // Holding asks for an inhibition (unless one is held or on its way); letting go releases it.
    // Every inhibition a service grants is released as soon as it is not wanted, also one whose
    // answer comes after letting go, or after the limit when another service was asked instead:
    // only one is ever kept.
    void setHeld(bool held);
    bool isHeld() const;

    // The service that holds the inhibition now; None while none is held.
    Service service() const;

    // Requests and releases sent and not answered (nor given up) yet; the releases alone.
    int callsInFlight() const;
    int releasesInFlight() const;

    // Runs the event loop until every release sent has been answered, or the time is up. For the
    // program's end, so that a release is not lost with the connection. A request still pending
    // is not waited for: what it might grant ends with the program's connection anyway.
    void settle(int msecs);

signals:
    // Emitted whenever an answer has been handled; lets tests wait on it.
    void changed();

private:
    class Platform;
    std::unique_ptr<Platform> d;
};

} // namespace app
