#!/usr/bin/env python3
"""Checks the driver against its stand-in program (vantri_driver_fixture.exe),
whose boxes, controls and keys are known, so that a scenario failure points
at the program and not at the driver.

    driver_selftest.py --driver vantri_driver.exe --fixture vantri_driver_fixture.exe --artefacts DIR
"""

import argparse
import shutil
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from e2e_harness import (DriverFailure, Harness, ScenarioFailure, expect, expect_box, expect_equal, log,  # noqa: E402
                         start_wineserver, stop_wineserver, wine_environment)

TITLE = "Vantri4 Driver Fixture [1.0]"


def run_fixture(args, env, work, check):
    h = Harness(args.fixture, args.driver, work, env, title=TITLE)
    try:
        h.start_app()
        h.wait_main()
        check(h)
        expect_equal(h.wait_app(), 0, "exit code of the fixture")
    finally:
        h.close()


def boxes_and_progress(h):
    state = h.one("state")
    expect_equal(state["buttons"], {"2": True, "3": True, "4": True, "5": False}, "fixture buttons")
    expect_equal((state["status"], state["progress"], state["progress_visible"]),
                 ("Please choose an option.", 0, False), "fixture idle state")
    refused = h.driver_run("click", 5, check=False)[-1]
    expect_equal((refused["ok"], refused.get("error")), (False, "disabled"), "click on a disabled button")
    question = h.one("click", 2, "box", "yes")
    expect_box(question, "question", "Fixture Question", "Proceed from [1.0] to [2.0]?\n\nReady?")
    watch = h.one("watch")
    positions = watch["progress"]
    expect(positions == sorted(set(positions)) and set(positions) <= set(range(0, 101, 10)) and positions[-1] == 100,
           f"progress seen while working: {positions}")
    expect_equal(watch["statuses"], ["Working ...\n"], "status while working")
    expect(not watch["buttons_ever_enabled"], "buttons enabled while working")
    done = h.driver_run("box", "ok", "wait-gone")[0]
    expect_box(done, "information", "Fixture Done", "All done!\n\nIt is now safe.")


def error_box(h):
    box = h.driver_run("click", 3, "box", "ok", "wait-gone")[1]
    expect_box(box, "error", "Fixture Error", "It failed.")


def keys_then_close(h):
    for key, char in (("escape", 27), ("enter", 13), ("tab", 9)):
        status = h.driver_run("key", key, "wait-status", f"char {char}\\n")[-1]
        expect_equal(status["status"], f"char {char}\n", f"character the {key} key became")
    h.driver_run("no-box", 300, "sysclose", "wait-gone")


def declined_and_not_found(h):
    h.one("click", 2, "box", "no")
    h.one("wait-gone")
    gone = h.driver_run("timeout", 300, "state", check=False)[-1]
    expect_equal((gone["ok"], gone.get("error")), (False, "main window not found"), "state of a closed program")


def file_dialog(h, target):
    dialog = h.driver_run("click", 4, "file-dialog", "Z:" + str(target).replace("/", "\\"))[1]
    expect_equal(dialog["name_before"], "Fixture.vtcb", "default file name")
    saved = h.driver_run("box", "ok", "wait-gone")[0]
    expect_box(saved, "information", "Fixture Saved", "Z:" + str(target).replace("/", "\\"))
    expect_equal(Path(target).read_bytes(), b"fixture", "file written through the dialog")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--driver", required=True)
    parser.add_argument("--fixture", required=True)
    parser.add_argument("--artefacts", required=True)
    parser.add_argument("--prefix-script", default=str(Path(__file__).resolve().parents[2] / "scripts/wine-prefix.sh"))
    args = parser.parse_args()
    artefacts = Path(args.artefacts).resolve()
    work = artefacts / "driver_selftest"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    env, own_server = None, False
    try:
        env, own_server = wine_environment(args.prefix_script, artefacts / "wineprefix")
        start_wineserver(env)
        target = work / "saved.vtcb"
        cases = [("boxes and progress", boxes_and_progress), ("error box", error_box),
                 ("keys then close", keys_then_close), ("declined", declined_and_not_found),
                 ("file dialog", lambda h: file_dialog(h, target))]
        for label, check in cases:
            log(f"== {label}")
            run_fixture(args, env, work, check)
    except ScenarioFailure as failure:
        print(f"FAIL driver_selftest: {failure}")
        if isinstance(failure, DriverFailure):
            print(f"  driver reports: {failure.lines}")
        return 1
    finally:
        if own_server:
            stop_wineserver(env)
    log("PASS driver_selftest")
    return 0


if __name__ == "__main__":
    sys.exit(main())
