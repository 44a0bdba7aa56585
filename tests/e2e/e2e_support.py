"""Helpers for the end-to-end tests: they drive the real vintra executable under the X server,
window manager and PulseAudio null sink that scripts/test.sh provides, the way a user would, and
look at what the user would see and hear.

Standard library only. Every process is started through Processes, which stops each one by its
PID when the test ends, also when it fails.
"""

import array
import math
import os
import shutil
import subprocess
import sys
import threading
import time
import wave

SKIP = 77  # CTest SKIP_RETURN_CODE
RATE = 44100
TITLE = "Интервальный таймер Винтра Зелк - 1.51"
# The three lights of the display panel.
LIGHTS = {"yellow": (255, 255, 0), "green": (128, 255, 0), "red": (255, 0, 0)}


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def skip(reason):
    print(f"SKIPPED: {reason}")
    sys.exit(SKIP)


def require_desktop():
    """Skips the test unless the X server and the null sink of the test command are there."""
    missing = [v for v in ("DISPLAY", "PULSE_SERVER", "VINTRA_NULL_SINK") if not os.environ.get(v)]
    if missing:
        skip(f"needs the X server and PulseAudio null sink that scripts/test.sh starts ({', '.join(missing)} unset)")
    tools = [t for t in ("xdotool", "wmctrl", "xprop", "import", "parec", "pacat") if not shutil.which(t)]
    if tools:
        skip(f"missing tools: {' '.join(tools)} (scripts/setup.sh installs them)")
    check(window_manager_present(),
          f"no window manager runs on DISPLAY={os.environ['DISPLAY']}: keyboard focus and closing "
          "through the frame need one (scripts/test-env.sh starts openbox)")


def window_manager_present():
    out = subprocess.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"],
                         capture_output=True, text=True, timeout=10).stdout
    return "window id" in out


def run_main(body):
    """Runs a test body and turns its outcome into an exit code."""
    try:
        body()
    except Failure as failure:
        print(f"FAILED: {failure}")
        sys.exit(1)
    print("PASSED")
    sys.exit(0)


class Processes:
    """Starts processes and stops each of them by its PID on exit."""

    def __init__(self):
        self._started = []

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for process in reversed(self._started):
            self.stop(process)
        return False

    def start(self, args, **kwargs):
        process = subprocess.Popen(args, **kwargs)
        self._started.append(process)
        return process

    @staticmethod
    def stop(process, timeout=5.0):
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


# --- files ---

def write_tone(path, hz, seconds=0.4, amplitude=0.5):
    """A stereo 16-bit pure tone with 5 ms ramps, so its edges do not click across the spectrum."""
    frames = int(seconds * RATE)
    ramp = int(0.005 * RATE)
    samples = array.array("h")
    for i in range(frames):
        gain = min(1.0, i / ramp, (frames - 1 - i) / ramp)
        value = int(32767 * amplitude * gain * math.sin(2 * math.pi * hz * i / RATE))
        samples.extend((value, value))
    with wave.open(str(path), "wb") as out:
        out.setnchannels(2)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(samples.tobytes())


def settings_bytes(lines):
    """The settings file as the program writes it: one value a line, CR LF, Windows-1251."""
    check(len(lines) == 17, "a settings file has 17 lines")
    return "".join(line + "\r\n" for line in lines).encode("cp1251")


def settings_path(config_home):
    return os.path.join(config_home, "zelk-soft", "vintra", "timer.ini")


def write_settings(config_home, lines):
    path = settings_path(config_home)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(settings_bytes(lines))
    # An old time stamp tells afterwards whether the close really wrote the file.
    os.utime(path, (946684800, 946684800))
    return path


def check_settings_rewritten(config_home, lines):
    path = settings_path(config_home)
    check(os.path.getmtime(path) > time.time() - 120, "closing the window did not write the settings file")
    with open(path, "rb") as f:
        written = f.read()
    expected = settings_bytes(lines)
    check(written == expected, f"settings file after close:\n{written!r}\nexpected:\n{expected!r}")


# --- the program's window ---

def program_environment(config_home):
    env = dict(os.environ)
    env["XDG_CONFIG_HOME"] = config_home
    env["QT_QPA_PLATFORM"] = "xcb"
    # Let SDL find the sound server as it would on a desktop.
    env.pop("SDL_AUDIODRIVER", None)
    return env


def x(*args):
    return subprocess.run(args, capture_output=True, text=True, timeout=15)


def visible_windows(pid):
    out = x("xdotool", "search", "--onlyvisible", "--pid", str(pid))
    return [int(w) for w in out.stdout.split()]


def window_name(window):
    return x("xdotool", "getwindowname", str(window)).stdout.strip()


def wait_for_window(process, timeout=15.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        check(process.poll() is None, f"the program ended at start-up with code {process.returncode}")
        for window in visible_windows(process.pid):
            if window_name(window) == TITLE:
                return window
        time.sleep(0.1)
    raise Failure(f"no window titled {TITLE!r} appeared within {timeout:.0f} s")


def check_single_window(process):
    """An error box would be a second top-level window of the program."""
    others = [window_name(w) for w in visible_windows(process.pid) if window_name(w) != TITLE]
    check(not others, f"the program showed other windows (an error box?): {others}")


def net_wm_state(window):
    return x("xprop", "-id", str(window), "_NET_WM_STATE").stdout


def press_start_from_keyboard(window):
    """At start the focus is on the tab row; one Tab moves it to START, Space presses it."""
    x("xdotool", "windowactivate", "--sync", str(window))
    x("xdotool", "key", "--clearmodifiers", "Tab")
    x("xdotool", "key", "--clearmodifiers", "space")


def close_through_window_manager(process, window, timeout=10.0):
    x("wmctrl", "-i", "-c", hex(window))
    try:
        process.wait(timeout)
    except subprocess.TimeoutExpired:
        raise Failure("the window did not close when the window manager asked it to")
    check(process.returncode == 0, f"the program ended with code {process.returncode}")


# --- what the user sees ---

def screenshot(window):
    """(width, height, RGB bytes) of the window's client area."""
    out = subprocess.run(["import", "-silent", "-window", str(window), "-depth", "8", "ppm:-"],
                         capture_output=True, timeout=15)
    check(out.returncode == 0, f"import failed: {out.stderr.decode(errors='replace')}")
    data = out.stdout
    # Binary PPM: "P6" width height maxval, each followed by one whitespace byte.
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    check(fields[0] == b"P6", "import did not give a PPM image")
    width, height = int(fields[1]), int(fields[2])
    return width, height, data[pos + 1:pos + 1 + width * height * 3]


def lit_area(shot, colour):
    """Pixel count of exactly this colour, and the bounding box (x0, y0, x1, y1) of the rows that
    hold at least 100 such pixels: a lit panel, not a small picture of the same colour."""
    width, height, rgb = shot
    key = bytes(colour)
    count, x0, y0, x1, y1 = 0, width, height, -1, -1
    row_bytes = width * 3
    for y in range(height):
        row = rgb[y * row_bytes:(y + 1) * row_bytes]
        xs = []
        pos = row.find(key)
        while pos >= 0:
            if pos % 3:  # a match across two pixels
                pos = row.find(key, pos + 1)
                continue
            xs.append(pos // 3)
            pos = row.find(key, pos + 3)
        count += len(xs)
        if len(xs) >= 100:
            x0, x1 = min(x0, xs[0]), max(x1, xs[-1])
            y0, y1 = min(y0, y), max(y1, y)
    return count, (x0, y0, x1, y1)


def light_shown(shot):
    """Which light fills the display panel, or None. The display is 401 x 193 with a 1 px outline;
    a lit panel shows its colour over most of that, around the texts drawn on it."""
    for name, colour in LIGHTS.items():
        count, (x0, y0, x1, y1) = lit_area(shot, colour)
        if count < 399 * 191 // 2:
            continue
        size = (x1 - x0 + 1, y1 - y0 + 1)
        check(395 <= size[0] <= 401 and 187 <= size[1] <= 193,
              f"the {name} light covers {size[0]} x {size[1]} px, not the whole display")
        return name
    return None


# --- what the user hears ---

def sound_server_at_realtime():
    """Puts the PulseAudio server of PULSE_SERVER at SCHED_FIFO 5, the priority rtkit gives it
    on a desktop. At an ordinary priority a busy machine starves the server itself, which then
    stretches and drops cues before they reach the recorder, and a test would blame the program.
    (A PipeWire server asks for real time itself.) Returns what was done, for the log."""
    address = os.environ.get("PULSE_SERVER", "")
    if not address.startswith("unix:"):
        return "no PulseAudio server of our own to raise"
    try:
        with open(os.path.join(os.path.dirname(address[len("unix:"):]), "pid")) as f:
            pid = int(f.read().strip())
    except (OSError, ValueError):
        return "the PulseAudio server left no PID file; left as it is"
    done = subprocess.run(["chrt", "-a", "-f", "-p", "5", str(pid)], capture_output=True, text=True)
    if done.returncode != 0:
        return f"the PulseAudio server stays at an ordinary priority: {done.stderr.strip()}"
    return f"the PulseAudio server (pid {pid}) runs at SCHED_FIFO 5"


class MonitorRecorder:
    """Records the null sink's monitor with a low-latency recorder. A stream of silence keeps the
    sink running: an idle null sink hands nothing to its monitor, which would squeeze the pauses
    between cues out of the recording."""

    def __init__(self, processes, sink, path, env=None, clocked=False):
        """env: the environment of the recorder, to reach another server than PULSE_SERVER.
        clocked: note the clock at every read of the recording, so that the times of the
        recording (Recording.wall) stay right where a loaded machine makes the server drop
        audio before it reaches the recorder."""
        self.path = path
        self._reads = []  # (clock, frames recorded so far)
        pcm = ["--format=s16le", f"--rate={RATE}", "--channels=2", "--latency-msec=10", "--raw"]
        with open("/dev/zero", "rb") as zero:
            self._silence = processes.start(["pacat", "--playback", "-d", sink] + pcm, stdin=zero, env=env)
        if not clocked:
            self._recorder = processes.start(["parec", "-d", sink + ".monitor"] + pcm + [path], env=env)
            self._reader = None
        else:
            self._recorder = processes.start(["parec", "-d", sink + ".monitor"] + pcm, env=env,
                                             stdout=subprocess.PIPE)
            self._reader = threading.Thread(target=self._read, daemon=True)
            self._reader.start()
        self.started = time.monotonic()

    def _read(self):
        total = 0
        with open(self.path, "wb") as out:
            while True:
                data = os.read(self._recorder.stdout.fileno(), 1 << 16)
                now = time.monotonic()
                if not data:
                    break
                out.write(data)
                total += len(data)
                self._reads.append((now, total // 4))

    def end(self):
        """Stops the recorder and the silence by their PIDs; returns the clocked reads (clock,
        frames recorded so far), or None."""
        Processes.stop(self._recorder)
        Processes.stop(self._silence)
        if self._reader:
            self._reader.join(10)
            self._recorder.stdout.close()
        return self._reads if self._reader else None

    def stop(self):
        self.end()
        samples = array.array("h")
        with open(self.path, "rb") as f:
            samples.frombytes(f.read()[: (os.path.getsize(self.path) // 4) * 4])
        if sys.byteorder != "little":
            samples.byteswap()
        return Recording([(samples[i] + samples[i + 1]) / 65536.0 for i in range(0, len(samples), 2)],
                         self._reads if self._reader else None)


class Recording:
    def __init__(self, mono, reads=None):
        self.mono = mono
        self._reads = reads

    def missing_seconds(self):
        """How much shorter the recording is than the time it was recorded over (clocked only)."""
        if not self._reads or len(self._reads) < 2:
            return 0.0
        (t0, f0), (t1, f1) = self._reads[0], self._reads[-1]
        return (t1 - t0) - (f1 - f0) / RATE

    def wall(self, seconds):
        """When a moment of the recording (seconds from its start) happened, on the monotonic
        clock less a constant delay; without clocked reads, the recording's own seconds. Each read
        in the half second after the moment says it happened no later than "read time - the
        frames that followed it / rate"; the earliest of these is kept, as a late read only ever
        adds delay."""
        if not self._reads:
            return seconds
        frame = int(seconds * RATE)
        first = next((t for t, total in self._reads if total >= frame), None)
        check(first is not None, f"{seconds:.3f} s is beyond the recording")
        return min(t - (total - frame) / RATE for t, total in self._reads if total >= frame and t <= first + 0.5)

    def seconds(self):
        return len(self.mono) / RATE

    def level(self, hz, start, length):
        """Amplitude of one frequency in a window (Goertzel), about the tone's peak amplitude."""
        coeff = 2.0 * math.cos(2.0 * math.pi * hz / RATE)
        s1 = s2 = 0.0
        for value in self.mono[start:start + length]:
            s1, s2 = value + coeff * s1 - s2, s1
        power = s1 * s1 + s2 * s2 - coeff * s1 * s2
        return 2.0 * math.sqrt(max(0.0, power)) / length

    def onset(self, hz, after=0.0, threshold=0.2):
        """Seconds to the first moment the tone is clearly present, or -1. Coarse 10 ms windows find
        it; a 1 ms scan back refines the edge."""
        window = RATE // 100
        i = int(after * RATE)
        while i + window <= len(self.mono):
            if self.level(hz, i, window) >= threshold:
                edge = max(0, i - window)
                while edge < i and self.level(hz, edge, window) < threshold / 2:
                    edge += RATE // 1000
                return (edge + window / 2) / RATE
            i += window
        return -1.0

    def rms(self, start_s, length_s):
        a, b = int(start_s * RATE), int((start_s + length_s) * RATE)
        part = self.mono[a:b]
        return math.sqrt(sum(v * v for v in part) / len(part)) if part else 0.0

    def first_sound(self, after=0.0, threshold=0.01):
        window = RATE // 100
        i = int(after * RATE)
        while i + window <= len(self.mono):
            if max(abs(v) for v in self.mono[i:i + window]) >= threshold:
                return i / RATE
            i += window
        return -1.0
