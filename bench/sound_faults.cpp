// What faults of the sound server cost: the longest stall of the GUI thread while the server is
// stopped (SIGSTOP) and a cue is opened and played, as START and a preview do; the time from a
// killed server's successor answering to the first cue heard from it; and the latency of the
// first cue of a freshly made output (the program started and START pressed at once).
//
// Runs a PulseAudio server of its own (tests/support/pulseserver.h) and records its null sink with
// the recorder the tests use, tied to the clock (tests/support/sinkrecorder.h).
//
//   sound_faults [rounds (default 5)]   (see bench/sound-faults.sh)

#include "pulseserver.h"
#include "audiofiles.h"
#include "sinkrecorder.h"
#include "sound/audiooutput.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <thread>
#include <vector>

using sound::TMPModes;

namespace {

using sinktest::kBytesPerFrame;
using sinktest::kRate;

double now() { return sinktest::clockNow(); }

using audiotest::writePeakStartTone;

double median(std::vector<double> v)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double maximum(const std::vector<double> &v) { return v.empty() ? -1 : *std::max_element(v.begin(), v.end()); }

// The null sink's monitor, kept running and tied to the clock (tests/support/sinkrecorder.h).
class Recorder {
public:
    Recorder(const QString &sink, QString raw)
        : m_rec(std::move(raw), sinktest::SinkRecorder::Sink::KeepRunning, sinktest::SinkRecorder::Timing::Clocked)
    {
        if (const QString failed = m_rec.start(sink); !failed.isEmpty())
            std::fprintf(stderr, "sound_faults: %s\n", qPrintable(failed));
    }
    // Clock times of the tones in the recording (each after 50 ms of quiet).
    std::vector<double> onsets()
    {
        m_rec.stop();
        const double start = m_rec.earliestStart();
        const QByteArray bytes = m_rec.bytes();
        std::vector<double> found;
        const auto *s = reinterpret_cast<const qint16 *>(bytes.constData());
        qint64 quietSince = -kRate;
        for (qint64 i = 0; i < bytes.size() / kBytesPerFrame; ++i) {
            if (std::abs(int(s[2 * i])) <= 1000 && std::abs(int(s[2 * i + 1])) <= 1000)
                continue;
            if (i - quietSince > kRate / 20)
                found.push_back(start + double(i) / kRate);
            quietSince = i;
        }
        return found;
    }

private:
    sinktest::SinkRecorder m_rec;
};

// Runs the event loop for `ms` with a 10 ms timer and returns the longest gap between its ticks;
// `during` runs on the loop 100 ms in.
qint64 longestStall(int ms, const std::function<void()> &during)
{
    QEventLoop loop;
    QTimer probe;
    probe.setInterval(10);
    probe.setTimerType(Qt::PreciseTimer);
    QElapsedTimer since;
    qint64 longest = 0;
    QObject::connect(&probe, &QTimer::timeout, [&] { longest = std::max(longest, since.restart()); });
    QTimer::singleShot(100, during);
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    since.start();
    probe.start();
    loop.exec();
    return std::max(longest, since.elapsed());
}

void waitFor(const std::function<bool()> &done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    if (!qEnvironmentVariableIsSet("SDL_AUDIODRIVER"))
        qputenv("SDL_AUDIODRIVER", "pulseaudio");
    QTemporaryDir dir;
    const QString tone = dir.filePath(QStringLiteral("tone.wav"));
    if (!writePeakStartTone(tone, 0.03, 1000))
        return 1;
    pulsetest::PrivateServer server(dir.path(), QStringLiteral("benchsink"));
    qputenv("PULSE_SERVER", server.address().toLocal8Bit());
    if (!server.start()) {
        std::fprintf(stderr, "sound_faults: PulseAudio did not start\n");
        return 1;
    }

    // --- 1. GUI stall while the server is stopped ---
    std::vector<double> stallClosed, stallOpen;
    {
        sound::AudioOutput out;
        auto ch = out.createChannel();
        ch->setFileName(tone);
        ch->open();
        for (int r = 0; r < rounds; ++r) {
            for (const bool closed : {true, false}) {
                if (closed) {
                    waitFor([&] { return !out.isDeviceOpen(); }, 10000);
                } else {
                    ch->play(); // leaves the device open and paused
                    waitFor([&] { return ch->mode() != TMPModes::mpPlaying; }, 3000);
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
                server.freeze();
                const qint64 stall = longestStall(1500, [&] {
                    // As START does: open the cue afresh and play it.
                    ch->open();
                    ch->play();
                });
                server.thaw();
                (closed ? stallClosed : stallOpen).push_back(double(stall));
                waitFor([&] { return !out.isSilentFallback() && ch->mode() != TMPModes::mpPlaying; }, 10000);
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
            }
        }
    }

    // --- 2. from a killed server's successor answering to the first cue heard ---
    std::vector<double> backMs, reopenMs;
    {
        sound::AudioOutput out;
        auto ch = out.createChannel();
        ch->setFileName(tone);
        ch->open();
        for (int r = 0; r < rounds; ++r) {
            ch->play();
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            server.killHard();
            if (!server.start())
                return 1;
            const double up = now(); // within some 100 ms of pactl's poll
            waitFor([&] { return !out.isSilentFallback(); }, 10000);
            if (!out.isSilentFallback())
                reopenMs.push_back((now() - up) * 1000);
            // The next cue, with a recorder on the new server (which takes a while to deliver
            // its first data, so it cannot time the reopening itself).
            Recorder rec(server.sink(), dir.filePath(QStringLiteral("back%1.raw").arg(r)));
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            ch->stop();
            ch->setPosition(0);
            const double playedAt = now();
            ch->play();
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            const auto heard = rec.onsets();
            const auto first =
                std::find_if(heard.begin(), heard.end(), [playedAt](double t) { return t >= playedAt - 0.005; });
            if (first != heard.end() && *first < playedAt + 1.0)
                backMs.push_back((*first - playedAt) * 1000);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
    }

    // --- 3. the first cue of a fresh output ---
    std::vector<double> firstMs;
    {
        Recorder rec(server.sink(), dir.filePath(QStringLiteral("first.raw")));
        std::vector<double> playedAt;
        for (int r = 0; r < rounds; ++r) {
            sound::AudioOutput out;
            auto ch = out.createChannel();
            ch->setFileName(tone);
            ch->open();
            playedAt.push_back(now());
            ch->play();
            waitFor([&] { return ch->mode() != TMPModes::mpPlaying; }, 3000);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        const auto heard = rec.onsets();
        for (double p : playedAt) {
            const auto it = std::find_if(heard.begin(), heard.end(), [p](double t) { return t >= p - 0.005; });
            if (it != heard.end() && *it < p + 1.0)
                firstMs.push_back((*it - p) * 1000);
        }
    }

    std::printf("sound server faults, %d rounds each (PulseAudio of its own, SDL driver %s)\n", rounds,
                qgetenv("SDL_AUDIODRIVER").constData());
    std::printf("  %-58s %8.0f ms median, %5.0f ms max\n", "GUI stall, server stopped, START opens a new device",
                median(stallClosed), maximum(stallClosed));
    std::printf("  %-58s %8.0f ms median, %5.0f ms max\n", "GUI stall, server stopped, device open and paused",
                median(stallOpen), maximum(stallOpen));
    std::printf("  %-58s %8.0f ms median, %5.0f ms max (%zu of %d)\n",
                "killed server: new server answering -> device open again", median(reopenMs), maximum(reopenMs),
                reopenMs.size(), rounds);
    std::printf("  %-58s %8.1f ms median, %5.1f ms max (%zu of %d heard)\n",
                "  then the next cue: Play -> sound at the sink", median(backMs), maximum(backMs), backMs.size(),
                rounds);
    std::printf("  %-58s %8.1f ms median, %5.1f ms max (%zu of %d heard)\n",
                "first cue of a fresh output: Play -> sound at the sink", median(firstMs), maximum(firstMs),
                firstMs.size(), rounds);
    return 0;
}
