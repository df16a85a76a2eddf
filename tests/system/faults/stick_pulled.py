#!/usr/bin/env python3
"""The stick is pulled while install() runs.

The installer directory on the stick (which holds the log) disappears as soon
as the log shows "Installing update to Zentavo...". The install still
completes, the lines the log can no longer take are lost without bringing the
directory back, nothing crashes, and the updater ends right after the result:
exit code 0 with the terminal started.

usage: stick_pulled.py --installer PATH
"""

import os
import sys
import threading
import time

import devicesim
from devicesim import Device, Updater, check

FILES = 400


def test():
    args = devicesim.parse_args(sys.argv[1:], {"installer"})
    binary = args["installer"]
    work = devicesim.private_tmpfs("1500m", False, "stick-pulled")
    device = Device(os.path.join(work, "device"))

    noise = device.add_large_payload(FILES, 7)
    devicesim.write_file(os.path.join(device.payload_system, "sys.dll"), noise[:4096])
    device.insert_stick()
    payload = {rel: e for rel, e in devicesim.snapshot(device.payload_app).items() if e[0] != "d"}
    payload_system = devicesim.snapshot(device.payload_system)

    run = Updater(binary, device, work)
    pulled = {}

    def pull_when_installing():
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and run.running():
            log = run.log()
            if "Installing update to Zentavo..." in log:
                device.pull_stick()
                pulled["at"] = time.monotonic()
                pulled["log"] = log
                copied = 0
                for rel in payload:
                    if os.path.exists(os.path.join(device.app, rel)):
                        copied += 1
                pulled["copied"] = copied
                return
            time.sleep(0.001)

    watcher = threading.Thread(target=pull_when_installing)
    watcher.start()
    watcher.join()
    check("at" in pulled, "the log never showed the install starting:\n%s\n%s"
          % (run.log(), run.stderr_tail()))
    check(pulled["copied"] < len(payload),
          "the install had finished before the stick was pulled (%d of %d files in place); "
          "the test proved nothing" % (pulled["copied"], len(payload)))
    print("stick pulled with %d of %d files in place" % (pulled["copied"], len(payload)))

    # The result comes with the deletion of the payload; the stick watch that
    # follows must find the stick gone at its first look.
    deadline = time.monotonic() + 60
    result_at = None
    while run.running() and time.monotonic() < deadline:
        if result_at is None and not os.path.exists(device.payload_app):
            result_at = time.monotonic()
        time.sleep(0.002)
    rc = run.wait_exit(5)
    run.close()
    ended = time.monotonic()
    if result_at is None:
        result_at = ended
    check(rc == 0, "exit code %s after the stick was pulled mid-install\n%s"
          % (rc, run.stderr_tail()))
    print("install ran on %.2f s after the stick was pulled; the updater ended %.2f s "
          "after the result" % (result_at - pulled["at"], ended - result_at))
    check(ended - result_at < 2.0,
          "the updater took %.2f s to end after the result" % (ended - result_at))

    # The install completed; the payload went as after every run.
    installed = {rel: e for rel, e in devicesim.snapshot(device.app).items() if e[0] != "d"}
    for rel, entry in payload.items():
        check(installed.get(rel) == entry, "%s not installed completely: %r" % (rel, installed.get(rel)))
    check(not os.path.exists(device.payload_app), "the application payload was not deleted")
    check(devicesim.snapshot(device.payload_system) == payload_system, "the system payload changed")
    check(not devicesim.temporaries(device.flash), "temporaries left behind")

    # The log lost its lines without the directory coming back.
    check(not os.path.lexists(device.stick),
          "the installer directory on the stick came back after it was pulled")
    check(not os.path.lexists(os.path.join(os.path.dirname(device.stick), "log.txt")),
          "a log appeared elsewhere on the stick")

    deadline = time.monotonic() + 5
    while "new terminal" not in device.terminal_started() and time.monotonic() < deadline:
        time.sleep(0.02)
    check("new terminal" in device.terminal_started(),
          "the updated terminal was not started: %r" % device.terminal_started())


if __name__ == "__main__":
    devicesim.main(test)
