#!/usr/bin/env python3
"""The Debian package, made from a built tree with cpack and unpacked into a scratch root with
dpkg -x: its control fields, its file layout and desktop entry, and the unpacked program started
through its bin/ link, where it must find the default sounds beside its real path and play them.

Usage: package_e2e.py --build-dir BUILD --source-dir SOURCE
"""

import argparse
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_support as e2e  # noqa: E402
from e2e_support import check  # noqa: E402

ICON_SIZES = (16, 24, 32, 48, 128, 256)
RUNTIME_PACKAGES = ("libqt6widgets6", "libqt6gui6", "libqt6core6", "qt6-qpa-plugins", "libsndfile1",
                    "libsdl2-2.0-0", "libqt6dbus6", "libxss1")


def run(*args, **kwargs):
    result = subprocess.run(args, capture_output=True, text=True, timeout=120, **kwargs)
    check(result.returncode == 0, f"{' '.join(args)} failed:\n{result.stdout}{result.stderr}")
    return result.stdout


def make_package(build_dir, out):
    began = time.monotonic()
    run("cpack", "-G", "DEB", "--config", os.path.join(build_dir, "CPackConfig.cmake"), "-B", out)
    debs = glob.glob(os.path.join(out, "*.deb"))
    check(len(debs) == 1, f"cpack made {debs}")
    print(f"cpack made {os.path.basename(debs[0])} ({os.path.getsize(debs[0]) // 1024} KiB) "
          f"in {time.monotonic() - began:.1f} s")
    return debs[0]


def check_control(deb):
    fields = {}
    for line in run("dpkg-deb", "-f", deb, "Package", "Architecture", "Depends", "Recommends").splitlines():
        name, _, value = line.partition(":")
        fields[name] = value.strip()
    check(fields.get("Package") == "vintra", f"package name {fields.get('Package')!r}")
    arch = run("dpkg", "--print-architecture").strip()
    check(fields.get("Architecture") == arch, f"architecture {fields.get('Architecture')!r}, not {arch}")
    depends = [d.strip().split(" ")[0] for d in fields.get("Depends", "").split(",")]
    for package in RUNTIME_PACKAGES:
        check(package in depends, f"Depends lacks {package}: {fields.get('Depends')}")
    # The layout's faces: Tahoma for the texts, DejaVu Sans Condensed Bold for bold ones.
    for font in ("fonts-wine", "fonts-dejavu-core"):
        check(font in depends, f"Depends lacks {font}: {fields.get('Depends')}")


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    check(head[:8] == b"\x89PNG\r\n\x1a\n", f"{path} is not a PNG file")
    return int.from_bytes(head[16:20], "big"), int.from_bytes(head[20:24], "big")


def desktop_entry(path):
    entry = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            if "=" in line and not line.startswith("#"):
                key, _, value = line.rstrip("\n").partition("=")
                entry[key] = value
    return entry


def check_layout(root, source_dir):
    usr = os.path.join(root, "usr")
    link = os.path.join(usr, "bin", "vintra")
    check(os.path.islink(link), "usr/bin/vintra is not a link")
    check(not os.path.isabs(os.readlink(link)), f"usr/bin/vintra links to the absolute {os.readlink(link)}")
    program = os.path.realpath(link)
    check(program == os.path.join(usr, "lib", "vintra", "vintra"), f"usr/bin/vintra leads to {program}")
    check(os.access(program, os.X_OK), "the installed program is not executable")

    shipped = sorted(os.listdir(os.path.join(usr, "lib", "vintra", "sounds")))
    expected = sorted(os.listdir(os.path.join(source_dir, "assets", "sounds")))
    expected = [name for name in expected if name.endswith((".wav", ".mp3"))]
    check(shipped == expected, f"sounds shipped: {shipped}, expected {expected}")

    desktop = os.path.join(usr, "share", "applications", "vintra.desktop")
    check(os.path.isfile(desktop), "no desktop entry")
    if shutil.which("desktop-file-validate"):
        out = subprocess.run(["desktop-file-validate", desktop], capture_output=True, text=True)
        check(out.returncode == 0, f"desktop-file-validate: {out.stdout}{out.stderr}")
    entry = desktop_entry(desktop)
    check(entry.get("Exec") == "vintra", f"Exec={entry.get('Exec')}: not the program in bin/")
    check(entry.get("Name[ru]", "").strip() != "" and entry.get("Comment[ru]", "").strip() != "",
          "the desktop entry has no Russian name or comment")
    for size in ICON_SIZES:
        icon = os.path.join(usr, "share", "icons", "hicolor", f"{size}x{size}", "apps", entry.get("Icon", "?") + ".png")
        check(os.path.isfile(icon), f"no {size}x{size} icon named by Icon={entry.get('Icon')}")
        check(png_size(icon) == (size, size), f"the {size}x{size} icon is {png_size(icon)}")


def check_program_runs(root):
    """Preparation, work and rest of 1 s each and one round: Start at 0 s, Work at 1 s, Rest at 2 s,
    Over at 3 s, all from the default sounds, since the settings name no files."""
    e2e.require_desktop()
    with tempfile.TemporaryDirectory(prefix="vintra-pkg-run-") as tmp, e2e.Processes() as processes:
        config = os.path.join(tmp, "config")
        lines = ["0", "1", "0", "1", "0", "1", "1", "1", "1", "0", "1"] + [""] * 6
        e2e.write_settings(config, lines)
        recorder = e2e.MonitorRecorder(processes, os.environ["VINTRA_NULL_SINK"], os.path.join(tmp, "monitor.raw"))
        with open(os.path.join(tmp, "vintra.log"), "wb") as log:
            program = processes.start([os.path.join(root, "usr", "bin", "vintra")],
                                      env=e2e.program_environment(config), cwd=tmp, stdout=log, stderr=log)
        window = e2e.wait_for_window(program)
        time.sleep(max(0.0, 2.0 - (time.monotonic() - recorder.started)))
        e2e.press_start_from_keyboard(window)
        time.sleep(5.0)
        heard = recorder.stop()
        # A missing default cue is reported in an error box at START.
        e2e.check_single_window(program)

        start = heard.first_sound()
        check(start >= 0, "nothing was heard: the default sounds were not found or not played")
        for second, cue in ((0, "Start"), (1, "Work"), (2, "Rest"), (3, "Over")):
            level = heard.rms(start + second + 0.02, 0.1)
            print(f"{cue:5} cue: level {level:.3f} at {second} s")
            check(level > 0.005, f"silence where the {cue} cue belongs ({second} s after the first sound)")

        e2e.close_through_window_manager(program, window)
        e2e.check_settings_rewritten(config, lines)
        print("the unpacked program played its default sounds and wrote its settings")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--source-dir", required=True)
    args = parser.parse_args()
    for tool in ("cpack", "dpkg", "dpkg-deb"):
        if not shutil.which(tool):
            e2e.skip(f"{tool} is missing")
    with tempfile.TemporaryDirectory(prefix="vintra-pkg-") as tmp:
        deb = make_package(os.path.abspath(args.build_dir), os.path.join(tmp, "out"))
        check_control(deb)
        root = os.path.join(tmp, "root")
        run("dpkg", "-x", deb, root)
        check_layout(root, os.path.abspath(args.source_dir))
        print("package fields and layout are right")
        check_program_runs(root)


if __name__ == "__main__":
    e2e.run_main(main)
