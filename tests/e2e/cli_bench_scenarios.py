"""The console program's speed under Wine, as Google Benchmark JSON.

- `cli_update_bench` (1 and 16 adapters) and `cli_update_bench_256`:
  `Vantri4FlashCliEmu.exe --json --yes update` over loopback to the emulator
  process, each run's wall time over the frame clock's floor.
- `cli_hid_update_bench`: on Wine's HID stack, for 1 and 16 adapters, a bare
  loop (tests/windows/bare_hid_loop/: the reports an update writes and the
  reads of their answers, one thread per adapter, nothing else) and then the
  shipping `Vantri4FlashCli.exe --json --yes update` over the same virtual
  devices: the program over the bare loop, and the bare loop over the floor.

Every run is checked as a functional one (exit code, the JSON events, each
adapter's image byte for byte, the number of reports it was sent, no
protocol violation); the speed is only reported. A ratio above its target
marks that run's record failed (`error_message`), which
scripts/bench_summary.py reports as an error.
"""

import json
import time
from pathlib import Path

from e2e_harness import (Emulator, Harness, HidDevices, expect, expect_equal, log, windows_path_of,
                         write_bench_reports)
from scenarios import DONE_MANY, DONE_ONE

OLD_VERSION = "4.00.20150101"
UPDATE_LINE = ("--json", "--yes", "update")
# The emulator's 1 ms USB frame clock takes a report at one frame and has its
# answer ready at the next: 2 ms an exchange at best.
EXCHANGE_S = 2e-3
# The information requests (command 21, pages 2 and 3) an update makes of the
# first adapter before the images; not part of the image's floor.
INFO_REPORTS = 2
# Wall time over the floor, and the program over the bare loop.
TARGET_ONE, TARGET_MANY = 1.05, 1.10
CLI_OVER_BARE_TARGET = 1.05
# Runs of each program on the HID stack, taken in turn (see cli_hid_update_bench).
REPETITIONS = 2


def image_exchanges(firmware):
    """Begin, one frame per 56 bytes of the image, end."""
    return (len(firmware) + 55) // 56 + 2


def target_verdict(ratio, target, what):
    """The counters that say whether `ratio` kept to its target; above it,
    the run's record is marked failed."""
    counters = {"target": target}
    if ratio > target:
        counters["error_message"] = f"{what} {ratio:.3f}, above the target {target}"
        log(f"bench: OVER TARGET: {counters['error_message']}")
    return counters


def start_adapters(ctx, exe, count, hid):
    """A fresh emulator with `count` adapters at the frame clock (and, on the
    HID stack, its devices in the prefix); returns the devices' paths. No
    transcripts: 256 adapters' would be about half a gigabyte, and the
    checks need only each adapter's counts and image."""
    harness = Harness(exe, ctx.args.driver, ctx.work, ctx.env)
    ctx.harness = harness
    harness.emulator = Emulator(ctx.args.emulator, ctx.work / "state",
                                ["--adapters", count, "--version", OLD_VERSION, "--frame-clock", "--no-transcript"],
                                ctx.work / "emulator.log")
    port = harness.emulator.start()
    if not hid:
        return port, []
    harness.devices = HidDevices(ctx.args.hid_devices, ctx.work, ctx.env)
    paths = harness.devices.start(port)
    expect_equal(len(paths), count, "devices in the prefix")
    return port, paths


def timed_run(ctx, args, port, label, limit_s):
    """Runs the harness's program with `args` to its end (given the
    emulator's address when `port` is set); returns its standard output and
    the wall time from its start to its end."""
    harness = ctx.harness
    started = time.monotonic()
    harness.start_app(port, args)
    code = harness.wait_app(limit_s)
    took = time.monotonic() - started
    log(f"run: {label}: {took:.3f} s")
    stderr = (ctx.work / "app.stderr").read_text(errors="replace").strip()
    expect_equal(code, 0, f"exit code of {label} (its stderr: {stderr[-800:]!r})")
    return harness.app_out.read_text(encoding="utf-8", errors="replace"), took


def expect_update_events(stdout, count, label):
    """What `--json update` of `count` adapters printed: a result for every
    adapter, each a success, and the window's success text as the last line,
    exit 0."""
    events = [json.loads(line) for line in stdout.splitlines() if line.strip()]
    expect(events, f"{label}: no output")
    done = DONE_ONE if count == 1 else DONE_MANY.format(count=count)
    expect_equal(events[-1], {"event": "outcome", "outcome": done, "exit": 0}, f"{label}: the last line")
    indices = sorted(e["index"] for e in events if e["event"] == "result")
    expect_equal(indices, list(range(count)), f"{label}: indices of the result events")
    failed = [e for e in events if e["event"] == "result" and not e["ok"]]
    expect_equal(failed, [], f"{label}: failed results")


def finish_adapters(ctx, firmware, count, label):
    """Every adapter's image byte for byte; returns the reports each was sent."""
    adapters = ctx.finish()
    expect_equal(len(adapters), count, f"{label}: adapters in the emulator's state")
    reports = []
    for n, adapter in enumerate(adapters):
        expect_equal(adapter.number("images_received"), 1, f"{label}: images received by adapter {n}")
        expect(adapter.image == firmware, f"{label}: adapter {n} does not hold the carried image byte for byte")
        reports.append(adapter.number("output_reports"))
    return reports


def cli_update(ctx, exe, count, hid, limit_s):
    """One `update` of `count` adapters by `exe`; the wall time and the
    reports each adapter was sent."""
    port, _ = start_adapters(ctx, exe, count, hid)
    label = f"{exe.name}-{count}"
    stdout, took = timed_run(ctx, UPDATE_LINE, None if hid else port, label, limit_s)
    expect_update_events(stdout, count, label)
    return took, finish_adapters(ctx, ctx.firmware, count, label)


def emulated_updates(ctx, counts, repetitions, default_name):
    """`update` of each count of adapters by the emulation build over
    loopback, at the frame clock: the best of `repetitions` runs' wall time
    (the program's start to its end) over the floor of one adapter's image
    at 2 ms an exchange."""
    exe = Path(ctx.args.cli_exe)
    exchanges = image_exchanges(ctx.firmware)
    floor_s = exchanges * EXCHANGE_S
    runs = []
    for count in counts:
        target = TARGET_ONE if count == 1 else TARGET_MANY
        times = []
        for _ in range(repetitions):
            took, reports = cli_update(ctx, exe, count, False, 120 + count * 4)
            expect_equal(reports, [exchanges + INFO_REPORTS] + [exchanges] * (count - 1),
                         f"reports sent to each of {count} adapters")
            times.append(took)
        took = min(times)
        ratio = took / floor_s
        log(f"bench: emulation build, {count} adapters: {', '.join(f'{t:.3f}' for t in times)} s; the best "
            f"{ratio:.3f} of the {floor_s:.3f} s floor")
        runs.append((f"BM_WineCliEmuUpdate/{count}", took * 1e3,
                     dict(adapters=count, exchanges_per_adapter=exchanges, floor_s=floor_s, over_floor=ratio,
                          repetitions=repetitions, worst_ms=max(times) * 1e3,
                          exchanges_per_second=sum(reports) / took,
                          **target_verdict(ratio, target, f"{count} adapters: wall time over the floor"))))
    write_bench_reports(ctx, default_name, runs)


def cli_update_bench(ctx):
    """1 and 16 adapters, the best of two runs each, as on the HID stack."""
    emulated_updates(ctx, (1, 16), REPETITIONS, "bench-wine-cli-update.json")


def cli_update_bench_256(ctx):
    """256 adapters, once, and in a row of its own, since it is the suite's
    longest. It is not held back by the frame clock but by the processor
    time its 1.2 million loopback exchanges cost the program, the wineserver
    and the emulator (on 2 cores about 5,000 exchanges a second, as for one
    adapter without the clock): a faster clock would only lower the floor,
    a repetition would double the longest run, so one run at the clock of
    the others."""
    emulated_updates(ctx, (256,), 1, "bench-wine-cli-update-256.json")


def bare_loop(ctx, count):
    """The bare loop over `count` fresh virtual devices: its wall time (from
    the program's start to its end, as for the console program), its own
    time of the loop alone (only logged), and the reports each adapter was sent."""
    _, paths = start_adapters(ctx, Path(ctx.args.bare_loop), count, True)
    args = ["--firmware", windows_path_of(ctx.args.firmware), "--info", *paths]
    stdout, took = timed_run(ctx, args, None, f"bare loop, {count} adapters", 60 + count * 30)
    said = json.loads(stdout.strip().splitlines()[-1])
    expect_equal((said["adapters"], said["failed"]), (count, 0), "the bare loop's adapters and failures")
    log(f"bench: the bare loop's own time of the loop alone: {said['loop_us'] / 1e6:.3f} s")
    return took, finish_adapters(ctx, ctx.firmware, count, f"bare loop, {count} adapters")


def cli_hid_update_bench(ctx):
    """On the HID stack, 1 and then 16 adapters: the bare loop, then the
    shipping exe's `update`, each over fresh devices, twice in turn, in one
    run. The program's best over the bare loop's best (wall times from start
    to end), and each over the floor of one adapter's image at the frame
    clock.

    Best of two, not one: on the shared machine one run of either swings by
    about a tenth with the other users' load, as much as the target allows,
    while the two programs' own processor time is the same to a few hundredths;
    the second pair costs about 75 s, and more would cost the suite too much."""
    exe = Path(ctx.args.shipping_cli_exe)
    ctx.hid = True
    exchanges = image_exchanges(ctx.firmware)
    floor_s = exchanges * EXCHANGE_S
    runs = []
    for count in (1, 16):
        bare_times, cli_times = [], []
        for _ in range(REPETITIONS):
            bare_s, bare_reports = bare_loop(ctx, count)
            cli_s, cli_reports = cli_update(ctx, exe, count, True, 60 + count * 30)
            expect_equal(cli_reports, bare_reports,
                         f"{count} adapters: reports sent by the program and by the bare loop")
            bare_times.append(bare_s)
            cli_times.append(cli_s)
        bare_s, cli_s = min(bare_times), min(cli_times)
        ratio = cli_s / bare_s
        log(f"bench: HID stack, {count} adapters: bare loop {', '.join(f'{t:.3f}' for t in bare_times)} s, "
            f"the program {', '.join(f'{t:.3f}' for t in cli_times)} s; best: bare loop {bare_s / floor_s:.3f} of "
            f"the floor, the program {cli_s / floor_s:.3f} of the floor and {ratio:.3f} of the bare loop")
        common = dict(adapters=count, exchanges_per_adapter=exchanges, floor_s=floor_s, repetitions=REPETITIONS)
        runs.append((f"BM_WineHidBareLoop/{count}", bare_s * 1e3,
                     dict(common, bare_loop_over_floor=bare_s / floor_s, worst_ms=max(bare_times) * 1e3,
                          exchanges_per_second=sum(bare_reports) / bare_s)))
        runs.append((f"BM_WineHidCliUpdate/{count}", cli_s * 1e3,
                     dict(common, over_floor=cli_s / floor_s, cli_over_bare_loop=ratio, worst_ms=max(cli_times) * 1e3,
                          exchanges_per_second=sum(cli_reports) / cli_s,
                          **target_verdict(ratio, CLI_OVER_BARE_TARGET,
                                           f"{count} adapters: the program over the bare loop"))))
    write_bench_reports(ctx, "bench-wine-cli-hid-update.json", runs)


CLI_BENCH_SCENARIOS = {
    "cli_update_bench": cli_update_bench,
    "cli_update_bench_256": cli_update_bench_256,
    "cli_hid_update_bench": cli_hid_update_bench,
}

# The programs each one needs besides those every scenario needs (the
# console programs come with --cli-exe and --shipping-cli-exe, as for the
# console program's other rows).
CLI_BENCH_NEEDS = {
    "cli_update_bench": ["cli_exe"],
    "cli_update_bench_256": ["cli_exe"],
    "cli_hid_update_bench": ["shipping_cli_exe", "hid_devices", "bare_loop"],
}


def add_cli_bench_arguments(parser):
    parser.add_argument("--bare-loop", help="vantri_bare_hid_loop.exe, for cli_hid_update_bench")
