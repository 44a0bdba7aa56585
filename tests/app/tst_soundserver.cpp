// The real window with the real audio back end against a PulseAudio server of the test's own
// that freezes (SIGSTOP), dies (SIGKILL) and comes back, or is not there at all when the program
// starts: the window never waits for it, workouts and previews keep their time, and sound comes
// back by itself.

#include "audiofiles.h"
#include "audiolog.h"
#include "pulseserver.h"
#include "sound/audiooutput.h"
#include "sound/soundtab.h"
#include "tonedetect.h"
#include "windowtestutil.h"

#include <QCheckBox>
#include <QDir>
#include <QProcess>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <unistd.h>

using sound::TMPModes;
using workout::PlanField;

namespace {

// The longest time the GUI thread's event loop went without running a 10 ms timer.
class StallProbe {
public:
    StallProbe()
    {
        m_timer.setInterval(10);
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { m_longest = std::max(m_longest, m_since.restart()); });
        m_since.start();
        m_timer.start();
    }
    qint64 longestMs() const { return m_timer.isActive() ? std::max(m_longest, m_since.elapsed()) : m_longest; }
    // While the test itself blocks the loop (starting a server waits for it), nothing counts.
    void pause()
    {
        m_longest = longestMs();
        m_timer.stop();
    }
    void resume()
    {
        m_since.restart();
        m_timer.start();
    }

private:
    QTimer m_timer;
    QElapsedTimer m_since;
    qint64 m_longest = 0;
};

// VINTRA_DUMP_LEVELS=1 prints the level of every tone through the recording, to see what was heard.
void dumpLevels(const tonetest::Recording &heard);

// Tones of the cues, in the order of the path fields: Over, Rest, Start, Tick, Work; and music.
constexpr double kTone[] = {1600, 1000, 400, 1900, 700};
constexpr double kMusicTone = 250;
constexpr double kStartTone = kTone[2], kTickTone = kTone[3], kWorkTone = kTone[4];

// A stall of the old kind lasted as long as the server stayed stopped (seconds); a busy machine
// delays a 10 ms timer by tens of milliseconds now and then.
constexpr qint64 kStallLimitMs = 250;

void dumpLevels(const tonetest::Recording &heard)
{
    if (!qEnvironmentVariableIsSet("VINTRA_DUMP_LEVELS"))
        return;
    for (qsizetype i = 0; i + 441 < qsizetype(heard.mono.size()); i += 2205) {
        QString row = QString::number(double(i) / heard.rate, 'f', 2);
        for (double hz : kTone)
            row += QStringLiteral(" %1").arg(heard.level(hz, i, 441), 6, 'f', 3);
        row += QStringLiteral(" %1").arg(heard.level(kMusicTone, i, 441), 6, 'f', 3);
        qInfo("%s", qPrintable(row));
    }
}

// The recorder writes what the sink played in blocks, late on a busy machine (seen at a load of
// 13: the last 0.4 s, the Rest cue among them, missing when it was stopped at once). Before it is
// stopped, the recording started at `startedAt` (or later) must reach `until` (seconds on the
// same clock), so that a cue due before then is in it if it was played.
bool recordedThrough(const tonetest::MonitorRecorder &recorder, double startedAt, double until)
{
    const auto frames = qint64((until - startedAt) * sinktest::kRate);
    if (recorder.waitForFrames(frames, 5000))
        return true;
    qWarning("the recording had %lld frames 5 s after %.1f s, not the %lld up to it", recorder.frames(), until, frames);
    return false;
}

} // namespace

class TestSoundServer : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<pulsetest::PrivateServer> m_server;
    QByteArray m_savedServer;

    QString path(const QString &name) const { return m_dir->filePath(name); }

    void setUpWindow(TForm1 &window, const char *const plan[8], bool music)
    {
        for (int i = 0; i < 5; ++i) {
            const QString file = path(QStringLiteral("cue%1.wav").arg(i));
            QVERIFY(audiotest::writeTone(file, 0.4, kTone[i]));
            window.soundTab().edit(i + 1)->setText(file);
        }
        // Long enough to be streamed, as real music is.
        QVERIFY(audiotest::writeTone(path("music.wav"), 40.0, kMusicTone, 0.3f, 8000));
        window.soundTab().edit(6)->setText(path("music.wav"));
        child<QCheckBox>(&window, "sCheckBox2")->setChecked(music);
        for (int f = 0; f < 8; ++f)
            window.setPlanText(PlanField(f), QString::fromLatin1(plan[f]));
        window.cycleChange();
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
    }

    QPushButton *startButton(TForm1 &window) { return child<QPushButton>(&window, "sBitBtn1"); }

private slots:
    void initTestCase()
    {
        QProcess probe;
        probe.start(QStringLiteral("pulseaudio"), {QStringLiteral("--version")});
        if (!probe.waitForFinished(5000) || probe.exitCode() != 0)
            QSKIP("needs pulseaudio and its tools (scripts/setup.sh installs them)");
        app::applyAppearance(*qApp);
        m_savedServer = qgetenv("PULSE_SERVER");
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        qputenv("XDG_CONFIG_HOME", m_dir->path().toLocal8Bit());
        m_server = std::make_unique<pulsetest::PrivateServer>(m_dir->path(), QStringLiteral("faultsink"));
        // The output and the recorders reach this server only.
        qputenv("PULSE_SERVER", m_server->address().toLocal8Bit());
    }

    void cleanup()
    {
        m_server.reset(); // stops it by its PID
        m_dir.reset();
        qputenv("PULSE_SERVER", m_savedServer);
    }

    // START while the server is stopped and the output must open a new device: the window goes
    // on, the Start cue ends in silence in its time, and once the server runs again the next
    // cues are heard.
    void startWhileTheServerIsStopped()
    {
        QVERIFY(m_server->start());
        ErrorBoxRecorder errors;
        sound::AudioOutput audio;
        TForm1 window([&audio](sound::Stream stream) { return audio.createChannel(stream); });
        const char *plan[] = {"0", "6", "0", "4", "0", "2", "1", "1"};
        setUpWindow(window, plan, false);
        if (QTest::currentTestFailed())
            return;
        tonetest::MonitorRecorder recorder(path("monitor.raw"));
        QVERIFY(recorder.start(m_server->sink()));
        // The device opened at start-up closes after idling, so START has to open one.
        QTRY_VERIFY_WITH_TIMEOUT(!audio.isDeviceOpen(), 8000);

        m_server->freeze();
        auto thaw = qScopeGuard([this] { m_server->thaw(); });
        StallProbe probe;
        QElapsedTimer sinceStart;
        sinceStart.start();
        QTest::mouseClick(startButton(window), Qt::LeftButton);
        QCOMPARE(startButton(window)->text(), QStringLiteral("Стоп"));
        QTest::qWait(1500);
        const qint64 stall = probe.longestMs();
        qInfo("longest GUI stall with the server stopped during START: %lld ms", stall);
        QVERIFY2(stall < kStallLimitMs, qPrintable(QString::number(stall)));
        QCOMPARE(window.sequencer().phase_left, 5); // one tick of six seconds gone, on time
        // The Start cue (0.4 s) ran its course, unheard.
        QCOMPARE(window.mpStart->mode(), TMPModes::mpStopped);
        QCOMPARE(window.mpStart->position(), window.mpStart->length());

        thaw.dismiss();
        m_server->thaw();
        const double thawedAt = sinceStart.elapsed() / 1000.0;
        // Tick at 3 s, Work at 6 s.
        QTRY_VERIFY_WITH_TIMEOUT(sinceStart.elapsed() > 7000, 10000);
        QTest::qWait(300);
        QTest::mouseClick(startButton(window), Qt::LeftButton); // Стоп
        recorder.stop();
        QVERIFY2(errors.shown.isEmpty(), qPrintable(errors.shown.join('|')));

        const tonetest::Recording heard = recorder.recording();
        dumpLevels(heard);
        const double tick = heard.onset(kTickTone, 0.0, 0.2);
        const double work = heard.onset(kWorkTone, 0.0, 0.2);
        qInfo("server continued %.2f s after START; tick heard at %.2f s, work at %.2f s of the recording", thawedAt,
              tick, work);
        QVERIFY2(tick > 0, "the Tick cue after the server continued was not heard");
        QVERIFY2(work > tick + 2.5 && work < tick + 3.5, "the Work cue was not heard three seconds after the tick");
    }

    // A preview while the server is stopped: the window answers, the preview ends by itself when
    // the sound would have, and once the server runs again a preview is heard.
    void previewWhileTheServerIsStopped()
    {
        QVERIFY(m_server->start());
        ErrorBoxRecorder errors;
        AudioLogCatcher log;
        sound::AudioOutput audio;
        TForm1 window([&audio](sound::Stream stream) { return audio.createChannel(stream); });
        const char *plan[] = {"0", "6", "0", "4", "0", "2", "1", "1"};
        setUpWindow(window, plan, false);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(audiotest::writeTone(path("preview.wav"), 1.5, kTone[1]));
        window.soundTab().edit(2)->setText(path("preview.wav")); // the Rest row
        child<QTabWidget>(&window, "sPageControl1")->setCurrentIndex(2);
        QPushButton *preview = window.soundTab().previewButton(2);
        QVERIFY(preview->isVisible());
        QVERIFY(!audio.isSilentFallback()); // the output's first device is there

        m_server->freeze();
        auto thaw = qScopeGuard([this] { m_server->thaw(); });
        StallProbe probe;
        QElapsedTimer clock;
        clock.start();
        QTest::mouseClick(preview, Qt::LeftButton);
        QCOMPARE(window.mp1->mode(), TMPModes::mpPlaying);
        QTRY_COMPARE_WITH_TIMEOUT(window.mp1->mode(), TMPModes::mpStopped, 4000);
        const qint64 ended = clock.elapsed();
        const qint64 stall = probe.longestMs();
        qInfo("longest GUI stall with the server stopped during a preview: %lld ms; the 1.5 s preview ended after "
              "%lld ms",
              stall, ended);
        QVERIFY2(stall < kStallLimitMs, qPrintable(QString::number(stall)));
        QVERIFY2(ended >= 1400 && ended < 2500, qPrintable(QString::number(ended)));
        QCOMPARE(window.mp1->position(), window.mp1->length());

        thaw.dismiss();
        m_server->thaw();
        tonetest::MonitorRecorder recorder(path("monitor.raw"));
        QVERIFY(recorder.start(m_server->sink()));
        QTest::qWait(1500);
        QTest::mouseClick(preview, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(window.mp1->mode(), TMPModes::mpStopped, 5000);
        QTest::qWait(300);
        recorder.stop();
        QVERIFY2(errors.shown.isEmpty(), qPrintable(errors.shown.join('|')));
        const double heardAt = recorder.recording().onset(kTone[1], 0.0, 0.2);
        QVERIFY2(heardAt > 0, "the preview after the server continued was not heard");
        // A second of silence with the device running reads as a lost device: one line for that,
        // one when the new device is there.
        const QStringList lines = log.finish();
        QVERIFY2(lines.size() <= 2, qPrintable(lines.join(u'\n')));
        if (lines.size() == 2)
            QVERIFY2(lines[1].contains(QLatin1String("back")), qPrintable(lines.join(u'\n')));
    }

    // The server dies and a new one starts while a workout with music runs: the device is
    // replaced without a play having to ask, and the cues and the music are heard again.
    void serverKilledAndRestartedDuringAWorkoutWithMusic()
    {
        QVERIFY(m_server->start());
        ErrorBoxRecorder errors;
        AudioLogCatcher log;
        sound::AudioOutput audio;
        TForm1 window([&audio](sound::Stream stream) { return audio.createChannel(stream); });
        const char *plan[] = {"0", "5", "0", "6", "0", "4", "1", "1"};
        setUpWindow(window, plan, true);
        if (QTest::currentTestFailed())
            return;
        QElapsedTimer sinceStart;
        sinceStart.start();
        QTest::mouseClick(startButton(window), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(window.mpMusic->position() > 4000, 3000); // half a second of music
        const qint64 oldPid = m_server->pid();
        m_server->killHard();
        QVERIFY(m_server->start());
        QVERIFY(m_server->pid() != oldPid);
        const double backAt = sinceStart.elapsed() / 1000.0;
        tonetest::MonitorRecorder recorder(path("monitor.raw"));
        QVERIFY(recorder.start(m_server->sink()));
        const double recordingFrom = sinceStart.elapsed() / 1000.0;
        // Work at 5 s, Tick at 8 s, Rest at 11 s.
        QTRY_VERIFY_WITH_TIMEOUT(sinceStart.elapsed() > 11500, 15000);
        QCOMPARE(window.mpMusic->mode(), TMPModes::mpPlaying);
        QTest::mouseClick(startButton(window), Qt::LeftButton); // Стоп
        QVERIFY(recordedThrough(recorder, backAt, 11.5));
        recorder.stop();
        QVERIFY2(errors.shown.isEmpty(), qPrintable(errors.shown.join('|')));

        const tonetest::Recording heard = recorder.recording();
        dumpLevels(heard);
        // Looked for from a second before it is due: the music's new stream may start with a
        // click as the recording begins, which has some of every tone in it.
        const double tick = heard.onset(kTickTone, std::max(0.0, 8.0 - recordingFrom - 1.0), 0.2);
        const double rest = heard.onset(kTone[1], 0.0, 0.2);
        qInfo("new server after %.2f s, recording from %.2f s; tick at %.2f s, rest at %.2f s of the recording", backAt,
              recordingFrom, tick, rest);
        if (recordingFrom < 4.5)
            QVERIFY2(heard.onset(kWorkTone, 0.0, 0.2) > 0, "the Work cue after the restart was not heard");
        QVERIFY2(tick > 0, "the Tick cue after the restart was not heard");
        QVERIFY2(rest > tick + 2.5 && rest < tick + 3.5, "the Rest cue was not heard three seconds after the tick");
        QVERIFY2(heard.level(kMusicTone, qsizetype((rest - 0.5) * heard.rate), 4410) > 0.1,
                 "the music was not heard after the restart");

        const QStringList lines = log.finish();
        QVERIFY2(lines.size() == 2, qPrintable(lines.join(u'\n')));
        QVERIFY2(lines[0].contains(QLatin1String("lost")), qPrintable(lines[0]));
        QVERIFY2(lines[1].contains(QLatin1String("back")), qPrintable(lines[1]));
    }

    // A cue played on an open, idle device while the server takes no sound (as a server just
    // started does for a while, or a stopped one): the cue moves on in its time, so a callback that
    // comes late plays what should sound then, never the whole cue from its start, late. Once the
    // server takes sound again, a play is heard.
    void cueOnAnIdleDeviceKeepsItsTimeWhileTheServerTakesNothing()
    {
        QVERIFY(m_server->start());
        sound::AudioOutput audio(512, 60000); // the idle device stays open
        const std::unique_ptr<sound::SoundChannel> channel = audio.createChannel();
        QVERIFY(audiotest::writeTone(path("long.wav"), 1.5, kTone[1]));
        channel->setFileName(path("long.wav"));
        channel->open();
        QTRY_VERIFY_WITH_TIMEOUT(audio.isDeviceOpen() && !audio.isRunning(), 5000);
        QVERIFY(!audio.isSilentFallback());

        m_server->freeze();
        auto thaw = qScopeGuard([this] { m_server->thaw(); });
        // An idle device's service wait has a phase of its own: plays land at different points
        // of it.
        for (int round = 0; round < 4; ++round) {
            QTRY_VERIFY_WITH_TIMEOUT(!audio.isRunning(), 3000);
            QTest::qWait(round * 50);
            channel->setPosition(0);
            QElapsedTimer clock;
            clock.start();
            channel->play();
            QTest::qWait(400);
            const qint64 position = channel->position();
            const qint64 elapsed = clock.elapsed();
            channel->stop();
            qInfo("round %d: %lld ms after the play the cue stood at %lld ms", round, elapsed, position * 1000 / 44100);
            // Standing in for the callback starts 0.2 s after the play and catches up at once.
            QVERIFY2(position * 1000 / 44100 >= elapsed - 150, qPrintable(QString::number(position)));
            QVERIFY(position < channel->length());
        }
        QCOMPARE(channel->mode(), TMPModes::mpStopped);

        thaw.dismiss();
        m_server->thaw();
        tonetest::MonitorRecorder recorder(path("monitor.raw"));
        QVERIFY(recorder.start(m_server->sink()));
        QTest::qWait(1500);
        channel->setPosition(0);
        channel->play();
        QTRY_COMPARE_WITH_TIMEOUT(channel->mode(), TMPModes::mpStopped, 5000);
        QTest::qWait(300);
        recorder.stop();
        QVERIFY2(recorder.recording().onset(kTone[1], 0.0, 0.2) > 0,
                 "the cue after the server continued was not heard");
    }

    // The program with no sound server at all, idle, in a child process of its own so that what
    // the audio libraries write to its stderr is counted too: one line says sound is missing,
    // and the retries behind it say nothing, however long it runs.
    void noServerIsOneLine()
    {
        const QString program = qEnvironmentVariable("VINTRA_BIN_DIR") + QStringLiteral("/vintra");
        if (!QFile::exists(program))
            QSKIP("needs the built program (cmake --build build)");
        QDir().mkpath(path("runtime"));
        QFile::setPermissions(path("runtime"),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), path("runtime")); // no server's socket there
        env.insert(QStringLiteral("HOME"), m_dir->path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), path("config"));
        // Named, so that the client library does not start a server of its own.
        env.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:") + path("runtime/none"));
        env.remove(QStringLiteral("SDL_AUDIODRIVER"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        QProcess child;
        child.setProcessEnvironment(env);
        child.setStandardOutputFile(QProcess::nullDevice());
        child.start(program, {});
        QVERIFY(child.waitForStarted(5000));
        auto end = qScopeGuard([&child] {
            ::kill(pid_t(child.processId()), SIGTERM);
            if (!child.waitForFinished(10000))
                child.kill();
        });
        QByteArray said;
        QTRY_VERIFY2_WITH_TIMEOUT((said += child.readAllStandardError()).contains("silently"), said.constData(), 10000);
        // A span, measured on purpose: the old retry wrote its library's errors every second.
        QTest::qWait(8000);
        end.dismiss();
        ::kill(pid_t(child.processId()), SIGTERM);
        QVERIFY2(child.waitForFinished(10000), "the program did not end at SIGTERM");
        said += child.readAllStandardError();
        const QByteArrayList lines = said.trimmed().split('\n');
        QVERIFY2(lines.size() == 1, said.constData());
        QVERIFY2(lines[0].contains("silently"), said.constData());
    }

    // No server when the program starts: a workout runs in silence in its time, and once a server
    // appears the later cues are heard.
    void soundComesWhenAServerAppears()
    {
        ErrorBoxRecorder errors;
        AudioLogCatcher log;
        sound::AudioOutput audio;
        TForm1 window([&audio](sound::Stream stream) { return audio.createChannel(stream); });
        const char *plan[] = {"0", "5", "0", "6", "0", "4", "1", "1"};
        setUpWindow(window, plan, false);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(audio.isSilentFallback());
        StallProbe probe;
        QElapsedTimer sinceStart;
        sinceStart.start();
        QTest::mouseClick(startButton(window), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(window.mpStart->mode(), TMPModes::mpStopped, 2000);
        QCOMPARE(window.mpStart->position(), window.mpStart->length());
        probe.pause();
        QVERIFY(m_server->start());
        const double serverAt = sinceStart.elapsed() / 1000.0;
        tonetest::MonitorRecorder recorder(path("monitor.raw"));
        QVERIFY(recorder.start(m_server->sink()));
        probe.resume();
        QTRY_VERIFY_WITH_TIMEOUT(sinceStart.elapsed() > 11500, 15000);
        const qint64 stall = probe.longestMs();
        QTest::mouseClick(startButton(window), Qt::LeftButton); // Стоп
        QVERIFY(recordedThrough(recorder, serverAt, 11.5));
        recorder.stop();
        QVERIFY2(errors.shown.isEmpty(), qPrintable(errors.shown.join('|')));
        qInfo("longest GUI stall without a server: %lld ms", stall);
        QVERIFY2(stall < kStallLimitMs, qPrintable(QString::number(stall)));

        // Start at 0 s, Tick at 2 s, Work at 5 s, Tick at 8 s, Rest at 11 s. The recorder hears
        // the sink from about 2.4 s on, so the first Tick falls just before it or, partly, into it.
        const tonetest::Recording heard = recorder.recording();
        dumpLevels(heard);
        const double work = heard.onset(kWorkTone, 0.0, 0.2);
        const double tick = heard.onset(kTickTone, std::max(work, 0.0), 0.2);
        const double rest = heard.onset(kTone[1], std::max(tick, 0.0), 0.2);
        double early = heard.onset(kTickTone, 0.0, 0.2);
        if (early >= work)
            early = -1.0;
        const double earlyEnd = early >= 0 ? heard.end(kTickTone, early, 0.2) : -1.0;
        qInfo("server from %.2f s; work at %.2f s, tick at %.2f s, rest at %.2f s of the recording; the first tick "
              "from %.2f to %.2f s",
              serverAt, work, tick, rest, early, earlyEnd);
        QVERIFY2(work > 0, "the Work cue after the server appeared was not heard");
        QVERIFY2(tick > work + 2.5 && tick < work + 3.5, "the Tick cue was not heard three seconds after Work");
        QVERIFY2(rest > tick + 2.5 && rest < tick + 3.5, "the Rest cue was not heard three seconds after the tick");
        // Whatever is heard of the first Tick sounds in its time: it ends 2.6 s before Work. A cue
        // the device took late must not sound whole from its start, late.
        if (earlyEnd >= 0)
            QVERIFY2(std::abs(earlyEnd - (work - 2.6)) < 0.15, "the first Tick was heard out of its time");
        QVERIFY(!audio.isSilentFallback());

        const QStringList lines = log.finish();
        QVERIFY2(lines.size() == 2, qPrintable(lines.join(u'\n')));
        QVERIFY2(lines[0].contains(QLatin1String("silently")), qPrintable(lines[0]));
        QVERIFY2(lines[1].contains(QLatin1String("back")), qPrintable(lines[1]));
    }
};

QTEST_MAIN(TestSoundServer)
#include "tst_soundserver.moc"
