"""The end-to-end scenarios: each runs the emulation build against the native
emulator process, works its window through the driver, and checks the boxes
the user sees, the exit code and what the emulated adapters received."""

import os
from pathlib import Path

from e2e_harness import (CARRIED_VERSION, MAIN_TITLE, Emulator, Harness, HidDevices, ScenarioFailure, expect,
                         expect_box, expect_equal, log, screenshot, write_bench_report)

# The texts the program shows, exactly.
UPDATE_QUESTION = "Your Vantri4 will be upgraded from firmware version\n[{old}] to [" + CARRIED_VERSION + "].\n\nReady?"
UP_TO_DATE = "Your Vantri4's firmware [" + CARRIED_VERSION + "] is already up-to-date."
TOO_OLD = ("Your Vantri4 has a firmware version [{old}] that can't be upgraded to [" + CARRIED_VERSION +
           "].\n\nPlease re-run this tool and select 'Factory Reset'.")
RESET_QUESTION_MANY = ("WARNING! Factory Reset will erase all your Configs and Global Settings and install firmware "
                       "version [" + CARRIED_VERSION + "].\n\nAre you sure?\n\n({count} Vantri4s will be updated.)")
DONE_ONE = "Your Vantri4 was updated successfully!\n\nIt is now safe to remove it from your PC."
DONE_MANY = "{count} Vantri4s updated successfully!\n\nIt is now safe to remove them from your PC."
FAILED_ONE = ("There was an error flashing your Vantri4. You will need to rerun Vantri4Flash and select "
              "'Factory Reset'.")
NO_ADAPTER = ("Failure connecting to Vantri4.\n\nPlease be sure your Vantri4 is connected to your PC without any "
              "devices attached to it and it is displaying a solid blue light.")
IDLE_STATUS = "Please choose an option."
FLASHING = "Flashing ...\n"

RESET_QUESTION_ONE = ("WARNING! Factory Reset will erase all your Configs and Global Settings and install firmware "
                      "version [" + CARRIED_VERSION + "].\n\nWhen complete, you must re-pair your Vantri4 to all your "
                      "Vantri4 Manager devices.\n\nAre you sure?")

CMD_BEGIN, CMD_IMAGE, CMD_END, CMD_ERASE_CONFIGS, CMD_ERASE_SETTINGS, CMD_INFO = 1, 2, 3, 10, 11, 21
UPDATE_BUTTON, RESET_BUTTON = 2, 3
# Restarts of one search before it gives up (kMaxSearchRestarts).
SEARCH_RESTARTS = 5
# How long the bridge connections of removed devices may take to close.
LINK_CLOSE_LIMIT_S = 5


class Context:
    """One scenario's paths and running pieces."""

    def __init__(self, args, env, work):
        self.args = args
        self.env = env
        self.work = Path(work)
        self.firmware = Path(args.firmware).read_bytes()
        self.harness = None
        self.log_mark = 0
        self.run_env = env
        # On the HID stack: the shipping exe, the emulator's interfaces as
        # HID devices of the prefix, and which of them send an unasked report.
        self.hid = False
        self.unasked = ()
        # How many times longer a transfer may take than over the emulation
        # build's own binding: every report crosses more processes on the
        # HID stack.
        self.slower = 1
        # Emulator options every start() of the scenario adds to its own.
        self.extra_flags = ()

    def log_folder(self):
        """Where the program keeps its diagnostics log in the prefix of the
        last start(); None where that prefix has no such folder (yet)."""
        prefix = Path(self.run_env.get("WINEPREFIX") or Path.home() / ".wine")
        found = sorted((prefix / "drive_c" / "users").glob("*/AppData/Local"))
        return found[0] / "Vantri4 Flash" if found else None

    def new_log(self):
        """What the program's runs since the last start() added to the log
        (the whole log if it was begun anew since)."""
        folder = self.log_folder()
        expect(folder, "no AppData/Local folder in the Wine prefix")
        path = folder / "Vantri4Flash.log"
        data = path.read_bytes() if path.is_file() else b""
        return (data[self.log_mark:] if len(data) >= self.log_mark else data).decode("utf-8", "replace")

    def expect_logged(self, *lines, what="the diagnostics log"):
        text = self.new_log()
        for line in lines:
            expect(line in text, f"{what}: {line!r} not in the log:\n{text}")

    def start(self, *emulator_flags, env=None, any_title=False):
        """Emulator first (the program enumerates at the first click, but the
        address must answer from the start), then the program, then its window
        (with any_title, any window whose title begins "Vantri4 Flash")."""
        title = "Vantri4 Flash" if any_title else MAIN_TITLE
        exe = self.args.shipping_exe if self.hid else self.args.exe
        self.start_program(exe, emulator_flags, env=env, title=title, title_is_prefix=any_title)
        main = self.harness.wait_main()
        expect_equal(main["title"], MAIN_TITLE, "window title")
        return self.harness

    def start_program(self, exe, emulator_flags, args=(), env=None, **harness_options):
        """The emulator (and on the HID stack its devices), then `exe` with
        `args`, reaching the emulator as its build does."""
        self.run_env = env or self.env
        folder = self.log_folder()
        log_file = folder / "Vantri4Flash.log" if folder else None
        self.log_mark = log_file.stat().st_size if log_file and log_file.is_file() else 0
        self.harness = Harness(exe, self.args.driver, self.work, env or self.env, **harness_options)
        emulator = Emulator(self.args.emulator, self.work / "state", tuple(emulator_flags) + self.extra_flags,
                            self.work / "emulator.log")
        self.harness.emulator = emulator
        port = emulator.start()
        if self.hid:
            self.harness.devices = HidDevices(self.args.hid_devices, self.work, env or self.env)
            self.harness.devices.start(port, self.unasked)
            self.harness.start_app(args=args)
        else:
            self.harness.start_app(port, args=args)
        return self.harness

    def finish(self, exit_code=0):
        """The program must end by itself with `exit_code`; then the adapters' state."""
        expect_equal(self.harness.wait_app(), exit_code, "exit code of the program")
        if self.harness.devices:
            # Removing the devices ends their bridge connections, but not at
            # once: the removal returns before the bridge's socket is closed
            # and the emulator's thread for it has seen the end.
            self.harness.devices.stop()
            self.harness.emulator.wait_links_closed(LINK_CLOSE_LIMIT_S)
        adapters = self.harness.emulator.stop()
        for n, adapter in enumerate(adapters):
            log(f"adapter {n}: {adapter.describe()}")
            expect_equal(adapter.violations, [], f"protocol violations seen by adapter {n}")
            if self.harness.devices:
                expect_equal((adapter.opens, adapter.open), (1, False),
                             f"adapter {n}: bridge connections opened, and one still open "
                             f"{LINK_CLOSE_LIMIT_S} s after the devices were removed (a connection left open)")
        return adapters

    def close(self):
        if self.harness:
            self.harness.close()


# ---- checks on what an adapter was sent -------------------------------------

def expect_info_reads(adapter, what):
    sent = adapter.sent
    expect(len(sent) >= 2, f"{what}: expected the two information reads, got {adapter.describe()}")
    expect_equal([(f.command, f.argument) for f in sent[:2]], [(CMD_INFO, 2), (CMD_INFO, 3)],
                 f"{what}: first two frames (command 21, pages 2 and 3)")


def expect_nothing_written(adapter, what):
    expect_equal(adapter.image, None, f"{what}: image stored on the adapter")
    expect_equal(adapter.number("images_received"), 0, f"{what}: images received")


def expect_flash(adapter, firmware, what, reset=False):
    """The whole flashing sequence, each frame acknowledged, and the image
    stored byte for byte."""
    sent = [f for f in adapter.sent if f.command != CMD_INFO]
    pieces = (len(firmware) + 55) // 56
    head = [CMD_ERASE_CONFIGS, CMD_ERASE_SETTINGS] if reset else []
    expect_equal([f.command for f in sent[:len(head) + 1]], head + [CMD_BEGIN], f"{what}: first commands")
    data = sent[len(head) + 1:-1]
    expect_equal(len(data), pieces, f"{what}: image frames")
    expect(all(f.command == CMD_IMAGE for f in data), f"{what}: a frame other than command 2 among the image frames")
    expect_equal([f.parameter for f in data], list(range(1, pieces + 1)), f"{what}: block counters of the image frames")
    expect_equal((sent[-1].command, sent[-1].parameter), (CMD_END, pieces + 1), f"{what}: end command and counter")
    image = adapter.image
    expect(image is not None, f"{what}: no image stored on the adapter")
    expect_equal(len(image), len(firmware), f"{what}: size of the stored image")
    if image != firmware:
        first = next(i for i, (a, b) in enumerate(zip(image, firmware)) if a != b)
        raise ScenarioFailure(f"{what}: the stored image differs from the carried one from byte {first} on")
    answers = [f for f in adapter.frames if not f.to_adapter]
    expect(all(f.command & 0x80 for f in answers), f"{what}: a frame was refused")


def expect_flashing_watch(watch):
    """What the window showed while the workers ran."""
    expect(FLASHING in watch["statuses"], f"status while flashing: {watch['statuses']}")
    positions = watch["progress"]
    expect(positions == sorted(positions), f"the progress bar moved back: {positions}")
    expect(positions and positions[-1] == 100, f"the progress bar did not reach 100: {positions}")
    expect(not watch["buttons_ever_enabled"], "a button was enabled while flashing")
    expect(not watch["progress_ever_hidden"], "the progress bar was hidden while flashing")


def expect_locked_state(state, what):
    expect_equal(state["buttons"], {"2": False, "3": False, "4": False, "5": False}, f"{what}: buttons")
    expect(state["progress_visible"], f"{what}: progress bar hidden")


# ---- scenarios --------------------------------------------------------------

def update_one(ctx):
    """Update of one adapter: question with both versions, Yes, Flashing ...,
    progress, "Flash Complete", the image on the adapter byte for byte."""
    h = ctx.start("--adapters", 1, "--version", "4.00.20150101")
    question = h.one("click", UPDATE_BUTTON, "box", "yes")
    expect_box(question, "question", "Firmware Update", UPDATE_QUESTION.format(old="4.00.20150101"))
    watch = h.one("timeout", 30000 * ctx.slower, "watch", timeout=30 * ctx.slower + 30)
    expect_flashing_watch(watch)
    state, done = h.driver_run("state", "box", "ok")
    expect_equal(state["status"], FLASHING, "status with the success box open")
    expect_locked_state(state, "with the success box open")
    expect_box(done, "information", "Flash Complete", DONE_ONE)
    h.one("wait-gone")
    (adapter,) = ctx.finish()
    expect_info_reads(adapter, "adapter 0")
    expect_flash(adapter, ctx.firmware, "adapter 0")


def just_past_limit(ctx):
    """4.00.20141115 is one day past the limit: offered the upgrade, and Yes
    flashes it."""
    h = ctx.start("--adapters", 1, "--version", "4.00.20141115")
    question = h.one("click", UPDATE_BUTTON, "box", "yes")
    expect_box(question, "question", "Firmware Update", UPDATE_QUESTION.format(old="4.00.20141115"))
    done = h.driver_run("timeout", 30000, "box", "ok", "wait-gone")[1]
    expect_box(done, "information", "Flash Complete", DONE_ONE)
    (adapter,) = ctx.finish()
    expect_flash(adapter, ctx.firmware, "adapter 0")


def up_to_date(ctx):
    """The carried version on the adapter: told so, nothing written."""
    h = ctx.start("--adapters", 1, "--version", CARRIED_VERSION)
    _, box, state = h.driver_run("click", UPDATE_BUTTON, "box", "leave", "state")
    expect_box(box, "information", "Firmware Update", UP_TO_DATE)
    expect_locked_state(state, "with the up-to-date box open")
    h.driver_run("box", "ok", "wait-gone")
    (adapter,) = ctx.finish()
    expect_info_reads(adapter, "adapter 0")
    expect_equal(adapter.commands(), [CMD_INFO, CMD_INFO], "commands sent")
    expect_nothing_written(adapter, "adapter 0")


def newer_than_carried(ctx):
    """A later firmware counts as up to date; the box names the carried version."""
    h = ctx.start("--adapters", 1, "--version", "4.01.20170101")
    box = h.driver_run("click", UPDATE_BUTTON, "box", "ok", "wait-gone")[1]
    expect_box(box, "information", "Firmware Update", UP_TO_DATE)
    (adapter,) = ctx.finish()
    expect_equal(adapter.commands(), [CMD_INFO, CMD_INFO], "commands sent")
    expect_nothing_written(adapter, "adapter 0")


def too_old(ctx):
    """4.00.20141114 is the last date that can't be upgraded."""
    h = ctx.start("--adapters", 1, "--version", "4.00.20141114")
    box = h.driver_run("click", UPDATE_BUTTON, "box", "ok", "wait-gone")[1]
    expect_box(box, "information", "Firmware Update", TOO_OLD.format(old="4.00.20141114"))
    (adapter,) = ctx.finish()
    expect_equal(adapter.commands(), [CMD_INFO, CMD_INFO], "commands sent")
    expect_nothing_written(adapter, "adapter 0")


def declined(ctx):
    """No to the question: no further box, nothing sent after the information
    reads, exit code 0."""
    h = ctx.start("--adapters", 1, "--version", "4.00.20150101")
    question = h.one("click", UPDATE_BUTTON, "box", "no")
    expect_box(question, "question", "Firmware Update", UPDATE_QUESTION.format(old="4.00.20150101"))
    h.one("wait-gone")
    (adapter,) = ctx.finish()
    expect_equal(adapter.commands(), [CMD_INFO, CMD_INFO], "commands sent")
    expect_nothing_written(adapter, "adapter 0")


def factory_reset_many(ctx, count, watch_ms, *emulator_options):
    """Factory reset on `count` adapters: the count in the question, 10 and 11
    first on each, every image byte for byte, the count in the success box.
    Returns the question's and the watch's reports and the adapters."""
    h = ctx.start("--adapters", count, "--version", "4.00.20141114", *emulator_options)
    question = h.one("click", RESET_BUTTON, "box", "yes")
    expect_box(question, "question", "Factory Reset", RESET_QUESTION_MANY.format(count=count))
    watch = h.one("timeout", watch_ms * ctx.slower, "watch", timeout=watch_ms * ctx.slower / 1000 + 30)
    expect_flashing_watch(watch)
    done = h.driver_run("box", "ok", "wait-gone")[0]
    expect_box(done, "information", "Flash Complete", DONE_MANY.format(count=count))
    adapters = ctx.finish()
    expect_equal(len(adapters), count, "adapters in the emulator's state")
    for n, adapter in enumerate(adapters):
        expect(CMD_INFO not in adapter.commands(), f"adapter {n}: a factory reset read device information")
        expect_flash(adapter, ctx.firmware, f"adapter {n}", reset=True)
    return question, watch, adapters


def factory_reset_three(ctx):
    """Factory reset on three adapters."""
    factory_reset_many(ctx, 3, 60000)


def refusal(ctx):
    """The adapter refuses the 5th image frame: the failure box, and nothing
    after the refused frame (no end command); the diagnostics log keeps the
    version, the adapter, the answer, the failing command with its code and
    the duration. Then the same with the log's folder taken by a file, so the
    log cannot be written: the same box, the same frames, no log."""
    blocked = None
    try:
        for attempt in ("log", "no log"):
            h = ctx.start("--adapters", 1, "--version", "4.00.20150101", "--refuse", "2:5:66")
            h.one("click", UPDATE_BUTTON, "box", "yes")
            box = h.driver_run("timeout", 30000, "box", "ok", "wait-gone")[1]
            expect_box(box, "error", "Unable to flash Vantri4", FAILED_ONE)
            (adapter,) = ctx.finish()
            commands = adapter.commands()
            expect_equal(commands, [CMD_INFO, CMD_INFO, CMD_BEGIN] + [CMD_IMAGE] * 5, f"{attempt}: commands sent")
            expect(CMD_END not in commands, "command 3 was sent after the refusal")
            refused = [f for f in adapter.frames if not f.to_adapter][-1]
            expect_equal((refused.command & 0x80, refused.argument), (0, 66), "the last answer (the refusal, code 66)")
            expect_nothing_written(adapter, "adapter 0")
            if blocked:
                expect(blocked.is_file() and blocked.read_bytes() == b"not a folder", "the blocking file changed")
                break
            ctx.expect_logged(f"Vantri4 Flash {CARRIED_VERSION} started", "operation: Update Firmware",
                              "adapters found: 1", "adapter 0: \\\\?\\hid#vid_2387&pid_0003#", "adapter 0 firmware: 4.00.20150101",
                              "question Firmware Update: yes",
                              "flash of adapter 0 failed: device 0, command 2, code 0x00000042 (66)",
                              "box error: Unable to flash Vantri4", "operation ended after ")
            folder = ctx.log_folder()
            folder.rename(folder.with_name("Vantri4 Flash.aside"))
            blocked = folder
            blocked.write_bytes(b"not a folder")
    finally:
        if blocked:
            blocked.unlink(missing_ok=True)
            blocked.with_name("Vantri4 Flash.aside").rename(blocked)


def no_adapter(ctx):
    """Only other HID devices: "Unable to find Vantri4" with the buttons still
    enabled (the controls lock only once an adapter is found)."""
    h = ctx.start("--adapters", 0, "--non-adapters", 2)
    _, box, state = h.driver_run("click", UPDATE_BUTTON, "box", "leave", "state")
    expect_box(box, "error", "Unable to find Vantri4", NO_ADAPTER)
    expect_equal(state["buttons"], {"2": True, "3": True, "4": True, "5": True}, "buttons with the box open")
    expect(not state["progress_visible"], "progress bar shown although no adapter was found")
    h.driver_run("box", "ok", "wait-gone")
    ctx.finish()


def keys_and_close(ctx):
    """Escape, Enter and Tab in the idle window start nothing, nor does a
    command for id 2 with a notification code; the close box ends the program
    with 0 and the adapter never hears a frame."""
    h = ctx.start("--adapters", 1, "--version", "4.00.20150101")
    lines = h.driver_run("key", "escape", "key", "enter", "key", "tab", "no-box", 1500, "state",
                         "command", UPDATE_BUTTON, 1, "no-box", 1000, "state")
    for state in (lines[4], lines[7]):
        expect_equal(state["status"], IDLE_STATUS, "status after the keys")
        expect_equal(state["buttons"], {"2": True, "3": True, "4": True, "5": True}, "buttons after the keys")
        expect(not state["progress_visible"], "progress bar shown after the keys")
    h.driver_run("sysclose", "wait-gone")
    (adapter,) = ctx.finish()
    expect_equal(adapter.sent, [], "frames sent to the adapter")


def idle_window(ctx):
    """The window as it starts: its title, status, hidden bar at 0, four
    enabled buttons with their labels; WM_CLOSE ends it with 0."""
    h = ctx.start("--adapters", 1, any_title=True)
    state = h.one("state")
    expect_equal(state["title"], MAIN_TITLE, "title")
    expect_equal(state["status"], IDLE_STATUS, "status")
    expect_equal((state["progress"], state["progress_visible"]), (0, False), "progress bar")
    expect_equal(state["buttons"], {"2": True, "3": True, "4": True, "5": True}, "buttons")
    h.driver_run("close", "wait-gone")
    (adapter,) = ctx.finish()
    expect_equal(adapter.sent, [], "frames sent to the adapter")


SCENARIOS = {
    "update_one": update_one,
    "just_past_limit": just_past_limit,
    "up_to_date": up_to_date,
    "newer_than_carried": newer_than_carried,
    "too_old": too_old,
    "declined": declined,
    "factory_reset_three": factory_reset_three,
    "refusal": refusal,
    "no_adapter": no_adapter,
    "keys_and_close": keys_and_close,
    "idle_window": idle_window,
}


def screenshots(ctx, during_flash=False, extra_flags=()):
    """On a virtual display: the idle window, the question, the success box
    (and with during_flash, the window while flashing), as PNG files; the
    update itself is checked as in update_one."""
    from e2e_display import on_virtual_display

    shots = Path(ctx.args.screenshots or ctx.work / "screenshots")
    shots.mkdir(parents=True, exist_ok=True)
    with on_virtual_display(ctx, "xvfb.log") as (name, env):
        flags = ["--adapters", 1, "--version", "4.00.20150101"] + (["--frame-clock"] if during_flash else [])
        flags += list(extra_flags)
        h = ctx.start(*flags, env=env)
        h.one("sleep", 400)  # let the window paint
        screenshot(shots / "1-idle.png", name, env)
        question = h.driver_run("click", UPDATE_BUTTON, "box", "leave", "sleep", 300)[1]
        expect_box(question, "question", "Firmware Update", UPDATE_QUESTION.format(old="4.00.20150101"))
        screenshot(shots / "2-question.png", name, env)
        h.one("box", "yes")
        if during_flash:
            h.one("timeout", 60000, "wait-progress", 30)
            screenshot(shots / "3-flashing.png", name, env)
        done = h.driver_run("timeout", 120000, "box", "leave", "sleep", 300)[1]
        expect_box(done, "information", "Flash Complete", DONE_ONE)
        screenshot(shots / "4-complete.png", name, env)
        h.driver_run("box", "ok", "wait-gone")
        (adapter,) = ctx.finish()
        expect_flash(adapter, ctx.firmware, "adapter 0")
        log(f"screenshots: {shots}")


def demo_update(ctx):
    """The headless run of scripts/run.sh: as screenshots, at the adapter's
    real USB frame pace, with a picture taken while it flashes."""
    screenshots(ctx, during_flash=True)


# The loopback figure of one 64-byte request and answer between a Wine
# program and a native process, measured on the rig: about 1 s for 4,600.
LOOPBACK_EXCHANGES_PER_SECOND = 4600.0


def process_cpu_seconds(pid):
    """User and system time of a running process so far (all its threads)."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wine_flash_bench(ctx):
    """One update at zero latency through the emulation build and the
    emulator process; writes exchanges per second in Google Benchmark's JSON
    format. Only the flash's success is asserted, never its speed."""

    h = ctx.start("--adapters", 1, "--version", "4.00.20150101")
    cpu_before = process_cpu_seconds(h.app.pid)
    # Answer and wait in one driver run, so that the time between the two is
    # the flash and not a driver start.
    _, question, _, done = h.driver_run("click", UPDATE_BUTTON, "box", "yes", "timeout", 120000, "box", "leave")
    cpu = process_cpu_seconds(h.app.pid) - cpu_before
    expect_box(question, "question", "Firmware Update", UPDATE_QUESTION.format(old="4.00.20150101"))
    expect_box(done, "information", "Flash Complete", DONE_ONE)
    h.driver_run("box", "ok", "wait-gone")
    (adapter,) = ctx.finish()
    expect_flash(adapter, ctx.firmware, "adapter 0")

    # Everything after the question: begin, the image frames, end.
    exchanges = len(adapter.sent) - 2
    seconds = (done["seen_us"] - question["answered_us"]) / 1e6
    expect(seconds > 0, f"flash time {seconds} s")
    rate = exchanges / seconds
    log(f"bench: {exchanges} exchanges in {seconds:.3f} s: {rate:.0f} exchanges/s "
        f"({rate / LOOPBACK_EXCHANGES_PER_SECOND:.2f} of the loopback figure)")
    write_bench_report(ctx, "bench-wine-flash.json", "BM_WineFlash", seconds * 1e3,
                       # The program's own CPU time (all its threads) over the same span.
                       cpu_time=cpu * 1e3, exchanges=exchanges, exchanges_per_second=rate,
                       loopback_ratio=rate / LOOPBACK_EXCHANGES_PER_SECOND)


SCENARIOS["wine_flash_bench"] = wine_flash_bench
ON_VIRTUAL_DISPLAY = {"screenshots", "demo_update"}
SCENARIOS["screenshots"] = screenshots
SCENARIOS["demo_update"] = demo_update


# ---- the rig at its limits ----------------------------------------------------

def full_table(ctx):
    """257 adapters and 64 other interfaces, one list of 50,085 bytes: 256
    adapters are kept, the 257th is opened in each of the three passes, found
    not to fit and closed again, and only index 0 is read; its firmware is too
    old, so the too-old box."""
    h = ctx.start("--adapters", 257, "--non-adapters", 64, "--version", "0/4.00.20141114")
    box = h.driver_run("timeout", 60000, "click", UPDATE_BUTTON, "box", "leave")[-1]
    expect_box(box, "information", "Firmware Update", TOO_OLD.format(old="4.00.20141114"))
    # With the box up the table is as the search left it.
    adapters = h.emulator.dump()
    expect_equal(len(adapters), 257, "adapters in the emulator's state")
    expect_equal([n for n, a in enumerate(adapters) if a.open], list(range(256)), "adapters held open")
    expect_equal({a.opens for a in adapters[:256]}, {1}, "opens of each kept adapter")
    expect_equal(adapters[256].opens, 3, "opens of the 257th adapter (one a pass, none kept)")
    h.driver_run("box", "ok", "wait-gone")
    adapters = ctx.finish()
    expect_equal(adapters[0].commands(), [CMD_INFO, CMD_INFO], "commands sent to index 0")
    expect_equal([n for n, a in enumerate(adapters) if a.number("output_reports")], [0], "adapters that heard a frame")


def factory_reset_sixteen(ctx):
    """Factory reset on sixteen adapters at once."""
    factory_reset_many(ctx, 16, 240000)


def flickering_adapter(ctx):
    """An adapter that leaves and comes back on every pass: after its last
    restart the search ends with no adapter, the user sees the connect box,
    and no adapter hears a frame."""
    h = ctx.start("--adapters", 2, "--flicker", 0)
    _, box, state = h.driver_run("click", UPDATE_BUTTON, "box", "leave", "state")
    expect_box(box, "error", "Unable to find Vantri4", NO_ADAPTER)
    expect_equal(state["buttons"], {"2": True, "3": True, "4": True, "5": True}, "buttons with the box open")
    h.driver_run("box", "ok", "wait-gone")
    adapters = ctx.finish()
    # Each round opens both, misses the first in the next pass and starts over.
    expect_equal([a.opens for a in adapters], [SEARCH_RESTARTS + 1] * 2, "opens of each adapter")
    expect_equal([a.sent for a in adapters], [[], []], "frames sent")


def slow_erase(ctx):
    """The adapter answers its erase of the configs 15 s late, longer than a
    data frame may take: the factory reset waits for it and succeeds."""
    h = ctx.start("--adapters", 1, "--answer-delay", "10:1:15000")
    _, question, _, done = h.driver_run("click", RESET_BUTTON, "box", "yes", "timeout", 90000, "box", "leave",
                                        timeout=120)
    expect_box(question, "question", "Factory Reset", RESET_QUESTION_ONE)
    expect_box(done, "information", "Flash Complete", DONE_ONE)
    h.driver_run("box", "ok", "wait-gone")
    (adapter,) = ctx.finish()
    expect_flash(adapter, ctx.firmware, "adapter 0", reset=True)
    waited = (adapter.first_frame_us[CMD_ERASE_SETTINGS] - adapter.first_frame_us[CMD_ERASE_CONFIGS]) / 1e6
    log(f"the erase was answered after {waited:.1f} s")
    expect(waited >= 15, f"command 11 followed command 10 after {waited:.1f} s, before its answer was due")


def silent_erase(ctx):
    """An adapter that never answers its erase: the program waits the erase's
    60 s and then shows its failure box; nothing is written. The end of the
    session, asked as the system asks it, is allowed while idle, refused
    while the adapter is being written (also the restart manager's close
    request), and allowed again with the failure box open."""
    h = ctx.start("--adapters", 1, "--silent-at", 1)
    idle, _, question, _, writing, closing, _, box, after = h.driver_run(
        "query-end-session", 0, "click", RESET_BUTTON, "box", "yes", "sleep", 1000, "query-end-session", 0,
        "query-end-session", 1, "timeout", 100000, "box", "leave", "query-end-session", 0, timeout=120)
    expect_equal([line["may_end"] for line in (idle, writing, closing, after)], [True, False, False, True],
                 "the window's answers: idle, writing, writing (restart manager), failure box open")
    expect_box(question, "question", "Factory Reset", RESET_QUESTION_ONE)
    expect_box(box, "error", "Unable to flash Vantri4", FAILED_ONE)
    waited = (box["seen_us"] - question["answered_us"]) / 1e6
    log(f"the failure box came {waited:.1f} s after Yes")
    expect(60 <= waited < 75, f"the failure box came {waited:.1f} s after Yes, not at the erase's 60 s limit")
    h.driver_run("box", "ok", "wait-gone")
    (adapter,) = ctx.finish()
    expect_equal(adapter.commands(), [CMD_ERASE_CONFIGS], "commands sent")
    expect_nothing_written(adapter, "adapter 0")
    ctx.expect_logged("operation: Factory Reset", "question Factory Reset: yes",
                      "flash of adapter 0 failed: device 0, command 10, code 0x000005B4 (1460)")


def pool_spread_bench(ctx):
    """64 adapters on the system thread pool: the delay from Yes to each
    adapter's first begin and first image frame, from the emulator's arrival
    times and the driver's time of the answer (one clock, one run). The run is
    cut off once every adapter has had its first image frame (at most 60 s);
    the spread goes to a Google Benchmark JSON file and is never asserted."""
    import statistics
    import time

    count = 64
    h = ctx.start("--adapters", count, "--version", "4.00.20150101", "--no-transcript")
    question = h.driver_run("click", UPDATE_BUTTON, "box", "yes")[-1]
    expect_box(question, "question", "Firmware Update", UPDATE_QUESTION.format(old="4.00.20150101"))
    yes_us = question["answered_us"]
    deadline = time.monotonic() + 60
    pause = 0.5
    while True:
        time.sleep(pause)
        adapters = h.emulator.dump()
        if all(CMD_IMAGE in a.first_frame_us for a in adapters) or time.monotonic() > deadline:
            break
        pause = min(2 * pause, 8)
    # Cut the run off: the workers would go on writing whole images.
    h.app.kill()
    h.app.wait(timeout=10)
    h.emulator.stop()

    def delays(command):
        return [(a.first_frame_us[command] - yes_us) / 1000 for a in adapters if command in a.first_frame_us]

    def summary(values):
        low, middle, high = min(values), statistics.median(values), max(values)
        return {"min_ms": low, "median_ms": middle, "max_ms": high,
                "max_over_min": high / low, "max_over_median": high / middle, "median_over_min": middle / low}

    image = delays(CMD_IMAGE)
    begin = delays(CMD_BEGIN)
    expect(image, "no adapter received an image frame")
    spread = summary(image)
    log(f"bench: {len(image)} of {count} adapters had their first image frame; from Yes: "
        f"min {spread['min_ms']:.1f} ms, median {spread['median_ms']:.1f} ms, max {spread['max_ms']:.1f} ms; "
        f"max/min {spread['max_over_min']:.2f}, max/median {spread['max_over_median']:.2f}")
    write_bench_report(ctx, "bench-wine-pool.json", f"BM_WinePoolFirstImageFrame/{count}", spread["median_ms"],
                       adapters=count, adapters_with_image_frame=len(image), **spread,
                       begin=summary(begin) if begin else None,
                       # Per adapter in device order; null when it had none.
                       first_image_frame_ms=[(a.first_frame_us[CMD_IMAGE] - yes_us) / 1000
                                             if CMD_IMAGE in a.first_frame_us else None for a in adapters])


SCENARIOS["full_table"] = full_table
SCENARIOS["factory_reset_sixteen"] = factory_reset_sixteen
SCENARIOS["flickering_adapter"] = flickering_adapter
SCENARIOS["slow_erase"] = slow_erase
SCENARIOS["silent_erase"] = silent_erase
SCENARIOS["pool_spread_bench"] = pool_spread_bench
# The workers' private messages; the same numbers are the dialog manager's
# DM_SETDEFID and DM_REPOSITION.
WM_FLASH_PROGRESS, WM_FLASH_DONE = 1025, 1026


def own_messages_idle(ctx):
    """Progress for indices 2 and 3 and a stray done message, posted to the
    idle window, are the program's own messages only: the default button
    stays as it was (DM_SETDEFID would make button 2, then 3, the default)
    and so does the window's place (on Windows DM_REPOSITION pulls a window
    that sticks out of the screen back onto it; Wine 8's dialog manager
    leaves DM_REPOSITION alone, so under Wine only the default button can
    show the fault)."""
    h = ctx.start("--adapters", 1, "--version", "4.00.20150101")
    before = h.driver_run("move", -150, -60, "dialog")[1]
    expect(before["rect"][0] < 0 and before["rect"][1] < 0, f"the window did not move off the screen: {before}")
    # Posted messages are handled in order: the bar's position shows when the
    # ones before it have been handled.
    lines = h.driver_run("post", WM_FLASH_PROGRESS, UPDATE_BUTTON, 10, "wait-progress", 10,
                         "post", WM_FLASH_DONE, 7, 0, "post", WM_FLASH_PROGRESS, RESET_BUTTON, 20,
                         "wait-progress", 20, "dialog", "state")
    after, state = lines[5], lines[6]
    expect_equal(after["default_id"], before["default_id"], "default button (DM_GETDEFID) after the posts")
    expect_equal(after["default_styled"], before["default_styled"], "buttons styled as the default after the posts")
    expect_equal(after["rect"], before["rect"], "the window's place after the posts")
    expect_equal(state["status"], IDLE_STATUS, "status after the posts")
    expect_equal(state["buttons"], {"2": True, "3": True, "4": True, "5": True}, "buttons after the posts")
    expect_equal(state["boxes"], 0, "message boxes after the posts")
    h.driver_run("close", "wait-gone")
    (adapter,) = ctx.finish()
    expect_equal(adapter.sent, [], "frames sent to the adapter")


SCENARIOS["own_messages_idle"] = own_messages_idle


def forged_final_messages(ctx):
    """Mid-image, another program posts the flash's "done" and "failed" for
    the adapter being written, and the window gets the close box and
    WM_CLOSE: none is believed or obeyed. The window stays, refuses the end
    of the session, and the run ends as it would have: the image byte for
    byte, then "Flash Complete", the one box after the question."""
    h = ctx.start("--adapters", 1, "--version", "4.00.20150101")
    question = h.one("click", UPDATE_BUTTON, "box", "yes")
    expect_box(question, "question", "Firmware Update", UPDATE_QUESTION.format(old="4.00.20150101"))
    lines = h.driver_run("wait-progress", 10, "post", WM_FLASH_DONE, 0, 0, "post", WM_FLASH_DONE + 1, 0, 0,
                         "sysclose", "close", "sleep", 300, "state", "query-end-session", 0,
                         timeout=60 * ctx.slower)
    state, query = lines[-2], lines[-1]
    expect_equal(state["boxes"], 0, "message boxes right after the forged messages")
    expect_equal(state["status"], FLASHING, "status after the forged messages")
    expect_equal(query["may_end"], False, "the end of the session mid-image")
    done = h.one("timeout", 30000 * ctx.slower, "box", "ok", timeout=30 * ctx.slower + 30)
    expect_box(done, "information", "Flash Complete", DONE_ONE)
    h.one("wait-gone")
    (adapter,) = ctx.finish()
    expect_flash(adapter, ctx.firmware, "adapter 0")


SCENARIOS["forged_final_messages"] = forged_final_messages


# ---- config backup ------------------------------------------------------------

BACKUP_BUTTON = 4
CMD_READ_BEGIN, CMD_READ_PIECE, CMD_READ_END = 13, 14, 16
CONFIG_AREA_SIZE = 65536
PRESERVED_AREA_SIZE = 3040
SAVE_TITLE = "Save Vantri4 Backup As ..."
PROPOSED_NAME = "Vantri4Backup.vtcb"
BACKING_UP = "Backing up ...\n"
BACKUP_DONE = "Your Vantri4 was successfully backed up!\n\nIt is now safe to remove it from your PC."
BACKUP_READ_FAILED = ("There was an error backing up your Vantri4.\n\nPlease check the connection to your Vantri4 and "
                      "try again.")
BACKUP_NO_ACCESS = "Unable to access specified file location for backup."
BACKUP_OUTDATED = ("Your Vantri4 can't be backed up since it has a config format that is out-of-date.\n\nYour "
                   "firmware will need to be updated by selecting 'Factory Reset'.")


def windows_path(path):
    """The path of a file of ours as the program sees it (Wine's Z: drive)."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def config_pattern():
    """A config area no adapter would hold by chance, its first bytes included."""
    return bytes((i * 7 + (i >> 8) * 3 + 1) & 0xFF for i in range(CONFIG_AREA_SIZE))


def backup_of(area):
    return bytes(PRESERVED_AREA_SIZE) + area[PRESERVED_AREA_SIZE:]


def expect_bytes(actual, expected, what):
    """Byte for byte, saying where the first difference is."""
    if actual == expected:
        return
    first = next((i for i, (a, b) in enumerate(zip(actual, expected)) if a != b), min(len(actual), len(expected)))
    raise ScenarioFailure(f"{what}: {len(actual)} bytes where {len(expected)} were expected, "
                          f"the first difference at byte {first}")


def backup_folder(ctx, name):
    folder = ctx.work / name
    folder.mkdir()
    return folder


def expect_config_read(adapter, what):
    """The information pages, then 13, 1,171 reads with counters 1 up, and 16
    with 1,172, each acknowledged."""
    sent = adapter.sent
    expect_info_reads(adapter, what)
    reads = sent[3:-1]
    expect_equal((sent[2].command, sent[2].parameter), (CMD_READ_BEGIN, 0), f"{what}: the read's begin")
    expect(all(f.command == CMD_READ_PIECE for f in reads), f"{what}: a frame other than 14 among the reads")
    expect_equal([f.parameter for f in reads], list(range(1, 1172)), f"{what}: counters of the reads")
    expect_equal((sent[-1].command, sent[-1].parameter), (CMD_READ_END, 1172), f"{what}: the read's end")
    answers = [f for f in adapter.frames if not f.to_adapter]
    expect(all(f.command & 0x80 for f in answers), f"{what}: a frame was refused")


def expect_folder(folder, files, what):
    """Exactly these files in the folder: no new file of a save left behind."""
    expect_equal(sorted(p.name for p in Path(folder).iterdir()), sorted(files), f"{what}: files in {folder}")


def run_backup(ctx, flags, path, *after_dialog):
    """Starts a run, clicks Backup Configs and answers the save dialog with
    `path`; returns the harness, the dialog's report and the last action's."""
    h = ctx.start(*flags)
    lines = h.driver_run("click", BACKUP_BUTTON, "file-dialog", path, *after_dialog)
    dialog = lines[1]
    expect_equal(dialog["caption"], SAVE_TITLE, "title of the save dialog")
    expect_equal(dialog["name_before"], PROPOSED_NAME, "name the save dialog proposes")
    return h, dialog, lines[-1]


def backup_pattern(ctx):
    """A backup of a known config area over an existing file: the proposed
    name, "Backing up ...", the bar to 100, "Backup Complete", the file
    replaced without a question by the area with its first 3,040 bytes zero,
    the exact read sequence. Then a name typed without an extension, used
    exactly as typed."""
    area = config_pattern()
    pattern = ctx.work / "pattern.bin"
    pattern.write_bytes(area)
    folder = backup_folder(ctx, "backups")
    target = folder / "Vantri4Backup.vtcb"
    target.write_bytes(b"an older backup")
    flags = ["--adapters", 1, "--version", "4.00.20141115", "--config-file", f"0/{pattern}"]

    h, _, watch = run_backup(ctx, flags, windows_path(target), "timeout", 30000, "watch")
    expect(BACKING_UP in watch["statuses"], f"status while backing up: {watch['statuses']}")
    expect(watch["progress"] and watch["progress"][-1] == 100, f"the progress bar: {watch['progress']}")
    expect(not watch["buttons_ever_enabled"], "a button was enabled while backing up")
    done = h.driver_run("box", "ok", "wait-gone")[0]
    expect_box(done, "information", "Backup Complete", BACKUP_DONE)
    (adapter,) = ctx.finish()
    expect_config_read(adapter, "adapter 0")
    expect_bytes(target.read_bytes(), backup_of(area), "the backup file (the area with 3,040 zero bytes first)")
    expect_folder(folder, ["Vantri4Backup.vtcb"], "after the backup")

    typed = folder / "my backup"
    h, _, done = run_backup(ctx, flags, windows_path(typed), "timeout", 30000, "box", "ok")
    expect_box(done, "information", "Backup Complete", BACKUP_DONE)
    h.one("wait-gone")
    ctx.finish()
    expect_bytes(typed.read_bytes(), backup_of(area), "the file named without an extension")
    expect_folder(folder, ["Vantri4Backup.vtcb", "my backup"], "after the backup without an extension")


def backup_failures(ctx):
    """A refusal in the middle of the read ("Unable to back up Vantri4", no
    end command, the old file of that name untouched); a folder that does not
    exist (the access text, nothing made); an existing read-only file (the
    access text, the old file intact and still read-only)."""
    folder = backup_folder(ctx, "backups")
    target = folder / "configs.vtcb"
    old = b"the backup of last week" * 100
    target.write_bytes(old)

    h, _, box = run_backup(ctx, ["--adapters", 1, "--refuse", "14:500:7"], windows_path(target),
                                  "timeout", 30000, "box", "ok")
    expect_box(box, "error", "Unable to back up Vantri4", BACKUP_READ_FAILED)
    h.one("wait-gone")
    (adapter,) = ctx.finish()
    commands = adapter.commands()
    expect_equal((commands.count(CMD_READ_PIECE), CMD_READ_END in commands), (500, False), "reads, and an end sent")
    expect_equal(target.read_bytes(), old, "the old file after the refused read")
    expect_folder(folder, ["configs.vtcb"], "after the refused read")

    missing = folder / "not made" / "configs.vtcb"
    h, _, box = run_backup(ctx, ["--adapters", 1], windows_path(missing), "timeout", 30000, "box", "ok")
    expect_box(box, "error", "Backup Failed", BACKUP_NO_ACCESS)
    h.one("wait-gone")
    ctx.finish()
    expect_folder(folder, ["configs.vtcb"], "after the backup into a missing folder")

    target.chmod(0o444)
    try:
        h, _, box = run_backup(ctx, ["--adapters", 1], windows_path(target), "timeout", 30000, "box", "ok")
        expect_box(box, "error", "Backup Failed", BACKUP_NO_ACCESS)
        h.one("wait-gone")
        ctx.finish()
        expect_equal(target.read_bytes(), old, "the read-only file after the backup")
        expect_equal(target.stat().st_mode & 0o777, 0o444, "mode of the read-only file")
        expect_folder(folder, ["configs.vtcb"], "after the backup onto a read-only file")
    finally:
        target.chmod(0o644)


def backup_refusals(ctx):
    """No adapter, an adapter at the last outdated date, and a cancelled save
    dialog: their boxes (none for the cancel), nothing read, no file."""
    folder = backup_folder(ctx, "backups")

    h = ctx.start("--adapters", 0, "--non-adapters", 1)
    box = h.driver_run("click", BACKUP_BUTTON, "box", "ok", "wait-gone")[1]
    expect_box(box, "error", "Unable to find Vantri4", NO_ADAPTER)
    ctx.finish()

    h = ctx.start("--adapters", 1, "--version", "4.00.20141114")
    _, box, state = h.driver_run("click", BACKUP_BUTTON, "box", "leave", "state")
    expect_box(box, "information", "Vantri4 Backup", BACKUP_OUTDATED)
    expect_equal(state["buttons"], {"2": True, "3": True, "4": True, "5": True}, "buttons with the outdated box open")
    h.driver_run("box", "ok", "wait-gone")
    (adapter,) = ctx.finish()
    expect_equal(adapter.commands(), [CMD_INFO, CMD_INFO], "commands sent to the outdated adapter")

    # A box would hold the window open: its going proves there was none.
    h = ctx.start("--adapters", 1)
    _, dialog, state, _, _ = h.driver_run("click", BACKUP_BUTTON, "file-dialog", "leave", "state",
                                          "file-dialog", "cancel", "wait-gone")
    expect_equal((dialog["caption"], dialog["name_before"]), (SAVE_TITLE, PROPOSED_NAME), "the save dialog")
    expect_locked_state(state, "with the save dialog open")
    (adapter,) = ctx.finish()
    expect_equal(adapter.commands(), [CMD_INFO, CMD_INFO], "commands sent before the cancel")
    expect_folder(folder, [], "after the refusals")


def backup_screenshots(ctx, shots=None, area=None):
    """On a virtual display: the save dialog with the proposed name and the
    success box, as PNG files; the file checked byte for byte."""
    from e2e_display import on_virtual_display

    shots = Path(shots or ctx.args.screenshots or ctx.work / "screenshots")
    shots.mkdir(parents=True, exist_ok=True)
    area = area or config_pattern()
    pattern = ctx.work / "pattern.bin"
    pattern.write_bytes(area)
    folder = backup_folder(ctx, "backups")
    target = folder / PROPOSED_NAME
    with on_virtual_display(ctx, "xvfb-backup.log") as (name, env):
        h = ctx.start("--adapters", 1, "--version", "4.00.20150101", "--config-file", pattern, env=env)
        dialog = h.driver_run("click", BACKUP_BUTTON, "file-dialog", "leave", "sleep", 500)[1]
        expect_equal((dialog["caption"], dialog["name_before"]), (SAVE_TITLE, PROPOSED_NAME), "the save dialog")
        screenshot(shots / "5-save-dialog.png", name, env)
        done = h.driver_run("file-dialog", windows_path(target), "timeout", 30000, "box", "leave", "sleep", 300)[2]
        expect_box(done, "information", "Backup Complete", BACKUP_DONE)
        screenshot(shots / "6-backup-complete.png", name, env)
        h.driver_run("box", "ok", "wait-gone")
        (adapter,) = ctx.finish()
        expect_config_read(adapter, "adapter 0")
        expect_bytes(target.read_bytes(), backup_of(area), "the backup file (the area with 3,040 zero bytes first)")
        log(f"backup: {target} holds the adapter's config area ({CONFIG_AREA_SIZE} bytes, the first "
            f"{PRESERVED_AREA_SIZE} zero)")
        log(f"screenshots: {shots}")


def demo_update_and_backup(ctx):
    """The headless run of scripts/run.sh: the update of demo_update, then a
    backup of the same emulated adapter's config area (as it held it after the
    update), checked byte for byte."""
    screenshots(ctx, during_flash=True)
    area = (ctx.work / "state" / "adapter0" / "config.bin").read_bytes()
    backup_screenshots(ctx, area=area)


SCENARIOS.update({
    "backup_pattern": backup_pattern,
    "backup_failures": backup_failures,
    "backup_refusals": backup_refusals,
    "backup_screenshots": backup_screenshots,
    "demo_update_and_backup": demo_update_and_backup,
})
ON_VIRTUAL_DISPLAY.update({"backup_screenshots", "demo_update_and_backup"})
