"""The console program end to end: one table of rows, each a run (or two) of
Vantri4FlashCliEmu.exe against the emulator process, with its standard
input not a console, and where a row restores, the local update host as its
proxy. Each row checks the exit code, the JSON lines (the outcome last, one
result per adapter) and what the emulated adapters hold. The rows marked
for the HID stack run the shipping Vantri4FlashCli.exe on the emulator's
adapters installed as HID devices of the prefix."""

import time

from e2e_harness import expect, expect_equal, log
from restore_scenarios import (DONE as RESTORE_DONE, INVALID, NO_ACCESS, ROUND_TRIP_ENTRIES, UpdateHost, backup_of,
                               closed_port, config_area, download_failed, expect_nothing_sent_after_info,
                               expect_restore_sequence, expect_restored, proxy_env, stored, wine_clock_us)
from scenarios import (BACKUP_DONE, CARRIED_VERSION, CMD_BEGIN, CMD_END, CMD_IMAGE, CMD_INFO, DONE_MANY, DONE_ONE,
                       NO_ADAPTER, TOO_OLD, UP_TO_DATE, expect_bytes, expect_config_read, expect_flash,
                       expect_info_reads, expect_nothing_written, windows_path)

NOT_CONFIRMED = "Not confirmed: nothing was written."
FAILED_AT = ("There was an error flashing Vantri4 (at location {index}). You will need to rerun Vantri4Flash and "
             "select 'Factory Reset'.")
OLD = "4.00.20150101"
EMULATED_PATH = "\\\\?\\hid#vid_2387&pid_0003#8&emu&0&{index:04d}#{{4d1e55b2-f16f-11cf-88cb-001111000030}}"
# From the start of a row's emulator to the first frame of a late adapter
# (--arrive-after 0/2000).
ARRIVAL_S = 2.0
OK = {"ok": True}
# The files a row may name, in its folder.
FILES = {"a": "a.bin", "b": "b.bin", "backup": "backups/backup.vtcb", "missing": "missing/backup.vtcb"}


class Row:
    """One run of the console program and what it must leave.

    emulator, args: the emulator's options and the program's arguments;
    "{NAME}" in either is the path of file NAME of FILES (as Linux sees it
    in the emulator's, as Windows does in the program's); `files` (NAME:
    bytes) are written first. host: None (no update host, no proxy),
    "closed" (a proxy port nobody listens on) or the update host's options.
    results: per index, the fields of its result object (path and index
    are checked as well). check(ctx, adapters, run) looks at the stores.
    interrupt: Ctrl+C once an adapter's progress has reached this percent.
    before: a row run first in the same folder (its files stay)."""

    def __init__(self, emulator, args, exit, outcome, results=(), check=None, files=None, host=None,
                 interrupt=None, before=None, timeout=60):
        self.emulator, self.args, self.exit, self.outcome = emulator, args, exit, outcome
        self.results, self.check, self.files, self.host = list(results), check, files or {}, host
        self.interrupt, self.before, self.timeout = interrupt, before, timeout


class Run:
    """What one row's program run left: exit code, output, and times."""

    def __init__(self, code, objects, stdout, stderr, started_us, seen_at_interrupt):
        self.code, self.objects, self.stdout, self.stderr = code, objects, stdout, stderr
        self.started_us, self.seen_at_interrupt = started_us, seen_at_interrupt

    def events(self, kind):
        return [o for o in self.objects if isinstance(o, dict) and o.get("event") == kind]


def adapter_path(ctx, index):
    """The interface path of adapter `index` as the program lists it."""
    if ctx.hid:
        return ctx.harness.devices.paths[index]
    return EMULATED_PATH.format(index=index)


def area(seed):
    return config_area(seed, ROUND_TRIP_ENTRIES)


def run_row(ctx, row):
    if row.before:
        run_row(ctx, row.before)
    (ctx.work / "backups").mkdir(exist_ok=True)
    for name, data in row.files.items():
        (ctx.work / FILES[name]).write_bytes(data)

    def named(values, as_seen):
        for name, path in FILES.items():
            values = [str(v).replace("{" + name + "}", as_seen(ctx.work / path)) for v in values]
        return values

    host, env = None, ctx.env
    if row.host == "closed":
        env = proxy_env(ctx.env, closed_port())
    elif row.host is not None:
        host = UpdateHost(ctx.work, ctx.args.update_host, *row.host).start()
        env = proxy_env(ctx.env, host.port)
    exe = ctx.args.shipping_cli_exe if ctx.hid else ctx.args.cli_exe
    try:
        started_us = wine_clock_us()
        started = time.monotonic()
        h = ctx.start_program(exe, named(row.emulator, str), args=named(row.args, windows_path), env=env)
        ctx.app_started_s = (wine_clock_us() - started_us) / 1e6
        seen = None
        if row.interrupt is not None:
            seen = h.interrupt_when(lambda out: any(o.get("event") == "progress" and o["percent"] >= row.interrupt
                                                    for o in out if isinstance(o, dict)), row.timeout)
        code = h.wait_app(timeout=row.timeout * ctx.slower)
        stdout = h.app_out.read_bytes()
        log(f"row: the program ended after {time.monotonic() - started:.2f} s; its last lines: "
            f"{stdout.decode('utf-8', 'replace').splitlines()[-2:]}")
        run = Run(code, h.app_output(), stdout, (ctx.work / "app.stderr").read_bytes().decode("utf-8", "replace"),
                  started_us, seen)
        adapters = ctx.finish(row.exit)
    finally:
        if host:
            host.stop()
    ctx.host = host
    expect_output(ctx, row, run)
    if row.check:
        row.check(ctx, adapters, run)


def expect_output(ctx, row, run):
    if row.exit == 2:
        # A line that could not be read: the reason and the usage on stderr, nothing else.
        expect_equal(run.stdout, b"", "standard output after a usage error")
        expect(run.stderr.startswith("Vantri4FlashCli: ") and "Usage: Vantri4FlashCli" in run.stderr,
               f"standard error after a usage error: {run.stderr!r}")
        return
    texts = [o for o in run.objects if not isinstance(o, dict)]
    expect_equal(texts, [], "lines of standard output that are not JSON")
    expect(run.objects, "no output at all")
    expect_equal(run.objects[-1], {"event": "outcome", "outcome": row.outcome, "exit": row.exit}, "the last line")
    expect_equal(run.events("outcome"), [run.objects[-1]], "outcome lines")
    results = sorted(run.events("result"), key=lambda o: o["index"])
    expected = [{"event": "result", "index": i, "path": adapter_path(ctx, i), **fields}
                for i, fields in enumerate(row.results) if fields is not None]
    expect_equal(results, expected, "result lines")
    for found in run.events("found"):
        expect_equal(found["path"], adapter_path(ctx, found["index"]), f"path of found adapter {found['index']}")


# ---- what the rows check on the adapters ------------------------------------

def flashed(*indices, progress=True):
    """Each adapter of `indices` has the image byte for byte; each one's
    progress never went back and ended at 100."""

    def check(ctx, adapters, run):
        for i in indices:
            expect_flash(adapters[i], ctx.firmware, f"adapter {i}")
            if progress:
                percents = [o["percent"] for o in run.events("progress") if o["index"] == i]
                expect(percents == sorted(percents) and percents[-1:] == [100], f"adapter {i}'s progress: {percents}")
    return check


def untouched(ctx, adapters, run):
    """Asked for its version at most: nothing written, no other command."""
    for n, adapter in enumerate(adapters):
        expect(set(adapter.commands()) <= {CMD_INFO}, f"adapter {n}: {adapter.describe()}")
        expect_nothing_written(adapter, f"adapter {n}")


def refused_at_five(ctx, adapters, run):
    """Adapter 0 flashed whole; adapter 1 heard nothing after its 5th image frame."""
    flashed(0)(ctx, adapters, run)
    commands = adapters[1].commands()
    expect_equal([c for c in commands if c != CMD_INFO], [CMD_BEGIN] + [CMD_IMAGE] * 5, "adapter 1: commands sent")
    expect(CMD_END not in commands, "adapter 1: command 3 after the refusal")
    expect_nothing_written(adapters[1], "adapter 1")


def listed(ctx, adapters, run):
    """Every adapter found, in order, with its version and whether its
    configs may be backed up (not at 4.00.20141114); nothing written."""
    expect_equal(run.events("found"), [
        {"event": "found", "index": 0, "path": adapter_path(ctx, 0), "firmware": OLD, "configs": True},
        {"event": "found", "index": 1, "path": adapter_path(ctx, 1), "firmware": "4.00.20141114", "configs": False}],
        "found lines")
    untouched(ctx, adapters, run)
    for n, adapter in enumerate(adapters):
        expect_info_reads(adapter, f"adapter {n}")


def arrived_late(ctx, adapters, run):
    flashed(0)(ctx, adapters, run)
    waited = (adapters[0].first_frame_us[CMD_INFO] - run.started_us) / 1e6
    log(f"the program started {ctx.app_started_s:.2f} s and the late adapter's first frame came {waited:.2f} s "
        "after the emulator's start")
    # Started well before the adapter came, or the row would not show the wait.
    expect(ctx.app_started_s < ARRIVAL_S / 2, f"the program started {ctx.app_started_s:.2f} s after the emulator")
    expect(waited >= ARRIVAL_S, f"a frame reached the late adapter {waited:.2f} s after the start")


def never_touched(ctx, adapters, run):
    for n, adapter in enumerate(adapters):
        expect_equal((adapter.opens, adapter.sent), (0, []), f"adapter {n}: opens and frames after a usage error")


def interrupted(ctx, adapters, run):
    """Ctrl+C came mid-image (some progress seen, no result yet) and was
    taken; the image was still written whole."""
    expect(not any(o.get("event") == "result" for o in run.seen_at_interrupt if isinstance(o, dict)),
           "Ctrl+C came only after the result")
    # The key is taken, and said to be ignored, in one line.
    lines = run.stderr.splitlines()
    expect(len(lines) == 1 and lines[0].startswith("Vantri4FlashCli: "), f"standard error after Ctrl+C: {lines}")
    flashed(0)(ctx, adapters, run)


def backed_up(seed):
    def check(ctx, adapters, run):
        expect_config_read(adapters[0], "adapter 0")
        expect_bytes((ctx.work / FILES["backup"]).read_bytes(), backup_of(area(seed)), "the backup file")
    return check


def restored(seed_before, backup, entries, index=0):
    """Adapter `index` holds its own settings and the backup's configs, in
    both regions as the database says; the others heard nothing."""

    def check(ctx, adapters, run):
        target = adapters[index]
        expect_restore_sequence(target, f"adapter {index}")
        expect_restored(target, config_area(seed_before, [(101, 1)]), backup, entries, f"adapter {index}")
        for n, adapter in enumerate(adapters):
            if n != index:
                expect_equal(adapter.sent, [], f"frames sent to adapter {n}")
    return check


def nothing_restored(requests):
    def check(ctx, adapters, run):
        expect_nothing_sent_after_info(adapters[0], "adapter 0")
        expect_bytes(stored(adapters[0], "config"), config_area(11, [(101, 1)]), "the config area")
        if ctx.host:
            expect_equal(len(ctx.host.requests), requests, "requests the update host answered")
    return check


def restore_rows(domain):
    target = ["--adapters", 1, "--version", "4.00.20141115", "--config-file", "0/{b}"]
    files = {"b": config_area(11, [(101, 1)]), "backup": backup_of(area(7))}
    return {
        # A's configs saved by `backup`, then restored onto B by `restore`.
        "cli_backup_round_trip": Row(target, ["restore", "{backup}", "--yes", "--json"], 0, RESTORE_DONE,
                                     [OK], restored(11, backup_of(area(7)), ROUND_TRIP_ENTRIES), host=(),
                                     files={"b": files["b"]},
                                     before=Row(["--adapters", 1, "--version", OLD, "--config-file", "0/{a}"],
                                                ["backup", "{backup}", "--json"], 0, BACKUP_DONE, [OK],
                                                backed_up(7), files={"a": area(7)})),
        # Adapter 1 of two, named in upper case: paths compare as Windows does.
        "cli_restore": Row(["--adapters", 2, "--version", "4.00.20141115", "--config-file", "1/{b}"],
                           ["restore", "{backup}", "--device", EMULATED_PATH.format(index=1).upper(),
                            "--yes", "--json"], 0, RESTORE_DONE, [None, OK],
                           restored(11, backup_of(area(7)), ROUND_TRIP_ENTRIES, index=1), host=(), files=files),
        "cli_download_failure": Row(target, ["restore", "{backup}", "--yes", "--json"], 7,
                                    download_failed(domain), [], nothing_restored(0), host="closed", files=files),
        "cli_invalid_backup": Row(target, ["restore", "{backup}", "--yes", "--json"], 8, INVALID, [],
                                  nothing_restored(2), host=(),
                                  files={**files, "backup": backup_of(config_area(
                                      7, ROUND_TRIP_ENTRIES[:2] + [(4000, 0)]))}),
        "cli_file_error": Row(target, ["restore", "{missing}", "--yes", "--json"], 6, NO_ACCESS, [],
                              nothing_restored(0), host=(), files={"b": files["b"]}),
    }


def cli_rows(domain):
    one = ["--adapters", 1, "--version", OLD]
    update = ["update", "--yes", "--json"]
    rows = {
        "cli_list": Row(["--adapters", 2, "--non-adapters", 1, "--version", f"0/{OLD}", "--version", "1/4.00.20141114"],
                        ["list", "--json"], 0, "2 Vantri4s found.", [], listed),
        "cli_update_one": Row(one, update, 0, DONE_ONE, [OK], flashed(0)),
        "cli_update_sixteen": Row(["--adapters", 16, "--version", OLD], update, 0, DONE_MANY.format(count=16),
                                  [OK] * 16, flashed(*range(16)), timeout=120),
        "cli_up_to_date": Row(["--adapters", 1, "--version", CARRIED_VERSION], update, 0, UP_TO_DATE, [], untouched),
        "cli_too_old": Row(["--adapters", 1, "--version", "4.00.20141114"], update, 5,
                           TOO_OLD.format(old="4.00.20141114"), [], untouched),
        "cli_refusal": Row(["--adapters", 2, "--version", OLD, "--refuse", "1/2:5:66:7:0x1234"], update, 1,
                           FAILED_AT.format(index=1),
                           [OK, {"ok": False, "command": 2, "code": 66, "detail1": 7, "detail2": 0x1234}],
                           refused_at_five),
        "cli_no_adapter": Row(["--adapters", 0, "--non-adapters", 2], update, 3, NO_ADAPTER),
        "cli_wait": Row(one + ["--arrive-after", f"0/{int(ARRIVAL_S * 1000)}"], update + ["--wait", 10], 0, DONE_ONE,
                        [OK], arrived_late),
        "cli_not_confirmed": Row(one, ["update", "--json"], 4, NOT_CONFIRMED, [], untouched),
        "cli_bad_option": Row(one, ["update", "--yes", "--json", "--wait", 86401], 2, None, [], never_touched),
        # A few seconds of image at this latency: Ctrl+C lands well inside it.
        "cli_interrupted": Row(one + ["--latency-us", 300], update, 0, DONE_ONE, [OK], interrupted, interrupt=10),
    }
    rows.update(restore_rows(domain))
    return rows


def on_hid(name):
    def run(ctx):
        ctx.hid, ctx.slower = True, 3
        run_row(ctx, cli_rows(ctx.args.maker_domain)[name])
    return run


CLI_ROW_NAMES = sorted(cli_rows("-"))
CLI_SCENARIOS = {name: (lambda n: lambda ctx: run_row(ctx, cli_rows(ctx.args.maker_domain)[n]))(name)
                 for name in CLI_ROW_NAMES}
CLI_HID_SCENARIOS = {f"cli_hid_{name[4:]}": on_hid(name)
                     for name in ("cli_update_one", "cli_refusal", "cli_backup_round_trip")}
