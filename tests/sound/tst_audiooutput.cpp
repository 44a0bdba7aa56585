// The output as a whole: what the mixer really writes (SDL's disk driver records it), streaming
// of long files, pausing and then closing the device when idle and opening a new one at the next
// play, the silent fallback, and a real sound server.

#include "sound/audiooutput.h"
#include "sound/sdlchannel.h"
#include "audiofiles.h"
#include "audiolog.h"
#include "sinkrecorder.h"

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

std::unique_ptr<SoundChannel> openOn(sound::AudioOutput &out, const QString &file,
                                     sound::Stream stream = sound::Stream::Cues)
{
    auto ch = out.createChannel(stream);
    ch->setFileName(file);
    ch->open();
    return ch;
}

// Sample i of a sound nobody could mistake for another stretch of itself: 16-bit values that
// survive the trip to float and back exactly, never zero, and different at every frame.
float rampSample(qint64 i) { return float(1 + i % 30000) / 32768.0f; }

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Frames of a 16-bit stereo recording whose left sample lies above 8000 (a quarter of full
// scale): a sine at 0.5 (16384) spends two thirds of its time there.
qint64 loudFrames(const QByteArray &pcm)
{
    const auto *s = reinterpret_cast<const qint16 *>(pcm.constData());
    qint64 loud = 0;
    for (qint64 i = 0; i < pcm.size() / 4; ++i)
        if (qAbs(int(s[2 * i])) > 8000)
            ++loud;
    return loud;
}

// Idle times short enough for tests; what matters is that the device closes, not when.
constexpr int kQuickCloseMs = 150;

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
    // One plays as the music: the disk driver has room for one device only, so the music goes
    // out through the cues' device, mixed sample for sample with them.
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
            auto b = openOn(out, path("b.wav"), sound::Stream::Music);
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
        // A second each: a device whose first callback comes late on a busy machine has the
        // output stand in for it, and a tenth of a second could pass unwritten in that time.
        for (const char *name : {"loud1.wav", "loud2.wav", "loud3.wav"})
            QVERIFY(audiotest::writeLevel(path(name), 44100, 0.75f));
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

    // Running while something plays, paused when nothing does, closed after idling a while,
    // and back at the next play or resume.
    void pausesThenClosesTheDeviceWhenIdle()
    {
        QVERIFY(audiotest::writeTone(path("cue.wav"), 0.15, 880));
        QVERIFY(audiotest::writeTone(path("long.wav"), 3.0, 220));
        sound::AudioOutput out(512, 600);
        auto cue = openOn(out, path("cue.wav"));
        auto music = openOn(out, path("long.wav"));
        QVERIFY(!out.isRunning());                           // open channels alone cost nothing...
        QTRY_VERIFY_WITH_TIMEOUT(!out.isDeviceOpen(), 3000); // ...not even an open device

        cue->play();
        QCOMPARE(cue->mode(), TMPModes::mpPlaying);
        QTRY_VERIFY_WITH_TIMEOUT(out.isRunning(), 2000);
        QTRY_COMPARE_WITH_TIMEOUT(cue->mode(), TMPModes::mpStopped, 3000);
        QCOMPARE(cue->position(), cue->length());
        QTRY_VERIFY_WITH_TIMEOUT(!out.isRunning(), 2000);
        QVERIFY(out.isDeviceOpen()); // paused, for a next cue soon
        QTRY_VERIFY_WITH_TIMEOUT(!out.isDeviceOpen(), 3000);

        // A cue over the music ends; the music keeps the device going. Pausing the music leaves
        // nothing playing, and resuming it starts the device again.
        music->play();
        QTRY_VERIFY_WITH_TIMEOUT(out.isRunning(), 2000);
        music->pause();
        QTRY_VERIFY_WITH_TIMEOUT(!out.isRunning(), 2000);
        music->pause();
        QVERIFY(out.isRunning());
        cue->play();
        QTRY_COMPARE_WITH_TIMEOUT(cue->mode(), TMPModes::mpStopped, 3000);
        QVERIFY(out.isRunning());
        QCOMPARE(music->mode(), TMPModes::mpPlaying);
        music->stop();
        QTRY_VERIFY_WITH_TIMEOUT(!out.isRunning(), 2000);
        music->close();
        cue.reset();
        QTRY_VERIFY_WITH_TIMEOUT(!out.isDeviceOpen(), 3000);
    }

    // A new device after idling must give the whole sound from its first frame, in order: the
    // disk driver starts its file afresh at each open, so the file holds exactly what the new
    // device played.
    void reopenedDevicePlaysTheWholeSoundFromItsStart()
    {
        const qint64 frames = 9000;
        QVERIFY(audiotest::writeSound(path("ramp.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, frames,
                                      [](qint64 i, int) { return rampSample(i); }));
        const QString raw = path("reopen.raw");
        {
            EnvScope env;
            env.set("SDL_AUDIODRIVER", "disk");
            env.set("SDL_DISKAUDIOFILE", QFile::encodeName(raw));
            sound::AudioOutput out(512, kQuickCloseMs);
            auto ch = openOn(out, path("ramp.wav"));
            ch->play(); // on the device opened with the output
            QTRY_COMPARE_WITH_TIMEOUT(ch->mode(), TMPModes::mpStopped, 3000);
            QTRY_VERIFY_WITH_TIMEOUT(!out.isDeviceOpen(), 3000);
            QCOMPARE(ch->position(), frames);

            ch->play(); // played to its end, so from the start, on a new device
            QTRY_COMPARE_WITH_TIMEOUT(ch->mode(), TMPModes::mpStopped, 3000);
            QCOMPARE(ch->position(), frames);
        }
        const QByteArray bytes = readAll(raw);
        const auto *s = reinterpret_cast<const float *>(bytes.constData());
        const qint64 n = bytes.size() / qint64(2 * sizeof(float));
        qint64 first = 0;
        while (first < n && s[2 * first] == 0.0f)
            ++first;
        QVERIFY2(n - first >= frames, qPrintable(QStringLiteral("%1 frames after %2").arg(n).arg(first)));
        for (qint64 i = 0; i < frames; ++i) {
            if (s[2 * (first + i)] != rampSample(i) || s[2 * (first + i) + 1] != rampSample(i))
                QFAIL(qPrintable(QStringLiteral("frame %1 of the sound is %2, not %3")
                                     .arg(i)
                                     .arg(s[2 * (first + i)])
                                     .arg(rampSample(i))));
        }
        for (qint64 i = first + frames; i < n; ++i)
            QCOMPARE(s[2 * i], 0.0f); // and nothing more
    }

    // Positions belong to the channels, not to the device: a sound stopped or paused half-way
    // goes on from there on the next device, whether decoded whole or streamed.
    void channelsKeepTheirPlaceWhileTheDeviceIsClosed()
    {
        QVERIFY(audiotest::writeTone(path("whole.wav"), 1.0, 440));
        const int rate = 8000;
        const qint64 streamFrames = qint64(rate) * 40;
        QVERIFY(audiotest::writeTone(path("streamed.wav"), 40.0, 330, 0.5f, rate));
        sound::AudioOutput out(512, kQuickCloseMs);
        auto whole = openOn(out, path("whole.wav"));
        auto streamed = openOn(out, path("streamed.wav"));
        QVERIFY(dynamic_cast<sound::SdlChannel &>(*streamed).isStreaming());

        whole->play();
        streamed->setPosition(streamFrames - 3 * rate);
        streamed->play();
        QTRY_VERIFY_WITH_TIMEOUT(whole->position() > 8000, 3000);
        whole->stop();
        streamed->pause();
        const qint64 wholeAt = whole->position();
        const qint64 streamAt = streamed->position();
        QVERIFY(streamAt > streamFrames - 3 * rate);
        QTRY_VERIFY_WITH_TIMEOUT(!out.isDeviceOpen(), 3000);
        QCOMPARE(whole->position(), wholeAt);
        QCOMPARE(streamed->position(), streamAt);
        QCOMPARE(whole->mode(), TMPModes::mpStopped);
        QCOMPARE(streamed->mode(), TMPModes::mpPaused);

        whole->play();
        streamed->pause(); // resumes
        QVERIFY(whole->position() >= wholeAt && whole->position() < wholeAt + 4410);
        QVERIFY(streamed->position() >= streamAt && streamed->position() < streamAt + rate / 10);
        QTRY_COMPARE_WITH_TIMEOUT(whole->mode(), TMPModes::mpStopped, 3000);
        QCOMPARE(whole->position(), whole->length());
        QTRY_COMPARE_WITH_TIMEOUT(streamed->mode(), TMPModes::mpStopped, 5000);
        QCOMPARE(streamed->position(), streamFrames);

        // And once more from the top of the stream, on yet another device.
        QTRY_VERIFY_WITH_TIMEOUT(!out.isDeviceOpen(), 3000);
        streamed->play();
        QVERIFY(streamed->position() < rate / 10);
        QTRY_VERIFY_WITH_TIMEOUT(streamed->position() > rate / 2, 3000);
    }

    // The dummy driver has room for one device, and closing one takes a couple of buffers: plays
    // that come while the old device is still closing must wait for it, not give up on sound or
    // fall back to silence, and every one must play to its end.
    void playsWhileTheOldDeviceClosesAreNotLost()
    {
        QVERIFY(audiotest::writeTone(path("blip.wav"), 0.03, 1000));
        AudioLogCatcher log;
        {
            sound::AudioOutput out(512, 20);
            QCOMPARE(out.driverName(), QStringLiteral("dummy"));
            auto ch = openOn(out, path("blip.wav"));
            for (int i = 0; i < 12; ++i) {
                // From before the device is handed over until after it is gone.
                QTest::qWait(10 + 5 * i);
                ch->play();
                QTRY_COMPARE_WITH_TIMEOUT(ch->mode(), TMPModes::mpStopped, 3000);
                QCOMPARE(ch->position(), ch->length());
            }
            QVERIFY(!out.isSilentFallback());
        }
        const QStringList said = log.finish();
        QVERIFY2(said.isEmpty(), qPrintable(said.join(u'\n')));
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
        AudioLogCatcher log;
        auto out = std::make_unique<sound::AudioOutput>();
        // The output looks for its device in the background; asking waits for the answer.
        const bool silent = out->isSilentFallback();
        const QStringList said = log.finish();
        QVERIFY(silent);
        QVERIFY(out->driverName().isEmpty()); // no device, so no driver in use
        QCOMPARE(said.size(), 1);
        QVERIFY2(said[0].contains(QLatin1String("silent")), qPrintable(said[0]));
        // Sounds still take their time and end.
        auto ch = openOn(*out, path("beep.wav"));
        ch->play();
        QCOMPARE(ch->mode(), TMPModes::mpPlaying);
        QTRY_COMPARE_WITH_TIMEOUT(ch->mode(), TMPModes::mpStopped, 3000);
        QCOMPARE(ch->position(), 4410);
    }

    // Through a real PulseAudio server: record its null sink's monitor and find the tone there,
    // twice: once on the device opened with the output and once on a new one after idling.
    void reachesTheSoundServer()
    {
        if (qEnvironmentVariableIsEmpty("VINTRA_NULL_SINK"))
            QSKIP("no PulseAudio null sink (run through scripts/test.sh)");
        QVERIFY(audiotest::writeTone(path("tone.wav"), 0.3, 1000, 0.5f));
        sinktest::SinkRecorder rec(path("sink.raw"));
        const QString recording = rec.start(qEnvironmentVariable("VINTRA_NULL_SINK"));
        QVERIFY2(recording.isEmpty(), qPrintable(recording));

        EnvScope env;
        env.set("SDL_AUDIODRIVER", "pulseaudio");
        sound::AudioOutput out(512, kQuickCloseMs);
        QCOMPARE(out.driverName(), QStringLiteral("pulseaudio"));
        QVERIFY(!out.isSilentFallback());
        auto ch = openOn(out, path("tone.wav"));
        ch->play();
        QTRY_COMPARE_WITH_TIMEOUT(ch->mode(), TMPModes::mpStopped, 3000);
        QCOMPARE(ch->position(), ch->length());
        QTRY_VERIFY_WITH_TIMEOUT(!out.isDeviceOpen(), 5000);
        ch->play();
        QTRY_COMPARE_WITH_TIMEOUT(ch->mode(), TMPModes::mpStopped, 3000);
        QCOMPARE(ch->position(), ch->length());
        QCOMPARE(out.driverName(), QStringLiteral("pulseaudio"));
        // What has been played is in the recording 300 ms later.
        QVERIFY2(rec.waitForFrames(rec.frames() + sinktest::kRate * 3 / 10, 5000),
                 "gave up after 5 s waiting for 300 ms more of the recording");
        rec.stop();
        const QByteArray bytes = rec.bytes();
        const qint64 loud = loudFrames(bytes);
        qInfo("%lld of %lld recorded frames carry the tone", loud, qint64(bytes.size() / 4));
        // Twice 0.3 s = 26460 frames, two thirds of them above the threshold.
        QVERIFY2(loud > 14000 && loud < 22000, qPrintable(QString::number(loud)));
    }

    // An output told to connect later (the program's, until its window has painted) is reached
    // by the first open and play, and that sound is heard whole.
    void connectingLaterStillPlaysTheFirstSound()
    {
        if (qEnvironmentVariableIsEmpty("VINTRA_NULL_SINK"))
            QSKIP("no PulseAudio null sink (run through scripts/test.sh)");
        QVERIFY(audiotest::writeTone(path("later.wav"), 0.3, 1000, 0.5f));
        sinktest::SinkRecorder rec(path("later.raw"));
        const QString recording = rec.start(qEnvironmentVariable("VINTRA_NULL_SINK"));
        QVERIFY2(recording.isEmpty(), qPrintable(recording));

        EnvScope env;
        env.set("SDL_AUDIODRIVER", "pulseaudio");
        sound::AudioOutput out(512, kQuickCloseMs, sound::AudioOutput::Connect::Later);
        auto ch = openOn(out, path("later.wav"));
        ch->play();
        QTRY_COMPARE_WITH_TIMEOUT(ch->mode(), TMPModes::mpStopped, 3000);
        QCOMPARE(out.driverName(), QStringLiteral("pulseaudio"));
        QVERIFY2(rec.waitForFrames(rec.frames() + sinktest::kRate * 3 / 10, 5000),
                 "gave up after 5 s waiting for 300 ms more of the recording");
        rec.stop();
        const qint64 loud = loudFrames(rec.bytes());
        // 0.3 s = 13230 frames, two thirds of them above the threshold.
        QVERIFY2(loud > 7000 && loud < 11000, qPrintable(QString::number(loud)));
    }

    // A workout announces each cue about a second ahead. The cues' device is then open before
    // the cue's second, even when it was closed, and closes soon after the cue although the
    // music plays on, which kept it open before (a paused device still costs the server's
    // requests). An announced play that never comes (the workout was paused) lets it go too.
    // The server's own list of streams tells which devices are open. closeAfter is long here, so
    // only the announcements can close the device.
    void announcedCuesFindTheirDeviceOpenAndLetItGo()
    {
        if (qEnvironmentVariableIsEmpty("VINTRA_NULL_SINK"))
            QSKIP("no PulseAudio null sink (run through scripts/test.sh)");
        using Clock = std::chrono::steady_clock;
        QVERIFY(audiotest::writeTone(path("bed.wav"), 30.0, 300, 0.1f));
        QVERIFY(audiotest::writeTone(path("announced.wav"), 0.3, 1000, 0.5f));
        const auto streams = [] {
            QProcess pactl;
            pactl.start(QStringLiteral("pactl"),
                        {QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sink-inputs")});
            if (!pactl.waitForFinished(5000)) {
                pactl.kill();
                pactl.waitForFinished();
                return -1;
            }
            return int(pactl.readAllStandardOutput().count('\n'));
        };
        sinktest::SinkRecorder rec(path("announced.raw"), sinktest::SinkRecorder::Sink::KeepRunning,
                                   sinktest::SinkRecorder::Timing::Clocked);
        const QString recording = rec.start(qEnvironmentVariable("VINTRA_NULL_SINK"));
        QVERIFY2(recording.isEmpty(), qPrintable(recording));
        const int others = streams(); // the recorder's silence
        QVERIFY(others >= 0);

        EnvScope env;
        env.set("SDL_AUDIODRIVER", "pulseaudio");
        AudioLogCatcher log;
        {
            sound::AudioOutput out(512, 60000);
            auto music = openOn(out, path("bed.wav"), sound::Stream::Music);
            auto cue = openOn(out, path("announced.wav"));
            music->play();
            cue->play(); // a click's cue: kept open while the music plays
            QTRY_COMPARE_WITH_TIMEOUT(cue->mode(), TMPModes::mpStopped, 3000);
            QTest::qWait(800);
            QCOMPARE(streams(), others + 2);

            // An announced cue, played as a tick plays it, 50 ms ahead with its second: after it
            // only the music's device is left, long before closeAfter.
            auto due = Clock::now() + std::chrono::milliseconds(1000);
            cue->expectPlayAt(due);
            QTest::qWait(950);
            cue->playAt(due);
            QTRY_COMPARE_WITH_TIMEOUT(cue->mode(), TMPModes::mpStopped, 3000);
            QTRY_COMPARE_WITH_TIMEOUT(streams(), others + 1, 3000);

            // The next one finds its device open again before its second, and is heard on it.
            due = Clock::now() + std::chrono::milliseconds(1050);
            cue->expectPlayAt(due);
            QTRY_COMPARE_WITH_TIMEOUT(streams(), others + 2, 1000);
            QVERIFY(Clock::now() < due);
            QTest::qWait(int(std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count()) - 50);
            const double dueAt = std::chrono::duration<double>(due.time_since_epoch()).count();
            cue->playAt(due);
            QTRY_COMPARE_WITH_TIMEOUT(cue->mode(), TMPModes::mpStopped, 3000);
            QTRY_COMPARE_WITH_TIMEOUT(streams(), others + 1, 3000);
            QVERIFY2(rec.waitForFrames(rec.frames() + sinktest::kRate / 2, 5000), "the recording stopped");

            // Announced, and never played: open for it, and let go once it is late.
            cue->expectPlayAt(Clock::now() + std::chrono::milliseconds(300));
            QTRY_COMPARE_WITH_TIMEOUT(streams(), others + 2, 1000);
            QTRY_COMPARE_WITH_TIMEOUT(streams(), others + 1, 3000);
            QCOMPARE(music->mode(), TMPModes::mpPlaying);
            rec.stop();

            // All three cues whole (0.3 s each, two thirds of it above the threshold); the music
            // alone stays under it. How late the announced one was heard, for the log.
            const QByteArray bytes = rec.bytes();
            const qint64 loud = loudFrames(bytes);
            QVERIFY2(loud > 3 * 7000 && loud < 3 * 11000, qPrintable(QString::number(loud)));
            const auto *s = reinterpret_cast<const qint16 *>(bytes.constData());
            const double start = rec.startNear(dueAt - 1.0, dueAt + 3.0);
            for (qint64 i = std::max<qint64>(qint64((dueAt - 0.5 - start) * sinktest::kRate), 0); i < bytes.size() / 4;
                 ++i) {
                if (qAbs(int(s[2 * i])) > 8000) {
                    qInfo("announced cue heard %.1f ms after its second",
                          (start + double(i) / sinktest::kRate - dueAt) * 1000);
                    break;
                }
            }
        }
        const QStringList said = log.finish();
        QVERIFY2(said.isEmpty(), qPrintable(said.join(u'\n')));
    }

    // A sound stopped right after its play (the end of a workout stops the music as the last cue
    // starts) pauses the device before its callback has run. A paused device is not expected to
    // call back: it must not be taken for lost while it waits, paused, for the next play, and the
    // cue played then must be heard whole. Each round waits well past the time a running device
    // gets for its first callback (750 ms), so every round on its own would show a false loss.
    void deviceStoppedBeforeItsFirstCallbackIsNotLost()
    {
        if (qEnvironmentVariableIsEmpty("VINTRA_NULL_SINK"))
            QSKIP("no PulseAudio null sink (run through scripts/test.sh)");
        QVERIFY(audiotest::writeTone(path("music.wav"), 2.0, 300, 0.3f));
        QVERIFY(audiotest::writeTone(path("over.wav"), 0.3, 1000, 0.5f));
        sinktest::SinkRecorder rec(path("sink.raw"));
        const QString recording = rec.start(qEnvironmentVariable("VINTRA_NULL_SINK"));
        QVERIFY2(recording.isEmpty(), qPrintable(recording));

        EnvScope env;
        env.set("SDL_AUDIODRIVER", "pulseaudio");
        AudioLogCatcher log;
        {
            // Longer than all rounds together, so the one device stays open and paused throughout.
            sound::AudioOutput out(512, 60000);
            auto music = openOn(out, path("music.wav"));
            auto over = openOn(out, path("over.wav"));
            over->play(); // the device calls back once, so a later resume is watched
            QTRY_COMPARE_WITH_TIMEOUT(over->mode(), TMPModes::mpStopped, 3000);
            for (int round = 0; round < 3; ++round) {
                music->play();
                music->stop();
                QTRY_VERIFY_WITH_TIMEOUT(!out.isRunning(), 2000);
                QTest::qWait(1200); // nothing to wait for: the device must stay quiet and kept
                QVERIFY(out.isDeviceOpen());
                QVERIFY(!out.isSilentFallback());
            }
            const qint64 before = rec.frames();
            over->play();
            QTRY_COMPARE_WITH_TIMEOUT(over->mode(), TMPModes::mpStopped, 3000);
            QCOMPARE(over->position(), over->length());
            QVERIFY2(rec.waitForFrames(rec.frames() + sinktest::kRate * 3 / 10, 5000),
                     "gave up after 5 s waiting for 300 ms more of the recording");
            rec.stop();
            // The last cue is in the recording whole: 0.3 s, two thirds of it above half its peak.
            const qint64 loud = loudFrames(rec.bytes().mid(int(before) * sinktest::kBytesPerFrame));
            QVERIFY2(loud > 7000 && loud < 11000, qPrintable(QString::number(loud)));
        }
        const QStringList said = log.finish();
        QVERIFY2(said.isEmpty(), qPrintable(said.join(u'\n')));
    }
};

QTEST_GUILESS_MAIN(TestAudioOutput)
#include "tst_audiooutput.moc"
