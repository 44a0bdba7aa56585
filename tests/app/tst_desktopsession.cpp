// Which platform the program asks Qt for, in each kind of session it may start in; and what the
// built program does when the session or the terminal ends it with a signal; and how the look at
// the session bus judges a bus that never answers.

#include "app/desktopsession.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

namespace {

// The built program, started as a session starts it, with a configuration folder of the test's
// own and no sound; killed by its PID should a case fail while it runs.
class Program {
public:
    // stderrPipe: stderr goes into a pipe of the test's own, whose reader dropStderrReader() closes.
    explicit Program(const QString &configHome, const QStringList &extraEnvironment = {}, bool stderrPipe = false)
    {
        if (stderrPipe && ::pipe2(m_stderrPipe, O_CLOEXEC) != 0)
            qFatal("pipe2: %s", strerror(errno));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("SDL_AUDIODRIVER"), QStringLiteral("dummy"));
        for (const QString &pair : extraEnvironment)
            env.insert(pair.section(QLatin1Char('='), 0, 0), pair.section(QLatin1Char('='), 1));
        m_process.setProcessEnvironment(env);
        // As a terminal starts it: whatever started the test may have left SIGINT or SIGQUIT
        // ignored (a shell's background job), and an ignored signal stays ignored across exec.
        m_process.setChildProcessModifier([writeEnd = m_stderrPipe[1]] {
            for (const int signal : {SIGINT, SIGHUP, SIGQUIT, SIGPIPE})
                std::signal(signal, SIG_DFL);
            if (writeEnd >= 0)
                ::dup2(writeEnd, STDERR_FILENO);
        });
        m_process.start(qEnvironmentVariable("VINTRA_BIN_DIR") + QStringLiteral("/vintra"), {});
        if (m_stderrPipe[1] >= 0)
            ::close(m_stderrPipe[1]);
    }
    ~Program()
    {
        if (m_process.state() != QProcess::NotRunning) {
            ::kill(pid_t(m_process.processId()), SIGKILL);
            m_process.waitForFinished(5000);
        }
        dropStderrReader();
    }

    void dropStderrReader()
    {
        if (m_stderrPipe[0] >= 0)
            ::close(std::exchange(m_stderrPipe[0], -1));
    }

    // Waits until the program catches the signal (its handler is in place), at most 20 s.
    bool catches(int signal)
    {
        if (!m_process.waitForStarted(10000))
            return false;
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 20000) {
            QFile status(QStringLiteral("/proc/%1/status").arg(m_process.processId()));
            if (!status.open(QIODevice::ReadOnly))
                return false;
            for (const QByteArray &line : status.readAll().split('\n')) {
                if (line.startsWith("SigCgt:") && (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (signal - 1)) & 1)
                    return true;
            }
            if (m_process.waitForFinished(20))
                return false;
        }
        return false;
    }

    // Sends the signal by PID; the milliseconds until the program has ended, or -1 when it still
    // runs after `bound`.
    qint64 send(int signal, int bound)
    {
        QElapsedTimer took;
        took.start();
        ::kill(pid_t(m_process.processId()), signal);
        return m_process.waitForFinished(bound) ? took.elapsed() : -1;
    }

    QProcess &process() { return m_process; }
    // stderr lines that start with prefix.
    QStringList errorLines(const QString &prefix)
    {
        QStringList lines = QString::fromLocal8Bit(m_process.readAllStandardError()).split(QLatin1Char('\n'));
        lines.removeIf([&](const QString &line) { return !line.startsWith(prefix); });
        return lines;
    }

private:
    QProcess m_process;
    int m_stderrPipe[2] = {-1, -1};
};

const QString kNotSaved = QStringLiteral("vintra: the settings were not saved: ");

} // namespace

class TestDesktopSession : public QObject {
    Q_OBJECT

private slots:
    void platformForTheSession_data()
    {
        QTest::addColumn<QString>("environment"); // NAME=value pairs, space-separated
        QTest::addColumn<QByteArray>("platform");
        QTest::newRow("X11 session") << "XDG_SESSION_TYPE=x11 DISPLAY=:0" << QByteArray();
        QTest::newRow("Wayland with XWayland")
            << "XDG_SESSION_TYPE=wayland WAYLAND_DISPLAY=wayland-0 DISPLAY=:0" << QByteArray("xcb;wayland");
        QTest::newRow("Wayland socket, no session type")
            << "WAYLAND_DISPLAY=wayland-0 DISPLAY=:1" << QByteArray("xcb;wayland");
        QTest::newRow("Wayland session type only")
            << "XDG_SESSION_TYPE=wayland DISPLAY=:1" << QByteArray("xcb;wayland");
        QTest::newRow("Wayland without XWayland")
            << "XDG_SESSION_TYPE=wayland WAYLAND_DISPLAY=wayland-0" << QByteArray();
        QTest::newRow("user chose Wayland")
            << "XDG_SESSION_TYPE=wayland WAYLAND_DISPLAY=wayland-0 DISPLAY=:0 QT_QPA_PLATFORM=wayland" << QByteArray();
        QTest::newRow("user chose offscreen")
            << "WAYLAND_DISPLAY=w DISPLAY=:0 QT_QPA_PLATFORM=offscreen" << QByteArray();
        QTest::newRow("empty choice is no choice")
            << "WAYLAND_DISPLAY=w DISPLAY=:0 QT_QPA_PLATFORM=" << QByteArray("xcb;wayland");
        QTest::newRow("console") << "" << QByteArray();
    }
    void platformForTheSession()
    {
        QFETCH(QString, environment);
        QFETCH(QByteArray, platform);
        QMap<QByteArray, QByteArray> values;
        for (const QString &pair : environment.split(' ', Qt::SkipEmptyParts))
            values.insert(pair.section('=', 0, 0).toLatin1(), pair.section('=', 1).toLatin1());
        QCOMPARE(app::preferredPlatform([&](const char *name) { return values.value(name); }), platform);
    }

    // The choice lives only until the application object has loaded the platform: programs
    // started from the program later see the session's own environment.
    void choiceLeavesTheEnvironmentAsItWas()
    {
        qunsetenv("QT_QPA_PLATFORM");
        qputenv("WAYLAND_DISPLAY", "wayland-test");
        qputenv("DISPLAY", ":0");
        QVERIFY(app::choosePlatform());
        QCOMPARE(qgetenv("QT_QPA_PLATFORM"), QByteArray("xcb;wayland"));
        app::forgetPlatformChoice();
        QVERIFY(!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"));

        qputenv("QT_QPA_PLATFORM", "wayland");
        QVERIFY(!app::choosePlatform());
        app::forgetPlatformChoice();
        QCOMPARE(qgetenv("QT_QPA_PLATFORM"), QByteArray("wayland"));
    }

    // A bus that accepts connections and never answers (its daemon stopped) is judged silent
    // every time, whatever the bound, and the program's libraries are sent to no bus at all;
    // an address that cannot be reached at all is passed over for the next one in the list. The
    // wait gave up a fraction of a millisecond early once in a few dozen starts, was taken for an
    // unreachable bus, and the window then waited on the stopped daemon for good.
    void silentBusIsJudgedSilentEveryTime()
    {
        QTemporaryDir folder;
        const QByteArray silent = QFile::encodeName(folder.filePath(QStringLiteral("silent")));
        const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        QVERIFY(listener >= 0);
        sockaddr_un where = {};
        where.sun_family = AF_UNIX;
        std::memcpy(where.sun_path, silent.constData(), size_t(silent.size()));
        QVERIFY(::bind(listener, reinterpret_cast<const sockaddr *>(&where), sizeof where) == 0);
        QVERIFY(::listen(listener, 128) == 0);
        const QByteArray before = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        const QByteArray list = "unix:path=" + QFile::encodeName(folder.filePath(QStringLiteral("none"))) +
                                ";unix:path=" + silent + ",guid=0123456789abcdef0123456789abcdef";
        int early = 0;
        for (int bound = 5; bound < 45; ++bound) {
            qputenv("DBUS_SESSION_BUS_ADDRESS", list);
            QElapsedTimer clock;
            clock.start();
            const bool answered = app::avoidHungSessionBus(std::chrono::milliseconds(bound));
            const qint64 took = clock.nsecsElapsed();
            QVERIFY2(!answered, qPrintable(QStringLiteral("judged answering with a bound of %1 ms").arg(bound)));
            QVERIFY(!qgetenv("DBUS_SESSION_BUS_ADDRESS").contains(silent));
            early += took < qint64(bound) * 1000000;
        }
        QCOMPARE(early, 0);
        ::close(listener);
        qputenv("DBUS_SESSION_BUS_ADDRESS", before);
    }

    // Every ordinary way the program is asked to end (the session, systemd or kill: SIGTERM;
    // Ctrl+C in a terminal: SIGINT; the terminal closed: SIGHUP; Ctrl+\: SIGQUIT) saves the
    // settings and ends it with 0. A save that fails then cannot be shown to anyone: no modal box
    // holds the program until the session kills it. The failure is one line on stderr, even with
    // every logging category turned off, and the status is 1. Started as `vintra 2>&1 | tee log`,
    // the reader may be gone by then (the terminal that closed took tee with it): the line is
    // lost, the status is not.
    void endingSavesTheSettings_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<bool>("canSave");
        QTest::addColumn<bool>("stderrGone");
        for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
            QTest::addRow("%s", sigabbrev_np(signal)) << signal << true << false;
            QTest::addRow("%s, cannot save", sigabbrev_np(signal)) << signal << false << false;
        }
        QTest::addRow("SIGHUP, cannot save, stderr's reader gone") << SIGHUP << false << true;
    }
    void endingSavesTheSettings()
    {
        QFETCH(int, signal);
        QFETCH(bool, canSave);
        QFETCH(bool, stderrGone);
        QTemporaryDir config;
        const QString file = config.filePath(QStringLiteral("zelk-soft/vintra/timer.ini"));
        // A folder where the file should be: every save fails, whoever runs the test.
        if (!canSave)
            QVERIFY(QDir(config.path()).mkpath(file));
        Program program(config.path(), {QStringLiteral("QT_LOGGING_RULES=*=false")}, stderrGone);
        QVERIFY2(program.catches(signal), "the program never came to catch the signal");
        if (stderrGone)
            program.dropStderrReader();
        const qint64 took = program.send(signal, 20000);
        QVERIFY2(took >= 0, "the program still ran 20 s after the signal (waiting in an error box?)");
        qInfo("ended %lld ms after the signal", took);
        QCOMPARE(program.process().exitStatus(), QProcess::NormalExit);
        if (stderrGone) {
            QCOMPARE(program.process().exitCode(), 1);
            return;
        }
        const QStringList lines = program.errorLines(kNotSaved);
        if (canSave) {
            QCOMPARE(program.process().exitCode(), 0);
            QFile settings(file);
            QVERIFY(settings.open(QIODevice::ReadOnly));
            QCOMPARE(settings.readAll().count("\r\n"), 17);
            QVERIFY2(lines.isEmpty(), qPrintable(lines.join(QLatin1Char('|'))));
        } else {
            QCOMPARE(program.process().exitCode(), 1);
            QCOMPARE(lines.size(), 1);
            QVERIFY2(lines[0].contains(QLatin1String("Cannot create file")), qPrintable(lines[0]));
            QVERIFY(QFileInfo(file).isDir());
        }
    }
};

QTEST_GUILESS_MAIN(TestDesktopSession)
#include "tst_desktopsession.moc"
