// The audio back end on a PipeWire server of the test's own, through SDL's PipeWire driver as on
// a Debian desktop: the server restarted during a workout (SDL never reports the dead stream),
// and a server that has no sink yet when the program starts.

#include "audiofiles.h"
#include "pipewireserver.h"
#include "sound/audiooutput.h"
#include "tonedetect.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <memory>
#include <vector>

namespace {

// Seconds into the recording where something sounds again after `from`, or -1: our output is
// the only one playing into the sink.
double soundFrom(const tonetest::Recording &heard, double from)
{
    const qsizetype window = heard.rate / 100;
    for (qsizetype i = qsizetype(from * heard.rate); i + window <= qsizetype(heard.mono.size()); i += window) {
        double sum = 0;
        for (qsizetype j = i; j < i + window; ++j)
            sum += double(heard.mono[size_t(j)]) * double(heard.mono[size_t(j)]);
        if (std::sqrt(sum / double(window)) > 0.02)
            return double(i) / heard.rate;
    }
    return -1.0;
}

} // namespace

class TestPipeWireServer : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<pipewiretest::PrivateServer> m_server;
    QList<QByteArray> m_saved;

    QString path(const QString &name) const { return m_dir->filePath(name); }

private slots:
    void initTestCase()
    {
        if (!pipewiretest::PrivateServer::installed())
            QSKIP("needs pipewire, wireplumber, pipewire-pulse and pulseaudio-utils (scripts/setup.sh)");
        for (const char *name : {"XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS", "PULSE_SERVER"})
            m_saved << qgetenv(name);
        // SDL picks its driver as on a desktop. Removing the variable here would not do: SDL 3's
        // SDL 2 layer has read the environment before main() (CTest starts the suite without it).
        QVERIFY2(!qEnvironmentVariableIsSet("SDL_AUDIODRIVER"), "run without SDL_AUDIODRIVER, as a desktop has");
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_server = std::make_unique<pipewiretest::PrivateServer>(m_dir->path());
        m_server->enterClientEnv();
    }

    void cleanup()
    {
        m_server.reset(); // stops every server by its PID
        m_dir.reset();
        const char *names[] = {"XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS", "PULSE_SERVER"};
        for (int i = 0; i < 3; ++i)
            qputenv(names[i], m_saved[i]);
    }

    // `systemctl --user restart pipewire` while cues play: once the new server answers, a cue
    // played after the old stream had its chance to answer is heard, and so is every later one.
    void cuesHeardAfterARestart_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<int>("apartMs");
        const QString sounds = qEnvironmentVariable("VINTRA_TEST_SOURCE_DIR") + QStringLiteral("/assets/sounds/");
        // A workout's cues: a tick three seconds before each phase change.
        QTest::newRow("default cues") << QStringList{sounds + QStringLiteral("Start.wav"),
                                                     sounds + QStringLiteral("Tick.wav"),
                                                     sounds + QStringLiteral("Work.wav"),
                                                     sounds + QStringLiteral("Tick.wav"),
                                                     sounds + QStringLiteral("Rest.wav")}
                                      << 3000;
        QTest::newRow("0.4 s cues 1.5 s apart") << QStringList{QStringLiteral("short")} << 1500;
    }
    void cuesHeardAfterARestart()
    {
        QFETCH(QStringList, files);
        QFETCH(int, apartMs);
        if (files == QStringList{QStringLiteral("short")}) {
            QVERIFY(audiotest::writeTone(path("short.wav"), 0.4, 880));
            files = {path("short.wav")};
        }
        QVERIFY(m_server->start());
        sound::AudioOutput audio;
        QCOMPARE(audio.driverName(), QStringLiteral("pipewire"));
        std::vector<std::unique_ptr<sound::SoundChannel>> cues;
        for (const QString &file : files) {
            cues.push_back(audio.createChannel());
            cues.back()->setFileName(file);
            cues.back()->open();
        }
        QElapsedTimer clock;
        clock.start();
        qint64 nextAt = 0;
        int played = 0;
        std::vector<double> playedAt; // seconds on `clock`
        const auto playDue = [&] {
            if (clock.elapsed() < nextAt)
                return;
            sound::SoundChannel &cue = *cues[size_t(played++) % cues.size()];
            cue.setPosition(0);
            cue.play();
            playedAt.push_back(clock.elapsed() / 1000.0);
            nextAt += apartMs;
        };
        const auto runUntil = [&](qint64 ms) {
            while (clock.elapsed() < ms) {
                playDue();
                QTest::qWait(5);
            }
        };
        runUntil(2 * apartMs + 200); // a workout under way

        const double restartAt = clock.elapsed() / 1000.0;
        QVERIFY(m_server->restart()); // no cue is due while this waits: none is played late
        const double answersAt = clock.elapsed() / 1000.0;
        tonetest::MonitorRecorder recorder(path("monitor.raw"));
        QVERIFY(recorder.start(m_server->sink()));
        QTRY_VERIFY_WITH_TIMEOUT(QFile(path("monitor.raw")).size() > 0, 5000);
        const double recordingFrom = clock.elapsed() / 1000.0;
        const size_t firstAfter = playedAt.size();
        nextAt = std::max(nextAt, clock.elapsed());
        runUntil(clock.elapsed() + 12000);
        recorder.stop();

        const tonetest::Recording heard = recorder.recording();
        const double firstHeard = soundFrom(heard, 0.0);
        qInfo("restart took %.2f s; recording from %.2f s after it; the next cue heard %.2f s after the restart began",
              answersAt - restartAt, recordingFrom - restartAt,
              firstHeard < 0 ? -1.0 : recordingFrom + firstHeard - restartAt);
        QVERIFY2(firstHeard >= 0, "no cue was heard after the restart");
        // The first cue after the restart resumes the dead stream; its silence tells the output so.
        // Every cue from the one after it on is heard at its time.
        for (size_t i = firstAfter + 1; i < playedAt.size(); ++i) {
            const double at = playedAt[i] - recordingFrom;
            if (at < 0 || at + 0.3 > double(heard.mono.size()) / heard.rate)
                continue;
            const double onset = soundFrom(heard, at - 0.05);
            QVERIFY2(onset >= 0 && onset < at + 0.25,
                     qPrintable(QStringLiteral("the cue played %1 s after the restart was heard at %2 s")
                                    .arg(playedAt[i] - restartAt)
                                    .arg(onset < 0 ? -1.0 : onset + recordingFrom - restartAt)));
        }
        QCOMPARE(audio.driverName(), QStringLiteral("pipewire"));
    }

    // A program started at login, before the session manager has given PipeWire a sink: the
    // first device cannot be PipeWire's. Once the sink is there, a later open plays through
    // PipeWire's own driver rather than staying on its PulseAudio front end.
    void laterOpenUsesPipeWireOnceItHasASink()
    {
        QVERIFY(audiotest::writeTone(path("cue.wav"), 0.4, 660));
        QVERIFY(m_server->start(false));
        sound::AudioOutput audio(512, 100); // an idle device closes soon
        const QString first = audio.driverName();
        qInfo("driver with no sink: \"%s\"", qPrintable(first));
        QVERIFY(first != QStringLiteral("pipewire"));
        const std::unique_ptr<sound::SoundChannel> cue = audio.createChannel();
        cue->setFileName(path("cue.wav"));
        cue->open();

        QVERIFY(m_server->addSink());
        tonetest::MonitorRecorder recorder(path("monitor.raw"));
        QVERIFY(recorder.start(m_server->sink()));
        QTRY_VERIFY_WITH_TIMEOUT(QFile(path("monitor.raw")).size() > 0, 5000);
        // Once the output idles with no device open, the next play opens a new one.
        QTRY_VERIFY_WITH_TIMEOUT(!audio.isDeviceOpen(), 5000);
        cue->play();
        QTRY_COMPARE_WITH_TIMEOUT(cue->mode(), sound::TMPModes::mpStopped, 5000);
        QCOMPARE(audio.driverName(), QStringLiteral("pipewire"));
        QTest::qWait(300); // what the sink still holds reaches its monitor
        recorder.stop();
        QVERIFY2(recorder.recording().onset(660, 0.0, 0.2) >= 0, "the cue through PipeWire was not heard");
    }
};

QTEST_MAIN(TestPipeWireServer)
#include "tst_pipewireserver.moc"
