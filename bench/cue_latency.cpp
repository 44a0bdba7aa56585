// How long a cue takes from Play to the sound server, and what seven open channels cost at rest.
//
// Plays a short tone N times through the PulseAudio null sink while parec records the sink's
// monitor, then finds each tone's onset in the recording. To put recording and play calls on one
// clock, a thread watches the recording grow: a byte count B seen at time W means the first
// sample was captured no later than W - B/(bytes per second), and the smallest such value over
// the whole run is the recording's start (it includes the recorder's own delay, so latencies come
// out, if anything, a little high).
//
//   cue_latency <sounds folder> [plays]      (needs VINTRA_NULL_SINK; see bench/cue-latency.sh)

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

constexpr int kRate = 44100;
constexpr int kBytesPerFrame = 4; // s16le stereo

double seconds(Clock::time_point t)
{
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

bool writeTone(const QString &path, double length, double hz)
{
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE *f = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!f)
        return false;
    std::vector<float> s(size_t(length * kRate));
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = 0.5f * float(std::sin(2 * M_PI * hz * double(i) / kRate + M_PI / 2)); // starts at its peak
    sf_writef_float(f, s.data(), sf_count_t(s.size()));
    return sf_close(f) == 0;
}

double residentMb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return -1;
}

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
    const QByteArray sink = qgetenv("VINTRA_NULL_SINK");
    if (sink.isEmpty()) {
        std::fprintf(stderr, "cue_latency: VINTRA_NULL_SINK is not set; run bench/cue-latency.sh\n");
        return 2;
    }
    if (!qEnvironmentVariableIsSet("SDL_AUDIODRIVER"))
        qputenv("SDL_AUDIODRIVER", "pulseaudio");

    QTemporaryDir dir;
    const QString tone = dir.filePath(QStringLiteral("tone.wav"));
    const QString raw = dir.filePath(QStringLiteral("sink.raw"));
    if (!writeTone(tone, 0.06, 1000)) {
        std::fprintf(stderr, "cue_latency: cannot write %s\n", qPrintable(tone));
        return 1;
    }

    // --- the recorder and the thread that ties its file to the clock ---
    QProcess rec;
    rec.start(QStringLiteral("parec"),
              {QStringLiteral("-d"), QString::fromLocal8Bit(sink) + QStringLiteral(".monitor"),
               QStringLiteral("--format=s16le"), QStringLiteral("--rate=44100"), QStringLiteral("--channels=2"),
               QStringLiteral("--latency-msec=10"), QStringLiteral("--raw"), raw});
    if (!rec.waitForStarted(5000)) {
        std::fprintf(stderr, "cue_latency: parec did not start\n");
        return 1;
    }
    const pid_t recPid = pid_t(rec.processId());
    std::atomic<bool> watching{true};
    double recStart = 1e300;
    std::thread watcher([&] {
        const QByteArray name = QFile::encodeName(raw);
        while (watching) {
            struct stat st {};
            if (stat(name.constData(), &st) == 0 && st.st_size > 0) {
                const double t = seconds(Clock::now()) - double(st.st_size / kBytesPerFrame) / kRate;
                recStart = std::min(recStart, t);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    auto stopRecorder = [&] {
        ::kill(recPid, SIGTERM);
        if (!rec.waitForFinished(3000)) {
            ::kill(recPid, SIGKILL);
            rec.waitForFinished(1000);
        }
        watching = false;
        if (watcher.joinable())
            watcher.join();
    };
    while (QFileInfo(raw).size() == 0 && rec.state() == QProcess::Running)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));

    // --- the output with its seven channels: six cues and the preview ---
    const double rssBefore = residentMb();
    sound::AudioOutput out;
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
    std::mt19937 random(7);
    std::vector<double> playAt;
    int resumed = 0;
    for (int i = 0; i < plays; ++i) {
        if (!out.isRunning())
            ++resumed;
        playAt.push_back(seconds(Clock::now()));
        cue->play();
        while (cue->mode() == TMPModes::mpPlaying)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        // Long enough apart for the device to pause in between, as between real cues.
        std::this_thread::sleep_for(std::chrono::milliseconds(250 + random() % 150));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stopRecorder();

    // --- idle cost with everything open and nothing playing ---
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const bool runningWhenIdle = out.isRunning();
    const double cpu0 = cpuSeconds();
    const auto wall0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const double idleCpu = (cpuSeconds() - cpu0) / std::chrono::duration<double>(Clock::now() - wall0).count();

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
    qint64 quietSince = 0;
    for (qint64 i = 0; i < frames; ++i) {
        const bool loud = std::abs(int(s[2 * i])) > 1000 || std::abs(int(s[2 * i + 1])) > 1000;
        if (!loud)
            continue;
        if (i - quietSince > kRate / 20) // 50 ms of silence before it: a new tone
            onsets.push_back(i);
        quietSince = i;
    }
    if (int(onsets.size()) != plays) {
        std::fprintf(stderr, "cue_latency: found %zu tones in the recording, expected %d\n", onsets.size(), plays);
        return 1;
    }
    std::vector<double> ms;
    for (int i = 0; i < plays; ++i)
        ms.push_back((recStart + double(onsets[size_t(i)]) / kRate - playAt[size_t(i)]) * 1000.0);

    std::printf("cue latency: Play -> first sound at the null sink, %d plays\n", plays);
    std::printf("  driver %s, %d Hz, %d-frame buffer (%.1f ms); %d of %d plays resumed a paused device\n",
                qPrintable(out.driverName()), out.sampleRate(), out.bufferFrames(),
                1000.0 * out.bufferFrames() / out.sampleRate(), resumed, plays);
    std::printf("  %-34s %8s\n", "measure", "value");
    std::printf("  %-34s %6.1f ms   (target <= 30)\n", "median", median(ms));
    std::printf("  %-34s %6.1f ms\n", "min", *std::min_element(ms.begin(), ms.end()));
    std::printf("  %-34s %6.1f ms\n", "max", *std::max_element(ms.begin(), ms.end()));
    std::printf("  %-34s %6.1f ms\n", "first play", ms.front());
    std::printf("  %-34s %6.1f MB\n", "RSS, 7 channels open", rssOpen);
    std::printf("  %-34s %6.1f MB\n", "  of which output + channels", rssOpen - rssBefore);
    std::printf("  %-34s %6.2f %% of one core (device %s)\n", "idle CPU, 7 open, 5 s", idleCpu * 100,
                runningWhenIdle ? "running" : "paused");
    std::printf("  (the null sink renders in blocks, so single plays can read a few ms early or late;\n"
                "   a negative figure shows the size of that error, the median is the figure to trust)\n");
    std::printf("  all plays (ms):");
    for (double v : ms)
        std::printf(" %.1f", v);
    std::printf("\n");
    return 0;
}
