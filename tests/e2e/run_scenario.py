#!/usr/bin/env python3
"""Runs one end-to-end scenario of the emulation build under Wine.

    run_scenario.py NAME --exe Vantri4FlashEmu.exe --driver vantri_driver.exe
        --emulator vantri_emulator --firmware firmware.bin --artefacts DIR

Exit code 0 when the scenario passed. Everything the run produced (driver
reports, the program's output, the emulator's log and the adapters' state,
screenshots) stays in DIR/NAME.
"""

import argparse
import os
import shutil
import sys
import time
import traceback
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from e2e_harness import (DriverFailure, ScenarioFailure, log, start_wineserver, stop_wineserver,  # noqa: E402
                         wine_environment)
from restore_scenarios import RESTORE_ON_VIRTUAL_DISPLAY, RESTORE_SCENARIOS  # noqa: E402
from scenarios import ON_VIRTUAL_DISPLAY, SCENARIOS, Context  # noqa: E402
from hid_scenarios import HID_SCENARIOS  # noqa: E402
from cli_scenarios import CLI_HID_SCENARIOS, CLI_SCENARIOS  # noqa: E402
from cli_bench_scenarios import CLI_BENCH_NEEDS, CLI_BENCH_SCENARIOS, add_cli_bench_arguments  # noqa: E402

SCENARIOS = {**SCENARIOS, **RESTORE_SCENARIOS, **HID_SCENARIOS, **CLI_SCENARIOS, **CLI_HID_SCENARIOS,
             **CLI_BENCH_SCENARIOS}
ON_VIRTUAL_DISPLAY = ON_VIRTUAL_DISPLAY | RESTORE_ON_VIRTUAL_DISPLAY


def tail(path, limit=1500):
    path = Path(path)
    if not path.is_file():
        return ""
    text = path.read_text(errors="replace")
    return text[-limit:]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("name", choices=sorted(SCENARIOS))
    parser.add_argument("--exe", required=True, help="the emulation build of the program")
    parser.add_argument("--driver", required=True, help="vantri_driver.exe")
    parser.add_argument("--emulator", required=True, help="the native emulator program")
    parser.add_argument("--firmware", required=True, help="the firmware image the program carries")
    parser.add_argument("--shipping-exe", help="the program users get, for the scenarios on the HID stack")
    parser.add_argument("--hid-devices", help="vantri_hid_devices.exe (its driver and INF beside it), for the "
                        "scenarios on the HID stack")
    parser.add_argument("--cli-exe", help="the emulation build of the console program, for the cli_ rows")
    parser.add_argument("--shipping-cli-exe", help="the console program users get, for the cli_hid_ rows")
    parser.add_argument("--artefacts", required=True, help="folder for everything the run leaves behind")
    parser.add_argument("--prefix-script", default=str(Path(__file__).resolve().parents[2] / "scripts/wine-prefix.sh"),
                        help="prepares a prefix when WINEPREFIX is not set")
    parser.add_argument("--prefix", help="a prefix of the scenario's own (prepared with --prefix-script and "
                        "left running for the next), instead of WINEPREFIX: the console rows run in one beside the "
                        "window scenarios' prefix")
    parser.add_argument("--x11-prefix", help="prefix for the runs on a virtual display (default: ARTEFACTS/wineprefix-x11)")
    parser.add_argument("--screenshots", help="folder for screenshots (default: the scenario's folder)")
    parser.add_argument("--bench-json", help="where wine_flash_bench and restore_round_trip write their result "
                        "(default: the scenario's folder)")
    parser.add_argument("--update-host", default="update.vantri4.example",
                        help="the update host's name built into the program (VANTRI_UPDATE_HOST)")
    parser.add_argument("--maker-domain", default="vantri4.example",
                        help="the maker's web domain built into the program (VANTRI_MAKER_DOMAIN)")
    add_cli_bench_arguments(parser)
    args = parser.parse_args()

    names = ["exe", "driver", "emulator", "firmware"]
    if args.name in HID_SCENARIOS:
        names += ["shipping_exe", "hid_devices"]
    if args.name in CLI_SCENARIOS:
        names += ["cli_exe"]
    if args.name in CLI_HID_SCENARIOS:
        names += ["shipping_cli_exe", "hid_devices"]
    names += CLI_BENCH_NEEDS.get(args.name, [])
    for name in names:
        if not Path(getattr(args, name) or "").is_file():
            print(f"FAIL {args.name}: --{name.replace('_', '-')} {getattr(args, name)} does not exist")
            return 1
    artefacts = Path(args.artefacts).resolve()
    args.x11_prefix = args.x11_prefix or str(artefacts / "wineprefix-x11")
    work = artefacts / args.name
    if work.exists():
        shutil.rmtree(work)
    work.mkdir(parents=True)

    started = time.monotonic()
    ctx = None
    env, own_server = None, False
    try:
        if args.name in ON_VIRTUAL_DISPLAY:
            env = dict(os.environ)  # these make a prefix of their own
        elif args.prefix:
            # Its server stays for the next row of the same lane, as the
            # main prefix's does; scripts/test.sh stops both at its end.
            saved = os.environ.pop("WINEPREFIX", None)
            try:
                env, _ = wine_environment(args.prefix_script, Path(args.prefix))
            finally:
                if saved is not None:
                    os.environ["WINEPREFIX"] = saved
            start_wineserver(env)
        else:
            env, own_server = wine_environment(args.prefix_script, artefacts / "wineprefix")
            start_wineserver(env)
        ctx = Context(args, env, work)
        SCENARIOS[args.name](ctx)
    except (ScenarioFailure, OSError, ValueError, KeyError, IndexError) as failure:
        if not isinstance(failure, ScenarioFailure):
            traceback.print_exc()
        print(f"FAIL {args.name}: {failure}")
        if isinstance(failure, DriverFailure):
            print(f"  driver reports: {failure.lines}")
        for label, path in (("program stderr", work / "app.stderr"), ("emulator log", work / "emulator.log")):
            text = tail(path)
            if text:
                print(f"--- {label} ({path}):\n{text}")
        print(f"artefacts: {work}")
        return 1
    finally:
        if ctx:
            ctx.close()
        if own_server:
            stop_wineserver(env)
    log(f"PASS {args.name} ({time.monotonic() - started:.1f} s); artefacts: {work}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
