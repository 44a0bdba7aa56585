#pragma once

// A PulseAudio server of a test's own, with a null sink, in a folder of its own: the test can
// stop, continue, kill and start it again without touching the server other suites share.
// Every process is started and ended by its PID.

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QString>
#include <QTest>

#include <csignal>
#include <sys/types.h>

namespace pulsetest {

class PrivateServer {
public:
    // dir: an empty folder that lives longer than this object.
    PrivateServer(const QString &dir, QString sink) : m_dir(dir), m_sink(std::move(sink))
    {
        QDir().mkpath(runtimeDir());
        QFile::setPermissions(runtimeDir(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QDir().mkpath(m_dir + QStringLiteral("/home"));
    }
    ~PrivateServer() { stop(); }

    QString runtimeDir() const { return m_dir + QStringLiteral("/runtime"); }
    QString address() const { return QStringLiteral("unix:") + runtimeDir() + QStringLiteral("/pulse/native"); }
    QString sink() const { return m_sink; }
    qint64 pid() const { return m_process.processId(); }

    // Starts the server (again, after a kill, with the same folder and sink) and waits until it
    // answers.
    bool start()
    {
        stop();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), m_dir + QStringLiteral("/home"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir());
        env.remove(QStringLiteral("PULSE_SERVER"));
        // Without a session bus of its own it would claim, or find taken, the desktop's name for
        // its D-Bus interface; X11 would let D-Bus start a bus for it.
        env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        env.remove(QStringLiteral("DISPLAY"));
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.start(QStringLiteral("pulseaudio"),
                        {QStringLiteral("-n"), QStringLiteral("--daemonize=no"), QStringLiteral("--exit-idle-time=-1"),
                         QStringLiteral("--use-pid-file=no"),
                         QStringLiteral("--log-target=file:") + m_dir + QStringLiteral("/pulse.log"),
                         QStringLiteral("--load=module-native-protocol-unix"),
                         QStringLiteral("--load=module-null-sink sink_name=") + m_sink,
                         QStringLiteral("--load=module-always-sink")});
        if (!m_process.waitForStarted(5000))
            return false;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 10000) {
            if (answers())
                return true;
            if (m_process.state() == QProcess::NotRunning)
                break;
            QTest::qWait(100);
        }
        QFile log(m_dir + QStringLiteral("/pulse.log"));
        if (log.open(QIODevice::ReadOnly))
            qWarning("PulseAudio did not start:\n%s", log.readAll().right(2000).constData());
        return false;
    }
    bool answers() const
    {
        QProcess info;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PULSE_SERVER"), address());
        info.setProcessEnvironment(env);
        info.start(QStringLiteral("pactl"), {QStringLiteral("info")});
        return info.waitForFinished(3000) && info.exitStatus() == QProcess::NormalExit && info.exitCode() == 0;
    }
    void freeze() { signal(SIGSTOP); }
    void thaw() { signal(SIGCONT); }
    // Death without a goodbye, as when the server crashes.
    void killHard()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        signal(SIGKILL);
        m_process.waitForFinished(5000);
    }
    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        signal(SIGCONT); // a stopped server would not see the TERM
        signal(SIGTERM);
        if (!m_process.waitForFinished(5000)) {
            signal(SIGKILL);
            m_process.waitForFinished(2000);
        }
    }

private:
    void signal(int sig)
    {
        const qint64 id = m_process.processId();
        if (id > 0)
            ::kill(pid_t(id), sig);
    }

    QString m_dir;
    QString m_sink;
    QProcess m_process;
};

} // namespace pulsetest
