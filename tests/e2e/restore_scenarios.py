"""Config restore end to end: the emulation build against the emulator
process and the local update host (tests/support/update_host.py), which the
program's WinHTTP reaches as a proxy through http_proxy, so that the
built-in update host name is served on 127.0.0.1. The driver answers the
question and fills the real open dialog; the scenarios check every box, what
the update host was asked, and what the emulated adapters hold and heard."""

import selectors
import socket
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path

from e2e_harness import (ScenarioFailure, expect, expect_box, expect_equal, log, screenshot, stop_process,
                         write_bench_report)
from scenarios import (BACKUP_BUTTON, BACKUP_DONE, CMD_INFO, RESET_BUTTON, UPDATE_BUTTON, backup_screenshots,
                       expect_bytes, expect_locked_state, run_backup, screenshots, windows_path)

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "support"))
import make_games_database as games  # noqa: E402

UPDATE_HOST_SCRIPT = ROOT / "tests" / "support" / "update_host.py"
DATABASE_PATH = "/db/Games.vdb"
VERSION_PATH = "/Manager/VersionV4V"
FIRST_GAME = 100  # the update host's database holds games 100, 101, ...

RESTORE_BUTTON = 5
WM_COMMAND = 273
QUESTION = "WARNING! Restoring will erase any existing configs on your Vantri4.\n\nContinue?"
OPEN_TITLE = "Choose Vantri4 Backup File to Restore"
FILTERS = ["Vantri4 Config Backup", "All"]
OUT_OF_DATE = "Your Vantri4 can't be restored since it has firmware that is out-of-date."
NO_ACCESS = "Unable to access specified file location for restore."
INVALID = "Invalid config values were found in the backup.\n\nThe backup file looks invalid/corrupt."
DONE = ("Your Vantri4 was successfully restored!\n\nOn next startup, your Vantri4 will take extra time to finalize "
        "restored configs.\n\nIt is now safe to remove it from your PC.")
FAILED = "There was an error restoring your Vantri4.\n\nPlease check the connection to your Vantri4 and try again."
RESTORING = "Restoring ...\n"

CONFIG_AREA_SIZE = 65536
PRESERVED_AREA_SIZE = 3040
BLOCK_COUNT_OFFSET = 3040
ENTRY_TABLE_OFFSET = 3616
ENTRY_SIZE = 2580
ENTRIES = 24
PRIMARY_SIZE = 262144
OVERFLOW_SIZE = 131072
CMD_READ_BEGIN, CMD_READ_END = 13, 16
CMD_CONFIG_BEGIN, CMD_CONFIG_DATA, CMD_CONFIG_END = 4, 5, 6
CMD_PRIMARY_BEGIN, CMD_PRIMARY_DATA, CMD_PRIMARY_END = 7, 8, 9
CMD_OVERFLOW_BEGIN, CMD_OVERFLOW_DATA, CMD_OVERFLOW_END = 27, 28, 29
# Output reports before the config area write: two information pages, then
# the read (begin, 1,171 pieces, end).
REPORTS_BEFORE_WRITE = 2 + 1 + 1171 + 1


def download_failed(domain):
    return (f"There was an error downloading required files from {domain} which is preventing restore from "
            "completing.")


def downloading(domain):
    return f"Downloading games database from {domain} ...\n"


def wine_clock_us():
    """Now on the clock Wine's QueryPerformanceCounter reads, so that the
    driver's and the emulator's times and ours can be subtracted."""
    return int(time.clock_gettime(time.CLOCK_MONOTONIC_RAW) * 1e6)


# ---- backups, adapters' config areas and what a restore must leave ------------

def config_area(seed, entries, own=None):
    """An adapter's config area: `own` (or a pattern) in its first 3,040
    bytes, a pattern after them, and `entries` ((game id, kind), in use, in
    order) before the first free entry."""
    area = bytearray((i * seed + (i >> 9) + seed) & 0xFF for i in range(CONFIG_AREA_SIZE))
    if own is not None:
        area[:PRESERVED_AREA_SIZE] = own[:PRESERVED_AREA_SIZE]
    for e in range(ENTRIES):
        at = ENTRY_TABLE_OFFSET + ENTRY_SIZE * e
        game, kind = entries[e] if e < len(entries) else (0, 0)
        area[at] = 1 if e < len(entries) else 0
        struct.pack_into("<H", area, at + 50, game)
        area[at + 53] = kind
    return bytes(area)


def backup_of(area):
    """The file the backup makes of an area: its first 3,040 bytes zero."""
    return bytes(PRESERVED_AREA_SIZE) + area[PRESERVED_AREA_SIZE:]


def restored_area(adapter_before, backup, block_count):
    """The adapter's own first 3,040 bytes, the block count, then the
    backup's bytes from 3,044 on (zero past a short file's end)."""
    backup = backup[:CONFIG_AREA_SIZE].ljust(CONFIG_AREA_SIZE, b"\0")
    return (adapter_before[:PRESERVED_AREA_SIZE] + struct.pack("<I", block_count) +
            backup[BLOCK_COUNT_OFFSET + 4:])


def restored_regions(entries):
    """Both regions as the database builder's records say: entry e's kind's
    two blocks in e's slot (primary for 0 to 15, overflow for 16 to 23)."""
    primary, overflow = bytearray(PRIMARY_SIZE), bytearray(OVERFLOW_SIZE)
    for e, (game, kind) in enumerate(entries):
        first, second = games.block_pattern(game, kind, 0), games.block_pattern(game, kind, 1)
        if e < 16:
            primary[16384 * e:16384 * e + len(first)] = first
            primary[16384 * e + 8192:16384 * e + 8192 + len(second)] = second
        else:
            at = 10912 * (e - 16)
            overflow[at:at + len(first)] = first
            overflow[at + 5456:at + 5456 + len(second)] = second
    return bytes(primary), bytes(overflow)


def stored(adapter, name):
    return (adapter.folder / f"{name}.bin").read_bytes()


def first_frames(adapter):
    """When each command's first frame reached the adapter (Wine's clock)."""
    times = {}
    link = adapter.folder / "link.txt"
    for line in link.read_text().splitlines() if link.is_file() else []:
        if line.startswith("first_frame_us="):
            command, at = line.split("=", 1)[1].split(":")
            times[int(command)] = int(at)
    return times


def expect_nothing_sent_after_info(adapter, what):
    expect_equal(adapter.commands(), [CMD_INFO, CMD_INFO], f"{what}: commands sent")
    expect_equal(adapter.number("config_area_writes"), 0, f"{what}: config area writes")


def expect_transfer(sent, begin, data, end, frames, what):
    """begin, `frames` data frames with counters 1 up, end with 1 + frames."""
    expect_equal((sent[0].command, sent[0].parameter), (begin, 0), f"{what}: begin")
    body = sent[1:1 + frames]
    expect(all(f.command == data for f in body), f"{what}: a frame other than {data} among the data frames")
    expect_equal([f.parameter for f in body], list(range(1, frames + 1)), f"{what}: block counters")
    expect_equal((sent[1 + frames].command, sent[1 + frames].parameter), (end, frames + 1), f"{what}: end")
    return sent[2 + frames:]


def expect_restore_sequence(adapter, what):
    """The information pages, the read, the config area, the primary region,
    the overflow region, every frame acknowledged, nothing after."""
    rest = adapter.sent[2:]
    rest = expect_transfer(rest, CMD_READ_BEGIN, 14, CMD_READ_END, 1171, f"{what}: the read")
    rest = expect_transfer(rest, CMD_CONFIG_BEGIN, CMD_CONFIG_DATA, CMD_CONFIG_END, 1171, f"{what}: the config area")
    rest = expect_transfer(rest, CMD_PRIMARY_BEGIN, CMD_PRIMARY_DATA, CMD_PRIMARY_END, 4682,
                           f"{what}: the primary region")
    rest = expect_transfer(rest, CMD_OVERFLOW_BEGIN, CMD_OVERFLOW_DATA, CMD_OVERFLOW_END, 2341,
                           f"{what}: the overflow region")
    expect_equal(rest, [], f"{what}: frames after the overflow region")
    answers = [f for f in adapter.frames if not f.to_adapter]
    expect(all(f.command & 0x80 for f in answers), f"{what}: a frame was refused")


def expect_restored(adapter, before, backup, entries, what):
    expect_bytes(stored(adapter, "config"), restored_area(before, backup, 2 * len(entries)),
                 f"{what}: the config area (own settings, block count, the backup's bytes)")
    primary, overflow = restored_regions(entries)
    expect_bytes(stored(adapter, "primary"), primary, f"{what}: the primary region")
    expect_bytes(stored(adapter, "overflow"), overflow, f"{what}: the overflow region")


# ---- the update host ------------------------------------------------------------

class UpdateHost:
    """tests/support/update_host.py on a port of its choosing; each line of
    its request log is stamped with Wine's clock as it comes in."""

    def __init__(self, work, name, *options):
        self.work = Path(work)
        self.name = name
        self.options = [str(o) for o in options]
        self.process = None
        self.port = None
        self.requests = []  # (wine clock us, log line)
        self._reader = None

    def start(self, timeout=15):
        command = [sys.executable, str(UPDATE_HOST_SCRIPT), "--port", "0", "--host-name", self.name,
                   "--database-path", DATABASE_PATH, "--log", str(self.work / "update-host.log")] + self.options
        log(f"update host: {' '.join(command)}")
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, start_new_session=True)
        selector = selectors.DefaultSelector()
        selector.register(self.process.stdout, selectors.EVENT_READ)
        ready = selector.select(timeout)
        selector.close()
        line = self.process.stdout.readline().decode(errors="replace").strip() if ready else ""
        if not line.startswith("port="):
            self.stop()
            raise ScenarioFailure(f"the update host printed no port within {timeout} s (got {line!r})")
        self.port = int(line[len("port="):])
        self._reader = threading.Thread(target=self._read_log, daemon=True)
        self._reader.start()
        log(f"update host: {self.name} on 127.0.0.1:{self.port}")
        return self

    def _read_log(self):
        for raw in self.process.stderr:
            self.requests.append((wine_clock_us(), raw.decode(errors="replace").strip()))

    def paths(self):
        return [line.split()[1] for _, line in self.requests if line.startswith("GET ")]

    def stop(self):
        stop_process(self.process)
        if self._reader:
            self._reader.join(timeout=5)


def closed_port():
    """A loopback port nobody listens on."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def proxy_env(env, port):
    """WinHTTP's default proxy under Wine is http_proxy: every request, for
    whatever host, goes to 127.0.0.1:port."""
    return dict(env, http_proxy=f"http://127.0.0.1:{port}")


class Restore:
    """One program run that restores: the update host (unless there is to be
    none), the emulator with `flags`, the program, its window."""

    def __init__(self, ctx, flags, *host_options, host=True, env=None):
        self.ctx = ctx
        self.host = UpdateHost(ctx.work, ctx.args.update_host, *host_options) if host else None
        port = self.host.start().port if self.host else closed_port()
        try:
            self.h = ctx.start(*flags, env=proxy_env(env or ctx.env, port))
        except BaseException:
            self.stop_host()
            raise

    def ask_and_choose(self, path, *after, timeout=60):
        """Restore Configs, Yes to the question, `path` in the open dialog;
        the question and the dialog checked. The dialog's report and those
        of the actions after it (without their time limits)."""
        lines = self.h.driver_run("click", RESTORE_BUTTON, "box", "yes", "file-dialog", path, *after, timeout=timeout)
        expect_box(lines[1], "question", "Vantri4 Restore", QUESTION)
        expect_dialog(lines[2])
        return [lines[2]] + [line for line in lines[3:] if line.get("action") != "timeout"]

    def finish(self):
        try:
            return self.ctx.finish()
        finally:
            self.stop_host()

    def stop_host(self):
        if self.host:
            self.host.stop()


def expect_dialog(dialog):
    expect_equal(dialog["caption"], OPEN_TITLE, "title of the open dialog")
    expect_equal(dialog["name_before"], "", "name the open dialog proposes")
    expect_equal(dialog["filters"], FILTERS, "the open dialog's file types")


def backup_file(ctx, name, data):
    folder = ctx.work / "backups"
    folder.mkdir(exist_ok=True)
    path = folder / name
    path.write_bytes(data)
    return path


def area_file(ctx, name, area):
    path = ctx.work / name
    path.write_bytes(area)
    return path


# ---- scenarios --------------------------------------------------------------------

ROUND_TRIP_ENTRIES = [(FIRST_GAME + 3, 2), (FIRST_GAME, 0), (FIRST_GAME + 23, 3), (FIRST_GAME + 7, 1),
                      (FIRST_GAME + 3, 0)]


def restore_round_trip(ctx):
    """Adapter A backed up through the program; in another run the file
    restored onto adapter B (index 0 of two): the question, the open dialog,
    the downloading text and "Restoring ...", "Restore Complete"; B holds its
    own first 3,040 bytes, the block count 10 and A's bytes from 3,044 on,
    and both regions as the database's records say; adapter 1 hears nothing;
    the update host served the version file, then the database. The time of
    each stage goes to the report and, as JSON, to --bench-json."""
    a_area = config_area(7, ROUND_TRIP_ENTRIES)
    b_area = config_area(11, [(FIRST_GAME + 1, 1)])
    a_file, b_file = area_file(ctx, "adapter-a.bin", a_area), area_file(ctx, "adapter-b.bin", b_area)
    target = ctx.work / "backups" / "round trip.vtcb"
    target.parent.mkdir()

    h, _, done = run_backup(ctx, ["--adapters", 1, "--version", "4.00.20150101", "--config-file", f"0/{a_file}"],
                            windows_path(target), "timeout", 30000, "box", "ok")
    expect_box(done, "information", "Backup Complete", BACKUP_DONE)
    h.one("wait-gone")
    ctx.finish()
    expect_bytes(target.read_bytes(), backup_of(a_area), "the backup of adapter A")

    domain = ctx.args.maker_domain
    run = Restore(ctx, ["--adapters", 2, "--version", "4.00.20141115", "--config-file", f"0/{b_file}"])
    try:
        dialog, watch = run.ask_and_choose(windows_path(target), "timeout", 60000 * ctx.slower, "watch",
                                           timeout=60 * ctx.slower + 30)
        state, box = run.h.driver_run("state", "box", "ok")
        run.h.one("wait-gone")
    finally:
        adapters = run.finish()
    # The downloads take a few milliseconds here, and the driver samples the
    # status line every 10 ms: on a loaded machine it can miss the
    # downloading text altogether, so that text is checked only where seen
    # (the update host's log below shows both downloads happened).
    statuses = watch["statuses"]
    expect_equal(statuses[-1:], [RESTORING], "the status line's last text")
    if downloading(domain) in statuses:
        expect(statuses.index(downloading(domain)) < statuses.index(RESTORING), f"the status line's texts: {statuses}")
    expect(not watch["buttons_ever_enabled"], "a button was enabled while restoring")
    expect(not watch["progress_ever_hidden"], "the progress bar was hidden while restoring")
    # Downloads are fast here and the driver samples every 10 ms; the three
    # device transfers each take long enough to be seen ending at 100.
    expect(watch["progress"].count(100) >= 3 and watch["progress"][-1] == 100,
           f"the bar's positions: {watch['progress']}")
    expect_equal(state["status"], RESTORING, "status with the success box open")
    expect_locked_state(state, "with the success box open")
    expect_box(box, "information", "Restore Complete", DONE)

    expect_equal(len(adapters), 2, "adapters in the emulator's state")
    b, other = adapters
    expect_restore_sequence(b, "adapter B")
    expect_restored(b, b_area, backup_of(a_area), ROUND_TRIP_ENTRIES, "adapter B")
    expect_equal(other.sent, [], "frames sent to adapter 1")
    expect_equal(run.host.paths(), [f"http://{ctx.args.update_host}:80{VERSION_PATH}",
                                    f"http://{ctx.args.update_host}:80{DATABASE_PATH}"],
                 "requests the update host served")
    report_stages(ctx, dialog, run.host, first_frames(b), watch["ended_us"])


def report_stages(ctx, dialog, host, frames, box_us):
    """The time of each stage on Wine's clock: from the dialog's OK to the
    version file served, to the database served, to the read's first frame
    (the conversion and the worker's start), to the config area's first
    frame, to the overflow region's first frame, to the success box."""
    marks = [("version_download", dialog["answered_us"]), ("database_download", host.requests[0][0]),
             ("conversion", host.requests[1][0]), ("read", frames[CMD_READ_BEGIN]),
             ("write_config_primary", frames[CMD_CONFIG_BEGIN]), ("write_overflow", frames[CMD_OVERFLOW_BEGIN]),
             ("end", box_us)]
    stages = {name: (marks[i + 1][1] - at) / 1000 for i, (name, at) in enumerate(marks[:-1])}
    total = (box_us - dialog["answered_us"]) / 1000
    log("stages (ms): " + ", ".join(f"{name} {ms:.1f}" for name, ms in stages.items()) + f"; total {total:.1f}")
    write_bench_report(ctx, "bench-wine-restore.json", "BM_WineRestore", total,
                       **{f"{name}_ms": ms for name, ms in stages.items()})


def restore_contents(ctx):
    """All 24 entries in use: both regions full, block count 48; meanwhile,
    as the worker reads the config area, a click is posted on each of the four
    (disabled) buttons, as any program on the desktop may, then forged final
    messages and two close requests, and none leaves a trace: one open of the
    adapter, nothing sent but the restore's frames, one box. A backup of 1,000 bytes: every entry free, so the config area holds
    the adapter's own settings and zeros, and both regions are zero."""
    full = [(FIRST_GAME + (e * 5) % 24, e % 4) for e in range(ENTRIES)]
    clicks = [action for button in (UPDATE_BUTTON, RESET_BUTTON, BACKUP_BUTTON, RESTORE_BUTTON) for action in ("post", WM_COMMAND, button, 0)]
    # Final messages that no worker of the program posted (a "done" for the
    # write, a download's body at address 4096), and the close box and
    # WM_CLOSE while the adapter is written: the run ends as it would have.
    forged = ["post", 1046, 0, 0, "post", 1047, 0, 0, "post", 1126, 1, 4096, "post", 1127, 0, 0, "sysclose", "close"]
    cases = [("all 24 entries", backup_of(config_area(3, full)), full, ["wait-status", RESTORING] + clicks + forged),
             ("1,000 bytes", bytes((i * 3 + 1) & 0xFF for i in range(1000)), [], [])]
    for what, data, entries, meanwhile in cases:
        before = config_area(13, [(FIRST_GAME + 9, 0)] * 3)
        path = backup_file(ctx, "backup.vtcb", data)
        run = Restore(ctx, ["--adapters", 1, "--config-file", area_file(ctx, "adapter.bin", before)])
        try:
            lines = run.ask_and_choose(windows_path(path), *meanwhile, "timeout", 60000, "box", "ok", "wait-gone")
        finally:
            (adapter,) = run.finish()
        expect_box(lines[-2], "information", "Restore Complete", DONE)
        expect_equal(adapter.opens, 1, f"{what}: opens of the adapter")
        expect_restore_sequence(adapter, what)
        expect_restored(adapter, before, data, entries, what)


def restore_download_failures(ctx):
    """The version file refused by the update host (a status other than 200),
    the database cut short by it, and no update host at all (the proxy's
    port closed): the same download-failure box each time, nothing sent to
    the adapter after its information pages, and no hang."""
    text = download_failed(ctx.args.maker_domain)
    version_url = f"download http://{ctx.args.update_host}{VERSION_PATH}: "
    database_url = f"download http://{ctx.args.update_host}{DATABASE_PATH}: "
    cases = [("version file refused", {"options": ["--host-name", "elsewhere.example"]}, 1,
              [version_url + "a status other than 200, status "]),
             ("database cut short", {"options": ["--mode", "short-close"]}, 2,
              [version_url + "received, status 200", database_url, "status 200, Content-Length "]),
             ("no update host", {"host": False}, 0, [version_url, "status 0"])]
    path = backup_file(ctx, "backup.vtcb", backup_of(config_area(5, ROUND_TRIP_ENTRIES)))
    for what, how, requests, logged in cases:
        run = Restore(ctx, ["--adapters", 1], *how.get("options", []), host=how.get("host", True))
        try:
            started = time.monotonic()
            box = run.ask_and_choose(windows_path(path), "timeout", 30000, "box", "ok", "wait-gone")[1]
            log(f"{what}: the box after {time.monotonic() - started:.1f} s")
        finally:
            (adapter,) = run.finish()
        expect_box(box, "error", "Unable to restore Vantri4", text)
        expect_nothing_sent_after_info(adapter, what)
        if run.host:
            expect_equal(len(run.host.requests), requests, f"{what}: requests the update host answered")
        ctx.expect_logged(*logged, "box error: Unable to restore Vantri4", what=f"{what}: the diagnostics log")


def restore_bad_backups(ctx):
    """A backup naming a game the database lacks, and one with a kind of 9:
    the invalid-backup box. A truncated database, and one whose record count
    reaches past its end: the download-failure box. Nothing is written in any
    of them: no command after the information pages."""
    good = backup_of(config_area(5, ROUND_TRIP_ENTRIES))
    database = games.numbered(24, FIRST_GAME)
    truncated = database[:games.RECORD_TABLE_OFFSET + 24 * games.RECORD_SIZE + 100]
    too_many = bytearray(database)
    struct.pack_into("<I", too_many, games.RECORD_COUNT_OFFSET,
                     (len(database) - games.RECORD_TABLE_OFFSET) // games.RECORD_SIZE + 1)
    invalid, broken = ("Unable to restore Vantri4", INVALID), ("Unable to restore Vantri4",
                                                               download_failed(ctx.args.maker_domain))
    cases = [("a game the database lacks", backup_of(config_area(5, ROUND_TRIP_ENTRIES[:2] + [(4000, 0)])), None,
              invalid),
             ("kind 9", backup_of(config_area(5, [(FIRST_GAME, 0), (FIRST_GAME + 1, 9)])), None, invalid),
             ("truncated database", good, truncated, broken),
             ("record count past the end", good, bytes(too_many), broken)]
    for what, data, served, (caption, text) in cases:
        path = backup_file(ctx, "backup.vtcb", data)
        options = []
        if served is not None:
            options = ["--database", area_file(ctx, "database.bin", served)]
        run = Restore(ctx, ["--adapters", 1], *options)
        try:
            box = run.ask_and_choose(windows_path(path), "timeout", 30000, "box", "ok", "wait-gone")[1]
        finally:
            (adapter,) = run.finish()
        expect_box(box, "error", caption, text)
        expect_nothing_sent_after_info(adapter, what)
        expect_equal(len(run.host.requests), 2, f"{what}: requests the update host answered")


def restore_refusals(ctx):
    """An adapter at the last outdated date (refused before any question,
    the buttons still enabled); No to the question (the buttons locked while
    it is open); cancel in the open dialog; a file that cannot be opened
    ("Restore Failed"). No download in any of them, nothing sent after the
    information pages."""
    path = backup_file(ctx, "backup.vtcb", backup_of(config_area(5, ROUND_TRIP_ENTRIES)))

    run = Restore(ctx, ["--adapters", 1, "--version", "4.00.20141114"])
    try:
        _, box, state = run.h.driver_run("click", RESTORE_BUTTON, "box", "leave", "state")
        expect_box(box, "information", "Vantri4 Restore", OUT_OF_DATE)
        expect_equal(state["buttons"], {"2": True, "3": True, "4": True, "5": True}, "buttons with that box open")
        run.h.driver_run("box", "ok", "wait-gone")
    finally:
        (adapter,) = run.finish()
    expect_nothing_sent_after_info(adapter, "outdated")
    expect_equal(run.host.requests, [], "requests after the outdated box")

    run = Restore(ctx, ["--adapters", 1])
    try:
        _, question, state, _, _ = run.h.driver_run("click", RESTORE_BUTTON, "box", "leave", "state", "box", "no",
                                                    "wait-gone")
        expect_box(question, "question", "Vantri4 Restore", QUESTION)
        expect_locked_state(state, "with the question open")
    finally:
        (adapter,) = run.finish()
    expect_nothing_sent_after_info(adapter, "No")

    run = Restore(ctx, ["--adapters", 1])
    try:
        lines = run.h.driver_run("click", RESTORE_BUTTON, "box", "yes", "file-dialog", "leave", "state",
                                 "file-dialog", "cancel", "wait-gone")
        expect_dialog(lines[2])
        expect_locked_state(lines[3], "with the open dialog open")
    finally:
        (adapter,) = run.finish()
    expect_nothing_sent_after_info(adapter, "cancel")

    missing = path.parent / "not there.vtcb"
    run = Restore(ctx, ["--adapters", 1])
    try:
        box = run.ask_and_choose(windows_path(missing), "box", "ok", "wait-gone")[1]
        expect_box(box, "error", "Restore Failed", NO_ACCESS)
    finally:
        (adapter,) = run.finish()
    expect_nothing_sent_after_info(adapter, "a file that cannot be opened")
    expect_equal(run.host.requests, [], "requests after the refusals")


def restore_write_failures(ctx):
    """A refusal of the 100th overflow frame: the failure box, the config
    area and the primary region complete and acknowledged, no end of the
    overflow region. An adapter that falls silent during the config area's
    write: the failure box once the frame's time limit has passed, no hang."""
    path = backup_file(ctx, "backup.vtcb", backup_of(config_area(5, ROUND_TRIP_ENTRIES)))

    run = Restore(ctx, ["--adapters", 1, "--refuse", "28:100:66"])
    try:
        box = run.ask_and_choose(windows_path(path), "timeout", 60000, "box", "ok", "wait-gone")[1]
    finally:
        (adapter,) = run.finish()
    expect_box(box, "error", "Unable to restore Vantri4", FAILED)
    rest = adapter.sent[2:]
    rest = expect_transfer(rest, CMD_READ_BEGIN, 14, CMD_READ_END, 1171, "the read")
    rest = expect_transfer(rest, CMD_CONFIG_BEGIN, CMD_CONFIG_DATA, CMD_CONFIG_END, 1171, "the config area")
    rest = expect_transfer(rest, CMD_PRIMARY_BEGIN, CMD_PRIMARY_DATA, CMD_PRIMARY_END, 4682, "the primary region")
    expect_equal([f.command for f in rest], [CMD_OVERFLOW_BEGIN] + [CMD_OVERFLOW_DATA] * 100,
                 "frames after the primary region")
    expect_equal((adapter.number("config_area_writes"), adapter.number("primary_writes"),
                  adapter.number("overflow_writes")), (1, 1, 0), "stores the adapter committed")
    ctx.expect_logged(f"backup file {windows_path(path)}: read 65536 bytes",
                      "restore write of adapter 0 failed: device 0, command 28, code 0x00000042 (66)")

    silent_from = REPORTS_BEFORE_WRITE + 200  # a frame of command 5
    run = Restore(ctx, ["--adapters", 1, "--silent-at", silent_from])
    try:
        box = run.ask_and_choose(windows_path(path), "timeout", 60000, "box", "ok", "wait-gone")[1]
    finally:
        (adapter,) = run.finish()
    expect_box(box, "error", "Unable to restore Vantri4", FAILED)
    waited = (box["seen_us"] - first_frames(adapter)[CMD_CONFIG_BEGIN]) / 1e6
    log(f"silent adapter: the failure box {waited:.1f} s after the write began")
    expect(9 <= waited <= 20, f"the failure box came {waited:.1f} s after the write began; the frame's limit is 10 s")
    expect_equal(adapter.number("output_reports"), silent_from, "output reports: none after the silent frame")
    expect_equal(adapter.number("config_area_writes"), 0, "config area writes")
    ctx.expect_logged("restore write of adapter 0 failed: device 0, command 5, code 0x000005B4 (1460)")


def restore_screenshots(ctx, shots=None, backup=None, before=None, entries=None, slow=True):
    """On a virtual display: the question, the open dialog, the downloading
    status with its bar (the database sent slowly), the success box, as PNG
    files; the adapter's config area and regions checked. By default a
    backup with every entry free against an empty database, which arrives
    in one small piece every 50 ms."""
    from e2e_display import on_virtual_display

    shots = Path(shots or ctx.args.screenshots or ctx.work / "screenshots")
    shots.mkdir(parents=True, exist_ok=True)
    entries = entries if entries is not None else []
    before = before or config_area(13, [(FIRST_GAME, 0)] * 2)
    backup = backup or backup_file(ctx, "backup.vtcb", backup_of(config_area(3, entries)))
    # The slow mode sends at most 16 pieces of 1 KiB, one every 50 ms: an
    # empty database padded to exactly that.
    host_options = ["--games", 0, "--pad-to", 16384, "--mode", "slow"] if slow else []
    with on_virtual_display(ctx, "xvfb-restore.log") as (name, env):
        run = None
        try:
            run = Restore(ctx, ["--adapters", 1, "--config-file", area_file(ctx, "adapter.bin", before)], *host_options,
                          env=env)
            question = run.h.driver_run("click", RESTORE_BUTTON, "box", "leave", "sleep", 300)[1]
            expect_box(question, "question", "Vantri4 Restore", QUESTION)
            screenshot(shots / "7-restore-question.png", name, env)
            dialog = run.h.driver_run("box", "yes", "file-dialog", "leave", "sleep", 500)[1]
            expect_dialog(dialog)
            screenshot(shots / "8-open-dialog.png", name, env)
            run.h.one("file-dialog", windows_path(backup))
            if slow:
                # The slow database takes 0.8 s in all: the shot is taken about
                # half way through it.
                seen = run.h.driver_run("wait-status", downloading(ctx.args.maker_domain), "sleep", 200, "state")[-1]
                screenshot(shots / "9-downloading.png", name, env)
                log(f"downloading: the bar at {seen['progress']}")
                expect(seen["progress_visible"], "the progress bar hidden while downloading")
            done = run.h.driver_run("timeout", 60000, "box", "leave", "sleep", 300)[1]
            expect_box(done, "information", "Restore Complete", DONE)
            screenshot(shots / "10-restore-complete.png", name, env)
            run.h.driver_run("box", "ok", "wait-gone")
            (adapter,) = run.finish()
            run = None
            expect_restore_sequence(adapter, "adapter 0")
            expect_restored(adapter, before, Path(backup).read_bytes(), entries, "adapter 0")
            log(f"restore: {backup} restored onto the adapter, {2 * len(entries)} blocks placed")
            log(f"screenshots: {shots}")
        finally:
            if run:
                run.stop_host()


def demo_all(ctx):
    """The headless run of scripts/run.sh: an adapter holding five configs is
    updated (demo_update's screenshots), backed up (its file checked), then
    another adapter whose configs were erased gets that backup restored
    through the local update host, its config area and both regions
    checked."""
    area = config_area(7, ROUND_TRIP_ENTRIES)
    screenshots(ctx, during_flash=True, extra_flags=["--config-file", area_file(ctx, "demo-adapter.bin", area)])
    updated = (ctx.work / "state" / "adapter0" / "config.bin").read_bytes()
    expect_bytes(updated, area, "the config area after the update")
    backup_screenshots(ctx, area=updated)
    backup = ctx.work / "backups" / "Vantri4Backup.vtcb"
    erased = config_area(7, [], own=updated)
    restore_screenshots(ctx, backup=backup, before=erased, entries=ROUND_TRIP_ENTRIES, slow=False)


RESTORE_SCENARIOS = {
    "restore_round_trip": restore_round_trip,
    "restore_contents": restore_contents,
    "restore_download_failures": restore_download_failures,
    "restore_bad_backups": restore_bad_backups,
    "restore_refusals": restore_refusals,
    "restore_write_failures": restore_write_failures,
    "restore_screenshots": restore_screenshots,
    "demo_all": demo_all,
}
RESTORE_ON_VIRTUAL_DISPLAY = {"restore_screenshots", "demo_all"}
