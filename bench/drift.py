#!/usr/bin/env python3
"""Records a whole workout at the null sink's monitor, then finds the cues in the recording and
prints the time from the first sample of the Start cue to the first sample of the Over cue.

    drift.py record <null sink> recording.raw seconds
    drift.py analyse recording.raw start_hz over_hz [other_hz ...]

record runs the tests' recorder of the sink's monitor (tests/e2e/e2e_support.py: raw s16le stereo,
44100 Hz, 10 ms latency, the sink kept running by a stream of silence) for the given time,
stopping it by its PID, and notes the monotonic clock at every read beside the recording
(recording.raw.times).
Each cue must be a pure tone of its own frequency, separated from the next by silence.

The span is measured twice. span_s counts samples between the two onsets; it is exact only if the
sound server delivers every sample once, and it does not when a new stream makes the sink rewind
what it had already rendered (the monitor then hands the re-rendered audio over again). wall_s
anchors each onset to the clock instead: the reads that follow it within half a second each
give "read time - frames still ahead of it / rate", and the earliest of these is taken, since a
late read only ever adds delay. The constant delay of the monitor cancels in the difference.

analyse prints one line:
    start_s=... over_s=... span_s=... wall_s=... cues=<hz>:<count>,...
and exits with 1 when the Start or the Over cue is missing.
"""
import array
import math
import os
import signal
import sys
import time

RATE = 44100
BLOCK = 441            # 10 ms
THRESHOLD = 300        # of 32767; the keep-alive stream is digital silence, the tones far louder
GAP_BLOCKS = 5         # silence of 50 ms or more separates two cues


def goertzel_power(samples, start, count, hz):
    coeff = 2.0 * math.cos(2.0 * math.pi * hz / RATE)
    s1 = s2 = 0.0
    for x in samples[start:start + count]:
        s0 = x + coeff * s1 - s2
        s2, s1 = s1, s0
    return s1 * s1 + s2 * s2 - coeff * s1 * s2


def find_cues(left, tones):
    """Returns [(onset sample, tone hz)] for every burst of sound in the recording."""
    cues = []
    quiet = GAP_BLOCKS
    for b in range(0, len(left) // BLOCK):
        block = left[b * BLOCK:(b + 1) * BLOCK]
        loud = max(block) > THRESHOLD or -min(block) > THRESHOLD
        if loud and quiet >= GAP_BLOCKS:
            onset = b * BLOCK + next(i for i, x in enumerate(block) if abs(x) > THRESHOLD)
            length = min(2205, len(left) - onset)  # the first 50 ms tell the tone
            hz = max(tones, key=lambda f: goertzel_power(left, onset, length, f))
            cues.append((onset, hz))
        quiet = 0 if loud else quiet + 1
    return cues


def record(sink, path, seconds):
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'e2e'))
    import e2e_support as e2e

    # Stopped by its PID, it stops what it started by theirs.
    def stop(*_):
        raise SystemExit(1)
    signal.signal(signal.SIGTERM, stop)
    with e2e.Processes() as processes:
        recorder = e2e.MonitorRecorder(processes, sink, path, clocked=True)
        time.sleep(seconds)  # the recording's length
        reads = recorder.end()
    with open(path + '.times', 'w') as times:
        for now, frames in reads:
            times.write('%d %.6f\n' % (frames, now))
    return 0


def wall_time(frame, reads):
    """Clock time of a frame from the reads that delivered it or followed it within 0.5 s."""
    estimates = [t - (end - frame) / RATE for end, t in reads if frame < end <= frame + RATE // 2]
    return min(estimates) if estimates else float('nan')


def analyse(path, start_hz, over_hz, others):
    tones = [start_hz, over_hz] + others
    pcm = array.array('h')
    with open(path, 'rb') as f:
        pcm.frombytes(f.read())
    if sys.byteorder != 'little':
        pcm.byteswap()
    left = pcm[0::2]
    cues = find_cues(left, tones)
    counts = ','.join('%g:%d' % (hz, sum(1 for _, h in cues if h == hz)) for hz in tones)
    starts = [t for t, hz in cues if hz == start_hz]
    overs = [t for t, hz in cues if hz == over_hz]
    if not starts or not overs:
        print('start_s=nan over_s=nan span_s=nan wall_s=nan cues=%s' % counts)
        return 1
    start, over = starts[0], overs[-1]
    wall = float('nan')
    if os.path.exists(path + '.times'):
        with open(path + '.times') as f:
            reads = [(int(a), float(b)) for a, b in (line.split() for line in f)]
        wall = wall_time(over, reads) - wall_time(start, reads)
    print('start_s=%.4f over_s=%.4f span_s=%.4f wall_s=%.4f cues=%s'
          % (start / RATE, over / RATE, (over - start) / RATE, wall, counts))
    return 0


def main():
    if len(sys.argv) == 5 and sys.argv[1] == 'record':
        return record(sys.argv[2], sys.argv[3], float(sys.argv[4]))
    if len(sys.argv) >= 5 and sys.argv[1] == 'analyse':
        return analyse(sys.argv[2], float(sys.argv[3]), float(sys.argv[4]), [float(a) for a in sys.argv[5:]])
    sys.exit(__doc__)


if __name__ == '__main__':
    sys.exit(main())
