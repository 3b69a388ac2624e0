#!/usr/bin/python3
"""The built GNOME Shell extension in a real headless GNOME Shell, run as a throw-away child
account with the locked dconf keys in that account's own dconf profile, against a stand-in logind
on a private system bus and a stand-in daemon on a real socket. Leaves pictures of the top bar in
the folder given.

Usage: shell_test.py SHARE_DIR SOURCE_DIR SCREENSHOTS"""

import os
import pwd
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
from standins import DesktopSuite, StandInDaemon, policy, wait  # noqa: E402

SHARE, SOURCE, SHOTS = (os.path.abspath(a) for a in sys.argv[1:4])
UUID = "tovucontrol@morvane.vn"
SCREENSHOT = """
import dbus, sys
bus = dbus.SessionBus()
bus.request_name("org.gnome.Screenshot")
shell = bus.get_object("org.gnome.Shell.Screenshot", "/org/gnome/Shell/Screenshot")
ok, path = shell.ScreenshotArea(0, 0, 1280, 32, False, sys.argv[1],
                                dbus_interface="org.gnome.Shell.Screenshot")
sys.exit(0 if ok else 1)
"""


class Account:
    def __init__(self, name):
        subprocess.run(["useradd", "-m", name], check=True)
        self.name, entry = name, pwd.getpwnam(name)
        self.uid, self.gid, self.home = entry.pw_uid, entry.pw_gid, entry.pw_dir

    def remove(self):
        # What the account's shell started besides the programs the test started itself.
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                if os.stat("/proc/" + pid).st_uid == self.uid:
                    os.kill(int(pid), 9)
            except OSError:
                pass
        subprocess.run(["userdel", "-r", self.name], check=False, stderr=subprocess.DEVNULL)


class GnomeShell(DesktopSuite):
    @classmethod
    def start(cls):
        cls.procs, cls.accounts, cls.profiles = [], [], []
        if not shutil.which("gnome-shell") or os.geteuid() != 0:
            raise unittest.SkipTest("needs gnome-shell and root")
        suffix = str(os.getpid())
        cls.child, cls.parent = Account("tvkid" + suffix), Account("tvmom" + suffix)
        cls.accounts = [cls.child, cls.parent]
        cls.dir = tempfile.mkdtemp()
        os.chmod(cls.dir, 0o755)
        # The extension's dconf database, from the keys the package installs, named by the
        # child's own profile only.
        keys = os.path.join(cls.dir, "db.d")
        os.makedirs(keys + "/locks")
        shutil.copy(SOURCE + "/tovucontrol.dconf", keys + "/00-tovucontrol")
        shutil.copy(SOURCE + "/tovucontrol.locks", keys + "/locks/00-tovucontrol")
        subprocess.run(["dconf", "compile", cls.dir + "/tovucontrol.db", keys], check=True)
        os.makedirs("/run/dconf/user", exist_ok=True)
        profile = f"/run/dconf/user/{cls.child.uid}"
        with open(profile, "w") as f:
            f.write(f"user-db:user\nfile-db:{cls.dir}/tovucontrol.db\n")
        cls.profiles.append(profile)
        # A private system bus with a stand-in logind.
        with open(cls.dir + "/bus.conf", "w") as f:
            f.write(f"""<busconfig><type>system</type>
<listen>unix:path={cls.dir}/system_bus</listen><auth>EXTERNAL</auth>
<policy context="default"><allow user="*"/><allow own="*"/><allow send_destination="*"/>
<allow receive_sender="*"/></policy></busconfig>""")
        cls.spawn(["dbus-daemon", "--nofork", "--config-file=" + cls.dir + "/bus.conf"])
        system = f"unix:path={cls.dir}/system_bus"
        assert wait(lambda: os.path.exists(cls.dir + "/system_bus"), 10)
        cls.spawn(["python3", "-m", "dbusmock", "--system", "--template", "logind"],
                  env=dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=system))
        cls.daemon = StandInDaemon(cls.dir + "/d.sock", {"policy": policy()})
        cls.shells = {}
        for account in cls.accounts:
            cls.shells[account.name] = cls.session(account, system)
        os.makedirs(SHOTS, exist_ok=True)

    @classmethod
    def session(cls, account, system):
        """A session bus and a headless shell of the account; its environment."""
        run = os.path.join(cls.dir, "run-" + account.name)
        os.makedirs(run, mode=0o700)
        os.chown(run, account.uid, account.gid)
        env = {"HOME": account.home, "USER": account.name, "XDG_RUNTIME_DIR": run,
               "PATH": "/usr/bin:/bin", "DBUS_SESSION_BUS_ADDRESS": f"unix:path={run}/bus",
               "DBUS_SYSTEM_BUS_ADDRESS": system, "XDG_DATA_DIRS": SHARE + ":/usr/share",
               "XDG_SESSION_TYPE": "wayland", "TOVUC_SOCK": cls.dir + "/d.sock",
               "LANG": "C.UTF-8"}
        cls.spawn(["dbus-daemon", "--session", "--nofork", "--address=" + env[
            "DBUS_SESSION_BUS_ADDRESS"]], account, env)
        assert wait(lambda: os.path.exists(run + "/bus"), 10)
        cls.spawn(["gnome-shell", "--headless", "--wayland", "--no-x11",
                   "--virtual-monitor", "1280x800"], account, env)
        env["WAYLAND_DISPLAY"] = "wayland-0"
        return env

    @classmethod
    def spawn(cls, argv, account=None, env=None):
        log = open(os.path.join(cls.dir, os.path.basename(argv[0]) + ".log"), "a")
        prefix = [] if account is None else [
            "setpriv", f"--reuid={account.uid}", f"--regid={account.gid}", "--init-groups"]
        p = subprocess.Popen(prefix + argv, env=env, cwd="/", stdout=log, stderr=log)
        cls.procs.append(p)
        return p

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        for account in cls.accounts:
            account.remove()
        for profile in cls.profiles:
            os.remove(profile)

    def run_as(self, account, argv):
        return subprocess.run(["setpriv", f"--reuid={account.uid}", f"--regid={account.gid}",
                               "--init-groups"] + argv, env=self.shells[account.name],
                              capture_output=True, text=True, cwd="/", timeout=60)

    def shell_call(self, account, method, *args):
        return self.run_as(account, ["gdbus", "call", "--session", "--dest", "org.gnome.Shell",
                                     "--object-path", "/org/gnome/Shell", "--method",
                                     method] + list(args)).stdout

    def state(self, account):
        """"ENABLED" while the extension runs in the account's shell."""
        info = self.shell_call(account, "org.gnome.Shell.Extensions.GetExtensionInfo", UUID)
        return "ENABLED" if "'state': <1.0>" in info else info

    def top_bar(self, name):
        path = os.path.join(self.shells[self.child.name]["XDG_RUNTIME_DIR"], name + ".png")
        shot = self.run_as(self.child, ["/usr/bin/python3", "-c", SCREENSHOT, path])
        if shot.returncode != 0:
            sys.stderr.write(shot.stderr)
            return None
        shutil.copy(path, os.path.join(SHOTS, name + ".png"))
        # The status area, left of the system menu: where the label is.
        return subprocess.run(["convert", path, "-crop", "200x32+1020+0", "-depth", "8",
                               "rgb:-"], capture_output=True, check=True).stdout

    def test_1_enabled_for_the_child_and_not_for_the_parent(self):
        self.assertEqual(wait(lambda: self.state(self.child) == "ENABLED" and "ENABLED"),
                         "ENABLED")
        self.assertNotEqual(self.state(self.parent), "ENABLED")

    def test_2_the_label_in_the_top_bar_follows_the_policy(self):
        self.daemon.answers["policy"] = policy(minutesLeft=45)
        first = wait(lambda: self.top_bar("top-bar-45-ph"))
        self.assertTrue(first, "no screenshot of the top bar")
        self.daemon.answers["policy"] = policy(locked=True, minutesLeft=0, lockReason="het_gio")
        self.assertTrue(wait(lambda: (self.top_bar("top-bar-da-khoa") or first) != first),
                        "the label did not change with the policy")

    def test_3_the_app_in_front_is_reported_on_focus_change(self):
        # The headless shell starts in the Overview; the app's window takes the focus.
        self.shell_call(self.child, "org.freedesktop.DBus.Properties.Set", "org.gnome.Shell",
                        "OverviewActive", "<false>")
        app = self.spawn(["weston-flower"], self.child, self.shells[self.child.name])
        self.assertTrue(wait(lambda: app.pid in self.daemon.fronts, 30), self.daemon.fronts)

    def test_4_the_child_cannot_turn_it_off_and_the_parent_keeps_their_choice(self):
        self.shell_call(self.child, "org.gnome.Shell.Extensions.DisableExtension", UUID)
        for argv in (
                     ["gsettings", "set", "org.gnome.shell", "enabled-extensions", "[]"],
                     ["gsettings", "set", "org.gnome.shell", "disable-user-extensions", "true"],
                     ["dconf", "write", "/org/gnome/shell/disabled-extensions",
                      f"['{UUID}']"]):
            self.run_as(self.child, argv)
        self.assertEqual(self.state(self.child), "ENABLED")
        self.assertEqual(self.run_as(self.child, ["gsettings", "get", "org.gnome.shell",
                                                  "enabled-extensions"]).stdout.strip(),
                         f"['{UUID}']")
        # The parent's own list is theirs to change.
        self.assertEqual(self.run_as(self.parent, ["gsettings", "set", "org.gnome.shell",
                                                   "enabled-extensions",
                                                   "['other@example.org']"]).returncode, 0)
        self.assertEqual(self.run_as(self.parent, ["gsettings", "get", "org.gnome.shell",
                                                   "enabled-extensions"]).stdout.strip(),
                         "['other@example.org']")


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
