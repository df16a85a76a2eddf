#!/usr/bin/env python3
"""The flash disk fills up during the install.

One target (the installed application or the system directory) lies on a
small tmpfs that cannot hold the payload. The run must end on the failure
result ("HandleEvents: InitialState: Failed.", "Status: false"), leave every
installed file as its complete old or complete new version, leave no
temporary behind, and still wait for the stick and exit 0 once it is pulled.

usage: disk_full.py --installer PATH --target app|system
Needs a private mount namespace (root); exits 77 (skipped) where there is none.
"""

import os
import sys
import time

import devicesim
from devicesim import Device, Updater, check

SMALL_DISK = 4 << 20


def test():
    args = devicesim.parse_args(sys.argv[1:], {"installer", "target"})
    binary = args["installer"]
    which = args.get("target", "app")
    work = devicesim.private_tmpfs("256m", True, "disk-full")
    device = Device(os.path.join(work, "device"))
    target = device.app if which == "app" else device.system
    payload = device.payload_app if which == "app" else device.payload_system
    other_payload = device.payload_system if which == "app" else device.payload_app
    devicesim.mount_tmpfs(target, SMALL_DISK)

    noise = os.urandom(4 << 20)
    # Old files: a quarter of the small disk. New: twice the disk, among them
    # one file larger than all of it.
    for i in range(8):
        devicesim.write_file(os.path.join(target, "lib", "part%d.dll" % i),
                             b"old %d" % i + noise[i:i + (128 << 10)])
        devicesim.write_file(os.path.join(payload, "lib", "part%d.dll" % i),
                             b"new %d" % i + noise[i + 7:i + 7 + (300 << 10)])
    for i in range(20):
        devicesim.write_file(os.path.join(payload, "res", "new%02d.dat" % i),
                             b"new %d" % i + noise[i * 3:i * 3 + (300 << 10)])
    devicesim.write_file(os.path.join(payload, "huge.bin"), noise[:SMALL_DISK - 4096] + b"end")
    devicesim.write_terminal(os.path.join(device.payload_app, "Zentavo.exe"), "new terminal")
    devicesim.write_terminal(os.path.join(device.app, "Zentavo.exe"), "old terminal")
    devicesim.write_file(os.path.join(other_payload, "other.bin"), b"the other tree fits")
    device.insert_stick()

    old = {rel: e for rel, e in devicesim.snapshot(target).items() if e[0] != "d"}
    new = {rel: e for rel, e in devicesim.snapshot(payload).items() if e[0] != "d"}

    run = Updater(binary, device, work)
    run.wait_log("delete installer directory", timeout=60)
    log = run.log()
    check(devicesim.install_status(log) == "false", "the log does not report \"Status: false\":\n" + log)
    check("HandleEvents: InitialState: Failed." in log, "no failure result in the log:\n" + log)
    check("HandleEvents: InitialState: Successful." not in log, "success reported:\n" + log)

    installed = {rel: e for rel, e in devicesim.snapshot(target).items() if e[0] != "d"}
    replaced = kept = 0
    for rel, entry in installed.items():
        check(not os.path.basename(rel).startswith(devicesim.TEMP_PREFIX),
              "temporary left on the full disk: " + rel)
        if rel in new and entry == new[rel]:
            replaced += 1
        elif rel in old and entry == old[rel]:
            kept += 1
        else:
            raise devicesim.TestFailure("%s is neither its complete old nor its complete new "
                                        "version: %r" % (rel, entry))
    for rel in old:
        check(rel in installed, "%s vanished from the full disk" % rel)
    check(not devicesim.temporaries(device.flash), "temporaries left: %s"
          % devicesim.temporaries(device.flash))
    check(new.keys() - installed.keys(), "everything fit; the disk was never full")
    print("full disk: %d files new, %d kept old, %d new files not installed"
          % (replaced, kept, len(new.keys() - installed.keys())))

    # The other tree had room and was copied in full.
    other_target = device.system if which == "app" else device.app
    check(os.path.isfile(os.path.join(other_target, "other.bin")), "the other tree was not copied")

    # The failure result waits for the stick like any other.
    time.sleep(1.0)
    check(run.running(), "the updater did not wait for the stick (exit %s)\n%s"
          % (run.proc.returncode, run.stderr_tail()))
    run.finish_after_stick()


if __name__ == "__main__":
    devicesim.main(test)
