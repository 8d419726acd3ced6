"""The shipping exe on Wine's HID stack: the program users get, with no
environment and no emulator code, against the emulator's adapters presented
as HID devices of the prefix (emulator/hid_device/). Most rows run the
emulation build's own scenarios unchanged on that stack; the rest check what
only the stack can show."""

from e2e_harness import expect, expect_box, expect_equal, log
from restore_scenarios import restore_round_trip
from scenarios import (CMD_BEGIN, CMD_END, CMD_IMAGE, CMD_INFO, DONE_ONE, FAILED_ONE, UPDATE_BUTTON,
                       UPDATE_QUESTION, expect_flash, expect_info_reads, expect_nothing_written, factory_reset_many,
                       no_adapter, refusal, update_one)


def on_hid(scenario, unasked=()):
    """A scenario of the emulation build, run by the shipping exe on the HID
    stack; `unasked`: members of the emulator's list whose device sends a
    report nobody asked for."""

    def run(ctx):
        ctx.hid, ctx.unasked = True, tuple(unasked)
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
