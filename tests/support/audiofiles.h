#pragma once

// Small sound files for the audio tests, written with libsndfile into a test's temporary folder.

#include <QFile>
#include <QString>
#include <QtTest>
#include <sndfile.h>

#include <cmath>
#include <functional>
#include <vector>

namespace audiotest {

// Writes `frames` frames; `sample(frame, channel)` gives each value in [-1, 1].
inline bool writeSound(const QString &path, int format, int rate, int channels, qint64 frames,
                       const std::function<float(qint64, int)> &sample)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE *f = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!f) {
        qWarning("sf_open(%s): %s", qPrintable(path), sf_strerror(nullptr));
        return false;
    }
    std::vector<float> block(size_t(4096) * size_t(channels));
    for (qint64 done = 0; done < frames;) {
        const qint64 n = std::min<qint64>(4096, frames - done);
        for (qint64 i = 0; i < n; ++i)
            for (int c = 0; c < channels; ++c)
                block[size_t(i * channels + c)] = sample(done + i, c);
        if (sf_writef_float(f, block.data(), n) != n) {
            sf_close(f);
            return false;
        }
        done += n;
    }
    return sf_close(f) == 0;
}

// A 16-bit mono WAV holding one constant value: easy to find again, exactly, in a mix.
inline bool writeLevel(const QString &path, qint64 frames, float level, int rate = 44100)
{
    return writeSound(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, rate, 1, frames, [level](qint64, int) { return level; });
}

// A pure tone; `phase` M_PI / 2 starts it at its peak, so that its first sample already stands out
// of silence (what the latency benchmarks time).
inline bool writeTone(const QString &path, double seconds, double hz, float amplitude = 0.5f, int rate = 44100,
                      int channels = 1, int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16, double phase = 0)
{
    const auto frames = qint64(std::llround(seconds * rate));
    return writeSound(path, format, rate, channels, frames, [=](qint64 i, int) {
        return amplitude * float(std::sin(2.0 * M_PI * hz * double(i) / rate + phase));
    });
}

inline bool writePeakStartTone(const QString &path, double seconds, double hz)
{
    return writeTone(path, seconds, hz, 0.5f, 44100, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, M_PI / 2);
}

// Resident memory of this process in kB.
inline qint64 residentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

} // namespace audiotest
