#pragma once

// A PipeWire server of a test's own, as a desktop runs it (pipewire, wireplumber and
// pipewire-pulse on a session bus of their own), in a folder of its own, with a null sink the
// test records through pipewire-pulse. restart() does what `systemctl --user restart pipewire`
// does: the three die and new ones start in the same runtime folder. Every process is started
// and ended by its PID.

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QTest>

#include <array>
#include <csignal>
#include <memory>
#include <sys/types.h>

namespace pipewiretest {

class PrivateServer {
public:
    // dir: an empty folder that lives longer than this object.
    explicit PrivateServer(const QString &dir) : m_dir(dir)
    {
        QDir().mkpath(runtimeDir());
        QFile::setPermissions(runtimeDir(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QDir().mkpath(m_dir + QStringLiteral("/home"));
    }
    ~PrivateServer()
    {
        stopServers();
        end(m_bus);
    }

    static bool installed()
    {
        for (const char *tool : {"dbus-daemon", "pipewire", "wireplumber", "pipewire-pulse", "pactl", "parec"})
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
                return false;
        return true;
    }

    QString runtimeDir() const { return m_dir + QStringLiteral("/runtime"); }
    // pipewire-pulse's socket, for the recorder.
    QString pulseAddress() const { return QStringLiteral("unix:") + runtimeDir() + QStringLiteral("/pulse/native"); }
    QString busAddress() const { return m_busAddress; }
    QString sink() const { return QStringLiteral("pwtestsink"); }
    qint64 pipewirePid() const { return m_servers[0].processId(); }

    // Starts the servers; withSink: also the null sink, as the default, and waits until it is.
    // Without it the server answers with nowhere to play, as at a login before the session
    // manager has found the sound card.
    bool start(bool withSink = true)
    {
        if (m_bus.state() == QProcess::NotRunning && !startBus())
            return false;
        stopServers();
        const char *names[] = {"pipewire", "wireplumber", "pipewire-pulse"};
        for (int i = 0; i < 3; ++i) {
            if (i == 1 && !withSink)
                continue; // no session manager: no sink
            QProcess &p = m_servers[size_t(i)];
            p.setProcessEnvironment(serverEnv());
            p.setStandardOutputFile(QProcess::nullDevice());
            p.setStandardErrorFile(m_dir + QStringLiteral("/%1.log").arg(QString::fromLatin1(names[i])),
                                   QIODevice::Append);
            p.start(QString::fromLatin1(names[i]), {});
            if (!p.waitForStarted(5000))
                return fail("%s did not start", names[i]);
            if (i == 0 && !waitFor([this] { return QFile::exists(runtimeDir() + QStringLiteral("/pipewire-0")); }))
                return fail("pipewire made no socket");
        }
        if (!waitFor([this] { return pactl({QStringLiteral("info")}); }))
            return fail("pipewire-pulse did not answer");
        return withSink ? addSink() : true;
    }

    // Adds the null sink and makes it the default (the session manager follows a moment later).
    bool addSink()
    {
        if (m_servers[1].state() == QProcess::NotRunning) {
            QProcess &p = m_servers[1];
            p.setProcessEnvironment(serverEnv());
            p.setStandardOutputFile(QProcess::nullDevice());
            p.setStandardErrorFile(m_dir + QStringLiteral("/wireplumber.log"), QIODevice::Append);
            p.start(QStringLiteral("wireplumber"), {});
            if (!p.waitForStarted(5000))
                return fail("wireplumber did not start");
        }
        if (!pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
                    QStringLiteral("sink_name=") + sink()}))
            return fail("no null sink");
        // Setting the default fails while the new sink is not yet known to the server.
        if (!waitFor([this] { return pactl({QStringLiteral("set-default-sink"), sink()}) && defaultIsOurs(); }))
            return fail("the null sink did not become the default");
        return true;
    }

    // The three servers die (not the bus) and new ones start with the same folder and sink.
    bool restart()
    {
        stopServers();
        return start(true);
    }

    // What a client of this server needs: its runtime folder and bus, no other server named.
    void enterClientEnv() const
    {
        qputenv("XDG_RUNTIME_DIR", runtimeDir().toLocal8Bit());
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_busAddress.toLocal8Bit());
        qputenv("PULSE_SERVER", pulseAddress().toLocal8Bit());
    }

private:
    QProcessEnvironment serverEnv() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("PULSE_SERVER"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir());
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_busAddress);
        env.insert(QStringLiteral("HOME"), m_dir + QStringLiteral("/home"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_dir + QStringLiteral("/home/.config"));
        env.insert(QStringLiteral("XDG_STATE_HOME"), m_dir + QStringLiteral("/home/.local/state"));
        return env;
    }

    bool startBus()
    {
        m_busAddress = QStringLiteral("unix:path=") + m_dir + QStringLiteral("/bus");
        m_bus.setStandardOutputFile(QProcess::nullDevice());
        m_bus.setStandardErrorFile(m_dir + QStringLiteral("/dbus.log"));
        m_bus.start(QStringLiteral("dbus-daemon"),
                    {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--nopidfile"),
                     QStringLiteral("--address=") + m_busAddress});
        if (!m_bus.waitForStarted(5000))
            return fail("dbus-daemon did not start");
        return waitFor([this] { return QFile::exists(m_dir + QStringLiteral("/bus")); }) || fail("no session bus");
    }

    bool pactl(const QStringList &args) const
    {
        QProcess p;
        QProcessEnvironment env = serverEnv();
        env.insert(QStringLiteral("PULSE_SERVER"), pulseAddress());
        p.setProcessEnvironment(env);
        p.start(QStringLiteral("pactl"), args);
        return p.waitForFinished(3000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }
    bool defaultIsOurs() const
    {
        QProcess p;
        QProcessEnvironment env = serverEnv();
        env.insert(QStringLiteral("PULSE_SERVER"), pulseAddress());
        p.setProcessEnvironment(env);
        p.start(QStringLiteral("pactl"), {QStringLiteral("get-default-sink")});
        return p.waitForFinished(3000) && p.readAllStandardOutput().trimmed() == sink().toLatin1();
    }
    template <typename Condition>
    static bool waitFor(Condition condition, int limitMs = 10000)
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < limitMs) {
            if (condition())
                return true;
            QTest::qWait(50);
        }
        return condition();
    }
    bool fail(const char *what, const char *arg = "")
    {
        qWarning(what, arg);
        for (const char *name : {"pipewire", "wireplumber", "pipewire-pulse", "dbus"}) {
            QFile log(m_dir + QStringLiteral("/%1.log").arg(QString::fromLatin1(name)));
            if (log.open(QIODevice::ReadOnly))
                qWarning("%s.log:\n%s", name, log.readAll().right(1500).constData());
        }
        return false;
    }
    void stopServers()
    {
        // The session manager and the pulse front end go with the server, as under systemd.
        for (QProcess &p : m_servers)
            end(p);
    }
    static void end(QProcess &p, int sig = SIGTERM)
    {
        if (p.state() == QProcess::NotRunning)
            return;
        ::kill(pid_t(p.processId()), sig);
        if (!p.waitForFinished(5000)) {
            ::kill(pid_t(p.processId()), SIGKILL);
            p.waitForFinished(2000);
        }
    }

    QString m_dir;
    QString m_busAddress;
    QProcess m_bus;
    std::array<QProcess, 3> m_servers; // pipewire, wireplumber, pipewire-pulse
};

} // namespace pipewiretest
