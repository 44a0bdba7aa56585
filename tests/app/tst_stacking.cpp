// Stacking and first placement under a real X server with a window manager: the switch moves
// the window between bands without re-creating, moving or hiding it.

#include "app/mainwindow.h"
#include "app/placement.h"
#include "windowtestutil.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QProcess>
#include <QScreen>
#include <QTest>
#include <QWindow>

namespace {

QString runXprop(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral("xprop"), args);
    if (!p.waitForFinished(5000)) {
        p.kill();
        p.waitForFinished();
    }
    return QString::fromUtf8(p.readAllStandardOutput());
}

QString xprop(WId id, const QString &property)
{
    return runXprop({QStringLiteral("-id"), QString::number(id), property});
}

// Outer geometry as the X server sees it (frame included), through xwininfo.
QRect frameOnScreen(WId id)
{
    QProcess p;
    p.start(QStringLiteral("xwininfo"), {QStringLiteral("-id"), QString::number(id)});
    p.waitForFinished(5000);
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    auto value = [&](const char *label) {
        const qsizetype at = out.indexOf(QLatin1String(label));
        return at < 0 ? -1 : out.mid(at + qstrlen(label)).section(QLatin1Char('\n'), 0, 0).trimmed().toInt();
    };
    return QRect(value("Absolute upper-left X:"), value("Absolute upper-left Y:"), value("Width:"), value("Height:"));
}

// The frame once the window manager has stopped moving it: two reads 150 ms apart agree.
// An invalid rectangle when it is still moving after ten seconds.
QRect settledFrame(WId id)
{
    QRect last = frameOnScreen(id);
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 10000) {
        QTest::qWait(150);
        const QRect now = frameOnScreen(id);
        if (now.isValid() && now == last)
            return now;
        last = now;
    }
    return {};
}

// Waits until the window manager has framed the window and the window has been centred again
// with its frame (the program re-centres once the frame is known), then for the frame to stand
// still. A reading taken earlier sees the window before that last move.
QRect placedFrame(QWidget &window)
{
    QRect desktop;
    for (QScreen *screen : QGuiApplication::screens())
        desktop |= screen->geometry();
    auto placed = [&] {
        return window.frameGeometry().size() != window.size() &&
               window.frameGeometry().topLeft() == app::firstPlacement(desktop, window.frameGeometry().size());
    };
    QElapsedTimer clock;
    clock.start();
    while (!placed() && clock.elapsed() < 10000)
        QTest::qWait(50);
    if (!placed()) {
        qWarning("the window was not framed and centred within 10 s (frame %d,%d %dx%d)", window.frameGeometry().x(),
                 window.frameGeometry().y(), window.frameGeometry().width(), window.frameGeometry().height());
        return {};
    }
    const QRect frame = settledFrame(window.winId());
    if (!frame.isValid())
        qWarning("the frame was still moving after 10 s");
    return frame;
}

bool above(WId id) { return xprop(id, QStringLiteral("_NET_WM_STATE")).contains(QLatin1String("_NET_WM_STATE_ABOVE")); }

} // namespace

class TestStacking : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            QSKIP("needs an X server with a window manager");
        // Without a window manager nothing below can pass; say so once instead of timing out.
        QVERIFY2(runXprop({QStringLiteral("-root"), QStringLiteral("_NET_SUPPORTING_WM_CHECK")})
                     .contains(QLatin1String("window id")),
                 qPrintable(QStringLiteral("no window manager runs on DISPLAY=%1 (scripts/test-env.sh starts openbox)")
                                .arg(qEnvironmentVariable("DISPLAY"))));
        app::applyAppearance(*qApp);
    }

    void switchKeepsTheNativeWindow()
    {
        TForm1 window(fakeChannels());
        window.showFirstTime();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const WId id = window.winId();
        QTRY_VERIFY_WITH_TIMEOUT(above(id), 10000);
        const QRect before = placedFrame(window);
        QVERIFY(before.isValid());
        const QRect geometry = window.geometry();

        auto *onTop = child<QCheckBox>(&window, "sCheckBox1");
        onTop->setChecked(false);
        QTRY_VERIFY_WITH_TIMEOUT(!above(id), 10000);
        QCOMPARE(window.winId(), id);
        QVERIFY(window.isVisible());
        // The change is done; the frame must not have moved with it.
        QCOMPARE(settledFrame(id), before);
        QCOMPARE(window.geometry(), geometry);

        onTop->setChecked(true);
        QTRY_VERIFY_WITH_TIMEOUT(above(id), 10000);
        QCOMPARE(window.winId(), id);
        QCOMPARE(settledFrame(id), before);
        // Maximising is not offered for a fixed-size window.
        QVERIFY(!xprop(id, QStringLiteral("_NET_WM_ALLOWED_ACTIONS")).contains(QLatin1String("MAXIMIZE")));
    }

    void startsNormalWhenTheOptionIsOff()
    {
        TForm1 window(fakeChannels());
        child<QCheckBox>(&window, "sCheckBox1")->setChecked(false); // as a stored "0" does during creation
        window.showFirstTime();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        // Managed, framed and settled: a late switch on top would have happened by now.
        QVERIFY(placedFrame(window).isValid());
        QVERIFY(!above(window.winId()));
    }

    void firstPlacementIsCentredOnTheDesktop()
    {
        TForm1 window(fakeChannels());
        window.showFirstTime();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QRect desktop;
        for (QScreen *screen : QGuiApplication::screens())
            desktop |= screen->geometry();
        QTRY_VERIFY_WITH_TIMEOUT(window.frameGeometry().size() != window.size(), 10000);
        QVERIFY(settledFrame(window.winId()).isValid());
        // Qt learns the frame's extents a little after the server has them.
        QTRY_COMPARE_WITH_TIMEOUT(window.frameGeometry().topLeft(),
                                  app::firstPlacement(desktop, window.frameGeometry().size()), 10000);
    }
};

QTEST_MAIN(TestStacking)
#include "tst_stacking.moc"
