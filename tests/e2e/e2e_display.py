"""A virtual X display and a Wine prefix that draws on it, for the runs that
take screenshots. The ordinary scenarios use a prefix without any display
(Wine's null graphics driver); a prefix's graphics driver is fixed in its
registry, so screenshots get a prefix of their own."""

import contextlib
import subprocess
import time
from pathlib import Path

from e2e_harness import ScenarioFailure, expect, log, stop_process, stop_wineserver


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
        stop_process(self.process)


def x11_prefix_environment(base_env, prefix, display, prefix_script):
    """The environment of a prefix that uses Wine's X11 driver on `display`
    (unmanaged windows: without a window manager each close would stall),
    prepared by the project's prefix script on first use and kept."""
    from e2e_harness import exports_from_script

    env = dict(base_env)
    env["DISPLAY"] = display
    expect(Path(prefix_script).is_file(), f"{prefix_script} is missing: cannot prepare the X11 prefix")
    log(f"display: prefix {prefix}")
    done = subprocess.run(["bash", str(prefix_script), "--xvfb", str(prefix)], env=env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=180, text=True)
    expect(done.returncode == 0, f"{prefix_script} --xvfb failed with {done.returncode}")
    env.update(exports_from_script(done.stdout))
    expect(env.get("WINEPREFIX") == str(Path(prefix).resolve()), f"{prefix_script} printed {done.stdout!r}")
    return env


@contextlib.contextmanager
def on_virtual_display(ctx, log_name):
    """A virtual display and the X11 prefix drawing on it, as (display name,
    environment) for the scenario's programs. On the way out, whatever
    happened, the scenario's programs are closed, then the prefix's server
    and the display stopped."""
    display = VirtualDisplay(ctx.work / log_name)
    env = None
    try:
        name = display.start()
        env = x11_prefix_environment(ctx.env, Path(ctx.args.x11_prefix), name, ctx.args.prefix_script)
        yield name, env
    finally:
        ctx.close()
        if env:
            stop_wineserver(env)
        display.stop()
