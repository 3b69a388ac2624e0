#!/usr/bin/python3
"""The built agent in a real headless KWin (a copy of kwin_wayland, which drops the file
capability a container refuses), on a private session bus, against a stand-in daemon on a real
socket: the agent loads its script into KWin, and each window's activation reaches the daemon as
op "front" with the window's pid; a call from any other program is not passed on, and a script
the child unloads comes back.

Usage: kwin_agent_test.py AGENT SCRIPT"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
from standins import DesktopSuite, StandInDaemon, policy, wait  # noqa: E402

AGENT, SCRIPT = (os.path.abspath(a) for a in sys.argv[1:3])
SCRIPTING = ["--dest", "org.kde.KWin", "--object-path", "/Scripting", "--method"]


class KWinAgent(DesktopSuite):
    @classmethod
    def start(cls):
        cls.procs, cls.bus_pid = [], None
        if not shutil.which("kwin_wayland"):
            raise unittest.SkipTest("kwin_wayland is not installed")
        cls.dir = tempfile.mkdtemp()
        os.chmod(cls.dir, 0o700)
        kwin = os.path.join(cls.dir, "kwin_wayland")
        shutil.copy(shutil.which("kwin_wayland"), kwin)
        bus = subprocess.run(["dbus-daemon", "--session", "--fork", "--print-address=1",
                              "--print-pid=1"], capture_output=True, text=True, check=True)
        address, pid = bus.stdout.split()[:2]
        cls.bus_pid = int(pid)
        cls.env = {"PATH": os.environ["PATH"], "HOME": cls.dir, "XDG_RUNTIME_DIR": cls.dir,
                   "DBUS_SESSION_BUS_ADDRESS": address, "WAYLAND_DISPLAY": "wayland-k",
                   "XDG_SESSION_TYPE": "wayland", "XDG_CURRENT_DESKTOP": "KDE",
                   "TOVUC_SOCK": cls.dir + "/d.sock", "TOVUC_KWIN_SCRIPT": SCRIPT,
                   "LANG": "C.UTF-8"}
        cls.daemon = StandInDaemon(cls.dir + "/d.sock", {
            "usageToday": {"ok": True, "entries": []}, "usage": policy(), "policy": policy()})
        cls.spawn([kwin, "--virtual", "--no-lockscreen", "--socket", "wayland-k"])
        assert wait(lambda: cls.gdbus(SCRIPTING[:4] + ["--introspect"]).returncode == 0,
                    30), "KWin did not start"
        cls.agent = cls.spawn([AGENT])

    @classmethod
    def spawn(cls, argv):
        with open(os.path.join(cls.dir, os.path.basename(argv[0]) + ".log"), "a") as log:
            p = subprocess.Popen(argv, env=cls.env, cwd=cls.dir, stdout=log, stderr=log)
        cls.procs.append(p)
        return p

    @classmethod
    def gdbus(cls, args):
        return subprocess.run(["gdbus", "call" if "--method" in args else "introspect",
                               "--session"] + [a for a in args if a != "--introspect"],
                              env=cls.env, capture_output=True, text=True, timeout=30)

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        if cls.bus_pid:
            os.kill(cls.bus_pid, 15)

    def window(self):
        """A Wayland app whose window KWin activates."""
        return self.spawn(["weston-flower"])

    def test_1_each_activation_reaches_the_daemon_with_the_windows_pid(self):
        self.assertTrue(wait(lambda: self.gdbus(SCRIPTING + [
            "org.kde.kwin.Scripting.isScriptLoaded", "tovucontrol"]).stdout == "(true,)\n"),
            "the agent did not load its script")
        for _ in range(2):
            app = self.window()
            self.assertTrue(wait(lambda: app.pid in self.daemon.fronts), self.daemon.fronts)
        self.assertIsNone(self.agent.poll())

    def test_2_only_kwin_names_the_app_in_front(self):
        forged = self.gdbus(["--dest", "vn.morvane.tovucontrol.helper", "--object-path",
                             "/Front", "--method", "vn.morvane.tovucontrol.Front.Report",
                             "4242"])
        self.assertEqual(forged.returncode, 0, forged.stderr)
        # The script's next report comes after the forged call, on its timer.
        seen = len(self.daemon.fronts)
        self.assertTrue(wait(lambda: len(self.daemon.fronts) > seen))
        self.assertNotIn(4242, self.daemon.fronts)

    def test_3_a_script_the_child_unloads_comes_back(self):
        self.assertEqual(self.gdbus(SCRIPTING + ["org.kde.kwin.Scripting.unloadScript",
                                                "tovucontrol"]).stdout, "(true,)\n")
        app = self.window()
        # Reports stop, and the agent loads the script again within three of its checks.
        self.assertTrue(wait(lambda: app.pid in self.daemon.fronts, 30), self.daemon.fronts)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
