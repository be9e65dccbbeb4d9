"""The conditions of startup_timing.py's starts: the Wine environment, the prefix's server stopped,
kept warm or left alone, and busy CPUs."""

import os
import subprocess
import sys
import time


def wine_env(prefix, shim):
    env = dict(os.environ)
    env["WINEPREFIX"] = prefix
    env.setdefault("WINEDEBUG", "-all")
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    if shim:
        env["LD_PRELOAD"] = shim + (":" + env["LD_PRELOAD"] if env.get("LD_PRELOAD") else "")
    else:
        env.pop("LD_PRELOAD", None)
    return env


def server_pids(prefix):
    """Linux processes of this prefix's Wine session (the server and every Wine process)."""
    pids = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % name, "rb") as f:
                env = f.read().split(b"\0")
            with open("/proc/%s/cmdline" % name, "rb") as f:
                cmd = f.read().replace(b"\0", b" ").decode(errors="replace").strip()
        except OSError:
            continue
        if ("WINEPREFIX=" + prefix).encode() in env and ("wine" in cmd.lower() or ".exe" in cmd.lower()):
            pids.append((int(name), cmd))
    return pids


def stop_server(prefix, env):
    subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
    deadline = time.monotonic() + 30
    while server_pids(prefix):
        if time.monotonic() > deadline:
            raise AssertionError("the prefix's Wine processes did not end: %s" % server_pids(prefix))
        time.sleep(0.05)


def start_warm_server(prefix, env):
    """A persistent server, with Wine's services brought up by one short program."""
    subprocess.run(["wineserver", "-p"], env=env, timeout=30)
    subprocess.run(["wine", "cmd", "/c", "exit"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   timeout=120)


class Load:
    """Busy processes for the length of a start."""

    def __init__(self, count):
        self.processes = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(count)]

    def stop(self):
        for process in self.processes:
            process.kill()
            process.wait(10)

