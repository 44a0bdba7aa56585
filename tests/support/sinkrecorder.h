#pragma once

// The one recorder of a null sink's monitor, for the tests and the benchmarks: parec at low
// latency (the sink otherwise hands out audio in seconds-long blocks) into a raw file (signed
// 16-bit little-endian stereo, 44.1 kHz), started and stopped by its PID.
//
// KeepRunning plays a stream of silence into the sink meanwhile: an idle null sink delivers
// nothing to its monitor, which would squeeze the pauses between sounds out of the recording.
// AsIs leaves the sink idle between sounds, as a sound card with nothing to play is (latency
// measurements want that).
//
// Clocked ties the recording to the steady clock: a thread watches the file grow, and a size of
// B bytes seen at time W means the first sample was captured no later than W - B/rate. A loaded
// machine can drop audio before it reaches the recorder; the earliest such bound around a moment
// (startNear) places a sound recorded then in real time all the same.

#include <QByteArray>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QString>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>
#include <vector>

namespace sinktest {

constexpr int kRate = 44100;
constexpr int kBytesPerFrame = 4;

// Seconds of the steady clock, the clock the Clocked recorder uses.
inline double clockNow()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

class SinkRecorder {
public:
    enum class Sink { KeepRunning, AsIs };
    enum class Timing { Plain, Clocked };
    struct Growth {
        double at;    // when the size was seen
        double start; // the recording's start it implies
    };

    explicit SinkRecorder(QString path, Sink sink = Sink::KeepRunning, Timing timing = Timing::Plain)
        : m_path(std::move(path)), m_keepRunning(sink == Sink::KeepRunning), m_clocked(timing == Timing::Clocked)
    {
    }
    ~SinkRecorder() { stop(); }
    SinkRecorder(const SinkRecorder &) = delete;
    SinkRecorder &operator=(const SinkRecorder &) = delete;

    // Starts recording `sink` (on PULSE_SERVER) and waits, up to 10 s and with the event loop
    // running, for the first recorded bytes. Returns what failed, or an empty string.
    QString start(const QString &sink)
    {
        const QStringList pcm = {QStringLiteral("--format=s16le"), QStringLiteral("--rate=44100"),
                                 QStringLiteral("--channels=2"), QStringLiteral("--latency-msec=10"),
                                 QStringLiteral("--raw")};
        if (m_keepRunning) {
            m_silence.setStandardInputFile(QStringLiteral("/dev/zero"));
            m_silence.start(QStringLiteral("pacat"),
                            QStringList{QStringLiteral("--playback"), QStringLiteral("-d"), sink} + pcm);
            if (!m_silence.waitForStarted(5000))
                return QStringLiteral("pacat (the silence that keeps %1 running) did not start").arg(sink);
        }
        m_process.start(QStringLiteral("parec"), QStringList{QStringLiteral("-d"), sink + QStringLiteral(".monitor")} +
                                                     pcm + QStringList{m_path});
        if (!m_process.waitForStarted(5000))
            return QStringLiteral("parec did not start");
        if (m_clocked) {
            m_growth.reserve(1 << 17);
            m_watching = true;
            m_watcher = std::thread([this] { watch(); });
        }
        const double deadline = clockNow() + 10;
        while (QFileInfo(m_path).size() == 0) {
            if (m_process.state() != QProcess::Running)
                return QStringLiteral("parec ended before recording anything from %1.monitor: %2")
                    .arg(sink, QString::fromLocal8Bit(m_process.readAllStandardError()));
            if (clockNow() > deadline)
                return QStringLiteral("gave up after 10 s waiting for parec to record from %1.monitor").arg(sink);
            pause();
        }
        return {};
    }

    // Frames recorded so far.
    qint64 frames() const { return QFileInfo(m_path).size() / kBytesPerFrame; }

    // Waits until `count` frames are recorded, up to `boundMs`: the recording then holds a
    // sound that reached the sink before the call. False when the bound is hit.
    bool waitForFrames(qint64 count, int boundMs) const
    {
        const double deadline = clockNow() + boundMs / 1000.0;
        while (frames() < count) {
            if (clockNow() > deadline)
                return false;
            pause();
        }
        return true;
    }

    // Ends the recorder and the silence by their PIDs; the file keeps what was recorded.
    void stop()
    {
        for (QProcess *p : {&m_process, &m_silence}) {
            if (p->state() == QProcess::NotRunning)
                continue;
            const auto pid = pid_t(p->processId());
            ::kill(pid, SIGTERM);
            if (!p->waitForFinished(3000)) {
                ::kill(pid, SIGKILL);
                p->waitForFinished(1000);
            }
        }
        m_watching = false;
        if (m_watcher.joinable())
            m_watcher.join();
    }

    QByteArray bytes() const
    {
        QFile f(m_path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QString path() const { return m_path; }

    // Clocked only, after stop(): the growth seen, and the recording's start implied by what was
    // seen between `from` and `to` (the earliest), or a huge value when nothing was.
    const std::vector<Growth> &growth() const { return m_growth; }
    double startNear(double from, double to) const
    {
        double start = 1e300;
        for (const Growth &g : m_growth)
            if (g.at > from && g.at <= to)
                start = std::min(start, g.start);
        return start;
    }
    double earliestStart() const { return startNear(-1e300, 1e300); }

private:
    // A short pause of a wait that keeps the caller's event loop going: a recorder is often
    // started while a workout runs, whose timers must not stall meanwhile.
    static void pause()
    {
        if (QCoreApplication::instance())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }

    void watch()
    {
        const QByteArray name = QFile::encodeName(m_path);
        off_t last = 0;
        while (m_watching) {
            struct stat st {};
            if (::stat(name.constData(), &st) == 0 && st.st_size > last) {
                last = st.st_size;
                const double now = clockNow();
                if (m_growth.size() < m_growth.capacity())
                    m_growth.push_back({now, now - double(st.st_size / kBytesPerFrame) / kRate});
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    }

    QString m_path;
    bool m_keepRunning;
    bool m_clocked;
    QProcess m_process;
    QProcess m_silence;
    std::thread m_watcher;
    std::atomic<bool> m_watching{false};
    std::vector<Growth> m_growth; // written by the watcher, read after it has stopped
};

} // namespace sinktest
