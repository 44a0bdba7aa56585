"""What a blind user hears: Debian's Orca reads the real window while the keyboard walks it.

On an X server with a window manager of its own (tests/support/on-own-x-server.sh --wm), this
starts a session bus, at-spi's bus launcher, speech-dispatcher and Orca, each stopped by its PID
at the end, then the program. It clicks each tab's header and presses Tab until the focus is back
on the tab row. What Orca would say is read from its debug log ("SPEECH OUTPUT" lines); Orca
echoes each Tab key as "tab", so what it says until the next echo is that Tab stop's
announcement. The walk fails on any stop that is silent or does not say its control's name, and
on a plan or file field whose name does not come before its value.

Before the walk, Orca's flat review from START must reach the display and read its phase and
time. After it, a running workout must not chatter: the display's name changes each second,
and Orca must not speak it each second.

  screenreader_e2e.py --binary PATH [--report] [--keep]
  (--report prints every stop and does not fail; --keep keeps Orca's log and prints where)
"""

import argparse
import os
import pty
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import tty

import e2e_support as e2e
from e2e_support import check
import accessibility_e2e as a11y

# Preparation 1 s, work 0:30, rest 0:10, 2 rounds, 1 cycle; not on top, cues and music off (the
# speech is what is listened to); a file in each sound row, so that its name can be heard.
SOUND_FILES = ["over.wav", "rest.wav", "start.wav", "tick.wav", "work.wav", "music.mp3"]
PLAN_VALUES = ["0", "1", "0", "30", "0", "10", "2", "1"]
ORCA_SETTLE = 0.4  # how long Orca's log stays quiet before an announcement counts as complete
STOP_BOUND = 8.0  # how long a Tab stop's announcement may take after Orca's echo of the key
WALK_BOUND = 200.0  # the whole walk over the three tabs, well under the test's time in CTest
KEY_BOUND = 8.0  # how long a key may take to move the focus before it is pressed again


class Stop:
    """One Tab stop as a listener must hear it: its name, and for a field its value after it.
    Orca 43 reads a path field's text one character short on Qt 6.4 (Qt gives a line edit's
    text attributes as empty runs, and Orca splits the line by them); later ones read it whole:
    for a file field the file's name may lack its last character."""

    def __init__(self, name, value=None, last_may_be_cut=False):
        self.name = name
        self.value = value
        self._value = None
        if value is not None:
            pattern = re.escape(value[:-1]) + re.escape(value[-1]) + ("?" if last_may_be_cut else "")
            self._value = re.compile(r"(^|\W)" + pattern + r"($|\W)")

    def __repr__(self):
        return self.name if self.value is None else f"{self.name} = {self.value}"

    def heard_in(self, speech):
        """Whether speech (what Orca said at this stop, joined) names the control and gives its
        value."""
        at = speech.find(self.name)
        if at < 0:
            return False
        return self._value is None or self._value.search(speech[at + len(self.name):]) is not None


def timer_stops():
    stops = [Stop("Старт")]
    stops += [Stop(name, value) for name, value in zip(a11y.PLAN_FIELDS, PLAN_VALUES)]
    return stops + [Stop(n) for n in a11y.OPTIONS] + [Stop(a11y.PROMO)]


def description_stops():
    return [Stop("Описание тренировки Винтра"), Stop("Упражнения"), Stop(a11y.PROMO)]


def settings_stops():
    stops = [Stop(f"Файл: {caption}", file, last_may_be_cut=True) for (_, caption), file in zip(a11y.ROWS, SOUND_FILES)]
    for short in ("Over", "Rest", "Start", "Work", "Tick", "Music"):
        stops += [Stop(f"Прослушать: {short}"), Stop(f"Выбрать файл: {short}")]
    return stops + [Stop(a11y.PROMO)]


# --- speech-dispatcher and Orca ---

def children(pid):
    """The PIDs of a process's children (to stop what a server started, by PID)."""
    found = []
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/children", encoding="utf-8") as f:
                found += [int(p) for p in f.read().split()]
    except (FileNotFoundError, ProcessLookupError):
        pass
    return found


class SpeechServer:
    """speech-dispatcher in the foreground on a socket of its own, with the espeak-ng voice played
    into ALSA's null device: with no sound server, a device that cannot be opened stalls the
    server, and Orca with it, at the first word. What Orca says is in its log either way. Its output modules are its children, stopped by PID
    after it."""

    def __init__(self, processes, tmp, env):
        self._processes = processes
        conf = os.path.join(tmp, "speechd")
        os.makedirs(os.path.join(conf, "modules"))
        shutil.copy("/etc/speech-dispatcher/modules/espeak-ng.conf", os.path.join(conf, "modules"))
        with open(os.path.join(conf, "speechd.conf"), "w", encoding="utf-8") as f:
            f.write('AddModule "espeak-ng" "sd_espeak-ng" "espeak-ng.conf"\n'
                    'DefaultModule espeak-ng\nAudioOutputMethod "alsa"\nAudioALSADevice "null"\n')
        self.socket = os.path.join(tmp, "speechd.sock")
        self.address = f"unix_socket:{self.socket}"
        self._log = open(os.path.join(tmp, "speechd.out"), "wb")
        self._server = processes.start(
            ["speech-dispatcher", "--run-single", "--timeout", "0", "--communication-method", "unix_socket",
             "--socket-path", self.socket, "--config-dir", conf, "--log-dir", tmp,
             "--pid-file", os.path.join(tmp, "speechd.pid")],
            env=env, stdout=self._log, stderr=self._log)
        a11y.wait_for("speech-dispatcher's socket", lambda: self._server.poll() is not None or os.path.exists(self.socket),
                      timeout=60)
        check(self._server.poll() is None, f"speech-dispatcher ended with code {self._server.returncode}")

    def stop(self):
        modules = children(self._server.pid)
        self._processes.stop(self._server)
        for pid in modules:
            a11y.stop_pid(pid)
        self._log.close()


def other_orcas():
    """The PIDs of the Orca processes of this user (Orca names its process "orca")."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/comm", encoding="utf-8") as f:
                if f.read().strip() != "orca":
                    continue
            if os.stat(f"/proc/{pid}").st_uid == os.getuid() and a11y.running(int(pid)):
                found.append(int(pid))
        except (FileNotFoundError, ProcessLookupError):
            pass
    return found


class Orca:
    """Orca with its own preferences, its debug log written to a terminal so that it is line
    buffered (to a file it reaches the disk in blocks, long after it was spoken), read by a
    thread. Only what it says is taken from the log: the rest of its wording changes between
    Orca's versions."""

    # The text is quoted as it stands, and the voice follows: a {...} or a list [{...}].
    LINE = re.compile(r"^\d\d:\d\d:\d\d\.\d+ - SPEECH OUTPUT: '(.*)'(?: voice=\w+)?\s*[\[{]")

    def __init__(self, processes, tmp, env):
        self._lock = threading.Condition()
        self.spoken = []  # what Orca said, in order
        self.lines = 0  # every line of its log so far
        self.last_line_at = time.monotonic()
        self._master, slave = pty.openpty()
        tty.setraw(slave)
        self._raw = open(os.path.join(tmp, "orca-debug.log"), "wb")
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        prefs = os.path.join(tmp, "orca-prefs")
        os.makedirs(prefs)
        # Orca runs once per user: it refuses to start beside another, and "--replace" would kill
        # the other by name. Another test's Orca (or a user's) is waited for instead.
        a11y.wait_for("no other Orca of this user to run", lambda: not other_orcas(), timeout=300, interval=1)
        self._process = processes.start(["orca", "--user-prefs", prefs, "--debug-file", os.ttyname(slave)],
                                        env=env, stdin=subprocess.DEVNULL, stdout=self._raw, stderr=self._raw)
        self._slave = slave

    def _read(self):
        pending = b""
        while True:
            try:
                data = os.read(self._master, 1 << 16)
            except OSError:
                break
            if not data:
                break
            self._raw.write(data)
            pending += data
            *complete, pending = pending.split(b"\n")
            with self._lock:
                for raw in complete:
                    line = raw.decode("utf-8", errors="replace").rstrip("\r")
                    self.lines += 1
                    match = self.LINE.match(line)
                    if match:
                        # A key's echo ends in a space.
                        self.spoken.append(match.group(1).strip())
                self.last_line_at = time.monotonic()
                self._lock.notify_all()

    def wait(self, what, condition, timeout):
        """Waits until condition() holds (checked whenever Orca logs a line); False at the bound."""
        deadline = time.monotonic() + timeout
        with self._lock:
            while not condition():
                left = deadline - time.monotonic()
                if left <= 0 or self._process.poll() is not None:
                    check(self._process.poll() is None, f"Orca ended with code {self._process.returncode} ({what})")
                    return False
                self._lock.wait(min(left, 0.2))
        return True

    def settle(self, timeout=10.0):
        """Waits until Orca has logged nothing for a moment: the events it had queued are done."""
        self.wait("Orca to settle", lambda: time.monotonic() - self.last_line_at >= ORCA_SETTLE, timeout)

    def says(self, what, since, timeout):
        """Waits until what Orca said after its first since things contains what; False at the
        bound."""
        return self.wait(f"Orca to say {what!r}", lambda: what in " ".join(self.said_since(since)), timeout)

    def said_since(self, index):
        with self._lock:
            return list(self.spoken[index:])

    def count(self):
        with self._lock:
            return len(self.spoken)

    def stop(self):
        e2e.Processes.stop(self._process)
        os.close(self._slave)
        self._reader.join(5)
        os.close(self._master)
        self._raw.close()


# --- the walk ---

def click_tab(window, tab):
    ext = window.named(a11y.PAGE_TAB, re.escape(tab)).get_extents(window.atspi.CoordType.SCREEN)
    e2e.x("xdotool", "mousemove", str(ext.x + ext.width // 2), str(ext.y + ext.height // 2), "click", "1")


def press(x_window, key, what, moved, tries=3):
    """Presses key until moved() holds, KEY_BOUND each time, at most tries times. Qt 6.4 hands each
    key to the screen reader before the window and waits 100 ms for its answer; a late answer is
    matched to the wrong key, and a key can be lost (seen at a load of 13: a Tab that never
    moved the focus)."""
    for attempt in range(tries):
        if attempt:
            print(f"{what}: not within {KEY_BOUND:.0f} s, {key} pressed again")
        a11y.key(x_window, key)
        try:
            return a11y.wait_for(what, moved, timeout=KEY_BOUND)
        except e2e.Failure:
            pass
    raise e2e.Failure(f"{what}: not after {tries} presses of {key}")


def walk_tab(window, x_window, orca, tab, stops, walk_ends):
    """Clicks the tab's header, then presses Tab once per stop and once more back to the tab row.
    Each stop is printed as it is judged. Returns [(stop, what Orca said there)]; fails when the
    walk is still going at walk_ends (time.monotonic())."""
    clicked = orca.count()
    row = (a11y.PAGE_TAB_LIST, tab)
    shown = window.focused() == row
    click_tab(window, tab)
    a11y.wait_for(f"the tab row showing {tab} to have the focus", lambda: window.focused() == row, timeout=20)
    if not shown:
        orca.says(tab, clicked, timeout=20)
    orca.settle()
    heard = []
    candidates = window.focusable()
    for stop in stops + [Stop(tab)]:
        check(time.monotonic() < walk_ends, f"the walk took too long: it had reached {tab}: {stop!r}")
        start = orca.count()
        before = window.focused(candidates)
        press(x_window, "Tab", f"the focus to move on from {before} with Tab",
              lambda: window.focused(candidates) not in (None, before))
        check(orca.wait("Orca's echo of Tab", lambda: "tab" in orca.said_since(start), timeout=20),
              f"Orca did not echo the Tab key that moved the focus to {window.focused(candidates)}")
        echo = start + orca.said_since(start).index("tab")
        # Until the stop is heard, or a listener would have given up on it; then the rest of what
        # Orca had queued.
        orca.wait(f"Orca to say {stop!r}", lambda: stop.heard_in(" ".join(orca.said_since(echo + 1))),
                  timeout=STOP_BOUND)
        orca.settle()
        said = orca.said_since(echo + 1)
        print(f"{'ok ' if stop.heard_in(' '.join(said)) else 'BAD'} {tab:10} {stop!r:60} {said}")
        heard.append((stop, said))
    return heard


def review_key(x_window, orca, key):
    """A review key as a person presses it: down, held until Orca has answered, then up. Orca 51
    carries a review on only while the key event before the command is the last review command
    or its release; xdotool's press and release back to back let the release of this key be
    counted first, and each line then started a new review at START. Returns whether Orca spoke.
    (xdotool sends the key to the window, and such keys do not repeat while held.)"""
    before = orca.count()
    e2e.x("xdotool", "keydown", "--window", str(x_window), key)
    try:
        return orca.wait("Orca's flat review", lambda: orca.count() > before, timeout=10)
    finally:
        e2e.x("xdotool", "keyup", "--window", str(x_window), key)


def review_from_start(window, x_window, orca):
    """From the tab row: Tab to START, then Orca's flat review upwards (the keypad's 8 reads the
    line under review, 7 the line above) until it reads the display, or is silent at the top.
    Back to the tab row. Returns the lines read, and whether the display was among them."""
    pressed = orca.count()
    press(x_window, "Tab", "START to have the focus", lambda: window.focused() == (a11y.PUSH_BUTTON, "Старт"))
    orca.says("Старт", pressed, timeout=20)
    orca.settle()
    lines = []
    reached = False
    for key in ["KP_Up"] + ["KP_Home"] * 8:
        before = orca.count()
        said = review_key(x_window, orca, key)
        orca.settle()
        lines.append(" ".join(orca.said_since(before)))
        reached = re.search(r"Тренировка: \d\d:\d\d", lines[-1]) is not None
        if reached or not said:
            break
    # Back to the tab row, where the walk begins (a click on a tab's header takes no focus).
    press(x_window, "shift+Tab", "the tab row to have the focus again",
          lambda: window.focused() == (a11y.PAGE_TAB_LIST, "Таймер"))
    orca.settle()
    return lines, reached


def check_display_on_demand(window, x_window, orca):
    """From START, Orca's flat review reaches the display and reads its phase and time, and reads
    the counters beside START with their numbers. Done
    before the other tabs are visited: Qt tells no reader that a tab's controls show again, and
    Orca, which remembers them hidden, leaves them out of flat review afterwards."""
    # The window's first focus is the timer tab's row. Orca says so once it has caught up with
    # the window's start; before that, a late event may move its review (seen under load: to the
    # tab row, which has no line above it).
    check(orca.says("Таймер", 0, timeout=30), "Orca did not speak the window's first focus, the timer tab's row")
    a11y.wait_for("the timer tab's row to have the focus", lambda: window.focused() == (a11y.PAGE_TAB_LIST, "Таймер"),
                  timeout=20)
    orca.settle()
    lines, reached = review_from_start(window, x_window, orca)
    if not reached:
        # Once more, in case Orca's review was still moved by an event of the window's start.
        print(f"flat review from START did not reach the display: {lines}; once more")
        lines, reached = review_from_start(window, x_window, orca)
    check(reached, f"Orca's flat review from START did not reach the display: {lines}")
    print(f"flat review from START: {lines}")
    counters = [c for c in ("Раунды", "Vintras") if not re.search(c + r": \d\d", " ".join(lines))]
    check(not counters, f"flat review read the counters {counters} without their numbers: {lines}")


def check_workout_is_quiet(window, x_window, orca):
    """START from the keyboard; while the display counts down (its name changes each second),
    Orca says nothing about each second. (That START became "Стоп" is said with Qt 6.8 and
    Orca 48; Qt 6.4 sends a name change with the object instead of the new name, and Orca 43
    fails on it.)"""
    click_tab(window, "Таймер")
    a11y.wait_for("the timer tab's row to have the focus", lambda: window.focused() == (a11y.PAGE_TAB_LIST, "Таймер"),
                  timeout=20)
    orca.settle()
    press(x_window, "Tab", "START to have the focus", lambda: window.focused() == (a11y.PUSH_BUTTON, "Старт"))
    orca.settle()
    start = orca.count()
    # Once only: a second press would stop the workout again.
    a11y.key(x_window, "space")
    a11y.wait_for("the work phase", lambda: any(n.startswith("Работа: ") for r, n, _, _ in window.controls()),
                  timeout=20)
    shown = set()

    def display():
        shown.add(window.named(a11y.LABEL, r"(Подготовка|Работа|Отдых): \d\d:\d\d").get_name())
        return len(shown) >= 4

    a11y.wait_for("the display to count four seconds", display, timeout=20)
    orca.settle()
    said = orca.said_since(start)
    ticks = [s for s in said if re.search(r"\d\d:\d\d", s)]
    print(f"while the display read {sorted(shown)}, Orca said {said}")
    check(not ticks, f"Orca read the display out on its own while it counted: {ticks}")
    return said


def judge(heard):
    """The stops not heard with their names, as lines of a failure."""
    return [f"{tab}: {stop!r} heard as {said}" for tab, stops in heard for stop, said in stops
            if not stop.heard_in(" ".join(said))]


def start(processes, binary, tmp):
    bus = a11y.AccessibilityBus(processes)
    os.environ["DBUS_SESSION_BUS_ADDRESS"] = bus.session_address
    os.environ.pop("AT_SPI_BUS_ADDRESS", None)
    # What a desktop's accessibility settings say when the user turned the screen reader on.
    bus.set_screen_reader_enabled()
    a11y.Atspi.init()
    home = os.path.join(tmp, "home")
    env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, "config"),
               XDG_DATA_HOME=os.path.join(home, "data"), XDG_CACHE_HOME=os.path.join(home, "cache"),
               XDG_RUNTIME_DIR=tmp, GSETTINGS_BACKEND="memory", LANG="C.UTF-8")
    os.makedirs(env["XDG_CONFIG_HOME"])
    speechd = SpeechServer(processes, tmp, env)
    env["SPEECHD_ADDRESS"] = speechd.address
    orca = Orca(processes, tmp, env)
    check(orca.wait("Orca to start", lambda: orca.count() > 0, timeout=60), "Orca said nothing within 60 s")

    sounds = os.path.join(tmp, "sounds")
    os.makedirs(sounds)
    for name in SOUND_FILES:
        e2e.write_tone(os.path.join(sounds, name), 440, seconds=0.1)
    plan = PLAN_VALUES + ["0", "0", "0"] + [os.path.join(sounds, n) for n in SOUND_FILES]
    config = os.path.join(tmp, "config")
    e2e.write_settings(config, plan)
    program_env = e2e.program_environment(config)
    program_env.update(DBUS_SESSION_BUS_ADDRESS=bus.session_address, SDL_AUDIODRIVER="dummy")
    program_env.pop("AT_SPI_BUS_ADDRESS", None)
    log = open(os.path.join(tmp, "vintra.log"), "wb")
    program = processes.start([binary], env=program_env, cwd=tmp, stdout=log, stderr=log)
    log.close()
    x_window = e2e.wait_for_window(program)
    window = a11y.Window(a11y.Atspi, program)
    bus.remember_registry()
    return bus, speechd, orca, program, x_window, window


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--report", action="store_true", help="print every stop and do not fail")
    parser.add_argument("--keep", action="store_true", help="keep the logs (their folder is printed)")
    args = parser.parse_args()
    # Each stop is printed as it is judged: a run cut short by CTest still shows how far it got.
    sys.stdout.reconfigure(line_buffering=True)
    if not os.environ.get("DISPLAY"):
        e2e.skip("needs an X server (DISPLAY unset)")
    for tool in ("orca", "speech-dispatcher", "dbus-daemon", "xdotool"):
        check(shutil.which(tool), f"{tool} is missing (scripts/install-packages.sh test installs it)")
    # What Orca says is judged, not how it logs the rest; still, say which Orca said it.
    version = subprocess.run(["orca", "--version"], capture_output=True, text=True, timeout=60).stdout.strip()
    print(version or "orca --version said nothing")
    tmp = tempfile.mkdtemp(prefix="vintra-orca-")
    try:
        with e2e.Processes() as processes:
            bus = speechd = orca = None
            try:
                bus, speechd, orca, program, x_window, window = start(processes, args.binary, tmp)
                a11y.give_focus(x_window)
                check_display_on_demand(window, x_window, orca)
                walk_ends = time.monotonic() + WALK_BOUND
                heard = [(tab, walk_tab(window, x_window, orca, tab, stops, walk_ends))
                         for tab, stops in (("Таймер", timer_stops()), ("Описание", description_stops()),
                                            ("Настройки", settings_stops()))]
                bad = judge(heard)
                total = sum(len(s) for _, s in heard)
                print(f"{total - len(bad)} of {total} Tab stops spoken with their names")
                if not args.report:
                    check(not bad, "silent or nameless Tab stops:\n  " + "\n  ".join(bad))
                check_workout_is_quiet(window, x_window, orca)
                e2e.check_single_window(program)
            finally:
                for server in (orca, speechd, bus):
                    if server:
                        server.stop()
    finally:
        if args.keep:
            print(f"logs in {tmp}")
        else:
            shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    e2e.run_main(main)
