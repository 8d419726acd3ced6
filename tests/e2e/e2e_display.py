"""A virtual X display and a Wine prefix that draws on it, for the runs that
take screenshots. The ordinary scenarios use a prefix without any display
(Wine's null graphics driver); a prefix's graphics driver is fixed in its
registry, so screenshots get a prefix of their own."""

import os
import subprocess
import time
from pathlib import Path

from e2e_harness import WINE, WINESERVER, ScenarioFailure, expect, log


class VirtualDisplay:
    def __init__(self, log_path, size="1024x768x24"):
        self.log_path = Path(log_path)
        self.size = size
        self.process = None
        self.name = None

    def start(self, timeout=15):
        for number in range(91, 140):
            if Path(f"/tmp/.X11-unix/X{number}").exists() or Path(f"/tmp/.X{number}-lock").exists():
                continue
            log_file = open(self.log_path, "wb")
            self.process = subprocess.Popen(["Xvfb", f":{number}", "-screen", "0", self.size, "-nolisten", "tcp"],
                                            stdin=subprocess.DEVNULL, stdout=log_file, stderr=log_file,
                                            start_new_session=True)
            deadline = time.monotonic() + timeout
            while time.monotonic() < deadline and self.process.poll() is None:
                if Path(f"/tmp/.X11-unix/X{number}").exists():
                    self.name = f":{number}"
                    log(f"display: Xvfb on {self.name}")
                    return self.name
                time.sleep(0.05)
            self.stop()
        raise ScenarioFailure(f"Xvfb did not start; see {self.log_path}")

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=10)


def x11_prefix_environment(base_env, prefix, display):
    """The environment of a prefix that uses Wine's X11 driver on `display`,
    made on first use (about 10 s) and kept in the build tree after that."""
    env = dict(base_env)
    env.update(WINEPREFIX=str(prefix), WINEARCH="win64", WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
               DISPLAY=display)
    ready = Path(prefix) / ".vantri-x11-ready"
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not ready.is_file():
        log(f"display: preparing the X11 prefix {prefix}")
        Path(prefix).mkdir(parents=True, exist_ok=True)
        subprocess.run([WINE, "wineboot", "-i"], env=env, timeout=180, **quiet)
        # Without a window manager every window close would stall about 2 s
        # waiting for one; unmanaged windows draw their own frames.
        done = subprocess.run([WINE, "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N",
                               "/f"], env=env, timeout=60, **quiet)
        expect(done.returncode == 0, "could not set up the X11 prefix's registry")
        # Until the server has written the registry and gone.
        subprocess.run([WINESERVER, "-w"], env=env, timeout=60, **quiet)
        ready.write_text("prepared by tests/e2e\n")
    subprocess.run([WINESERVER, "-p"], env=env, timeout=30, **quiet)
    subprocess.run([WINE, "wineboot"], env=env, timeout=120, **quiet)
    return env


def stop_prefix(env):
    subprocess.run([WINESERVER, "-k"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=30)
