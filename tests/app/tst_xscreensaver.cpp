// The X server's own screen saver stays off during a workout. The test runs on an X server of its
// own (tests/support/on-own-x-server.sh) with a one-second screen-saver time (on the shared one
// that would blank the other tests' screens) and asks the server through MIT-SCREEN-SAVER whether
// it has gone on.

#include "windowtestutil.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

// After the Qt headers: Xlib defines macros such as None and Bool.
#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

namespace {

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
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            QSKIP("needs an X server of its own (tests/support/on-own-x-server.sh)");
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

QTEST_MAIN(TestXScreenSaver)
#include "tst_xscreensaver.moc"
