"""What the Python tests of the desktop share: waiting for a condition with a deadline, a
stand-in daemon on a real socket, and a suite that starts its desktop once."""

import json
import os
import shutil
import socket
import subprocess
import threading
import time
import unittest


def wait(cond, seconds=30):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = cond()
        if value:
            return value
        time.sleep(0.1)
    return cond()


def policy(**fields):
    """The daemon's answer with a policy: fields set over a plain one."""
    p = {"serverTime": "2026-01-01T00:00:00Z", "childName": "Bin", "mode": "tu_do",
         "locked": False, "minutesLeft": 45, "allowedApps": [], "learningApps": [],
         "nextCheckSec": 60, "canExchangePoints": False}
    p.update(fields)
    return {"ok": True, "online": True, "policy": p}


class DesktopSuite(unittest.TestCase):
    """Starts the suite's desktop once, in start(); whatever a failed start left running is
    ended by tearDownClass(), which must cope with a start that stopped anywhere. The base ends
    the processes in procs, last started first, and removes the folder dir."""

    procs = ()

    @classmethod
    def setUpClass(cls):
        try:
            cls.start()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        for p in reversed(cls.procs):
            p.terminate()
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
        if hasattr(cls, "dir"):
            shutil.rmtree(cls.dir, ignore_errors=True)


class StandInDaemon:
    """Answers each line with the answer set for its op (a failure where none is) and keeps the
    ops asked and the pids reported in front. Open to every account, as the daemon's socket."""

    def __init__(self, path, answers=None):
        self.answers, self.ops, self.fronts = dict(answers or {}), [], []
        self.answers.setdefault("front", {"ok": True})
        self.sock = socket.socket(socket.AF_UNIX)
        self.sock.bind(path)
        os.chmod(path, 0o666)
        self.sock.listen(16)
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            conn, _ = self.sock.accept()
            with conn:
                request = json.loads(conn.makefile().readline() or "{}")
                self.ops.append(request.get("op"))
                if request.get("op") == "front":
                    self.fronts.append(request.get("pid"))
                answer = self.answers.get(request.get("op"), {"ok": False, "error": "?"})
                conn.sendall((json.dumps(answer) + "\n").encode())
