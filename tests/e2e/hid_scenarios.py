"""The shipping exe on Wine's HID stack: the program users get, with no
environment and no emulator code, against the emulator's adapters presented
as HID devices of the prefix (emulator/hid_device/). Most rows run the
emulation build's own scenarios unchanged on that stack; the rest check what
only the stack can show."""

from e2e_harness import expect, expect_box, expect_equal, log
from restore_scenarios import restore_round_trip
from scenarios import (CMD_BEGIN, CMD_IMAGE, CMD_INFO, DONE_ONE, FAILED_ONE, UPDATE_BUTTON,
                       UPDATE_QUESTION, expect_flash, expect_info_reads, expect_nothing_written, factory_reset_many,
                       no_adapter, refusal, update_one)


def on_hid(scenario, unasked=()):
    """A scenario of the emulation build, run by the shipping exe on the HID
    stack; `unasked`: members of the emulator's list whose device sends a
    report nobody asked for."""

    def run(ctx):
        ctx.hid, ctx.unasked, ctx.flash_ms = True, tuple(unasked), 120000
        scenario(ctx)

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
    """The carried image flashed by the shipping exe through the HID stack
    at the 1 ms frame clock, to one adapter and then to sixteen at once:
    wall time from Yes to the success box over the 9.202 s floor; then one
    flash at zero latency through the stack and one by the emulation build
    over its own binding, for exchanges per second. Only success and the
    images are asserted; the figures go to Google Benchmark JSON."""
    from scenarios import DONE_MANY, RESET_BUTTON, RESET_QUESTION_MANY, write_bench_report

    def flash(hid, count, *flags):
        ctx.hid = hid
        h = ctx.start("--adapters", count, "--version", "4.00.20141114" if count > 1 else "4.00.20150101",
                      "--no-transcript" if count > 1 else "--latency-us", *(() if count > 1 else (0,)), *flags)
        button = RESET_BUTTON if count > 1 else UPDATE_BUTTON
        _, question, _, done = h.driver_run("click", button, "box", "yes", "timeout", 600000, "box", "leave",
                                            timeout=660)
        h.driver_run("box", "ok", "wait-gone")
        adapters = ctx.finish()
        if count == 1:
            expect_box(done, "information", "Flash Complete", DONE_ONE)
            expect_flash(adapters[0], ctx.firmware, "adapter 0")
        else:
            expect_box(question, "question", "Factory Reset", RESET_QUESTION_MANY.format(count=count))
            expect_box(done, "information", "Flash Complete", DONE_MANY.format(count=count))
            for n, adapter in enumerate(adapters):
                expect_equal(adapter.image, ctx.firmware, f"adapter {n}: the stored image")
        return (done["seen_us"] - question["answered_us"]) / 1e6

    one = flash(True, 1, "--frame-clock")
    sixteen = flash(True, 16, "--frame-clock")
    exchanges = 4601
    through_stack = exchanges / flash(True, 1)
    emulation = exchanges / flash(False, 1)
    log(f"bench: frame clock: 1 adapter {one:.3f} s ({one / FLASH_FLOOR_S:.3f} of the floor), 16 adapters "
        f"{sixteen:.3f} s ({sixteen / FLASH_FLOOR_S:.3f}); zero latency: {through_stack:.0f} exchanges/s through "
        f"the HID stack, {emulation:.0f} by the emulation build ({through_stack / emulation:.2f})")
    write_bench_report(ctx, "bench-wine-hid-flash.json", "BM_WineHidFlash", one * 1e3,
                       floor_s=FLASH_FLOOR_S, one_adapter_s=one, one_adapter_over_floor=one / FLASH_FLOOR_S,
                       sixteen_adapters_s=sixteen, sixteen_adapters_over_floor=sixteen / FLASH_FLOOR_S,
                       hid_exchanges_per_second=through_stack, emulation_exchanges_per_second=emulation,
                       hid_over_emulation=through_stack / emulation)


HID_SCENARIOS.update({
    "hid_silent_and_removed": hid_silent_and_removed,
    "hid_flash_bench": hid_flash_bench,
})
