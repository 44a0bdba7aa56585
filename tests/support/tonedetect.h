#pragma once

// Finds when pure tones start in a recording of the sound server's output (raw signed 16-bit
// little-endian stereo), so tests can tell which cue sounded when.

#include "sinkrecorder.h"

#include <QByteArray>
#include <QString>
#include <QTest>
#include <cmath>
#include <vector>

namespace tonetest {

struct Recording {
    int rate = 44100;
    std::vector<float> mono; // left and right averaged, in [-1, 1]

    static Recording fromRawS16Stereo(const QByteArray &raw, int rate = 44100)
    {
        Recording r;
        r.rate = rate;
        const auto *s = reinterpret_cast<const qint16 *>(raw.constData());
        const qsizetype frames = raw.size() / 4;
        r.mono.resize(size_t(frames));
        for (qsizetype i = 0; i < frames; ++i)
            r.mono[size_t(i)] = (float(s[2 * i]) + float(s[2 * i + 1])) / 65536.0f;
        return r;
    }

    // Amplitude of one frequency in a window (Goertzel), roughly the tone's peak amplitude.
    double level(double hz, qsizetype start, qsizetype length) const
    {
        const double w = 2.0 * M_PI * hz / rate;
        const double coeff = 2.0 * std::cos(w);
        double s1 = 0, s2 = 0;
        for (qsizetype i = start; i < start + length && i < qsizetype(mono.size()); ++i) {
            const double s0 = mono[size_t(i)] + coeff * s1 - s2;
            s2 = s1;
            s1 = s0;
        }
        const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
        return 2.0 * std::sqrt(std::max(0.0, power)) / double(length);
    }

    // Seconds from the start of the recording to the first moment a tone is clearly present, or
    // -1. Coarse 10 ms windows find it; a 2 ms scan refines the edge.
    double onset(double hz, double from = 0.0, double threshold = 0.05) const
    {
        const qsizetype window = rate / 100;
        for (qsizetype i = qsizetype(from * rate); i + window <= qsizetype(mono.size()); i += window) {
            if (level(hz, i, window) < threshold)
                continue;
            qsizetype edge = std::max<qsizetype>(0, i - window);
            const qsizetype step = rate / 500;
            while (edge < i && level(hz, edge, window) < threshold / 2)
                edge += step;
            return double(edge + window / 2) / rate;
        }
        return -1.0;
    }
    // Seconds from the start of the recording to where a tone that sounds at `from` has gone
    // (10 ms windows), or the recording's length.
    double end(double hz, double from, double threshold = 0.05) const
    {
        const qsizetype window = rate / 100;
        qsizetype i = qsizetype(from * rate);
        while (i + window <= qsizetype(mono.size()) && level(hz, i, window) >= threshold / 2)
            i += window;
        return double(i) / rate;
    }
};

// The null sink's monitor recorded with the sink kept running (sinkrecorder.h), read back as a
// Recording.
class MonitorRecorder : public sinktest::SinkRecorder {
public:
    explicit MonitorRecorder(QString path) : SinkRecorder(std::move(path)) {}

    bool start(const QString &sink)
    {
        const QString failed = SinkRecorder::start(sink);
        if (!failed.isEmpty())
            qWarning("%s", qPrintable(failed));
        return failed.isEmpty();
    }
    Recording recording() const { return Recording::fromRawS16Stereo(bytes()); }
};

} // namespace tonetest
