#!/usr/bin/python3
"""The built agent as a plain Wayland client under Weston's headless backend, against a stand-in
daemon on a real socket and a private session bus where the test plays the desktop: a panel that
takes status items and a notification server. Leaves a picture of each panel in the folder given.

Usage: wayland_agent_test.py AGENT SCREENSHOTS"""

import os
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest
from datetime import datetime, timezone

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
from standins import DesktopSuite, StandInDaemon, policy, wait  # noqa: E402

AGENT, SHOTS = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
ITEM = "org.kde.StatusNotifierItem"


class Watcher(dbus.service.Object):
    """The panel's side: takes status items."""

    def __init__(self, bus):
        self.items = []
        dbus.service.Object.__init__(self, bus, "/StatusNotifierWatcher")

    @dbus.service.method("org.kde.StatusNotifierWatcher", in_signature="s")
    def RegisterStatusNotifierItem(self, service):
        self.items.append(service)


class Notifications(dbus.service.Object):
    def __init__(self, bus):
        self.notes = []
        dbus.service.Object.__init__(self, bus, "/org/freedesktop/Notifications")

    @dbus.service.method("org.freedesktop.Notifications", in_signature="susssasa{sv}i",
                         out_signature="u")
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        self.notes.append(f"{app}: {summary} {body}")
        return len(self.notes)


def cards(png):
    """The panels in the picture: for each left edge of a run of white at least 300 pixels wide,
    the number of rows that have it."""
    size = subprocess.run(["identify", "-format", "%w %h", png], capture_output=True,
                          text=True, check=True).stdout.split()
    w, h = int(size[0]), int(size[1])
    rgb = subprocess.run(["convert", png, "-depth", "8", "rgb:-"], capture_output=True,
                         check=True).stdout
    white, found = b"\xff" * 900, {}
    for y in range(h):
        at = rgb.find(white, y * w * 3, (y + 1) * w * 3)
        if at >= 0:
            while at > y * w * 3 and rgb[at - 3:at] == b"\xff\xff\xff":
                at -= 3
            left = (at - y * w * 3) // 3
            found[left] = found.get(left, 0) + 1
    return [rows for rows in found.values() if rows > 20]


def one_card(png):
    """The height of the one panel shown, or 0 when none or several show."""
    found = cards(png)
    return found[0] if len(found) == 1 else 0


class WaylandAgent(DesktopSuite):
    @classmethod
    def start(cls):
        cls.procs, cls.bus_pid, cls.loop = [], None, None
        if not shutil.which("weston"):
            raise unittest.SkipTest("weston is not installed")
        cls.dir = tempfile.mkdtemp()
        os.chmod(cls.dir, 0o700)
        cls.env = dict(os.environ, XDG_RUNTIME_DIR=cls.dir, WAYLAND_DISPLAY="wayland-t",
                       XDG_SESSION_TYPE="wayland", DISPLAY=":97", TOVUC_SOCK=cls.dir + "/d.sock")
        cls.env.pop("QT_QPA_PLATFORM", None)
        cls.weston = cls.spawn(["weston", "--backend=headless-backend.so", "--use-pixman",
                                "--width=1280", "--height=800", "--socket=wayland-t", "--debug",
                                "--idle-time=0"])
        assert wait(lambda: os.path.exists(cls.dir + "/wayland-t")), "weston did not start"
        bus = subprocess.run(["dbus-daemon", "--session", "--fork", "--print-address=1",
                              "--print-pid=1"], capture_output=True, text=True, check=True)
        address, pid = bus.stdout.split()[:2]
        cls.bus_pid = int(pid)
        cls.env["DBUS_SESSION_BUS_ADDRESS"] = address
        DBusGMainLoop(set_as_default=True)
        cls.bus = dbus.bus.BusConnection(address)
        cls.watcher, cls.notifications = Watcher(cls.bus), Notifications(cls.bus)
        cls.names = [dbus.service.BusName(n, cls.bus) for n in
                     ("org.kde.StatusNotifierWatcher", "org.freedesktop.Notifications")]
        cls.loop = GLib.MainLoop()
        threading.Thread(target=cls.loop.run, daemon=True).start()
        cls.daemon = StandInDaemon(cls.dir + "/d.sock", {
            "usageToday": {"ok": True, "entries": []}, "usage": policy(minutesLeft=5),
            "policy": policy(minutesLeft=5)})
        cls.agent = cls.spawn([AGENT])
        os.makedirs(SHOTS, exist_ok=True)

    @classmethod
    def spawn(cls, argv):
        p = subprocess.Popen(argv, env=cls.env, cwd=cls.dir, stdout=subprocess.DEVNULL,
                             stderr=open(cls.dir + "/" + os.path.basename(argv[0]) + ".log", "w"))
        cls.procs.append(p)
        return p

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        if cls.bus_pid:
            os.kill(cls.bus_pid, 15)
        if cls.loop:
            cls.loop.quit()

    def item(self):
        service = wait(lambda: self.watcher.items and self.watcher.items[0])
        self.assertTrue(service, "no status item was registered")
        return self.bus.get_object(service, "/StatusNotifierItem")

    def shoot(self, name, ok):
        """Screenshots through Weston until ok(picture) holds; keeps the last as name.png."""
        def one():
            before = set(os.listdir(self.dir))
            subprocess.run(["weston-screenshooter"], env=self.env, cwd=self.dir, timeout=20)
            new = [f for f in set(os.listdir(self.dir)) - before if f.endswith(".png")]
            if not new:
                return None
            png = os.path.join(SHOTS, name + ".png")
            shutil.move(os.path.join(self.dir, new[0]), png)
            return png if ok(png) else None
        return wait(one, 30)

    def click(self, entry):
        menu = self.item().Get(ITEM, "Menu", dbus_interface=dbus.PROPERTIES_IFACE)
        service = self.item().bus_name
        # The signature given: without it dbus-python guesses one whenever the introspection
        # it asks for first comes late.
        self.bus.get_object(service, menu).Event(entry, "clicked", dbus.Int32(0), dbus.UInt32(0),
                                                 signature="isvu",
                                                 dbus_interface="com.canonical.dbusmenu")

    def test_1_item_label_and_warning(self):
        self.assertIsNone(self.agent.poll(), "the agent did not start on Wayland")
        label = lambda: self.item().Get(ITEM, "XAyatanaLabel", dbus_interface=dbus.PROPERTIES_IFACE)
        self.assertEqual(wait(lambda: label() == "5 ph" and label()), "5 ph")
        self.assertTrue(wait(lambda: any("Còn 5 phút nữa là hết giờ" in n
                                         for n in self.notifications.notes)),
                        self.notifications.notes)

    def test_2_panels(self):
        self.click(1)  # "TovuControl đang bật"
        about = self.shoot("about", lambda png: one_card(png) > 60)
        self.assertTrue(about, "the about panel did not show")
        self.click(3)  # "Xin thêm thời gian…"
        request = self.shoot("request",
                             lambda png: one_card(png) > 60 and one_card(png) != one_card(about))
        self.assertTrue(request, "the request panel did not replace the about panel")
        type(self).heights = (one_card(about), one_card(request))

    def test_3_not_allowed_when_the_daemon_ended_an_app(self):
        now = datetime.now(timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
        ended = policy(mode="hoc", minutesLeft=40)
        ended["ended"] = {"appId": "org.tovu.game", "appName": "Game",
                          "reason": "chưa được mở lúc này", "at": now}
        self.daemon.answers["policy"] = self.daemon.answers["usage"] = ended
        shot = self.shoot("not-allowed",
                          lambda png: one_card(png) > 60 and one_card(png) not in self.heights)
        self.assertTrue(shot, "no not-allowed panel")
        self.assertIsNone(self.agent.poll())


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
