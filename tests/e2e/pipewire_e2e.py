#!/usr/bin/env python3
"""The short workout of workout_e2e.py heard through PipeWire, the sound server of Debian 12
desktops: pipewire, wireplumber and pipewire-pulse with a null sink (scripts/test-env.sh starts
them in a runtime folder and on a session bus of their own).

The program gets PipeWire's runtime folder and bus and no SDL_AUDIODRIVER, as on a desktop, so
SDL picks its driver itself. The graph must then show the program as a client of its own on
PipeWire's native protocol, with an output stream linked to the null sink: had SDL fallen back
to its PulseAudio driver, the stream would belong to pipewire-pulse instead. The sink's monitor,
recorded through pipewire-pulse, must hold each cue at its second, within the tolerance of the
PulseAudio test. The window is then closed through the window manager and the settings file is
written back unchanged. A second run names SDL's PulseAudio driver, which must then be used.

Usage: pipewire_e2e.py --binary path/to/vintra
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_support as e2e  # noqa: E402
import workout_e2e as workout  # noqa: E402
from e2e_support import check  # noqa: E402


def require_pipewire():
    if not shutil.which("pipewire"):
        e2e.skip("PipeWire is not installed (scripts/test.sh installs it)")
    missing = [v for v in ("VINTRA_PIPEWIRE_RUNTIME_DIR", "VINTRA_PIPEWIRE_BUS", "VINTRA_PIPEWIRE_SINK")
               if not os.environ.get(v)]
    # Installed but not running means the test environment failed to start it: that must show.
    check(not missing, f"PipeWire is installed but scripts/test-env.sh did not start it ({', '.join(missing)} unset)")
    check(shutil.which("pw-dump") is not None, "pw-dump is missing (package pipewire-bin)")


def pipewire_clients_env():
    runtime = os.environ["VINTRA_PIPEWIRE_RUNTIME_DIR"]
    env = dict(os.environ)
    env["XDG_RUNTIME_DIR"] = runtime
    env["DBUS_SESSION_BUS_ADDRESS"] = os.environ["VINTRA_PIPEWIRE_BUS"]
    env["PULSE_SERVER"] = f"unix:{runtime}/pulse/native"
    return env


def program_env(config):
    env = e2e.program_environment(config)
    env["XDG_RUNTIME_DIR"] = os.environ["VINTRA_PIPEWIRE_RUNTIME_DIR"]
    env["DBUS_SESSION_BUS_ADDRESS"] = os.environ["VINTRA_PIPEWIRE_BUS"]
    # As on a desktop: a PulseAudio client would find pipewire-pulse in the runtime folder.
    env.pop("PULSE_SERVER", None)
    env.pop("SDL_AUDIODRIVER", None)
    return env


def graph():
    out = subprocess.run(["pw-dump"], capture_output=True, text=True, timeout=20, env=pipewire_clients_env())
    check(out.returncode == 0, f"pw-dump failed: {out.stderr}")
    return json.loads(out.stdout)


def props(obj):
    return (obj.get("info") or {}).get("props") or {}


def own_clients(objects, pid):
    return [o["id"] for o in objects if o["type"].endswith(":Client")
            and props(o).get("pipewire.sec.pid") == pid and props(o).get("pipewire.protocol") == "protocol-native"]


def check_native_stream(objects, pid, sink):
    """The program is a PipeWire client itself, and a stream node of that client feeds the sink."""
    clients = own_clients(objects, pid)
    apis = sorted({str(props(o).get("client.api")) for o in objects if o["type"].endswith(":Node")
                   and props(o).get("application.process.id") == pid})
    check(clients, f"the program is no PipeWire client of its own: SDL did not use its pipewire driver "
                   f"(its nodes' client.api: {apis})")
    streams = [o["id"] for o in objects if o["type"].endswith(":Node") and props(o).get("client.id") in clients
               and props(o).get("media.class") == "Stream/Output/Audio"]
    check(streams, "the program's PipeWire connection has no output stream during the workout")
    sinks = [o["id"] for o in objects if o["type"].endswith(":Node") and props(o).get("node.name") == sink]
    check(len(sinks) == 1, f"the null sink {sink} is not in the graph once: {sinks}")
    links = [o for o in objects if o["type"].endswith(":Link")
             and (o.get("info") or {}).get("output-node-id") in streams
             and (o.get("info") or {}).get("input-node-id") == sinks[0]]
    check(links, f"the program's stream {streams} is not linked to the null sink")
    print(f"the program is PipeWire client {clients}, its stream {streams} feeds {sink} natively")


def check_named_driver_kept(binary, tmp, processes):
    """A driver the user names is the one used: with SDL_AUDIODRIVER=pulseaudio the program's
    stream belongs to pipewire-pulse, and the program has no PipeWire connection of its own."""
    config = os.path.join(tmp, "config-pulse")
    lines = workout.PLAN + ["0", "0", "0"] + [""] * 6  # no cues: nothing to hear, only the driver to see
    e2e.write_settings(config, lines)
    env = program_env(config)
    env["SDL_AUDIODRIVER"] = "pulseaudio"
    with open(os.path.join(tmp, "vintra-pulse.log"), "wb") as log:
        program = processes.start([binary], env=env, cwd=tmp, stdout=log, stderr=log)
    window = e2e.wait_for_window(program)
    # The output connects to the server at start-up, before any sound is played.
    deadline = time.monotonic() + 10
    while True:
        objects = graph()
        proxied = [o for o in objects if o["type"].endswith(":Client")
                   and props(o).get("application.process.id") == program.pid
                   and props(o).get("client.api") == "pipewire-pulse"]
        if proxied or time.monotonic() > deadline:
            break
        time.sleep(0.2)
    check(not own_clients(objects, program.pid),
          "with SDL_AUDIODRIVER=pulseaudio the program still went to PipeWire directly")
    check(proxied, "with SDL_AUDIODRIVER=pulseaudio the program never connected through pipewire-pulse")
    print("SDL_AUDIODRIVER=pulseaudio: the program went through pipewire-pulse, as asked")
    e2e.close_through_window_manager(program, window)


def check_soundless_pipewire_passed_over(binary, tmp, processes):
    """A PipeWire server without sinks (one that serves only screen sharing) beside the
    PulseAudio server that plays the sound: the program must not play into PipeWire's nothing,
    and its Start cue must reach the PulseAudio null sink. Only this test runs meanwhile (the
    e2e tests run alone), so its socket in PulseAudio's runtime folder disturbs no one."""
    runtime = os.environ["XDG_RUNTIME_DIR"]
    socket = os.path.join(runtime, "pipewire-0")
    check(not os.path.exists(socket), f"{socket} exists already")
    home = os.path.join(tmp, "bare-pipewire")
    os.makedirs(home)
    env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
               XDG_STATE_HOME=os.path.join(home, ".local", "state"))
    for name in ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS"):
        env.pop(name, None)
    with open(os.path.join(tmp, "bare-pipewire.log"), "wb") as log:
        server = processes.start(["pipewire"], env=env, stdout=log, stderr=log)
    try:
        deadline = time.monotonic() + 10
        while not os.path.exists(socket):
            check(server.poll() is None and time.monotonic() < deadline, "the bare PipeWire server did not start")
            time.sleep(0.1)
        config = os.path.join(tmp, "config-bare")
        start = os.path.join(tmp, "start.wav")  # written by the first run
        lines = workout.PLAN + ["0", "0", "1"] + ["", "", start, "", "", ""]
        e2e.write_settings(config, lines)
        recorder = e2e.MonitorRecorder(processes, os.environ["VINTRA_NULL_SINK"], os.path.join(tmp, "bare.raw"),
                                       clocked=True)
        with open(os.path.join(tmp, "vintra-bare.log"), "wb") as log:
            program = processes.start([binary], env=e2e.program_environment(config), cwd=tmp,
                                      stdout=log, stderr=log)
        window = e2e.wait_for_window(program)
        time.sleep(max(0.0, 2.0 - (time.monotonic() - recorder.started)))
        e2e.press_start_from_keyboard(window)
        time.sleep(1.5)
        heard = recorder.stop()
        check(heard.onset(workout.TONES["Start"]) >= 0,
              "with a PipeWire server that has no sinks the Start cue did not reach the PulseAudio server")
        # (the other cues are the default sounds beside the program)
        print("a PipeWire server without sinks was passed over: the Start cue was heard through PulseAudio")
        e2e.check_single_window(program)
        e2e.close_through_window_manager(program, window)
    finally:
        e2e.Processes.stop(server)
        for leftover in (socket, socket + ".lock"):
            if os.path.exists(leftover):
                os.remove(leftover)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    args = parser.parse_args()
    e2e.require_desktop()
    require_pipewire()
    binary = os.path.abspath(args.binary)
    check(os.access(binary, os.X_OK), f"{binary} is not an executable")
    sink = os.environ["VINTRA_PIPEWIRE_SINK"]

    with tempfile.TemporaryDirectory(prefix="vintra-pw-e2e-") as tmp, e2e.Processes() as processes:
        paths = []
        for cue in ("Over", "Rest", "Start", "Tick", "Work", "Music"):
            paths.append(os.path.join(tmp, f"{cue.lower()}.wav"))
            e2e.write_tone(paths[-1], workout.TONES[cue])
        config = os.path.join(tmp, "config")
        # Options: not on top, no music, sound cues.
        lines = workout.PLAN + ["0", "0", "1"] + paths
        e2e.write_settings(config, lines)

        recorder = e2e.MonitorRecorder(processes, sink, os.path.join(tmp, "monitor.raw"),
                                      env=pipewire_clients_env(), clocked=True)
        with open(os.path.join(tmp, "vintra.log"), "wb") as log:
            program = processes.start([binary], env=program_env(config), cwd=tmp, stdout=log, stderr=log)
        window = e2e.wait_for_window(program)
        time.sleep(max(0.0, 2.0 - (time.monotonic() - recorder.started)))

        origin = time.monotonic()
        e2e.press_start_from_keyboard(window)
        # The Work cue at 4 s was announced at 3 s: its device opens half a second ahead and
        # closes a quarter of a second after the 0.4 s tone, so at 4 s its stream is in the graph.
        time.sleep(max(0.0, 4.0 - (time.monotonic() - origin)))
        check_native_stream(graph(), program.pid, sink)
        time.sleep(max(0.0, 14.5 + 0.5 - (time.monotonic() - origin)))
        heard = recorder.stop()
        print(f"the recording is {heard.missing_seconds() * 1000:.0f} ms shorter than the time it took")
        e2e.check_single_window(program)
        workout.check_cues(heard)

        e2e.close_through_window_manager(program, window)
        e2e.check_settings_rewritten(config, lines)
        print("settings file written back unchanged")

        check_named_driver_kept(binary, tmp, processes)
        check_soundless_pipewire_passed_over(binary, tmp, processes)


if __name__ == "__main__":
    e2e.run_main(main)
