"""The shipping exe on Wine's HID stack: the program users get, with no
environment and no emulator code, against the emulator's adapters presented
as HID devices of the prefix (emulator/hid_device/). Most rows run the
emulation build's own scenarios unchanged on that stack; the rest check what
only the stack can show."""

from e2e_harness import expect, expect_box, expect_equal, log, write_bench_report
from restore_scenarios import restore_round_trip
from scenarios import (CMD_BEGIN, CMD_IMAGE, CMD_INFO, DONE_ONE, FAILED_ONE, UPDATE_BUTTON,
                       UPDATE_QUESTION, expect_flash, expect_nothing_written, factory_reset_many, no_adapter,
                       refusal, update_one)


# What the log says of a device with the adapter's ids and name but 33-byte reports.
LOOK_ALIKE_LOGGED = "passed over {path}: input reports of 33 bytes, output reports of 33 bytes, not 65"


def on_hid(scenario, unasked=(), look_alikes=0):
    """A scenario of the emulation build, run by the shipping exe on the HID
    stack; `unasked`: members of the emulator's list whose device sends a
    report nobody asked for; `look_alikes`: devices with the adapter's ids
    and name but 33-byte reports, listed before the adapters, each of which
    the search must pass over (and log) for the scenario to come out as it
    does with the adapters alone."""

    def run(ctx):
        ctx.hid, ctx.unasked, ctx.slower = True, tuple(unasked), 3
        ctx.extra_flags = ("--look-alikes", look_alikes) if look_alikes else ()
        scenario(ctx)
        if look_alikes:
            paths = ctx.harness.devices.paths[:look_alikes]
            ctx.expect_logged(*(LOOK_ALIKE_LOGGED.format(path=path) for path in paths))

    run.__doc__ = f"On the HID stack: {scenario.__doc__}"
    return run


HID_SCENARIOS = {
    # The adapter's device sends a page-2-shaped report with the carried
    # version as the program opens it: were it taken for the answer, the
    # program would call the adapter up to date instead of asking.
    "hid_update_one": on_hid(update_one, unasked=[0]),
    "hid_no_adapter": on_hid(no_adapter),
    "hid_refusal": on_hid(refusal),
    "hid_restore_round_trip": on_hid(restore_round_trip),
    # Beside the adapter, a device that has its ids and name but not its
    # 65-byte reports: only the adapter is asked, flashed and counted.
    "hid_look_alike": on_hid(update_one, look_alikes=1),
}


def hid_silent_and_removed(ctx):
    """Two adapters' failures mid-image, as only the HID stack shows them. One
    falls silent at its 100th report: the failure box once the data frame's
    10 s limit has passed, nothing sent after the unanswered frame. One is
    unplugged at its 100th report (the model vanishes and its device is
    removed from the prefix): the failure box within 3 s, nothing after."""
    ctx.hid = True
    for flag, waited_s in (("--silent-at", (10, 16)), ("--vanish-at", (0, 4))):
        h = ctx.start("--adapters", 1, "--version", "4.00.20150101", flag, 100)
        question = h.one("click", UPDATE_BUTTON, "box", "yes")
        expect_box(question, "question", "Firmware Update", UPDATE_QUESTION.format(old="4.00.20150101"))
        box = h.driver_run("timeout", 60000, "box", "leave")[-1]
        expect_box(box, "error", "Unable to flash Vantri4", FAILED_ONE)
        if flag == "--vanish-at":
            expect_equal(h.devices.removed(), [0], "devices removed from the prefix while the program ran")
        waited = (box["seen_us"] - question["answered_us"]) / 1e6
        log(f"{flag}: the failure box {waited:.1f} s after Yes")
        expect(waited_s[0] <= waited < waited_s[1], f"{flag}: the failure box {waited:.1f} s after Yes")
        h.driver_run("box", "ok", "wait-gone")
        (adapter,) = ctx.finish()
        commands = adapter.commands()
        expect_equal(commands[:3], [CMD_INFO, CMD_INFO, CMD_BEGIN], f"{flag}: first commands")
        expect(set(commands[3:]) == {CMD_IMAGE} and len(commands) in (99, 100),
               f"{flag}: {len(commands)} commands, the last {commands[-3:]}: nothing after the 100th report")
        expect_nothing_written(adapter, f"{flag}: adapter 0")


# The frame clock's floor for the carried image: 4,601 exchanges of 2 ms.
FLASH_FLOOR_S = 9.202


def hid_flash_bench(ctx):
    """The carried image flashed to one adapter at the 1 ms frame clock, by
    the shipping exe through the HID stack and, in the same run, by the
    emulation build on its own binding: each one's wall time from Yes to the
    success box over the 9.202 s floor, and exchanges per second. Only
    success and the images are asserted; the figures go to Google Benchmark
    JSON."""

    def flash(hid):
        ctx.hid = hid
        h = ctx.start("--adapters", 1, "--version", "4.00.20150101", "--frame-clock")
        # Answer and wait in one driver run: the span is the flash, not a driver start.
        _, question, _, done = h.driver_run("click", UPDATE_BUTTON, "box", "yes", "timeout", 120000, "box", "leave",
                                            timeout=150)
        expect_box(done, "information", "Flash Complete", DONE_ONE)
        h.driver_run("box", "ok", "wait-gone")
        (adapter,) = ctx.finish()
        expect_flash(adapter, ctx.firmware, "adapter 0")
        # Everything after the question: begin, the image frames, end.
        return len(adapter.sent) - 2, (done["seen_us"] - question["answered_us"]) / 1e6

    exchanges, through_stack = flash(True)
    _, emulation = flash(False)
    log(f"bench: {exchanges} exchanges at the frame clock: {through_stack:.3f} s through the HID stack "
        f"({through_stack / FLASH_FLOOR_S:.2f} of the floor), {emulation:.3f} s by the emulation build "
        f"({emulation / FLASH_FLOOR_S:.2f}); the stack takes {through_stack / emulation:.2f} times as long")
    write_bench_report(ctx, "bench-wine-hid-flash.json", "BM_WineHidFlash", through_stack * 1e3,
                       exchanges=exchanges, floor_s=FLASH_FLOOR_S, hid_over_floor=through_stack / FLASH_FLOOR_S,
                       hid_exchanges_per_second=exchanges / through_stack,
                       emulation_over_floor=emulation / FLASH_FLOOR_S,
                       emulation_exchanges_per_second=exchanges / emulation,
                       hid_over_emulation=through_stack / emulation)


def reset_sixteen_timed(ctx):
    """factory reset on sixteen adapters at once, at the 1 ms frame clock: the
    scenario's facts (the count in the question, 10 and 11 first, every image
    byte for byte, the count in the success box), and the wall time from Yes
    to the success box over the floor of one adapter's frames, as Google
    Benchmark JSON."""
    question, watch, adapters = factory_reset_many(ctx, 16, 200000, "--frame-clock")
    exchanges = len(adapters[0].sent)
    floor_s = exchanges * 2e-3
    took = (watch["ended_us"] - question["answered_us"]) / 1e6
    log(f"bench: 16 adapters x {exchanges} exchanges at the frame clock through the HID stack: {took:.3f} s "
        f"({took / floor_s:.2f} of the {floor_s:.3f} s floor), {16 * exchanges / took:.0f} exchanges per second")
    write_bench_report(ctx, "bench-wine-hid-reset-sixteen.json", "BM_WineHidResetSixteen", took * 1e3,
                       adapters=16, exchanges_per_adapter=exchanges, floor_s=floor_s, hid_over_floor=took / floor_s,
                       hid_exchanges_per_second=16 * exchanges / took)


HID_SCENARIOS.update({
    "hid_silent_and_removed": hid_silent_and_removed,
    "hid_flash_bench": hid_flash_bench,
    "hid_reset_sixteen": on_hid(reset_sixteen_timed),
})
