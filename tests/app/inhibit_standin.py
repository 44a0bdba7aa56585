"""Stand-in for the desktop services that keep the screen on: the portal's Inhibit, the
freedesktop screen saver and the GNOME session manager. Owns the names asked for on the session
bus and writes one line per call to the log, then prints "ready".

    inhibit_standin.py --own portal,screensaver,gnome --log calls.txt [--delay 1.5]
        [--release-delay 2] [--client :1.42]

--client writes down only the calls of that connection: other programs on the same bus (other
tests' windows) may ask too, and are answered without a line.

--delay holds every Inhibit answer back that many seconds, for the races of a quick stop and for
answers that come after the caller's limit; "portal=11,screensaver=0" sets it per service.
--release-delay does the same for the answers to Close, UnInhibit and Uninhibit (the line is
written when the call arrives).
Lines: "portal Inhibit <flags> <reason> -> <handle>", "portal Close <handle>",
"screensaver Inhibit <app> <reason> -> <cookie>", "screensaver UnInhibit <cookie>",
"gnome Inhibit <app> <xid> <reason> <flags> -> <cookie>", "gnome Uninhibit <cookie>".
"""

import argparse
import itertools
import signal
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

args = None
log = None
counter = itertools.count(1)


def record(sender, line):
    if args.client and sender != args.client:
        return
    log.write(line + "\n")
    log.flush()


def delay_of(service):
    """Seconds the Inhibit answer of this service ("portal", "screensaver", "gnome") waits."""
    if "=" not in args.delay:
        return float(args.delay or 0)
    delays = dict(part.split("=", 1) for part in args.delay.split(",") if part)
    return float(delays.get(service, 0))


def answer_later(reply, value, seconds):
    if seconds > 0:
        GLib.timeout_add(int(seconds * 1000), lambda: (reply(value), False)[1])
    else:
        reply(value)


def release_answer(reply):
    answer_later(lambda _: reply(), None, args.release_delay)


class Request(dbus.service.Object):
    def __init__(self, bus, path):
        super().__init__(bus, path)
        self.path = path

    @dbus.service.method("org.freedesktop.portal.Request", in_signature="", out_signature="",
                         async_callbacks=("reply", "error"), sender_keyword="sender")
    def Close(self, reply, error, sender=None):
        record(sender, f"portal Close {self.path}")
        self.remove_from_connection()
        release_answer(reply)


class Portal(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, "/org/freedesktop/portal/desktop")
        self.bus = bus
        self.requests = []

    @dbus.service.method("org.freedesktop.portal.Inhibit", in_signature="sua{sv}", out_signature="o",
                         async_callbacks=("reply", "error"), sender_keyword="sender")
    def Inhibit(self, window, flags, options, reply, error, sender=None):
        path = f"/org/freedesktop/portal/desktop/request/standin/t{next(counter)}"
        self.requests.append(Request(self.bus, path))
        record(sender, f"portal Inhibit {int(flags)} {options.get('reason', '')} -> {path}")
        answer_later(reply, dbus.ObjectPath(path), delay_of("portal"))


class ScreenSaver(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, "/org/freedesktop/ScreenSaver")

    @dbus.service.method("org.freedesktop.ScreenSaver", in_signature="ss", out_signature="u",
                         async_callbacks=("reply", "error"), sender_keyword="sender")
    def Inhibit(self, app, reason, reply, error, sender=None):
        cookie = next(counter)
        record(sender, f"screensaver Inhibit {app} {reason} -> {cookie}")
        answer_later(reply, dbus.UInt32(cookie), delay_of("screensaver"))

    @dbus.service.method("org.freedesktop.ScreenSaver", in_signature="u", out_signature="",
                         async_callbacks=("reply", "error"), sender_keyword="sender")
    def UnInhibit(self, cookie, reply, error, sender=None):
        record(sender, f"screensaver UnInhibit {int(cookie)}")
        release_answer(reply)


class GnomeSession(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, "/org/gnome/SessionManager")

    @dbus.service.method("org.gnome.SessionManager", in_signature="susu", out_signature="u",
                         async_callbacks=("reply", "error"), sender_keyword="sender")
    def Inhibit(self, app, xid, reason, flags, reply, error, sender=None):
        cookie = next(counter)
        record(sender, f"gnome Inhibit {app} {int(xid)} {reason} {int(flags)} -> {cookie}")
        answer_later(reply, dbus.UInt32(cookie), delay_of("gnome"))

    @dbus.service.method("org.gnome.SessionManager", in_signature="u", out_signature="",
                         async_callbacks=("reply", "error"), sender_keyword="sender")
    def Uninhibit(self, cookie, reply, error, sender=None):
        record(sender, f"gnome Uninhibit {int(cookie)}")
        release_answer(reply)


SERVICES = {
    "portal": ("org.freedesktop.portal.Desktop", Portal),
    "screensaver": ("org.freedesktop.ScreenSaver", ScreenSaver),
    "gnome": ("org.gnome.SessionManager", GnomeSession),
}


def main():
    global args, log
    parser = argparse.ArgumentParser()
    parser.add_argument("--own", default="")
    parser.add_argument("--log", required=True)
    parser.add_argument("--delay", default="0")
    parser.add_argument("--release-delay", type=float, default=0.0)
    parser.add_argument("--client", default="")
    args = parser.parse_args()
    log = open(args.log, "a", encoding="utf-8")

    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    kept = []
    for key in filter(None, args.own.split(",")):
        name, cls = SERVICES[key]
        kept.append(cls(bus))
        kept.append(dbus.service.BusName(name, bus, do_not_queue=True))

    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
    print("ready", flush=True)
    loop.run()


if __name__ == "__main__":
    sys.exit(main())
