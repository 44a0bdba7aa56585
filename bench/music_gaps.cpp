// Whether the music keeps flowing, and how late the cues over it come: a long tone streamed as
// the music is, with a short cue every five seconds announced a second ahead, both through one
// output as in a workout.
// The null sink's monitor is recorded (kept running by a stream of silence, so an underrun of
// ours shows as silence in the recording rather than as a shorter recording) and read in 5 ms
// windows afterwards: a window whose loudest sample is under half the music's peak is a dip,
// under 1 % it is digital silence; neighbouring bad windows count as one gap.
//
// Beside it a thread at the callback's real-time priority (SCHED_FIFO 4) sleeps 2 ms at a time
// and counts how often it woke more than 30 ms late: when even it could not run, neither could
// the callback nor the server, and the gap is the machine's (a virtual machine's host taking the
// CPU, say) rather than the program's.
//
// A cue's latency is from its Play call to its first loud sample, placed on the clock the way
// cue_latency does it: in the 0.1-0.6 s after each play the recording's size is read every
// millisecond, and size B at time W means the recording began no later than W - B/rate.
//
//   music_gaps <seconds of music> [raw recording to keep] [frames per buffer of the music]
//   (needs VINTRA_NULL_SINK, the sink parec records on PULSE_SERVER; see bench/music-gaps.sh)

#include "audiofiles.h"
#include "sinkrecorder.h"
#include "sound/audiooutput.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

using sound::TMPModes;

namespace {

constexpr double kMusicHz = 330;
constexpr float kMusicLevel = 0.2f;
constexpr double kCueEverySeconds = 5;
constexpr int kWindow = sinktest::kRate / 200; // 5 ms

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: music_gaps <seconds> [recording] [music buffer frames]\n");
        return 2;
    }
    const double runSeconds = std::max(10.0, std::atof(argv[1]));
    const QByteArray sink = qgetenv("VINTRA_NULL_SINK");
    if (sink.isEmpty()) {
        std::fprintf(stderr, "music_gaps: VINTRA_NULL_SINK is not set; run bench/music-gaps.sh\n");
        return 2;
    }
    QTemporaryDir dir;
    const QString music = dir.filePath(QStringLiteral("music.wav"));
    const QString cueFile = dir.filePath(QStringLiteral("cue.wav"));
    const QString raw =
        argc > 2 && argv[2][0] != '\0' ? QString::fromLocal8Bit(argv[2]) : dir.filePath(QStringLiteral("sink.raw"));
    // The music at 22.05 kHz, so it is resampled on its way as most music files are.
    if (!audiotest::writeTone(music, runSeconds + 5, kMusicHz, kMusicLevel, 22050) ||
        !audiotest::writePeakStartTone(cueFile, 0.15, 2000)) {
        std::fprintf(stderr, "music_gaps: cannot write the sounds\n");
        return 1;
    }

    sinktest::SinkRecorder rec(raw);
    if (const QString failed = rec.start(QString::fromLocal8Bit(sink)); !failed.isEmpty()) {
        std::fprintf(stderr, "music_gaps: %s\n", qPrintable(failed));
        return 1;
    }
    // The output as the program makes it; a music buffer given makes the music's stream that
    // deep instead, 512 being the cues' own buffer, which the music shared before it had a
    // stream of its own.
    const int musicFrames = argc > 3 ? std::atoi(argv[3]) : sound::AudioOutput::kMusicBufferFrames;
    sound::AudioOutput out(512, sound::AudioOutput::kDefaultCloseAfterIdleMs, sound::AudioOutput::Connect::AtOnce,
                           musicFrames);
    auto musicCh = out.createChannel(sound::Stream::Music);
    musicCh->setFileName(music);
    musicCh->open();
    auto cue = out.createChannel();
    cue->setFileName(cueFile);
    cue->open();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    std::atomic<bool> probing{true};
    bool probeRealtime = false;
    std::vector<std::pair<double, double>> stalls; // (woke at, ms late)
    std::thread probe([&] {
        sched_param param{};
        param.sched_priority = 4;
        probeRealtime = ::sched_setscheduler(0, SCHED_FIFO, &param) == 0;
        double last = sinktest::clockNow();
        while (probing) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            const double now = sinktest::clockNow();
            if (now - last > 0.030)
                stalls.emplace_back(now, (now - last) * 1000.0);
            last = now;
        }
    });

    const qint64 musicFrom = rec.frames();
    musicCh->play();
    const double began = sinktest::clockNow();
    std::vector<double> latencyMs;
    std::vector<std::pair<double, double>> plays; // (play time, recording start near it)
    for (int i = 1; began + i * kCueEverySeconds < began + runSeconds; ++i) {
        // Announced a second ahead, as a workout announces its cues: the cues' device opens
        // before each cue and closes after it, while the music plays on.
        while (sinktest::clockNow() < began + i * kCueEverySeconds - 1.0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        cue->expectPlayAt(std::chrono::steady_clock::now() + std::chrono::seconds(1));
        while (sinktest::clockNow() < began + i * kCueEverySeconds)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const double at = sinktest::clockNow();
        cue->play();
        double start = 1e300;
        while (sinktest::clockNow() < at + 0.6) {
            const double now = sinktest::clockNow();
            const qint64 frames = rec.frames();
            if (now > at + 0.1)
                start = std::min(start, now - double(frames) / sinktest::kRate);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        plays.emplace_back(at, start);
    }
    while (sinktest::clockNow() < began + runSeconds)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const bool stillPlaying = musicCh->mode() == TMPModes::mpPlaying;
    musicCh->stop();
    const qint64 musicTo = rec.frames();
    rec.stop();
    probing = false;
    probe.join();

    // --- the recording, read a chunk at a time: an hour is over 600 MB ---
    QFile f(raw);
    if (!f.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "music_gaps: no recording\n");
        return 1;
    }
    const int peak = int(kMusicLevel * 32767);
    qint64 windows = 0, gaps = 0, silent = 0, badWindows = 0, longest = 0, run = 0;
    std::vector<std::pair<qint64, qint64>> gapSpans; // (first frame, frames)
    bool runSilent = false;
    std::vector<qint64> loudFrames; // the first loud frame of each cue-like burst
    qint64 lastLoud = -sinktest::kRate;
    const qint64 first = musicFrom + sinktest::kRate; // the music has surely begun
    const qint64 last = musicTo - sinktest::kRate;
    std::vector<qint16> buf(size_t(kWindow) * 2 * 1000);
    f.seek(first * sinktest::kBytesPerFrame);
    qint64 frame = first;
    while (frame + kWindow <= last) {
        const qint64 want = std::min<qint64>(qint64(buf.size() / 2), (last - frame) / kWindow * kWindow);
        const qint64 got =
            f.read(reinterpret_cast<char *>(buf.data()), want * sinktest::kBytesPerFrame) / sinktest::kBytesPerFrame;
        if (got < kWindow)
            break;
        for (qint64 w = 0; w + kWindow <= got; w += kWindow, frame += kWindow) {
            int loudest = 0;
            for (qint64 i = w; i < w + kWindow; ++i) {
                const int v = std::abs(int(buf[size_t(2 * i)]));
                loudest = std::max(loudest, v);
                if (v > 16000) {
                    if (frame + (i - w) - lastLoud > sinktest::kRate / 2)
                        loudFrames.push_back(frame + (i - w));
                    lastLoud = frame + (i - w);
                }
            }
            ++windows;
            const bool bad = loudest < peak / 2;
            if (bad) {
                ++badWindows;
                if (run == 0)
                    runSilent = true;
                runSilent = runSilent && loudest < peak / 100;
                ++run;
            }
            if (!bad && run > 0) {
                ++gaps;
                gapSpans.emplace_back(frame - run * kWindow, run * kWindow);
                silent += runSilent ? 1 : 0;
                longest = std::max(longest, run);
                run = 0;
            }
        }
    }
    // Each play claims the first cue that sounds after it (less 30 ms, the anchor's error).
    size_t next = 0;
    int unheard = 0;
    for (const auto &[at, start] : plays) {
        while (next < loudFrames.size() && start + double(loudFrames[next]) / sinktest::kRate < at - 0.03)
            ++next;
        if (next < loudFrames.size() && start + double(loudFrames[next]) / sinktest::kRate < at + 1.0)
            latencyMs.push_back((start + double(loudFrames[next++]) / sinktest::kRate - at) * 1000.0);
        else
            ++unheard;
    }
    // Whose gap: one with the probe's stall beside it (the probe stalled at most 0.2 s before
    // or after) is the machine's, since nothing at the callback's priority could run then.
    const auto startNear = [&](qint64 recorded) {
        double best = plays.empty() ? 0 : plays.front().second;
        for (const auto &[played, start] : plays)
            if (start + double(recorded) / sinktest::kRate >= played)
                best = start;
        return best;
    };
    int machines = 0;
    for (const auto &[from, length] : gapSpans) {
        const double t0 = startNear(from) + double(from) / sinktest::kRate;
        const double t1 = t0 + double(length) / sinktest::kRate;
        double late = 0;
        for (const auto &[wokeAt, ms] : stalls)
            if (wokeAt >= t0 - 0.2 && wokeAt - ms / 1000.0 <= t1 + 0.2)
                late = std::max(late, ms);
        machines += late > 0 ? 1 : 0;
        std::printf("gap at %.1f s, %.0f ms; probe stalled %.0f ms beside it\n", t0 - began,
                    double(length) * 1000.0 / sinktest::kRate, late);
    }
    const double minutes = double(windows) * kWindow / sinktest::kRate / 60.0;
    std::printf("music examined: %.1f min (recorded %.1f min of %.1f min played)%s\n", minutes,
                double(musicTo - musicFrom) / sinktest::kRate / 60.0, runSeconds / 60.0,
                stillPlaying ? "" : "; the music had stopped before its end");
    std::printf("gaps: %lld (%lld of them digital silence), longest %.0f ms, %.0f ms in all; %.1f gaps per hour\n",
                gaps, silent, double(longest) * kWindow * 1000.0 / sinktest::kRate,
                double(badWindows) * kWindow * 1000.0 / sinktest::kRate, minutes > 0 ? gaps * 60.0 / minutes : 0.0);
    std::printf("cues: %zu heard of %zu, latency median %.1f ms, latest %.1f ms\n", latencyMs.size(), plays.size(),
                median(latencyMs), latencyMs.empty() ? 0.0 : *std::max_element(latencyMs.begin(), latencyMs.end()));
    double latestStall = 0;
    for (const auto &stall : stalls)
        latestStall = std::max(latestStall, stall.second);
    std::printf("a thread at SCHED_FIFO 4%s beside it woke over 30 ms late %zu times, the latest by %.0f ms; "
                "%d of the %lld gaps came with such a stall\n",
                probeRealtime ? "" : " (refused: at an ordinary priority)", stalls.size(), latestStall, machines, gaps);
    return unheard == 0 ? 0 : 1;
}
