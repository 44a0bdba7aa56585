#!/usr/bin/env python3
"""The real program with a session bus that accepts connections and never answers.

The test starts a dbus-daemon of its own and stops it (SIGSTOP): before the program starts, and
once more after the window has shown (a bus that hangs while the program runs). Each time the
window must appear within seconds, START pressed from the keyboard must light the display, and
the end (the window manager's close, then SIGTERM) must end the program within seconds, with the
settings written. Silent (no sound server): it may run beside other tests.

Usage: hungbus_e2e.py --binary path/to/vintra
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_support as e2e  # noqa: E402
from e2e_support import check  # noqa: E402

WINDOW_BOUND = 10.0  # s from launch to the window, on a busy machine
END_BOUND = 5.0  # s from the close or SIGTERM to the program's end


class Bus:
    """A dbus-daemon of the test's own; continued before it is stopped, so that it can end."""

    def __init__(self, processes, folder):
        self.process = processes.start(
            ["dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1",
             f"--address=unix:dir={folder}"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.address = self.process.stdout.readline().strip()
        check(self.address, "the test's dbus-daemon printed no address")

    def freeze(self):
        os.kill(self.process.pid, signal.SIGSTOP)

    def thaw(self):
        os.kill(self.process.pid, signal.SIGCONT)


def lit(window, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if e2e.light_shown(e2e.screenshot(window)) == "yellow":
            return True
        time.sleep(0.2)
    return False


def run_once(args, freeze_before, end_with_signal):
    what = "stopped before the start" if freeze_before else "stopped after the window showed"
    with e2e.Processes() as processes, tempfile.TemporaryDirectory() as home:
        bus = Bus(processes, home)
        try:
            if freeze_before:
                bus.freeze()
            env = e2e.program_environment(os.path.join(home, "config"))
            env["DBUS_SESSION_BUS_ADDRESS"] = bus.address
            env["SDL_AUDIODRIVER"] = "dummy"
            # Its messages go to a file, to be shown whatever happens: a pipe nobody reads could
            # itself hold the program, and a failure needs what it said.
            log_path = os.path.join(home, "stderr.log")
            log = open(log_path, "wb")
            launched = time.monotonic()
            program = processes.start([args.binary], env=env, stderr=log)
            log.close()

            def said():
                with open(log_path, encoding="utf-8", errors="replace") as f:
                    return f.read().strip()

            try:
                window = e2e.wait_for_window(program, WINDOW_BOUND)
            except e2e.Failure as failure:
                raise e2e.Failure(f"bus {what}: {failure}; the program said: {said() or 'nothing'}")
            shown = time.monotonic() - launched
            if not freeze_before:
                bus.freeze()
            e2e.press_start_from_keyboard(window)
            check(lit(window), f"bus {what}: START from the keyboard did not light the display")
            asked = time.monotonic()
            if end_with_signal:
                program.send_signal(signal.SIGTERM)
            else:
                e2e.x("wmctrl", "-i", "-c", hex(window))
            try:
                program.wait(END_BOUND)
            except subprocess.TimeoutExpired:
                raise e2e.Failure(f"bus {what}: the program still ran {END_BOUND:.0f} s after it was asked to end")
            ended = time.monotonic() - asked
            check(program.returncode == 0, f"bus {what}: the program ended with code {program.returncode}")
            with open(e2e.settings_path(env["XDG_CONFIG_HOME"]), "rb") as f:
                check(f.read().count(b"\r\n") == 17, f"bus {what}: the settings file was not written whole")
            print(f"bus {what}: window after {shown:.2f} s, ended {ended:.2f} s after the "
                  f"{'SIGTERM' if end_with_signal else 'close'}")
            print(said())
        finally:
            bus.thaw()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    args = parser.parse_args()
    if not os.environ.get("DISPLAY"):
        e2e.skip("needs the X server that scripts/test.sh starts")
    tools = [t for t in ("dbus-daemon", "xdotool", "wmctrl", "import") if not shutil.which(t)]
    if tools:
        e2e.skip(f"missing tools: {' '.join(tools)}")
    check(e2e.window_manager_present(), "no window manager: closing through the frame needs one")

    def body():
        run_once(args, freeze_before=True, end_with_signal=False)
        run_once(args, freeze_before=False, end_with_signal=True)

    e2e.run_main(body)


if __name__ == "__main__":
    main()
