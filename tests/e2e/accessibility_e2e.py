"""The window as a screen reader meets it: the built program on an X server (tst_accessibility
gives it one of its own, so that no other window takes the keyboard), with the accessibility bus
of a desktop session (a session bus and at-spi2's bus launcher of its own, started here and
stopped by PID), read through AT-SPI as a screen reader reads it.

Checks the role and name of every control on each tab, that the names of the display, the
counters and the workout buttons follow their texts through a workout, and that Tab visits the
controls in the window's keyboard order.
"""

import argparse
import os
import re
import select
import shutil
import subprocess
import tempfile
import time
import warnings

import gi

import e2e_support as e2e
from e2e_support import check

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402  (the version is chosen first)

# Roles are compared by their values: their names differ between at-spi versions ("push button"
# in 2.46, "button" in 2.56).
TEXT, LABEL, PUSH_BUTTON, CHECK_BOX, COMBO_BOX, PAGE_TAB, PAGE_TAB_LIST = (
    Atspi.Role.TEXT, Atspi.Role.LABEL, Atspi.Role.PUSH_BUTTON, Atspi.Role.CHECK_BOX, Atspi.Role.COMBO_BOX,
    Atspi.Role.PAGE_TAB, Atspi.Role.PAGE_TAB_LIST)

LAUNCHERS = ("/usr/libexec/at-spi-bus-launcher", "/usr/lib/at-spi2-core/at-spi-bus-launcher")

# Preparation 1 s, work 30 s, rest 10 s, 2 rounds, 1 cycle; on top, no music, no cues (nothing
# here listens, and the cue files are not what is tested).
PLAN = ["0", "1", "0", "30", "0", "10", "2", "1", "1", "0", "0"] + [""] * 6
TOTAL = "01:21"

PLAN_FIELDS = ["Подготовка, минуты", "Подготовка, секунды", "Работа, минуты", "Работа, секунды",
               "Отдых, минуты", "Отдых, секунды", "Раунды", "Циклы"]
OPTIONS = ["Поверх окон", "Звуки", "Музыка"]  # in keyboard order
PROMO = "Подробнее о калькуляторе калорий Зелк"
TABS = ["Таймер", "Описание", "Настройки"]
ROWS = [("Over", "Over (конец сессии)"), ("Rest", "Rest (отдых)"), ("Start", "Start (начинаем сессию)"),
        ("Tick", "Tick (за 3 секунды до следующей фазы)"), ("Work", "Work (фаза работы)"),
        ("Music", "Music (музыка на заднем плане если включена галочка, mp3)")]


def wait_for(what, condition, timeout=10.0, interval=0.05):
    """Polls condition() until it returns something true; fails naming what was awaited."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise e2e.Failure(f"{what}: not within {timeout:.0f} s")
        time.sleep(interval)


# --- the accessibility bus of a session ---

class AccessibilityBus:
    """A private session bus, at-spi's bus launcher on it, and the accessibility bus it starts.
    The launcher starts the bus daemon and the registry daemon as its own children; their PIDs
    are asked of the bus, so that each is stopped by its PID however the launcher ends."""

    def __init__(self, processes):
        from gi.repository import Gio
        self._gio = Gio
        self._processes = processes
        self._spawned = []
        session = processes.start(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                                  stdout=subprocess.PIPE, text=True)
        ready, _, _ = select.select([session.stdout], [], [], 10)
        check(ready, "the session bus printed no address within 10 s")
        self.session_address = session.stdout.readline().strip()
        check(self.session_address, f"the session bus ended with code {session.poll()}")
        self.session = self._connect(self.session_address)
        launcher = next((path for path in LAUNCHERS if os.path.exists(path)), None)
        check(launcher, f"at-spi's bus launcher is missing ({' or '.join(LAUNCHERS)}; "
                        "scripts/install-packages.sh test installs at-spi2-core)")
        # The launcher keeps the desktop's accessibility settings in memory: no settings service
        # is started on the bus for them, and nothing is written to the user's own.
        env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=self.session_address, GSETTINGS_BACKEND="memory")
        env.pop("AT_SPI_BUS_ADDRESS", None)
        self._launcher = processes.start([launcher, "--launch-immediately"], env=env)
        wait_for("at-spi's bus launcher on the session bus (org.a11y.Bus)",
                 lambda: self._launcher.poll() is not None or self._call(self.session, "org.freedesktop.DBus", "/",
                                                                         "org.freedesktop.DBus", "NameHasOwner",
                                                                         ("s", "org.a11y.Bus"))[0])
        check(self._launcher.poll() is None, f"at-spi's bus launcher ended with code {self._launcher.returncode}")
        self.address = self._call(self.session, "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress")[0]
        check(self.address, "the launcher gave no accessibility bus address")
        self.bus = self._connect(self.address)
        self._remember("org.freedesktop.DBus")

    def _connect(self, address):
        flags = (self._gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
                 | self._gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)
        return self._gio.DBusConnection.new_for_address_sync(address, flags, None, None)

    def _call(self, connection, name, path, interface, method, args=None):
        from gi.repository import GLib
        params = GLib.Variant(f"({args[0]})", args[1:]) if args else None
        return connection.call_sync(name, path, interface, method, params, None,
                                    self._gio.DBusCallFlags.NONE, 5000, None).unpack()

    def _remember(self, name):
        """The PID of whoever owns name on the accessibility bus (the bus itself for its own name)."""
        pid = self._call(self.bus, "org.freedesktop.DBus", "/", "org.freedesktop.DBus",
                         "GetConnectionUnixProcessID", ("s", name))[0]
        if pid not in self._spawned:
            self._spawned.append(pid)

    def set_screen_reader_enabled(self):
        """What the desktop's settings say once the user has turned a screen reader on; Qt's
        bridge asks it as a program starts, and turns on when either of the two is true.
        IsEnabled (assistive technology wanted) is there on every at-spi2-core; ScreenReaderEnabled
        is on 2.46 and 2.56 but gone by 2.62 (forky: "No such property"), so it is set only where
        the launcher still offers it."""
        from gi.repository import GLib
        offered = self._call(self.session, "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties",
                             "GetAll", ("s", "org.a11y.Status"))[0]
        check("IsEnabled" in offered, f"at-spi's bus launcher has no IsEnabled status, only {sorted(offered)}")
        for name in ("IsEnabled", "ScreenReaderEnabled"):
            if name in offered:
                self._call(self.session, "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Set",
                           ("ssv", "org.a11y.Status", name, GLib.Variant("b", True)))

    def remember_registry(self):
        self._remember("org.a11y.atspi.Registry")

    def stop(self):
        """The launcher first (it ends its bus), then whatever of its children is left, by PID."""
        self._processes.stop(self._launcher)
        for pid in reversed(self._spawned):
            stop_pid(pid)


def running(pid):
    try:
        with open(f"/proc/{pid}/stat", encoding="utf-8") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (FileNotFoundError, IndexError):
        return False


def stop_pid(pid):
    """Stops a process this test did not start directly (so cannot wait for) by its PID."""
    for sig in ("TERM", "KILL"):
        if not running(pid):
            return
        subprocess.run(["kill", f"-{sig}", str(pid)], capture_output=True, check=False)
        deadline = time.monotonic() + 5
        while running(pid) and time.monotonic() < deadline:
            time.sleep(0.05)


# --- reading the window ---

class Window:
    """The program's frame as AT-SPI shows it. Every query goes over the bus (no cache), so a
    state read right after a key press is the window's own."""

    def __init__(self, atspi, program):
        self.atspi = atspi
        desktop = atspi.get_desktop(0)

        def application():
            for i in range(desktop.get_child_count()):
                app = desktop.get_child_at_index(i)
                if app is not None and app.get_process_id() == program.pid:
                    return app
            return None

        self.app = wait_for("the program on the accessibility bus", application, timeout=20)
        self.app.set_cache_mask(atspi.Cache.NONE)
        try:
            self.frame = wait_for(f"a frame named {e2e.TITLE!r}", self._find_frame)
        except e2e.Failure:
            shown = [(c.get_role_name(), c.get_name()) for c in
                     (self.app.get_child_at_index(i) for i in range(self.app.get_child_count())) if c]
            raise e2e.Failure(f"the program shows no frame named {e2e.TITLE!r}, only {shown}") from None

    def _find_frame(self):
        for i in range(self.app.get_child_count()):
            child = self.app.get_child_at_index(i)
            if child is not None and child.get_role() == self.atspi.Role.FRAME and child.get_name() == e2e.TITLE:
                return child
        return None

    def controls(self):
        """(role, name, states, object) of every object shown in the frame, in tree order."""
        found = []

        def walk(obj):
            for i in range(obj.get_child_count()):
                child = obj.get_child_at_index(i)
                if child is None:
                    continue
                states = child.get_state_set()
                if not states.contains(self.atspi.StateType.SHOWING):
                    continue
                found.append((child.get_role(), child.get_name(), states, child))
                walk(child)

        walk(self.frame)
        return found

    def focusable(self):
        return [obj for _, _, states, obj in self.controls() if states.contains(self.atspi.StateType.FOCUSABLE)]

    def focused(self, among=None):
        """The control that has the keyboard, as (role, name), looked for among the given objects
        (by default all shown ones). Qt also marks the current tab and the tab widget focused
        whenever the tab row is; an editable combo box shares the focus with its editor, which
        carries the name."""
        among = self.focusable() if among is None else among
        marked = [(obj.get_role(), obj.get_name()) for obj in among
                  if obj.get_state_set().contains(self.atspi.StateType.FOCUSED)]
        for wanted in (TEXT, PAGE_TAB_LIST):
            hits = [m for m in marked if m[0] == wanted]
            if hits:
                return hits[0]
        others = [m for m in marked if m[0] != PAGE_TAB]
        return others[0] if len(others) == 1 else (tuple(others) or None)

    def named(self, role, pattern):
        """The one shown control of role whose name matches pattern (a regular expression)."""
        hits = [(name, obj) for r, name, _, obj in self.controls() if r == role and re.fullmatch(pattern, name)]
        check(len(hits) == 1, f"{len(hits)} shown {role} named like {pattern!r}: {[n for n, _ in hits]}")
        return hits[0][1]

    def press(self, role, name):
        obj = self.named(role, re.escape(name))
        check("Action" in obj.get_interfaces(), f"{role} {name!r} offers no action")
        # The action's programmatic name ("Press"); libatspi now prefers the localised one.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            names = [obj.get_action_name(i) for i in range(obj.get_n_actions())]
        check("Press" in names, f"{role} {name!r} cannot be pressed, only {names}")
        obj.do_action(names.index("Press"))


def dump(window):
    for _, name, states, obj in window.controls():
        focusable = "focusable" if states.contains(window.atspi.StateType.FOCUSABLE) else ""
        print(f"{obj.get_role_name():16} {name!r:60} {focusable} {obj.get_description()!r}")


# --- the checks ---

def check_every_control_named(window):
    """Every shown control that takes the focus has a name; an editable combo box is named by its
    editor (Qt's bridge gives the box itself its value as name on this platform)."""
    shown = window.controls()
    unnamed = [role for role, name, states, obj in shown
               if states.contains(window.atspi.StateType.FOCUSABLE) and not name.strip()]
    check(not unnamed, f"focusable controls without a name: {unnamed}")
    for role, name, _, obj in shown:
        if role == COMBO_BOX:
            editors = [obj.get_child_at_index(i) for i in range(obj.get_child_count())]
            editors = [e for e in editors if e and e.get_role() == TEXT]
            check(len(editors) == 1 and editors[0].get_name().strip(),
                  f"the combo box showing {name!r} has no named editor")


def expect_shown(window, expected):
    """Each (role, name) of expected is shown exactly once."""
    shown = [(role, name) for role, name, _, _ in window.controls()]
    missing = [e for e in expected if shown.count(e) != 1]
    check(not missing, f"not shown exactly once: {missing}\nshown: {shown}")


def check_display_names(window, title):
    """The time display reads as '<phase title>: MM:SS', each counter as '<caption>: NN'; returns
    what the display reads."""
    display = window.named(LABEL, re.escape(title) + r": \d\d:\d\d")
    for caption in ("Раунды", "Vintras"):
        window.named(LABEL, caption + r": \d\d")
    return display.get_name()


def check_names_at_rest(window):
    expect_shown(window, [(PAGE_TAB, t) for t in TABS]
                 + [(TEXT, n) for n in PLAN_FIELDS] + [(CHECK_BOX, n) for n in OPTIONS]
                 + [(PUSH_BUTTON, "Старт"), (PUSH_BUTTON, PROMO), (LABEL, "Тренировка"),
                    (LABEL, f"Тренировка: {TOTAL}"), (LABEL, "Раунды: 02"), (LABEL, "Vintras: 01")])
    check_every_control_named(window)
    check_display_names(window, "Тренировка")
    check(window.named(CHECK_BOX, "Музыка").get_description().startswith("По умолчанию музыка"),
          "the music option's hint is not its description")
    print("timer tab at rest: every control named")


def timer_order(pause):
    order = [(PUSH_BUTTON, "Старт" if pause is None else "Стоп")] + [(TEXT, n) for n in PLAN_FIELDS]
    if pause:
        order.append((PUSH_BUTTON, pause))
    return order + [(CHECK_BOX, n) for n in OPTIONS] + [(PUSH_BUTTON, PROMO)]


def check_keyboard_order(window, x_window, tab, order):
    """From the tab row, Tab visits order and comes back to the tab row."""
    give_focus(x_window)
    row = (PAGE_TAB_LIST, tab)
    check(window.focused() == row, f"the focus is on {window.focused()}, not on the tab row showing {tab}")
    visited = walk_focus(window, x_window, len(order) + 1)
    check(visited == order + [row], f"Tab on the {tab} tab visits {visited}, not {order + [row]}")


def check_timer_keyboard_order(window, x_window, pause):
    check_keyboard_order(window, x_window, "Таймер", timer_order(pause))
    print(f"timer tab{' with ' + pause if pause else ''}: keyboard order right")


def check_names_through_workout(window, x_window):
    """START, the work phase with the pause button, pause, resume and stop: the names follow."""
    window.press(PUSH_BUTTON, "Старт")
    wait_for("the START button to read Стоп", lambda: any(
        r == PUSH_BUTTON and n == "Стоп" for r, n, _, _ in window.controls()))
    wait_for("the work phase with its pause button", lambda: any(
        r == PUSH_BUTTON and n == "Пауза" for r, n, _, _ in window.controls()), timeout=10)
    working = check_display_names(window, "Работа")
    wait_for(f"the display to read on from {working!r}",
             lambda: check_display_names(window, "Работа") != working, timeout=5)
    check_every_control_named(window)
    window.press(PUSH_BUTTON, "Пауза")
    wait_for("the pause button to read Возобновить", lambda: any(
        r == PUSH_BUTTON and n == "Возобновить" for r, n, _, _ in window.controls()))
    paused = check_display_names(window, "Работа")
    check_timer_keyboard_order(window, x_window, pause="Возобновить")
    check(check_display_names(window, "Работа") == paused, "the paused display moved on")
    window.press(PUSH_BUTTON, "Возобновить")
    wait_for("the pause button to read Пауза again", lambda: any(
        r == PUSH_BUTTON and n == "Пауза" for r, n, _, _ in window.controls()))
    window.press(PUSH_BUTTON, "Стоп")
    wait_for("the stop button to read Старт again", lambda: any(
        r == PUSH_BUTTON and n == "Старт" for r, n, _, _ in window.controls()))
    check(check_display_names(window, "Тренировка") == f"Тренировка: {TOTAL}",
          "the display does not read the plan's total after Стоп")
    print("names followed START, pause, resume and stop")


def check_other_tabs(window, x_window):
    give_focus(x_window)
    key(x_window, "Right")
    wait_for("the description tab", lambda: window.focused() == (PAGE_TAB_LIST, "Описание"))
    description = [(TEXT, "Описание тренировки Винтра"), (PUSH_BUTTON, "Упражнения")]
    expect_shown(window, description + [(PUSH_BUTTON, PROMO)])
    check_every_control_named(window)
    check_keyboard_order(window, x_window, "Описание", description + [(PUSH_BUTTON, PROMO)])
    print("description tab: names and keyboard order right")

    key(x_window, "Right")
    wait_for("the settings tab", lambda: window.focused() == (PAGE_TAB_LIST, "Настройки"))
    fields = [(TEXT, f"Файл: {caption}") for _, caption in ROWS]
    buttons = {short: [(PUSH_BUTTON, f"Прослушать: {short}"), (PUSH_BUTTON, f"Выбрать файл: {short}")]
               for short, _ in ROWS}
    expect_shown(window, fields + sum(buttons.values(), []))
    check_every_control_named(window)
    # The Work pair comes before the Tick pair, although the Tick row stands above.
    order = fields + sum((buttons[s] for s in ("Over", "Rest", "Start", "Work", "Tick", "Music")), [])
    check_keyboard_order(window, x_window, "Настройки", order + [(PUSH_BUTTON, PROMO)])
    for short, _ in ROWS:
        check(window.named(PUSH_BUTTON, f"Прослушать: {short}").get_description() == "Воспроизвести",
              f"the {short} preview button lost its hint")
    print("settings tab: names and keyboard order right")


def key(x_window, name):
    e2e.x("xdotool", "key", "--window", str(x_window), "--clearmodifiers", name)


def give_focus(x_window):
    """The window gets the keyboard: through the window manager where one runs."""
    if e2e.window_manager_present():
        e2e.x("xdotool", "windowactivate", "--sync", str(x_window))
    else:
        e2e.x("xdotool", "windowfocus", "--sync", str(x_window))


def walk_focus(window, x_window, presses, key_name="Tab"):
    """The focused control after each of presses presses of key_name, as (role, name)."""
    visited = []
    # What is shown stays the same while the focus moves; only the states are read again.
    candidates = window.focusable()
    for _ in range(presses):
        before = window.focused(candidates)
        key(x_window, key_name)
        visited.append(wait_for(f"focus to move on from {before} with {key_name}",
                                lambda: (lambda now: now if now and now != before else None)(
                                    window.focused(candidates)),
                                timeout=5))
    return visited


def start(processes, binary, tmp):
    """The accessibility bus, a client of it in this process, and the program on it."""
    bus = AccessibilityBus(processes)
    # libatspi finds the accessibility bus through the session bus it is started with.
    os.environ["DBUS_SESSION_BUS_ADDRESS"] = bus.session_address
    os.environ.pop("AT_SPI_BUS_ADDRESS", None)
    Atspi.init()
    config = os.path.join(tmp, "config")
    e2e.write_settings(config, PLAN)
    env = e2e.program_environment(config)
    # Qt turns its bridge on when the session says a screen reader runs; this session has none.
    env.update(DBUS_SESSION_BUS_ADDRESS=bus.session_address, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
               SDL_AUDIODRIVER="dummy")
    env.pop("AT_SPI_BUS_ADDRESS", None)
    log = open(os.path.join(tmp, "vintra.log"), "wb")
    program = processes.start([binary], env=env, cwd=tmp, stdout=log, stderr=log)
    log.close()
    x_window = e2e.wait_for_window(program)
    window = Window(Atspi, program)
    bus.remember_registry()
    return bus, program, x_window, window


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--dump", action="store_true", help="print what AT-SPI shows and stop")
    args = parser.parse_args()
    if not os.environ.get("DISPLAY"):
        e2e.skip("needs the X server of the test command (DISPLAY unset)")
    for tool in ("dbus-daemon", "xdotool"):
        check(shutil.which(tool), f"{tool} is missing (scripts/install-packages.sh test installs it)")
    with tempfile.TemporaryDirectory(prefix="vintra-a11y-") as tmp, e2e.Processes() as processes:
        bus = None
        try:
            bus, program, x_window, window = start(processes, args.binary, tmp)
            if args.dump:
                dump(window)
                return
            check_names_at_rest(window)
            check_timer_keyboard_order(window, x_window, pause=None)
            check_names_through_workout(window, x_window)
            check_other_tabs(window, x_window)
            e2e.check_single_window(program)
        finally:
            if bus:
                bus.stop()


if __name__ == "__main__":
    e2e.run_main(main)
