#!/usr/bin/env python3
"""Finds the cues in a recording of a whole workout and prints the time from the first sample of
the Start cue to the first sample of the Over cue.

    drift.py recording.raw start_hz over_hz [other_hz ...]

The recording is raw s16le stereo at 44100 Hz, as parec writes it. Each cue must be a pure tone of
its own frequency, separated from the next by silence. Prints one line:
    start_s=... over_s=... span_s=... cues=<hz>:<count>,...
Exit status 1 when the Start or the Over cue is missing.
"""
import array
import math
import sys

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


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    path, start_hz, over_hz = sys.argv[1], float(sys.argv[2]), float(sys.argv[3])
    tones = [start_hz, over_hz] + [float(a) for a in sys.argv[4:]]
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
        print('start_s=nan over_s=nan span_s=nan cues=%s' % counts)
        return 1
    start, over = starts[0] / RATE, overs[-1] / RATE
    print('start_s=%.4f over_s=%.4f span_s=%.4f cues=%s' % (start, over, over - start, counts))
    return 0


if __name__ == '__main__':
    sys.exit(main())
