// The three tabs working together in the real window: the preview and the timer tab, the
// links and a running workout.

#include "app/infopages.h"
#include "sound/soundtab.h"
#include "urlrecorder.h"
#include "windowtestutil.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

class TestWindowTabs : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QStringList journal;
    std::unique_ptr<TForm1> window;
    FakeChannel *preview() { return static_cast<FakeChannel *>(window->mp1.get()); }
    QTabWidget *pages() { return child<QTabWidget>(window.get(), "sPageControl1"); }

private slots:
    void initTestCase()
    {
        app::applyAppearance(*qApp);
        qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
    }
    void init()
    {
        journal.clear();
        window = std::make_unique<TForm1>(fakeChannels(&journal));
        window->showFirstTime();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }
    void cleanup() { window.reset(); }

    void onlyTheTimerTabSilencesThePreview()
    {
        const QString rest = dir.filePath("rest.wav");
        QFile f(rest);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("RIFF");
        f.close();
        pages()->setCurrentIndex(2);
        window->soundTab().edit(2)->setText(rest);
        QTest::mouseClick(window->soundTab().previewButton(2), Qt::LeftButton);
        QVERIFY(preview()->playing());
        QCOMPARE(preview()->openedFile(), rest);

        pages()->setCurrentIndex(1);
        QVERIFY(preview()->playing());
        pages()->setCurrentIndex(2);
        QVERIFY(preview()->playing());
        pages()->setCurrentIndex(0);
        QVERIFY(!preview()->playing());
        // Coming back to the timer tab with nothing playing does nothing to the channel.
        journal.clear();
        pages()->setCurrentIndex(1);
        pages()->setCurrentIndex(0);
        QVERIFY(journal.isEmpty());
    }

    void previewWithoutAFileShowsTheOpenError()
    {
        ErrorBoxRecorder errors;
        pages()->setCurrentIndex(2);
        QTest::mouseClick(window->soundTab().previewButton(1), Qt::LeftButton);
        QCOMPARE(errors.shown.size(), 1);
        QVERIFY(!preview()->isOpen());
    }

    void aLinkClickLeavesTheWorkoutRunning()
    {
        ErrorBoxRecorder errors; // the fake channels have no files: their reports land here
        UrlRecorder urls;
        child<QCheckBox>(window.get(), "sound")->setChecked(false);
        child<QCheckBox>(window.get(), "sCheckBox2")->setChecked(false);
        QTest::mouseClick(child<QPushButton>(window.get(), "sBitBtn1"), Qt::LeftButton);
        QVERIFY(window->sequencer().Timer1.isEnabled());
        window->Timer1Timer();
        QCOMPARE(child<QLabel>(window.get(), "Label1")->text(), "00:09");

        QTest::mouseClick(window->infoPages().BitBtn1, Qt::LeftButton);
        pages()->setCurrentIndex(1);
        QTest::mouseClick(window->infoPages().BitBtn2, Qt::LeftButton);
        QCOMPARE(urls.opened, QList<QUrl>({QUrl(app::siteUrl()), QUrl(app::exercisesUrl())}));

        QVERIFY(window->sequencer().Timer1.isEnabled());
        QCOMPARE(window->sequencer().phase_left, 9);
        QCOMPARE(child<QPushButton>(window.get(), "sBitBtn1")->text(), "Стоп");
        window->Timer1Timer();
        QCOMPARE(child<QLabel>(window.get(), "Label1")->text(), "00:08");
    }

    // A cue that cannot sound is reported after the handler, once per workout, and the
    // workout goes on.
    void missingCueIsReportedOnceAfterTheHandler()
    {
        ErrorBoxRecorder errors;
        child<QCheckBox>(window.get(), "sCheckBox2")->setChecked(false);
        QTest::mouseClick(child<QPushButton>(window.get(), "sBitBtn1"), Qt::LeftButton);
        QVERIFY(errors.shown.isEmpty()); // queued until the click has finished
        QTRY_COMPARE(errors.shown, QStringList{"No MCI device open."});
        QVERIFY(window->sequencer().Timer1.isEnabled());
        QCOMPARE(child<QLabel>(window.get(), "sLabel1")->text(), "Подготовка");
        for (int i = 0; i < 10; ++i)
            window->Timer1Timer();
        QCOMPARE(child<QLabel>(window.get(), "sLabel1")->text(), "Работа");
        QTRY_COMPARE(errors.shown.size(), 3); // the tick cue and the work cue, once each
        window->Timer2Timer();
        // Reports are posted to run after the handler: deliver whatever is queued, then count.
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        QCOMPARE(errors.shown.size(), 3);
    }
};

QTEST_MAIN(TestWindowTabs)
#include "tst_windowtabs.moc"
