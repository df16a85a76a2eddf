#!/usr/bin/env python3
"""A second start of the updater while the first is busy.

The first instance is in the middle of install() (a long, synchronous copy
that answers no events), or has its password prompt open. The second start
must leave at once with exit code 0 and touch nothing, not even the log; the
first goes on undisturbed.

usage: second_instance.py --installer PATH --passwd PATH --phase install|prompt
"""

import os
import signal
import subprocess
import sys
import time

import devicesim
from devicesim import Device, Updater, check

FILES = 300
PHASES = ["install", "prompt"]


def start_second(binary, device, work):
    second = Updater(binary, device, work, "second")
    try:
        rc = second.proc.wait(5)
    except subprocess.TimeoutExpired:
        second.kill()
        raise devicesim.TestFailure("the second instance was still running after 5 s")
    second.close()
    elapsed = time.monotonic() - second.started
    check(rc == 0, "the second instance ended with %s\n%s" % (rc, second.stderr_tail()))
    return elapsed


def test():
    args = devicesim.parse_args(sys.argv[1:], {"installer", "passwd", "phase"})
    binary = args["installer"]
    phase = args.get("phase", "install")
    check(phase in PHASES, "unknown phase %r" % phase)
    work = devicesim.private_tmpfs("1g", False, "second-instance")
    device = Device(os.path.join(work, "device"))

    device.add_large_payload(FILES, 5)
    devicesim.write_file(os.path.join(device.payload_system, "sys.dll"), b"system")
    if phase == "prompt":
        os.makedirs(os.path.dirname(device.database))
        subprocess.run([args["passwd"], device.database, "Secret-42"], check=True)
    device.insert_stick()
    payload = {rel: e for rel, e in devicesim.snapshot(device.payload_app).items() if e[0] != "d"}

    first = Updater(binary, device, work, "first")
    try:
        if phase == "prompt":
            first.wait_log("Enter Password...", timeout=60)
            time.sleep(0.5)
            before = devicesim.snapshot(device.flash)
            log_before = device.log_text()
            elapsed = start_second(binary, device, work)
            # The first instance may log what the platform says about the
            # activation request; a run of the second would start its own lines.
            added = device.log_text()[len(log_before):]
            check("Installer started at" not in added and "Admin" not in added
                  and "Enter Password..." not in added,
                  "the second instance wrote to the log:\n" + added)
            check(devicesim.snapshot(device.flash) == before, "the second instance changed the flash disk")
            check(first.running(), "the first instance ended")
            first.kill(signal.SIGTERM)
        else:
            first.wait_log("Installing update to Zentavo...", timeout=60)
            elapsed = start_second(binary, device, work)
            check(first.running(), "the first instance ended")
            first.wait_log("delete installer directory", timeout=60)
            log = first.log()
            check(log.count("Installer started at") == 1,
                  "the second instance wrote to the log:\n" + log)
            check(devicesim.install_status(log) == "true", "the install failed:\n" + log)
            installed = {rel: e for rel, e in devicesim.snapshot(device.app).items() if e[0] != "d"}
            for rel, entry in payload.items():
                check(installed.get(rel) == entry, "%s not installed" % rel)
            check(not devicesim.temporaries(device.flash), "temporaries left behind")
            first.finish_after_stick()
        print("second instance ended with 0 after %.2f s" % elapsed)
        check(elapsed < 2.0, "the second instance took %.2f s to leave" % elapsed)
    finally:
        if first.running():
            first.kill()


if __name__ == "__main__":
    devicesim.main(test, PHASES)
