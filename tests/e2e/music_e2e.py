#!/usr/bin/env python3
"""The music of a workout rides out the moments the program gets no CPU at all.

A virtual machine's host, or a laptop's busy hour, now and then takes the CPU from every thread of
a program for up to a tenth of a second, real-time ones included; only what the sound server
already holds of the music plays on meanwhile. Here the real program plays a workout with music
into the null sink and is stopped (SIGSTOP) for a tenth of a second five times, while the sound
server goes on. The music must not break once, and the cue after the stops must still come.

Usage: music_e2e.py --binary path/to/vintra
"""

import argparse
import os
import signal
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_support as e2e  # noqa: E402
from e2e_support import check  # noqa: E402

# Preparation 0:03, work 0:20: START at 0 s, Work at 3 s; nothing else for the next 20 s.
PLAN = ["0", "3", "0", "20", "0", "5", "1", "1"]
TONES = {"Over": 2200, "Rest": 1300, "Start": 400, "Tick": 1900, "Work": 1000, "Music": 700}
MUSIC_AMPLITUDE = 0.3
STOP_SECONDS = 0.1  # each stop of the program
STOPS = 5
WINDOW = e2e.RATE // 200  # gaps are looked for in 5 ms windows


def mixes_into_one_stream(pid):
    """Whether the program's SDL is SDL 3 (loaded by its SDL 2 layer, sdl2-compat): SDL 3 mixes every
    device a program opens on one output into one stream of its own (one sink input, seen holding
    6-9 ms on forky), where SDL 2 gives each device its own stream with its own buffer at the server."""
    with open(f"/proc/{pid}/maps", encoding="utf-8") as maps:
        return "libSDL3" in maps.read()


def music_gaps(heard, start_s, end_s):
    """Runs of 5 ms windows whose loudest sample is under half the music's: [(at, seconds)]."""
    gaps = []
    run = 0
    first = int(start_s * e2e.RATE)
    last = int(end_s * e2e.RATE)
    for i in range(first, last - WINDOW, WINDOW):
        quiet = max(abs(v) for v in heard.mono[i:i + WINDOW]) < MUSIC_AMPLITUDE / 2
        if quiet:
            run += 1
        elif run:
            gaps.append(((i - run * WINDOW) / e2e.RATE, run * WINDOW / e2e.RATE))
            run = 0
    if run:
        gaps.append(((last - run * WINDOW) / e2e.RATE, run * WINDOW / e2e.RATE))
    return gaps


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    args = parser.parse_args()
    e2e.require_desktop()
    binary = os.path.abspath(args.binary)
    check(os.access(binary, os.X_OK), f"{binary} is not an executable")

    with tempfile.TemporaryDirectory(prefix="vintra-e2e-") as tmp, e2e.Processes() as processes:
        paths = []
        for cue in ("Over", "Rest", "Start", "Tick", "Work", "Music"):
            paths.append(os.path.join(tmp, f"{cue.lower()}.wav"))
            if cue == "Music":
                # Over half a minute, so it is streamed from its file as music is.
                e2e.write_tone(paths[-1], TONES[cue], seconds=31, amplitude=MUSIC_AMPLITUDE)
            else:
                e2e.write_tone(paths[-1], TONES[cue])
        config = os.path.join(tmp, "config")
        # Options: on top, music, sound cues.
        e2e.write_settings(config, PLAN + ["1", "1", "1"] + paths)

        print(e2e.sound_server_at_realtime())
        recorder = e2e.MonitorRecorder(processes, os.environ["VINTRA_NULL_SINK"], os.path.join(tmp, "monitor.raw"),
                                      clocked=True)
        with open(os.path.join(tmp, "vintra.log"), "wb") as log:
            program = processes.start([binary], env=e2e.program_environment(config), cwd=tmp,
                                      stdout=log, stderr=log)
        window = e2e.wait_for_window(program)
        if mixes_into_one_stream(program.pid):
            e2e.skip("SDL 3 (under its SDL 2 layer) plays all of a program's devices through one server stream, "
                     "whose buffer is the first device's (the cues' 512 frames): the music's deep buffer then waits "
                     "in the program and stops with it, and the server holds only a few milliseconds of it")
        time.sleep(max(0.0, 2.0 - (time.monotonic() - recorder.started)))

        # The stops must last what they are meant to on a busy machine too: the thread that
        # times them runs at real time, above the program's callback and beside the server.
        try:
            os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(6))
        except OSError as error:
            e2e.skip(f"the stops cannot be timed without real-time priority: {error}")
        e2e.press_start_from_keyboard(window)
        pressed = time.monotonic()
        time.sleep(4.0)  # past the Work cue, the music long under way
        stops = []
        try:
            for _ in range(STOPS):
                os.kill(program.pid, signal.SIGSTOP)
                stopped = time.monotonic()
                time.sleep(STOP_SECONDS)
                os.kill(program.pid, signal.SIGCONT)
                stops.append((stopped - pressed, time.monotonic() - stopped))
                time.sleep(1.0)
        finally:
            os.kill(program.pid, signal.SIGCONT)
            os.sched_setscheduler(0, os.SCHED_OTHER, os.sched_param(0))
        time.sleep(1.0)
        heard = recorder.stop()
        print("stops (s after START, s long): " + ", ".join(f"{at:.2f}/{length:.3f}" for at, length in stops))
        for at, length in stops:
            check(length < 2 * STOP_SECONDS, f"the test meant to stop the program {STOP_SECONDS} s, not {length:.3f} s")

        start = heard.onset(TONES["Start"])
        check(start >= 0, "the Start cue never reached the sound server")
        work = heard.onset(TONES["Work"], start + 2.5)
        check(work >= 0, "the Work cue was not heard")
        # From a second after START, the music under way, to the end of the recording less the
        # time the recorder takes to stop.
        gaps = music_gaps(heard, start + 1.0, heard.seconds() - 0.3)
        print(f"music from {start + 1.0:.2f} to {heard.seconds() - 0.3:.2f} s of the recording; gaps: "
              + (", ".join(f"{at:.3f} s ({length * 1000:.0f} ms)" for at, length in gaps) or "none"))
        check(not gaps, f"the music broke {len(gaps)} times while the program was stopped {STOPS} times for "
              f"{STOP_SECONDS} s")

        e2e.close_through_window_manager(program, window)


if __name__ == "__main__":
    e2e.run_main(main)
