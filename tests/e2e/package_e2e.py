#!/usr/bin/env python3
"""The Debian package, made from a built tree with cpack and unpacked into a scratch root with
dpkg -x: its control fields, its file layout, desktop entry and AppStream file (both named by the
application id and valid for desktop-file-validate and appstreamcli), and the unpacked program
started through its bin/ link, where it must find the default sounds beside its real path and
play them.

Usage: package_e2e.py --build-dir BUILD --source-dir SOURCE
"""

import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_support as e2e  # noqa: E402
from e2e_support import check  # noqa: E402

ICON_SIZES = (16, 24, 32, 48, 128, 256)
RUNTIME_PACKAGES = ("libqt6widgets6", "libqt6gui6", "libqt6core6", "qt6-qpa-plugins", "libsndfile1",
                    "libsdl2-2.0-0", "libqt6dbus6", "libxss1", "libasound2")


def run(*args, **kwargs):
    result = subprocess.run(args, capture_output=True, text=True, timeout=120, **kwargs)
    check(result.returncode == 0, f"{' '.join(args)} failed:\n{result.stdout}{result.stderr}")
    return result.stdout


def make_package(build_dir, out):
    began = time.monotonic()
    # Without dpkg-shlibdeps: the Depends checked below are the ones this tree names, and the tool
    # costs seconds of CPU that a busy machine stretches towards the timeout.
    run("cpack", "-G", "DEB", "-D", "CPACK_DEBIAN_PACKAGE_SHLIBDEPS=OFF", "--config",
        os.path.join(build_dir, "CPackConfig.cmake"), "-B", out)
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
    # The layout's faces: DejaVu Sans Condensed Bold for bold texts and the condensed face where
    # Tahoma is missing are required; Tahoma (fonts-wine) is recommended, as a release may lack it.
    for font in ("fonts-dejavu-core", "fonts-dejavu-extra"):
        check(font in depends, f"Depends lacks {font}: {fields.get('Depends')}")
    recommends = [r.strip().split(" ")[0] for r in fields.get("Recommends", "").split(",")]
    check("fonts-wine" in recommends, f"Recommends lacks fonts-wine: {fields.get('Recommends')}")


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


def cache_value(build_dir, name):
    with open(os.path.join(build_dir, "CMakeCache.txt"), encoding="utf-8") as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition("=")
            if key.split(":")[0] == name:
                return value
    raise e2e.Failure(f"{name} is not in the build's CMakeCache.txt")


def validate(tool, *args):
    """Runs a validator that the test command installs; its findings are the failure message."""
    check(shutil.which(tool) is not None, f"{tool} is missing (scripts/test.sh installs it)")
    out = subprocess.run([tool, *args], capture_output=True, text=True, timeout=60)
    check(out.returncode == 0, f"{tool} {' '.join(args)}: {out.stdout}{out.stderr}")
    return out.stdout


def check_metainfo(path, app_id, site):
    """What software centres read: the id and the desktop entry it launches, English and Russian
    name and summary, the release, the binary, the rating, and screenshots on the maker's site."""
    print(validate("appstreamcli", "validate", "--no-net", path).strip().splitlines()[-1])
    # Reverse-DNS and usable as a D-Bus name: no hyphens, no part starting with a digit.
    parts = app_id.split(".")
    check(len(parts) >= 3 and parts[-1] == "Vintra" and all(re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*", p) for p in parts),
          f"{app_id!r} is no reverse-DNS application id")
    lang = "{http://www.w3.org/XML/1998/namespace}lang"
    component = ET.parse(path).getroot()
    check(component.get("type") == "desktop-application", f"component type {component.get('type')!r}")
    check(component.findtext("id") == app_id, f"AppStream id {component.findtext('id')!r}, not {app_id}")
    launchable = component.find("launchable")
    check(launchable is not None and launchable.get("type") == "desktop-id" and launchable.text == app_id + ".desktop",
          "the AppStream file does not launch the installed desktop entry")
    for tag in ("name", "summary"):
        texts = {e.get(lang, "en"): (e.text or "").strip() for e in component.findall(tag)}
        check(texts.get("en") and texts.get("ru"), f"{tag} in English and Russian: {texts}")
        check(texts["ru"] != texts["en"], f"the Russian {tag} is the English one")
    check(component.find("description/p") is not None, "no description")
    versions = [r.get("version") for r in component.findall("releases/release")]
    check(versions[:1] == ["1.51"], f"releases {versions}, not 1.51 first")
    check([b.text for b in component.findall("provides/binary")] == ["vintra"], "it does not provide the binary vintra")
    rating = component.find("content_rating")
    check(rating is not None and rating.get("type") == "oars-1.1", "no oars-1.1 content rating")
    images = [i.text for i in component.findall("screenshots/screenshot/image")]
    check(images and all(i.startswith(site.rstrip("/") + "/") and i.endswith(".png") for i in images),
          f"screenshots not on {site}: {images}")
    check(component.findtext("url[@type='homepage']") == site, "the home page is not the maker's site")


def check_layout(root, source_dir, app_id, site):
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

    applications = os.listdir(os.path.join(usr, "share", "applications"))
    check(applications == [app_id + ".desktop"], f"desktop entries {applications}, not {app_id}.desktop")
    desktop = os.path.join(usr, "share", "applications", app_id + ".desktop")
    validate("desktop-file-validate", desktop)
    entry = desktop_entry(desktop)
    check(entry.get("Icon") == app_id, f"Icon={entry.get('Icon')}, not the application id {app_id}")
    # X11 matches the window to the entry by its class, Wayland by the desktop file name the
    # program gives, which must be the id.
    check(entry.get("StartupWMClass") == "vintra", f"StartupWMClass={entry.get('StartupWMClass')}")
    with open(program, "rb") as f:
        text = f.read()  # the name is a QStringLiteral: UTF-16 in the binary
        check(app_id.encode("utf-16-le") in text, f"the program does not name {app_id} as its desktop file")
    metainfo = os.listdir(os.path.join(usr, "share", "metainfo"))
    check(metainfo == [app_id + ".metainfo.xml"], f"AppStream files {metainfo}, not {app_id}.metainfo.xml")
    check_metainfo(os.path.join(usr, "share", "metainfo", metainfo[0]), app_id, site)
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
        build_dir = os.path.abspath(args.build_dir)
        check_layout(root, os.path.abspath(args.source_dir), cache_value(build_dir, "VINTRA_APP_ID"),
                     cache_value(build_dir, "VINTRA_SITE_URL"))
        print("package fields and layout are right")
        check_program_runs(root)


if __name__ == "__main__":
    e2e.run_main(main)
