// How long a cue takes from Play to the sound server, what the Play call itself costs the
// caller, and what seven open channels cost at rest.
//
// Plays a short tone N times in each of four states of the output: device open but paused
// between cues (cues 250-400 ms apart); device closed after idling (the next cue opens a new
// one); the old device still being closed in the background when the cue comes; and device
// closed, the cue announced a second ahead as a workout announces its cues (the latency is then
// counted from the second the cue was handed over for). The tests'
// recorder (tests/support/sinkrecorder.h) records the null sink's monitor meanwhile, and each
// tone's onset is found in the recording. To put
// recording and play calls on one clock, a thread watches the recording grow: a byte count B seen
// at time W means the first sample was captured no later than W - B/(bytes per second). The
// smallest such value seen from 0.1 to 0.6 s after a play is the recording's start as that play
// sees it (it includes the recorder's own delay, so latencies come out, if anything, a little
// high). It has to be taken near each play, and after it: how far ahead of real time the null
// sink renders changes by several milliseconds when our stream joins or leaves the server, so
// the start moves each time the device opens or closes.
//
//   cue_latency <sounds folder> [plays per case] [close after idle, ms]
//   (needs VINTRA_NULL_SINK, the sink parec records on PULSE_SERVER; see bench/cue-latency.sh)

#include "audiofiles.h"
#include "sinkrecorder.h"
#include "sound/audiooutput.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <sndfile.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;
using sound::TMPModes;

namespace {

using sinktest::kBytesPerFrame;
using sinktest::kRate;

double seconds(Clock::time_point t) { return std::chrono::duration<double>(t.time_since_epoch()).count(); }

using audiotest::writePeakStartTone;

double residentMb() { return double(audiotest::residentKb()) / 1024.0; }

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The 95th percentile, linearly between the two nearest ranks (as numpy's default).
double p95(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const double rank = 0.95 * double(v.size() - 1);
    const size_t below = size_t(rank);
    const size_t above = std::min(below + 1, v.size() - 1);
    return v[below] + (v[above] - v[below]) * (rank - double(below));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: cue_latency <sounds folder> [plays]\n");
        return 2;
    }
    const QDir sounds(QString::fromLocal8Bit(argv[1]));
    const int plays = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
    const int closeAfterMs = argc > 3 ? std::max(0, std::atoi(argv[3])) : sound::AudioOutput::kDefaultCloseAfterIdleMs;
    const QByteArray sink = qgetenv("VINTRA_NULL_SINK");
    if (sink.isEmpty()) {
        std::fprintf(stderr, "cue_latency: VINTRA_NULL_SINK is not set; run bench/cue-latency.sh\n");
        return 2;
    }
    // SDL_AUDIODRIVER, when set, names the driver; otherwise the output picks one as in the
    // program.

    QTemporaryDir dir;
    const QString tone = dir.filePath(QStringLiteral("tone.wav"));
    const QString raw = dir.filePath(QStringLiteral("sink.raw"));
    if (!writePeakStartTone(tone, 0.06, 1000)) {
        std::fprintf(stderr, "cue_latency: cannot write %s\n", qPrintable(tone));
        return 1;
    }

    // --- the recorder, tied to the clock; the sink idles between cues as a sound card does ---
    sinktest::SinkRecorder rec(raw, sinktest::SinkRecorder::Sink::AsIs, sinktest::SinkRecorder::Timing::Clocked);
    if (const QString failed = rec.start(QString::fromLocal8Bit(sink)); !failed.isEmpty()) {
        std::fprintf(stderr, "cue_latency: %s\n", qPrintable(failed));
        return 1;
    }
    auto recStartNear = [&](double t) { return rec.startNear(t + 0.1, t + 0.6); };
    auto stopRecorder = [&] { rec.stop(); };

    // --- the output with its seven channels: six cues and the preview ---
    const double rssBefore = residentMb();
    sound::AudioOutput out(512, closeAfterMs);
    std::vector<std::unique_ptr<sound::SoundChannel>> channels;
    for (const char *name : {"over.wav", "Rest.wav", "Start.wav", "Tick.wav", "Work.wav", "vintra.mp3"}) {
        auto ch = out.createChannel();
        ch->setFileName(sounds.filePath(QLatin1String(name)));
        try {
            ch->open();
        } catch (const sound::MediaError &e) {
            std::fprintf(stderr, "cue_latency: %s: %s\n", name, e.what());
        }
        channels.push_back(std::move(ch));
    }
    auto cue = out.createChannel();
    cue->setFileName(tone);
    cue->open();
    const double rssOpen = residentMb();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    // --- the plays ---
    enum Case { DeviceOpen, DeviceClosed, StillClosing, Announced, CaseCount };
    const char *caseNames[CaseCount] = {"device open, paused between cues", "device closed after idling",
                                        "old device still closing", "announced ahead, device closed"};
    std::mt19937 random(7);
    std::vector<double> playAt;
    std::vector<Case> caseOf;
    std::vector<double> callMs[CaseCount];
    int mismatched[CaseCount] = {}; // plays that did not find the output in the state their case names
    auto waitUntil = [](const auto &done, int timeoutMs) {
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!done() && Clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    Clock::time_point cueEnded;
    std::vector<double> closeMs; // from the end of a cue to its device being closed, less the idle delay
    auto playOnce = [&](Case c) {
        // A workout's cue: announced a tick ahead, handed over 50 ms before its second, and
        // heard from that second on.
        Clock::time_point due;
        if (c == Announced) {
            due = Clock::now() + std::chrono::seconds(1);
            cue->expectPlayAt(due);
            std::this_thread::sleep_until(due - std::chrono::milliseconds(50));
        }
        // (a paused device that is not yet being closed passes for "still closing" here)
        if (out.isRunning() || out.isDeviceOpen() != (c != DeviceClosed))
            ++mismatched[c];
        const auto t0 = Clock::now();
        if (c == Announced)
            cue->playAt(due);
        else
            cue->play();
        const auto t1 = Clock::now();
        playAt.push_back(seconds(c == Announced ? due : t0));
        caseOf.push_back(c);
        callMs[c].push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        waitUntil([&] { return cue->mode() != TMPModes::mpPlaying; }, 5000);
        cueEnded = Clock::now();
    };
    for (int i = 0; i < plays; ++i) {
        playOnce(DeviceOpen);
        // Long enough apart for the device to pause in between, as between real cues.
        std::this_thread::sleep_for(std::chrono::milliseconds(250 + random() % 150));
    }
    for (int i = 0; i < plays; ++i) {
        waitUntil([&] { return !out.isDeviceOpen(); }, closeAfterMs + 10000);
        closeMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - cueEnded).count() - closeAfterMs);
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 100));
        playOnce(DeviceClosed);
    }
    // The device pauses as the cue ends and is handed to the closer closeAfterMs later; a play
    // 5-20 ms after that mostly finds it being closed. How long closing takes depends on the
    // server: over a second on a null sink that nobody records with low latency, some 25 ms with
    // the recorder running here ("closing an idle device" below).
    for (int i = 0; i < plays; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(closeAfterMs + 5 + random() % 15));
        playOnce(StillClosing);
    }
    for (int i = 0; i < plays; ++i) {
        waitUntil([&] { return !out.isDeviceOpen(); }, closeAfterMs + 10000);
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 100));
        playOnce(Announced);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stopRecorder();

    // --- idle cost with everything open and nothing playing ---
    // First while the device is still open and paused, then once it is closed.
    cue->play();
    waitUntil([&] { return cue->mode() != TMPModes::mpPlaying; }, 5000);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double pausedWindow = std::max(0.2, closeAfterMs / 1000.0 - 0.5);
    double cpu0 = cpuSeconds();
    auto wall0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(pausedWindow));
    const double pausedCpu = (cpuSeconds() - cpu0) / std::chrono::duration<double>(Clock::now() - wall0).count();
    waitUntil([&] { return !out.isDeviceOpen(); }, closeAfterMs + 10000);
    const bool openWhenIdle = out.isDeviceOpen();
    const int idleSeconds = 30;
    cpu0 = cpuSeconds();
    wall0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    const double idleCpu = (cpuSeconds() - cpu0) / std::chrono::duration<double>(Clock::now() - wall0).count();
    const double rssIdle = residentMb();

    // --- onsets in the recording ---
    QFile f(raw);
    if (!f.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cue_latency: no recording\n");
        return 1;
    }
    const QByteArray bytes = f.readAll();
    const auto *s = reinterpret_cast<const qint16 *>(bytes.constData());
    const qint64 frames = bytes.size() / kBytesPerFrame;
    std::vector<qint64> onsets;
    std::vector<qint64> ends;
    qint64 quietSince = 0;
    for (qint64 i = 0; i < frames; ++i) {
        const bool loud = std::abs(int(s[2 * i])) > 1000 || std::abs(int(s[2 * i + 1])) > 1000;
        if (!loud)
            continue;
        if (i - quietSince > kRate / 20) { // 50 ms of silence before it: a new tone
            onsets.push_back(i);
            ends.push_back(i);
        }
        ends.back() = i;
        quietSince = i;
    }
    // Each play claims the first tone that begins after it (less 30 ms, the anchor's error) and
    // before the next play. On a loaded machine the server or the recorder now and then splits a
    // tone or drops one: such tones are counted and listed, not taken for latencies.
    std::vector<double> ms[CaseCount];
    size_t nextTone = 0;
    int strayTones = 0;
    int unheard = 0;
    for (size_t i = 0; i < playAt.size(); ++i) {
        const double anchor = recStartNear(playAt[i]);
        const double until = i + 1 < playAt.size() ? playAt[i + 1] : 1e300;
        while (nextTone < onsets.size() && anchor + double(onsets[nextTone]) / kRate < playAt[i] - 0.03) {
            ++nextTone;
            ++strayTones;
        }
        if (nextTone < onsets.size() && anchor + double(onsets[nextTone]) / kRate < until) {
            ms[caseOf[i]].push_back((anchor + double(onsets[nextTone]) / kRate - playAt[i]) * 1000.0);
            ++nextTone;
        } else {
            ++unheard;
        }
    }
    strayTones += int(onsets.size() - nextTone);
    if (strayTones > 0 || unheard > 0) {
        std::fprintf(stderr,
                     "cue_latency: %zu tones in the recording for %zu plays (%d plays unheard, %d stray tones)\n",
                     onsets.size(), playAt.size(), unheard, strayTones);
        std::fprintf(stderr, "  sounds found (start s, length ms):");
        const double recStart = recStartNear(playAt.front());
        for (size_t i = 0; i < onsets.size(); ++i)
            std::fprintf(stderr, " %.3f/%.1f", recStart + double(onsets[i]) / kRate - playAt.front(),
                         double(ends[i] - onsets[i] + 1) * 1000.0 / kRate);
        std::fprintf(stderr, "\n  plays (s, case):");
        for (size_t i = 0; i < playAt.size(); ++i)
            std::fprintf(stderr, " %.3f/%d", playAt[i] - playAt.front(), int(caseOf[i]));
        std::fprintf(stderr, "\n");
    }
    for (const auto &v : ms)
        if (v.empty()) {
            std::fprintf(stderr, "cue_latency: no play of one of the cases was heard\n");
            return 1;
        }

    std::printf("cue latency: Play -> first sound at the null sink, %d plays per case\n", plays);
    std::printf("  driver %s, %d Hz, %d-frame buffer (%.1f ms); device closes after %d ms idle\n",
                qPrintable(out.driverName()), out.sampleRate(), out.bufferFrames(),
                1000.0 * out.bufferFrames() / out.sampleRate(), closeAfterMs);
    std::printf("  %-34s %8s %8s %8s %8s %8s   %s\n", "case", "median", "p95", "min", "max", "first",
                "Play call median/max");
    for (int c = 0; c < CaseCount; ++c) {
        const auto &v = ms[c];
        std::printf("  %-34s %5.1f ms %5.1f ms %5.1f ms %5.1f ms %5.1f ms   %.2f / %.2f ms\n", caseNames[c], median(v),
                    p95(v), *std::min_element(v.begin(), v.end()), *std::max_element(v.begin(), v.end()), v.front(),
                    median(callMs[c]), *std::max_element(callMs[c].begin(), callMs[c].end()));
    }
    std::vector<double> all;
    for (const auto &v : ms)
        all.insert(all.end(), v.begin(), v.end());
    std::printf("  %-34s %5.1f ms %5.1f ms          %5.1f ms   (target: median <= 30; p95 <= two periods, %.1f ms)\n",
                "all plays", median(all), p95(all), *std::max_element(all.begin(), all.end()),
                2000.0 * out.bufferFrames() / out.sampleRate());
    std::printf("  %-34s %5.1f ms            %5.1f ms   (on a background thread)\n", "closing an idle device",
                median(closeMs), *std::max_element(closeMs.begin(), closeMs.end()));
    if (strayTones > 0 || unheard > 0)
        std::printf("  (%d plays unheard, %d stray tones in the recording: see the list on stderr)\n", unheard,
                    strayTones);
    for (int c = 0; c < CaseCount; ++c)
        if (mismatched[c] > 0)
            std::printf("  (%d plays of \"%s\" found the output in another state)\n", mismatched[c], caseNames[c]);
    std::printf("  %-34s %6.1f MB\n", "RSS, 7 channels open", rssOpen);
    std::printf("  %-34s %6.1f MB\n", "  of which output + channels", rssOpen - rssBefore);
    std::printf("  %-34s %6.1f MB\n", "RSS after the run, device closed", rssIdle);
    std::printf("  %-34s %6.2f %% of one core (%.1f s)\n", "idle CPU, device paused", pausedCpu * 100, pausedWindow);
    std::printf("  %-34s %6.2f %% of one core (%d s, device %s)\n", "idle CPU, 7 open, device closed", idleCpu * 100,
                idleSeconds, openWhenIdle ? "still open!" : "closed");
    std::printf("  (the null sink renders in blocks, so single plays can read a few ms early or late;\n"
                "   a negative figure shows the size of that error, the median is the figure to trust)\n");
    for (int c = 0; c < CaseCount; ++c) {
        std::printf("  %s (ms):", caseNames[c]);
        for (double v : ms[c])
            std::printf(" %.1f", v);
        std::printf("\n");
    }
    return 0;
}
