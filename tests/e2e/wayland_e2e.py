#!/usr/bin/env python3
"""The real program in a Wayland session: weston with its headless back end and XWayland, and
Qt's Wayland plugin installed, as on a Debian 12 desktop.

- With XWayland reachable the program runs on X11: its window, with its title, is an X client of
  the XWayland display (so the always-on-top option and the centred placement keep working).
- With QT_QPA_PLATFORM=wayland (the user's choice), with no X server, and with DISPLAY naming an
  X server that is not there, it runs natively: libwayland's own trace (WAYLAND_DEBUG) shows the
  toplevel with its title being configured and drawn, and no X client appears.
Every run ends by a termination request, which closes the window like its Close button: the
settings file is written and the exit code is 0.

Usage: wayland_e2e.py --binary path/to/vintra
"""

import argparse
import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_support as e2e  # noqa: E402
from e2e_support import check  # noqa: E402


def start_weston(procs, runtime, log_path):
    """Starts weston on a socket of its own; returns (socket name, XWayland display)."""
    socket = f"vintra-wl-{os.getpid()}"
    log = open(log_path, "w")
    weston = procs.start(["weston", "--backend=headless-backend.so", "--xwayland", f"--socket={socket}",
                          "--width=1280", "--height=1024", "--idle-time=0"],
                         stdout=log, stderr=subprocess.STDOUT, env=dict(os.environ, XDG_RUNTIME_DIR=runtime))
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        check(weston.poll() is None, f"weston ended at start-up:\n{open(log_path).read()[-2000:]}")
        found = re.search(r"xserver listening on display (:\d+)", open(log_path).read())
        if found and os.path.exists(os.path.join(runtime, socket)):
            return socket, found.group(1)
        time.sleep(0.1)
    raise e2e.Failure(f"weston did not offer XWayland within 30 s:\n{open(log_path).read()[-2000:]}")


def x_windows(display, title):
    out = subprocess.run(["xdotool", "search", "--name", f"^{re.escape(title)}$"], capture_output=True, text=True,
                         timeout=20, env=dict(os.environ, DISPLAY=display))
    return [int(w) for w in out.stdout.split()]


def terminate_and_check(process, config_home, what):
    """A termination request closes the window as its Close button does."""
    settings = e2e.settings_path(config_home)
    check(not os.path.exists(settings), f"{what}: the settings file existed before the close")
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(20)
    except subprocess.TimeoutExpired:
        raise e2e.Failure(f"{what}: the program did not end on SIGTERM")
    check(process.returncode == 0, f"{what}: the program ended with code {process.returncode}")
    check(os.path.exists(settings), f"{what}: closing did not write the settings file")


def program_env(runtime, config_home, **overrides):
    env = dict(os.environ)
    for name in ("QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE"):
        env.pop(name, None)
    env.update(XDG_RUNTIME_DIR=runtime, XDG_CONFIG_HOME=config_home, SDL_AUDIODRIVER="dummy",
               XDG_SESSION_TYPE="wayland")
    for name, value in overrides.items():
        if value is None:
            env.pop(name, None)
        else:
            env[name] = value
    return env


def runs_on_xwayland(procs, binary, work, runtime, socket, display):
    config_home = os.path.join(work, "config-x11")
    process = procs.start([binary], env=program_env(runtime, config_home, WAYLAND_DISPLAY=socket, DISPLAY=display))
    deadline = time.monotonic() + 20
    windows = []
    while not windows and time.monotonic() < deadline:
        check(process.poll() is None, f"the program ended at start-up with code {process.returncode}")
        windows = x_windows(display, e2e.TITLE)
        time.sleep(0.2)
    check(windows, f"no X11 window titled {e2e.TITLE!r} on the XWayland display {display}: "
                   "the program did not choose the X11 platform")
    terminate_and_check(process, config_home, "on XWayland")


def message(interface, request):
    """A pattern for a request on an object of the interface in libwayland's trace. Only the
    protocol's own names and the object's number are relied on: how the trace joins them has
    changed between releases ("xdg_toplevel@15" in 1.21, "xdg_toplevel#15" in 1.23)."""
    return r"\b" + re.escape(interface) + r"\W{1,2}\d+\W{0,2}\." + re.escape(request) + r"\b"


def runs_natively(procs, binary, work, runtime, socket, display, case, **overrides):
    config_home = os.path.join(work, f"config-{case}")
    trace_path = os.path.join(work, f"wayland-{case}.log")
    with open(trace_path, "w") as trace:
        process = procs.start([binary], stderr=trace,
                              env=program_env(runtime, config_home, WAYLAND_DISPLAY=socket, WAYLAND_DEBUG="client",
                                              **overrides))
    title = re.compile(message("xdg_toplevel", "set_title") + r'\("' + re.escape(e2e.TITLE) + r'"')
    drawn = re.compile(message("xdg_surface", "ack_configure") + ".*" + message("wl_surface", "attach"), re.S)
    deadline = time.monotonic() + 20
    shown = False
    while not shown and time.monotonic() < deadline:
        check(process.poll() is None, f"{case}: the program ended at start-up with code {process.returncode}")
        text = open(trace_path, encoding="utf-8", errors="replace").read()
        # Titled, configured by the compositor, and a buffer committed after that.
        shown = title.search(text) is not None and drawn.search(text) is not None
        time.sleep(0.2)
    check(shown, f"{case}: no titled, drawn Wayland toplevel within 20 s")
    check(not x_windows(display, e2e.TITLE), f"{case}: the window is an X11 client although Wayland was asked for")
    terminate_and_check(process, config_home, case)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    args = parser.parse_args()
    missing = [t for t in ("weston", "Xwayland", "xdotool") if not shutil.which(t)]
    # Qt's Wayland platform plugin: libqwayland-generic.so up to Qt 6.9 (qt6-wayland),
    # libqwayland.so from Qt 6.10, where it moved into Qt's base (libqt6waylandclient6).
    if not glob.glob("/usr/lib/*/qt6/plugins/platforms/libqwayland*.so"):
        missing.append("qt6-wayland")
    if missing:
        e2e.skip(f"missing {' '.join(missing)} (scripts/setup.sh installs them)")

    def body():
        with tempfile.TemporaryDirectory(prefix="vintra-wayland-") as work, e2e.Processes() as procs:
            runtime = os.path.join(work, "runtime")
            os.mkdir(runtime, 0o700)
            socket, display = start_weston(procs, runtime, os.path.join(work, "weston.log"))
            runs_on_xwayland(procs, args.binary, work, runtime, socket, display)
            runs_natively(procs, args.binary, work, runtime, socket, display, "user-chose-wayland",
                          DISPLAY=display, QT_QPA_PLATFORM="wayland")
            runs_natively(procs, args.binary, work, runtime, socket, display, "no-xwayland")
            # A DISPLAY left over from elsewhere, with no X server behind it.
            runs_natively(procs, args.binary, work, runtime, socket, display, "x-server-gone", DISPLAY=":987")

    e2e.run_main(body)


if __name__ == "__main__":
    main()
