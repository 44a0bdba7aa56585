// Which platform the program asks Qt for, in each kind of session it may start in.

#include "app/desktopsession.h"

#include <QMap>
#include <QTest>

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
};

QTEST_GUILESS_MAIN(TestDesktopSession)
#include "tst_desktopsession.moc"
