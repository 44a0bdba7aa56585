// The X server's own screen saver stays off during a workout. The test runs its own Xvfb with a
// one-second screen-saver time (on the shared one that would blank the other tests' screens) and
// asks the server through MIT-SCREEN-SAVER whether it has gone on.

#include "windowtestutil.h"

#include <QCheckBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

// After the Qt headers: Xlib defines macros such as None and Bool.
#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

namespace {

// An Xvfb of the test's own, stopped by its PID; it also ends should the test die.
class PrivateXServer {
public:
    PrivateXServer()
    {
        int fds[2];
        if (::pipe(fds) != 0)
            return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            ::close(fds[0]);
            const std::string fd = std::to_string(fds[1]);
            ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                     static_cast<char *>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        std::string number;
        pollfd wait = {fds[0], POLLIN, 0};
        char c;
        while (::poll(&wait, 1, 30000) > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n')
            number += c;
        ::close(fds[0]);
        if (!number.empty())
            m_display = ":" + number;
    }
    ~PrivateXServer()
    {
        if (m_pid <= 0)
            return;
        ::kill(m_pid, SIGTERM);
        for (int i = 0; i < 50; ++i) {
            if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid)
                return;
            ::usleep(100000);
        }
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    const std::string &display() const { return m_display; }

private:
    pid_t m_pid = -1;
    std::string m_display;
};

Display *xDisplay() { return qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->display(); }

bool screenSaverOn()
{
    XScreenSaverInfo info = {};
    XScreenSaverQueryInfo(xDisplay(), DefaultRootWindow(xDisplay()), &info);
    return info.state == ScreenSaverOn;
}

} // namespace

class TestXScreenSaver : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

private slots:
    void initTestCase()
    {
        app::applyAppearance(*qApp);
        qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
        int eventBase = 0, errorBase = 0;
        QVERIFY(XScreenSaverQueryExtension(xDisplay(), &eventBase, &errorBase));
        XSetScreenSaver(xDisplay(), 1, 0, DontPreferBlanking, AllowExposures);
        XSync(xDisplay(), False);
    }

    // Idle, it goes on; from START to "Стоп", and to a close during a workout, it stays off.
    void staysOffDuringTheWorkout()
    {
        ErrorBoxRecorder errors; // the fake channels have no files
        auto window = std::make_unique<TForm1>(fakeChannels());
        child<QCheckBox>(window.get(), "sound")->setChecked(false);
        child<QCheckBox>(window.get(), "sCheckBox2")->setChecked(false);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QTRY_VERIFY_WITH_TIMEOUT(screenSaverOn(), 10000);

        auto *start = child<QPushButton>(window.get(), "sBitBtn1");
        XForceScreenSaver(xDisplay(), ScreenSaverReset);
        QTest::mouseClick(start, Qt::LeftButton);
        QCOMPARE(start->text(), workout::texts::stop);
        for (int i = 0; i < 30; ++i) {
            QTest::qWait(100);
            QVERIFY2(!screenSaverOn(), "the screen saver went on during the workout");
        }
        QTest::mouseClick(start, Qt::LeftButton);
        QCOMPARE(start->text(), workout::texts::start);
        QTRY_VERIFY_WITH_TIMEOUT(screenSaverOn(), 10000);

        XForceScreenSaver(xDisplay(), ScreenSaverReset);
        QTest::mouseClick(start, Qt::LeftButton);
        QTest::qWait(2500);
        QVERIFY(!screenSaverOn());
        QVERIFY(window->close());
        QTRY_VERIFY_WITH_TIMEOUT(screenSaverOn(), 10000);
    }
};

int main(int argc, char **argv)
{
    PrivateXServer server;
    if (server.display().empty()) {
        std::fprintf(stderr, "SKIPPED: no Xvfb could be started\n");
        return 77;
    }
    qputenv("DISPLAY", server.display().c_str());
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication application(argc, argv);
    TestXScreenSaver test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_xscreensaver.moc"
