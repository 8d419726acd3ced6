"""The pieces an end-to-end scenario is made of: the Wine environment, the
native emulator process, the program under Wine, the driver, and reading what
the emulated adapters were told and what they kept.

Everything here is bounded by a time limit, and Harness.close() kills
whatever is still running, so a failing scenario leaves nothing behind.
"""

import json
import os
import platform
import re
import selectors
import shlex
import shutil
import signal
import socket
import struct
import subprocess
import time
from datetime import datetime
from pathlib import Path

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
CARRIED_VERSION = "4.00.20160918"
MAIN_TITLE = "Vantri4 Flash [4.00.20160918]"


class ScenarioFailure(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise ScenarioFailure(message)


def expect_equal(actual, expected, what):
    if actual != expected:
        raise ScenarioFailure(f"{what}:\n  expected {expected!r}\n  got      {actual!r}")


def log(message):
    print(message, flush=True)


def stop_process(process):
    """Ends a helper process of ours: asked first, killed if it does not go."""
    if process and process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(timeout=10)


def write_bench_report(ctx, default_name, name, real_time_ms, **counters):
    """One run measured by a scenario, as Google Benchmark JSON: to
    --bench-json, or `default_name` in the scenario's folder."""
    write_bench_reports(ctx, default_name, [(name, real_time_ms, counters)])


def write_bench_reports(ctx, default_name, runs):
    """Several runs measured by one scenario, (name, real_time_ms, counters)
    each, as the benchmarks of one Google Benchmark JSON file. A counter
    `error_message` marks its run failed, as Google Benchmark marks a run
    that called SkipWithError, so that scripts/bench_summary.py reports it."""
    benchmarks = []
    for family, (name, real_time_ms, counters) in enumerate(runs):
        benchmark = {"name": name, "family_index": family, "per_family_instance_index": 0, "run_name": name,
                     "run_type": "iteration", "repetitions": 1, "repetition_index": 0, "threads": 1, "iterations": 1,
                     "real_time": real_time_ms, "cpu_time": 0, "time_unit": "ms"}
        benchmark.update(counters)
        if "error_message" in counters:
            benchmark["error_occurred"] = True
        benchmarks.append(benchmark)
    report = {"context": {"date": datetime.now().astimezone().isoformat(timespec="seconds"),
                          "host_name": platform.node(), "executable": str(ctx.args.exe), "num_cpus": os.cpu_count(),
                          "mhz_per_cpu": 0, "cpu_scaling_enabled": False, "caches": [],
                          "load_avg": list(os.getloadavg()), "library_build_type": "release"},
              "benchmarks": benchmarks}
    out = Path(ctx.args.bench_json or ctx.work / default_name)
    out.write_text(json.dumps(report, indent=2) + "\n")
    log(f"bench: {out}")


# ---- Wine -------------------------------------------------------------------

def exports_from_script(output):
    """The variables of `export NAME=value` lines, as a prefix script prints them."""
    values = {}
    for line in output.splitlines():
        words = shlex.split(line, comments=True)
        if len(words) >= 2 and words[0] == "export":
            for word in words[1:]:
                if "=" in word:
                    name, value = word.split("=", 1)
                    values[name] = value
    return values


def wine_environment(prefix_script, fallback_prefix):
    """The environment for Wine processes, and whether this run owns the
    prefix's server. A prefix set up by the caller (scripts/test.sh does
    that) is used as it is; otherwise one is made in the build tree with the
    project's prefix script, and its server is this run's to stop."""
    env = dict(os.environ)
    if env.get("WINEPREFIX"):
        return env, False
    expect(Path(prefix_script).is_file(),
           f"WINEPREFIX is not set and {prefix_script} is missing: cannot prepare a Wine prefix")
    done = subprocess.run(["bash", str(prefix_script), str(fallback_prefix)], stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=180, text=True)
    expect(done.returncode == 0, f"{prefix_script} failed with {done.returncode}")
    env.update(exports_from_script(done.stdout))
    expect(env.get("WINEPREFIX"), f"{prefix_script} printed no WINEPREFIX")
    return env, True


def stop_wineserver(env):
    subprocess.run([WINESERVER, "-k"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=30)


def start_wineserver(env):
    """Starts the prefix's server and services detached from our pipes, so
    that whoever reads our output sees its end; harmless when they run."""
    subprocess.run([WINESERVER, "-p"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=30)
    subprocess.run([WINE, "wineboot"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=120)


# ---- emulated adapters ----------------------------------------------------

class Frame:
    __slots__ = ("to_adapter", "data")

    def __init__(self, to_adapter, data):
        self.to_adapter = to_adapter
        self.data = data

    @property
    def command(self):
        return self.data[0]

    @property
    def parameter(self):
        return self.data[1] | (self.data[2] << 8)

    @property
    def argument(self):
        return self.data[3]

    def __repr__(self):
        arrow = ">" if self.to_adapter else "<"
        return f"{arrow}cmd={self.command} par={self.parameter} arg={self.argument} len={self.data[7]}"


class AdapterState:
    """What one emulated adapter kept and heard, from its state folder."""

    def __init__(self, folder):
        self.folder = Path(folder)
        self.values = {}
        self.violations = []
        for line in (self.folder / "state.txt").read_text().splitlines():
            if "=" in line:
                key, value = line.split("=", 1)
                if key == "violation":
                    self.violations.append(value)
                else:
                    self.values[key] = value
        # What the link saw: opens, whether open at the dump, and when each
        # command's first frame came in (microseconds on Wine's
        # QueryPerformanceCounter clock, as the driver's times).
        self.opens = 0
        self.open = False
        self.first_frame_us = {}
        link = self.folder / "link.txt"
        if link.is_file():
            for line in link.read_text().splitlines():
                key, _, value = line.partition("=")
                if key == "opens":
                    self.opens = int(value)
                elif key == "open":
                    self.open = value == "1"
                elif key == "first_frame_us":
                    command, _, at = value.partition(":")
                    self.first_frame_us[int(command)] = int(at)
        self.frames = []
        transcript = self.folder / "transcript.txt"
        if transcript.is_file():
            for line in transcript.read_text().splitlines():
                if line[:2] in ("> ", "< "):
                    self.frames.append(Frame(line[0] == ">", bytes.fromhex(line[2:])))

    def number(self, key):
        return int(self.values[key])

    @property
    def image(self):
        path = self.folder / "image.bin"
        return path.read_bytes() if path.is_file() else None

    @property
    def sent(self):
        """The frames the program wrote to this adapter, in order."""
        return [f for f in self.frames if f.to_adapter]

    def commands(self):
        return [f.command for f in self.sent]

    def describe(self, limit=12):
        sent = self.sent
        head = ", ".join(repr(f) for f in sent[:limit])
        return f"{len(sent)} frames sent: {head}{' ...' if len(sent) > limit else ''}"


def adapter_folders(state_dir):
    """The adapters' state folders in device order (the number in the name)."""
    folders = [p for p in Path(state_dir).iterdir() if p.is_dir() and (p / "state.txt").is_file()]

    def order(path):
        digits = re.findall(r"\d+", path.name)
        return (int(digits[-1]) if digits else -1, path.name)

    return sorted(folders, key=order)


class Emulator:
    """The native emulator process on a loopback port of its choosing."""

    def __init__(self, program, state_dir, flags, log_path):
        self.program = program
        self.state_dir = Path(state_dir)
        self.flags = [str(f) for f in flags]
        self.log_path = Path(log_path)
        self.process = None
        self.port = None

    def start(self, timeout=15):
        if self.state_dir.exists():
            shutil.rmtree(self.state_dir)
        self.state_dir.mkdir(parents=True)
        command = [str(self.program), "--port", "0", "--state-dir", str(self.state_dir)] + self.flags
        log(f"emulator: {' '.join(shlex.quote(c) for c in command)}")
        self.stderr = open(self.log_path, "wb")
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=self.stderr, start_new_session=True)
        self.port = self._read_port(timeout)
        log(f"emulator: listening on 127.0.0.1:{self.port}")
        return self.port

    def _read_port(self, timeout):
        selector = selectors.DefaultSelector()
        selector.register(self.process.stdout, selectors.EVENT_READ)
        deadline = time.monotonic() + timeout
        seen = b""
        try:
            while time.monotonic() < deadline:
                if not selector.select(timeout=max(0.0, deadline - time.monotonic())):
                    break
                chunk = os.read(self.process.stdout.fileno(), 4096)
                if not chunk:
                    break
                seen += chunk
                match = re.search(rb"^port=(\d+)\n", seen, re.MULTILINE)
                if match:
                    return int(match.group(1))
        finally:
            selector.close()
        raise ScenarioFailure(f"the emulator printed no port within {timeout} s; it said {seen!r}; "
                              f"log: {self.log_path.read_text(errors='replace')[-2000:]}")

    def stop(self, timeout=15):
        """Ends the emulator, which writes its state on the way out, and
        reads that state back, one AdapterState per adapter in order."""
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                code = self.process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.kill()
                raise ScenarioFailure(f"the emulator did not end within {timeout} s of SIGTERM")
            expect_equal(code, 0, "exit code of the emulator")
        # The summary is written last: without it the dump is incomplete.
        expect((self.state_dir / "summary.txt").is_file(), f"the emulator left no summary in {self.state_dir}")
        return [AdapterState(f) for f in adapter_folders(self.state_dir)]

    def dump(self, timeout=60):
        """Has the running emulator write its state now (a DUMP request on
        the wire) and reads it back, one AdapterState per adapter."""
        with socket.create_connection(("127.0.0.1", self.port), timeout=timeout) as connection:
            connection.sendall(struct.pack("<IB", 1, 0x08))
            reply = b""
            while len(reply) < 9:
                chunk = connection.recv(9 - len(reply))
                expect(chunk, "the emulator closed the connection before answering DUMP")
                reply += chunk
        size, kind, status = struct.unpack("<IBI", reply)
        expect_equal((size, kind, status), (5, 0x88, 0), "the emulator's reply to DUMP (size, type, status)")
        return [AdapterState(f) for f in adapter_folders(self.state_dir)]

    def wait_links_closed(self, limit_s):
        """Waits until no adapter's link is open, asking the emulator for its
        state (DUMP) until then; returns how many looks saw one open. Past
        the limit the scenario goes on, and the check on the final state
        reports the link still open: a connection left open for good."""
        started = time.monotonic()
        looks_open = 0
        while True:
            still_open = [n for n, adapter in enumerate(self.dump()) if adapter.open]
            waited = time.monotonic() - started
            if not still_open or waited >= limit_s:
                break
            looks_open += 1
            time.sleep(0.02)
        log(f"emulator: links {still_open} still open after {waited:.3f} s" if still_open else
            f"emulator: every link closed ({looks_open} looks saw one open, {waited:.3f} s)")
        return looks_open

    def kill(self):
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait(timeout=10)


# ---- virtual HID devices ------------------------------------------------------

class HidDevices:
    """The emulator's interfaces as HID devices of the prefix, under Wine's
    own HID class driver (vantri_hid_devices.exe and its driver,
    emulator/hid_device/). Started after the emulator; stop() removes every
    device, which ends each device's bridge connection, and then the program
    itself ends."""

    def __init__(self, program, work, env):
        self.program = Path(program)
        self.work = Path(work)
        self.env = env
        self.process = None
        self.out_path = None
        self.paths = []

    def start(self, port, unasked=(), timeout=60):
        inf = self.program.parent / "vantri_hid_bridge.inf"
        command = [WINE, str(self.program), "--port", str(port), "--inf", windows_path_of(inf)]
        for member in unasked:
            command += ["--unasked", str(member)]
        self.out_path = self.work / "hid-devices.out"
        log(f"devices: {' '.join(shlex.quote(c) for c in command)}")
        # Output to a file: the services it wakes must never hold a pipe of ours.
        with open(self.out_path, "wb") as out, open(self.work / "hid-devices.err", "ab") as err:
            self.process = subprocess.Popen(command, env=self.env, stdin=subprocess.PIPE, stdout=out, stderr=err,
                                            start_new_session=True)
        lines = self._wait_for(lambda lines: any(l.startswith("ready ") for l in lines), timeout)
        self.paths = [l.split(" ", 2)[2] for l in lines if l.startswith("device ")]
        log(f"devices: {len(self.paths)} present, the first {self.paths[:1]}")
        return self.paths

    def lines(self):
        return self.out_path.read_text(errors="replace").splitlines() if self.out_path else []

    def _wait_for(self, condition, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            lines = self.lines()
            if condition(lines):
                return lines
            if self.process.poll() is not None:
                break
            time.sleep(0.02)
        err = (self.work / "hid-devices.err").read_text(errors="replace")[-1500:]
        raise ScenarioFailure(f"vantri_hid_devices: no {condition.__name__ if hasattr(condition, '__name__') else ''}"
                              f"answer within {timeout} s; it said {self.lines()} {err}")

    def removed(self):
        """Members removed so far, in order (an adapter that vanished from
        the emulator, or a remove command)."""
        return [int(l.split()[1]) for l in self.lines() if l.startswith("removed ")]

    def stop(self, timeout=30):
        if not self.process or self.process.poll() is not None:
            return
        try:
            self.process.stdin.close()
            self._wait_for(lambda lines: "done" in lines, timeout)
            code = self.process.wait(timeout=timeout)
            expect_equal(code, 0, "exit code of vantri_hid_devices")
        finally:
            stop_process(self.process)


def windows_path_of(path):
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


# ---- the program and the driver ---------------------------------------------

class DriverFailure(ScenarioFailure):
    def __init__(self, message, lines):
        super().__init__(message)
        self.lines = lines


class Harness:
    def __init__(self, exe, driver, work_dir, env, title=MAIN_TITLE, title_is_prefix=False):
        self.exe = Path(exe)
        self.title = title
        self.title_is_prefix = title_is_prefix
        self.driver = Path(driver)
        self.work = Path(work_dir)
        self.env = env
        self.app = None
        self.app_pid = None
        self.emulator = None
        self.devices = None
        self.driver_runs = 0

    # The program under test.
    def start_app(self, emulator_port=None, args=()):
        """Starts the program with `args`; its standard input is never a
        console (a console program's stdin is /dev/null), and its output
        goes to app.stdout and app.stderr."""
        env = dict(self.env)
        if emulator_port is not None:
            env["VANTRI4_EMULATOR"] = f"127.0.0.1:{emulator_port}"
        self.app_out = self.work / "app.stdout"
        out = open(self.app_out, "wb")
        err = open(self.work / "app.stderr", "wb")
        args = [str(a) for a in args]
        log(f"app: {' '.join([self.exe.name] + [shlex.quote(a) for a in args])}" +
            (f" with VANTRI4_EMULATOR={env['VANTRI4_EMULATOR']}" if emulator_port is not None else ""))
        # The wine64 process is the program itself: its exit code is the
        # program's, and killing it ends the program.
        self.app = subprocess.Popen([WINE, str(self.exe)] + args, env=env, cwd=self.work, stdin=subprocess.DEVNULL,
                                    stdout=out, stderr=err, start_new_session=True)
        return self.app

    def app_output(self):
        """What the program wrote on standard output so far: its JSON lines,
        or ("text", line) for a line that is not one."""
        objects = []
        for text in self.app_out.read_bytes().decode("utf-8", "replace").splitlines():
            try:
                objects.append(json.loads(text))
            except json.JSONDecodeError:
                objects.append(("text", text))
        return objects

    def interrupt_when(self, condition, timeout):
        """Once the program's output so far meets `condition`, delivers
        Ctrl+C to it: SIGINT to the wine64 process, which Wine turns into a
        CTRL_C_EVENT for the program's console control handlers (see
        docs/testing-under-wine.md). Returns the output seen at that moment."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and self.app.poll() is None:
            seen = self.app_output()
            if condition(seen):
                self.app.send_signal(signal.SIGINT)
                log(f"app: Ctrl+C after {len(seen)} lines of output")
                return seen
            time.sleep(0.01)
        raise ScenarioFailure(f"the program's output never came to the point for Ctrl+C within {timeout} s "
                              f"(exit code {self.app.poll()}): {self.app_output()[-3:]}")

    def wait_app(self, timeout=20):
        try:
            code = self.app.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise ScenarioFailure(f"the program did not end within {timeout} s")
        log(f"app: exit code {code}")
        return code

    def driver_run(self, *actions, timeout=60, check=True):
        """Runs one driver script; returns its JSON lines. With check, a
        failed action fails the scenario with the driver's own report."""
        self.driver_runs += 1
        args = ["--image", self.exe.name, "--title-prefix" if self.title_is_prefix else "--title", self.title]
        if self.app_pid:
            args += ["--pid", str(self.app_pid)]
        args += [str(a) for a in actions]
        out_path = self.work / f"driver-{self.driver_runs:02d}.jsonl"
        # Output to a file, not a pipe: nothing Wine starts can then hold our
        # end of a pipe open.
        err_path = self.work / "driver.stderr"
        err_start = err_path.stat().st_size if err_path.exists() else 0
        with open(out_path, "wb") as out, open(err_path, "ab") as err:
            try:
                code = subprocess.run([WINE, str(self.driver)] + args, env=self.env, stdin=subprocess.DEVNULL,
                                      stdout=out, stderr=err, timeout=timeout).returncode
            except subprocess.TimeoutExpired:
                raise ScenarioFailure(f"driver {' '.join(args)} did not finish within {timeout} s")
        lines = []
        for text in out_path.read_text(encoding="utf-8", errors="replace").splitlines():
            text = text.strip()
            if text:
                try:
                    lines.append(json.loads(text))
                except json.JSONDecodeError:
                    lines.append({"action": "?", "ok": False, "error": f"unreadable line {text!r}"})
        for line in lines:
            log(f"driver: {json.dumps(line, ensure_ascii=False)}")
        if check and (code != 0 or not lines or not all(line.get("ok") for line in lines)):
            failed = next((line for line in lines if not line.get("ok")), None)
            # A driver that reported nothing at all did not get going: what
            # it (or Wine) said on the way is the only clue.
            said = "" if lines else err_path.read_bytes()[err_start:][-1500:].decode(errors="replace").strip()
            raise DriverFailure(f"driver action failed (exit code {code}): {failed}"
                                + (f"; its stderr: {said!r}" if said else ""), lines)
        return lines

    def wait_main(self, timeout_ms=20000):
        line = self.driver_run("timeout", timeout_ms, "wait-main")[-1]
        self.app_pid = line["pid"]
        expect(line.get("hook"), "the driver could not see message-box styles in the program (hook library)")
        return line

    def one(self, *actions, **kw):
        return self.driver_run(*actions, **kw)[-1]

    def close(self):
        """Kills whatever is left: the program, the devices, then the emulator."""
        if self.app and self.app.poll() is None:
            log("cleanup: killing the program")
            self.app.kill()
            try:
                self.app.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
        if self.devices:
            try:
                self.devices.stop()
            except ScenarioFailure as failure:
                log(f"cleanup: {failure}")
        if self.emulator:
            self.emulator.kill()


def expect_box(line, kind, caption, text):
    """A box as the driver reported it: its kind (icon and buttons), caption
    and text, all exactly."""
    expect_equal(line.get("caption"), caption, "message box caption")
    expect_equal(line.get("text"), text, f"text of the box {caption!r}")
    expect_equal(line.get("kind"), kind,
                 f"kind of the box {caption!r} (icon {line.get('icon')}, buttons {line.get('buttons')})")
    expect_equal(line.get("open_boxes"), 1, f"message boxes open with {caption!r}")


def screenshot(path, display, env):
    """The whole X screen as PNG (ImageMagick's import)."""
    done = subprocess.run(["import", "-display", display, "-window", "root", str(path)], env=env,
                          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=30)
    expect(done.returncode == 0 and Path(path).is_file(),
           f"screenshot {path} failed: {done.stderr.decode(errors='replace')[-500:]}")
    log(f"screenshot: {path}")
