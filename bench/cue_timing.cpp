// Where a cue's delay comes from: the workout's own one-second timer plays a short cue at every
// tick, through the output as the program makes it, and each cue is placed three ways against
// the second it is due (the timer's start plus whole seconds, by the steady clock):
//  - the play: when the tick's handler handed the cue over (the GUI thread's turn), as the
//    sequencer does it: the tick fires Sequencer::kCueLead ahead of its second and the cue is
//    handed over with the second (SoundChannel::playAt);
//  - the mixer: the moment of the cue's first frame in the callback that first mixed it (our
//    audio thread's turn);
//  - the sink: its first loud sample in the null sink's monitor, placed on the clock the way
//    cue_latency does it (a recording of B frames seen at time W began by W - B/rate).
// The differences between them are the program's and the sound server's shares.
//
//   cue_timing <cues> (needs VINTRA_NULL_SINK; see bench/cue-timing.sh)

#include "audiofiles.h"
#include "sinkrecorder.h"
#include "sound/audiooutput.h"
#include "sound/sdlchannel.h"
#include "workout/sequencer.h"
#include "workout/workouttimer.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point t) { return std::chrono::duration<double>(t.time_since_epoch()).count(); }

struct Spread {
    double median = 0, latest = 0, earliest = 0, p95 = 0;
};

Spread spread(std::vector<double> v)
{
    if (v.empty())
        return {};
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v.back(), v.front(), v[std::min(v.size() - 1, v.size() * 95 / 100)]};
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int cues = argc > 1 ? std::max(5, std::atoi(argv[1])) : 60;
    const QByteArray sink = qgetenv("VINTRA_NULL_SINK");
    if (sink.isEmpty()) {
        std::fprintf(stderr, "cue_timing: VINTRA_NULL_SINK is not set; run bench/cue-timing.sh\n");
        return 2;
    }
    QTemporaryDir dir;
    const QString cueFile = dir.filePath(QStringLiteral("cue.wav"));
    const QString raw = dir.filePath(QStringLiteral("sink.raw"));
    if (!audiotest::writePeakStartTone(cueFile, 0.1, 1000)) {
        std::fprintf(stderr, "cue_timing: cannot write the cue\n");
        return 1;
    }
    sinktest::SinkRecorder rec(raw, sinktest::SinkRecorder::Sink::AsIs, sinktest::SinkRecorder::Timing::Clocked);
    if (const QString failed = rec.start(QString::fromLocal8Bit(sink)); !failed.isEmpty()) {
        std::fprintf(stderr, "cue_timing: %s\n", qPrintable(failed));
        return 1;
    }
    sound::AudioOutput out;
    auto channel = out.createChannel(sound::Stream::Cues);
    auto *cue = static_cast<sound::SdlChannel *>(channel.get());
    cue->setFileName(cueFile);
    cue->open();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    std::vector<double> due, played, mixed;
    workout::WorkoutTimer timer;
    timer.setLead(workout::Sequencer::kCueLead);
    QObject::connect(&timer, &workout::WorkoutTimer::timeout, [&] {
        const auto now = Clock::now();
        if (!played.empty())
            mixed.push_back(seconds(cue->startedAt()));
        if (int(played.size()) == cues) {
            QCoreApplication::quit();
            return;
        }
        cue->playAt(timer.due());
        due.push_back(seconds(timer.due()));
        played.push_back(seconds(now));
    });
    timer.setEnabled(true);
    QCoreApplication::exec();
    timer.setEnabled(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    rec.stop();

    // --- onsets in the recording, as cue_latency finds them ---
    QFile f(raw);
    if (!f.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cue_timing: no recording\n");
        return 1;
    }
    const QByteArray bytes = f.readAll();
    const auto *s = reinterpret_cast<const qint16 *>(bytes.constData());
    const qint64 frames = bytes.size() / sinktest::kBytesPerFrame;
    std::vector<qint64> onsets;
    qint64 quietSince = -sinktest::kRate;
    for (qint64 i = 0; i < frames; ++i) {
        if (std::abs(int(s[2 * i])) <= 1000 && std::abs(int(s[2 * i + 1])) <= 1000)
            continue;
        if (i - quietSince > sinktest::kRate / 20)
            onsets.push_back(i);
        quietSince = i;
    }
    std::vector<double> playOff, mixOff, sinkOff;
    std::vector<double> sinkInTime; // of the cues handed over before their second
    size_t next = 0;
    int unheard = 0;
    for (size_t i = 0; i < played.size(); ++i) {
        playOff.push_back((played[i] - due[i]) * 1000.0);
        mixOff.push_back((mixed[i] - due[i]) * 1000.0);
        const double anchor = rec.startNear(played[i] + 0.1, played[i] + 0.6);
        while (next < onsets.size() && anchor + double(onsets[next]) / sinktest::kRate < played[i] - 0.03)
            ++next;
        if (next < onsets.size() && anchor + double(onsets[next]) / sinktest::kRate < played[i] + 0.9) {
            sinkOff.push_back((anchor + double(onsets[next++]) / sinktest::kRate - due[i]) * 1000.0);
            if (played[i] < due[i])
                sinkInTime.push_back(sinkOff.back());
        } else
            ++unheard;
    }
    const double period = 1000.0 * out.bufferFrames() / out.sampleRate();
    const auto row = [&](const char *what, const std::vector<double> &v) {
        const Spread sp = spread(v);
        const auto within =
            std::count_if(v.begin(), v.end(), [&](double x) { return std::abs(x - sp.median) <= period; });
        std::printf("%-44s median %6.1f ms, earliest %6.1f, 95th percentile %6.1f, latest %6.1f; within one period "
                    "(%.1f ms) of the median: %ld of %zu\n",
                    what, sp.median, sp.earliest, sp.p95, sp.latest, period, long(within), v.size());
    };
    std::printf("%d cues, one a second, handed over %d ms ahead, driver %s, %d Hz, buffer %d frames\n", cues,
                int(workout::Sequencer::kCueLead.count()), qPrintable(out.driverName()), out.sampleRate(),
                out.bufferFrames());
    row("the play (the tick's handler), from its second", playOff);
    row("the mixer (first callback), from its second", mixOff);
    row("the sink (first loud sample), from its second", sinkOff);
    const Spread all = spread(sinkOff), inTime = spread(sinkInTime);
    std::printf("handed over before their second: %zu; at the sink %.1f to %.1f ms, within one period of the median: "
                "%ld\n",
                sinkInTime.size(), inTime.earliest, inTime.latest,
                long(std::count_if(sinkInTime.begin(), sinkInTime.end(),
                                   [&](double x) { return std::abs(x - all.median) <= period; })));
    if (unheard > 0)
        std::printf("%d cues were not found in the recording\n", unheard);
    return unheard == 0 ? 0 : 1;
}
