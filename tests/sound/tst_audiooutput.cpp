// The output as a whole: what the mixer really writes (SDL's disk driver records it), streaming
// of long files, pausing the device when idle, the silent fallback, and a real sound server.

#include "sound/audiooutput.h"
#include "sound/sdlchannel.h"
#include "tst_audiofiles.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <unistd.h>

using sound::SoundChannel;
using sound::TMPModes;

namespace {

// Sets environment variables for one scope and puts the old values back afterwards.
class EnvScope {
public:
    void set(const char *name, const QByteArray &value)
    {
        m_saved.push_back({name, qgetenv(name), qEnvironmentVariableIsSet(name)});
        qputenv(name, value);
    }
    ~EnvScope()
    {
        for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
            if (it->wasSet)
                qputenv(it->name, it->value);
            else
                qunsetenv(it->name);
        }
    }

private:
    struct Saved {
        const char *name;
        QByteArray value;
        bool wasSet;
    };
    std::vector<Saved> m_saved;
};

// Sends this process's stderr to a file while it lives.
class StderrCapture {
public:
    explicit StderrCapture(const QString &path) : m_path(path)
    {
        std::fflush(stderr);
        m_saved = dup(STDERR_FILENO);
        FILE *f = std::fopen(QFile::encodeName(path).constData(), "w");
        dup2(fileno(f), STDERR_FILENO);
        std::fclose(f);
    }
    QByteArray finish()
    {
        if (m_saved >= 0) {
            std::fflush(stderr);
            dup2(m_saved, STDERR_FILENO);
            close(m_saved);
            m_saved = -1;
        }
        QFile f(m_path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    ~StderrCapture() { finish(); }

private:
    QString m_path;
    int m_saved = -1;
};

std::unique_ptr<SoundChannel> openOn(sound::AudioOutput &out, const QString &file)
{
    auto ch = out.createChannel();
    ch->setFileName(file);
    ch->open();
    return ch;
}

} // namespace

class TestAudioOutput : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    // Two constant levels, 0.25 and 0.125, each 0.3 s long, started together: every frame of
    // the output is silence, one of them, or exactly their sum, and each sound is there whole.
    void mixesChannelsSampleExact()
    {
        const qint64 frames = 13230;
        QVERIFY(audiotest::writeLevel(path("a.wav"), frames, 0.25f));
        QVERIFY(audiotest::writeLevel(path("b.wav"), frames, 0.125f));
        const QString raw = path("mix.raw");
        {
            EnvScope env;
            env.set("SDL_AUDIODRIVER", "disk");
            env.set("SDL_DISKAUDIOFILE", QFile::encodeName(raw));
            sound::AudioOutput out;
            QCOMPARE(out.driverName(), QStringLiteral("disk"));
            QCOMPARE(out.sampleRate(), 44100);
            auto a = openOn(out, path("a.wav"));
            auto b = openOn(out, path("b.wav"));
            a->play();
            b->play();
            QTRY_VERIFY_WITH_TIMEOUT(a->mode() == TMPModes::mpStopped && b->mode() == TMPModes::mpStopped, 5000);
            QCOMPARE(a->position(), frames);
            QCOMPARE(b->position(), frames);
        } // closing the device flushes the file

        QFile f(raw);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray bytes = f.readAll();
        const auto *s = reinterpret_cast<const float *>(bytes.constData());
        const qint64 n = bytes.size() / qint64(2 * sizeof(float));
        qint64 onlyA = 0, onlyB = 0, both = 0, other = 0;
        for (qint64 i = 0; i < n; ++i) {
            QCOMPARE(s[2 * i], s[2 * i + 1]); // mono reaches both sides alike
            const float v = s[2 * i];
            if (v == 0.0f)
                continue;
            if (v == 0.25f)
                ++onlyA;
            else if (v == 0.125f)
                ++onlyB;
            else if (v == 0.375f)
                ++both;
            else
                ++other;
        }
        QCOMPARE(other, 0);
        QCOMPARE(onlyA + both, frames);
        QCOMPARE(onlyB + both, frames);
        QVERIFY2(both > frames / 2, "the two sounds should overlap almost entirely");
    }

    void clipsInsteadOfWrapping()
    {
        for (const char *name : {"loud1.wav", "loud2.wav", "loud3.wav"})
            QVERIFY(audiotest::writeLevel(path(name), 4410, 0.75f));
        const QString raw = path("loud.raw");
        {
            EnvScope env;
            env.set("SDL_AUDIODRIVER", "disk");
            env.set("SDL_DISKAUDIOFILE", QFile::encodeName(raw));
            sound::AudioOutput out;
            std::vector<std::unique_ptr<SoundChannel>> chs;
            for (const char *name : {"loud1.wav", "loud2.wav", "loud3.wav"})
                chs.push_back(openOn(out, path(name)));
            for (auto &ch : chs)
                ch->play();
            for (auto &ch : chs)
                QTRY_COMPARE_WITH_TIMEOUT(ch->mode(), TMPModes::mpStopped, 5000);
        }
        QFile f(raw);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray bytes = f.readAll();
        const auto *s = reinterpret_cast<const float *>(bytes.constData());
        float peak = 0;
        for (qint64 i = 0; i < bytes.size() / qint64(sizeof(float)); ++i)
            peak = std::max(peak, s[i]);
        QCOMPARE(peak, 1.0f);
    }

    void pausesTheDeviceWhenIdle()
    {
        QVERIFY(audiotest::writeTone(path("cue.wav"), 0.15, 880));
        QVERIFY(audiotest::writeTone(path("long.wav"), 3.0, 220));
        sound::AudioOutput out;
        auto cue = openOn(out, path("cue.wav"));
        auto music = openOn(out, path("long.wav"));
        QVERIFY(!out.isRunning()); // open channels alone cost nothing

        cue->play();
        QVERIFY(out.isRunning());
        QTRY_COMPARE_WITH_TIMEOUT(cue->mode(), TMPModes::mpStopped, 3000);
        QTRY_VERIFY_WITH_TIMEOUT(!out.isRunning(), 2000);

        music->play();
        QVERIFY(out.isRunning());
        music->pause();
        QTRY_VERIFY_WITH_TIMEOUT(!out.isRunning(), 2000);
        music->pause(); // resumes
        QVERIFY(out.isRunning());
        cue->play(); // a cue over the music; the cue ends, the music keeps the device going
        QTRY_COMPARE_WITH_TIMEOUT(cue->mode(), TMPModes::mpStopped, 3000);
        QTest::qWait(50);
        QVERIFY(out.isRunning());
        music->stop();
        QTRY_VERIFY_WITH_TIMEOUT(!out.isRunning(), 2000);
        music->close();
        cue.reset();
        QVERIFY(!out.isRunning());
    }

    // Ten minutes of sound would be over 200 MB decoded for the mixer; streamed it is a ring of
    // two seconds.
    void streamsLongFilesInBoundedMemory()
    {
        const int rate = 8000;
        const qint64 frames = qint64(rate) * 600;
        QVERIFY(audiotest::writeSound(path("hour.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, rate, 1, frames,
                                      [](qint64 i, int) { return float((i % 80) - 40) / 100.0f; }));
        sound::AudioOutput out;
        const qint64 before = audiotest::residentKb();
        auto ch = openOn(out, path("hour.wav"));
        QVERIFY(dynamic_cast<sound::SdlChannel &>(*ch).isStreaming());
        QCOMPARE(ch->length(), frames);
        ch->play();
        QTRY_VERIFY_WITH_TIMEOUT(ch->position() > rate / 2, 3000);
        // Seeking far forward refills from the new place.
        ch->setPosition(frames / 2);
        QVERIFY(ch->position() >= frames / 2);
        QTRY_VERIFY_WITH_TIMEOUT(ch->position() > frames / 2 + rate / 2, 3000);
        const qint64 grown = audiotest::residentKb() - before;
        qInfo("resident memory grew by %lld kB for a 10-minute stream", grown);
        QVERIFY2(grown < 16 * 1024, qPrintable(QString::number(grown)));

        ch->setPosition(frames - rate / 4);
        QCOMPARE(ch->mode(), TMPModes::mpPlaying);
        QTRY_COMPARE_WITH_TIMEOUT(ch->mode(), TMPModes::mpStopped, 3000);
        QCOMPARE(ch->position(), frames);
        ch->play();
        QVERIFY(ch->position() < rate);
        QTRY_VERIFY_WITH_TIMEOUT(ch->position() > rate / 4, 3000);
    }

    void fallsBackToSilenceWithoutASoundServer()
    {
        QVERIFY(audiotest::writeTone(path("beep.wav"), 0.1, 880));
        EnvScope env;
        env.set("SDL_AUDIODRIVER", "pulseaudio");
        env.set("PULSE_SERVER", "unix:" + QFile::encodeName(path("no-such-server")));
        StderrCapture err(path("stderr.txt"));
        auto out = std::make_unique<sound::AudioOutput>();
        const QByteArray said = err.finish();
        QVERIFY(out->isSilentFallback());
        QCOMPARE(out->driverName(), QStringLiteral("dummy"));
        QCOMPARE(said.count('\n'), 1);
        QVERIFY2(said.contains("silent"), said.constData());
        // Sounds still take their time and end.
        auto ch = openOn(*out, path("beep.wav"));
        ch->play();
        QCOMPARE(ch->mode(), TMPModes::mpPlaying);
        QTRY_COMPARE_WITH_TIMEOUT(ch->mode(), TMPModes::mpStopped, 3000);
        QCOMPARE(ch->position(), 4410);
    }

    // Through a real PulseAudio server: record its null sink's monitor and find the tone there.
    void reachesTheSoundServer()
    {
        if (qEnvironmentVariableIsEmpty("VINTRA_NULL_SINK"))
            QSKIP("no PulseAudio null sink (run through scripts/test.sh)");
        QVERIFY(audiotest::writeTone(path("tone.wav"), 0.3, 1000, 0.5f));
        const QString raw = path("sink.raw");
        QProcess rec;
        rec.start(QStringLiteral("parec"),
                  {QStringLiteral("-d"), qEnvironmentVariable("VINTRA_NULL_SINK") + QStringLiteral(".monitor"),
                   QStringLiteral("--format=s16le"), QStringLiteral("--rate=44100"), QStringLiteral("--channels=2"),
                   QStringLiteral("--latency-msec=10"), QStringLiteral("--raw"), raw});
        QVERIFY(rec.waitForStarted(5000));
        const qint64 pid = rec.processId();
        auto stopRecorder = qScopeGuard([&] {
            ::kill(pid_t(pid), SIGTERM);
            if (!rec.waitForFinished(3000)) {
                ::kill(pid_t(pid), SIGKILL);
                rec.waitForFinished(1000);
            }
        });
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(raw).size() > 0, 5000);

        EnvScope env;
        env.set("SDL_AUDIODRIVER", "pulseaudio");
        sound::AudioOutput out;
        QCOMPARE(out.driverName(), QStringLiteral("pulseaudio"));
        QVERIFY(!out.isSilentFallback());
        auto ch = openOn(out, path("tone.wav"));
        ch->play();
        QTRY_COMPARE_WITH_TIMEOUT(ch->mode(), TMPModes::mpStopped, 3000);
        QCOMPARE(ch->position(), ch->length());
        QTest::qWait(300);
        stopRecorder.dismiss();
        ::kill(pid_t(pid), SIGTERM);
        QVERIFY(rec.waitForFinished(3000));

        QFile f(raw);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray bytes = f.readAll();
        const auto *s = reinterpret_cast<const qint16 *>(bytes.constData());
        qint64 loud = 0;
        for (qint64 i = 0; i < bytes.size() / 4; ++i)
            if (qAbs(int(s[2 * i])) > 8000) // 0.5 is 16384; a sine spends 2/3 of its time above 0.25
                ++loud;
        qInfo("%lld of %lld recorded frames carry the tone", loud, qint64(bytes.size() / 4));
        // 0.3 s = 13230 frames, two thirds of them above the threshold.
        QVERIFY2(loud > 7000 && loud < 11000, qPrintable(QString::number(loud)));
    }
};

QTEST_GUILESS_MAIN(TestAudioOutput)
#include "tst_audiooutput.moc"
