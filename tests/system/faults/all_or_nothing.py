#!/usr/bin/env python3
"""An install lands whole or not at all.

The System and Zentavo trees are copied together. Whatever goes wrong before
the new files are in place, both trees stay exactly as they were: every file
with its bytes, mode and modification time, every directory with its mode
and time, nothing added, no temporary left. The updater reports the failure
("Status: false", the failure result), still waits for the stick, and the
terminal it starts is the old one.

Failure cases (each run with the preloaded shim, fsshim.c, recording the calls):
  space_checked    the flash disk cannot hold the new System files (the
                   application's go in as links and need no room): one "not
                   enough space" line, nothing written at all
  space_exhausted  the same disk, but free space is reported as huge, so the
                   staging itself runs into ENOSPC in the System tree
  conflict         deep in the Zentavo payload a folder meets an installed file
  sync_fails       the sync before the renames fails with EIO: no rename at all
  source_grows     a System payload file grows while it is copied
Stop signals (sigterm, sigint, sighup): the signal arrives while the staging
  is held at a known copy of the System tree (the application's files are
  linked, not copied), between two files (sigterm) or inside the copy of
  a file of several data regions (sigint, sighup); the process ends by that
  signal after one "stopped by signal" line, no other line of the copy, and
  "Status: false"; the payload stays, and a second run installs it fully.
Success (order): System on a file system of its own; every rename of a
  temporary follows a successful sync of its file system issued after the last
  data written there, no data is written once the renames began, and a final
  sync of each file system follows its last rename. The trees are then the new
  ones and the new terminal starts.

usage: all_or_nothing.py --installer PATH --shim LIBRARY --case NAME
Needs a private mount namespace (root) for its small disks; exits 77 (skipped)
where there is none.
"""

import os
import re
import signal
import sys
import time

import devicesim
from devicesim import Device, Shim, Updater, check

# Holds the old trees and the payload, but not the staged copy of it as well.
SMALL_FLASH = "64m"
FLASH = "160m"
# Fixed times, so that any file or directory the copy touches shows.
OLD_TIME = 1500000000 * 10**9 + 111
NEW_TIME = 1600000000 * 10**9 + 222
SIGNALS = {"sigterm": signal.SIGTERM, "sigint": signal.SIGINT, "sighup": signal.SIGHUP}
CASES = ["space_checked", "space_exhausted", "conflict", "sync_fails", "order", "source_grows"] + list(SIGNALS)
GROWING = "grows-while-copied.bin"
# A file copied in several steps, one per data region.
REGIONS = "regions.img"


def put(root, rel, data, mode=0o644):
    devicesim.write_file(os.path.join(root, rel), data, mode)


def build(device, case, noise):
    """Old trees and a payload that changes, adds and keeps files in both."""
    # System: changed, unchanged and new files; a read-only folder that the
    # copy writes into and must leave as it was.
    for i in range(10):
        put(device.system, "drivers/d%02d.sys" % i, b"old sys %d" % i + noise[i:i + (200 << 10)])
        put(device.payload_system, "drivers/d%02d.sys" % i,
            b"new sys %d" % i + noise[i + 5:i + 5 + (200 << 10)])
    for i in range(3):
        same = b"same system file %d" % i
        put(device.system, "fonts/f%d.ttf" % i, same)
        put(device.payload_system, "fonts/f%d.ttf" % i, same, 0o600)
    for i in range(5):
        put(device.payload_system, "new/lib%d.dll" % i, noise[i * 11:i * 11 + (400 << 10)])
    put(device.system, "locked/config.ini", b"old config")
    put(device.payload_system, "locked/config.ini", b"new config, longer")
    put(device.payload_system, "locked/added.ini", b"added")
    os.chmod(os.path.join(device.system, "locked"), 0o555)
    put(device.system, "device.cfg", b"the device's own file")

    # Zentavo: the terminal, changed files deep down, unchanged files, links,
    # whole new folders.
    devicesim.write_terminal(os.path.join(device.app, "Zentavo.exe"), "old terminal")
    devicesim.write_terminal(os.path.join(device.payload_app, "Zentavo.exe"), "new terminal")
    for i in range(20):
        rel = os.path.join("lib", "l%d" % (i % 4), "part%02d.dll" % i)
        put(device.app, rel, b"old app %d" % i + noise[i * 3:i * 3 + (200 << 10)])
        put(device.payload_app, rel, b"new app %d" % i + noise[i * 7:i * 7 + (200 << 10)])
    for i in range(4):
        same = b"same application file %d" % i
        put(device.app, "res/same%d.txt" % i, same)
        put(device.payload_app, "res/same%d.txt" % i, same)
    os.symlink("lib/l0", os.path.join(device.app, "current"))
    os.symlink("lib/l1", os.path.join(device.payload_app, "current"))
    os.symlink("res/same0.txt", os.path.join(device.payload_app, "alias"))
    for i in range(24):
        put(device.payload_app, "media/set%d/clip%02d.bin" % (i % 3, i),
            b"clip %d" % i + noise[i * 13:i * 13 + (1 << 20)])
    put(device.app, "data/own.dat", b"the terminal's own data")
    put(device.app, "a/b/c/d/e/keep.txt", b"an installed file deep down")
    put(device.payload_app, "a/b/c/d/e/keep.txt", b"its new version")
    put(device.payload_app, "a/b/c/d/e/new/inner.txt", b"a file in a new folder deep down")

    if case.startswith("space_"):
        # More new System bytes than the small disk has free.
        for i in range(4):
            put(device.payload_system, "big/b%d.bin" % i, noise[i:i + (3 << 20) // 2] * 2)
    if case == "conflict":
        # The payload has a folder where the device has a file of that name.
        put(device.app, "a/b/c/d/e/plugins", b"an installed file named like a payload folder")
        for i in range(3):
            put(device.payload_app, "a/b/c/d/e/plugins/p%d.so" % i, b"plugin %d" % i)
    if case == "source_grows":
        put(device.payload_system, "media/" + GROWING, noise[:300 << 10])
    if case in ("sigint", "sighup"):
        path = os.path.join(device.payload_system, "media", REGIONS)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            for region in range(4):
                f.seek(region << 20)
                f.write(noise[region:region + (64 << 10)])

    for root, when in ((device.system, OLD_TIME), (device.app, OLD_TIME),
                       (device.payload, NEW_TIME)):
        set_times(root, when)


def set_times(root, when):
    """Every entry below root and root itself get the time `when`, deepest first."""
    for dirpath, dirnames, filenames in os.walk(root, topdown=False):
        for name in filenames + dirnames:
            os.utime(os.path.join(dirpath, name), ns=(when, when), follow_symlinks=False)
    os.utime(root, ns=(when, when))


def trees(device):
    return {"System": devicesim.snapshot(device.system, times=True),
            "Zentavo": devicesim.snapshot(device.app, times=True)}


def check_trees_old(device, old):
    now = trees(device)
    for name in old:
        difference = devicesim.snapshot_difference(old[name], now[name])
        check(not difference, "the %s tree is not exactly the old one:\n%s" % (name, difference))
    left = devicesim.temporaries(device.flash)
    check(not left, "temporaries left: %s" % left[:5])


def check_trees_new(device, payload):
    """Every payload file is installed with its bytes, mode and time."""
    for name, target in (("System", device.system), ("Zentavo", device.app)):
        installed = devicesim.snapshot(target, times=True)
        wrong = sorted(rel for rel, entry in payload[name].items()
                       if rel != "." and entry[0] != "d" and installed.get(rel) != entry)
        check(not wrong, "%s: not installed as in the payload: %s"
              % (name, ["%s: %r" % (rel, installed.get(rel)) for rel in wrong[:5]]))
        dirs = [rel for rel, entry in payload[name].items() if entry[0] == "d" and rel != "."]
        check(all(installed.get(rel, ("",))[0] == "d" for rel in dirs),
              "%s: a payload folder is missing" % name)
    check(not devicesim.temporaries(device.flash), "temporaries left after the install: %s"
          % devicesim.temporaries(device.flash)[:5])


def copy_lines(log):
    return [line for line in log.splitlines() if line.startswith("CopyRecursivelyOverwrite:")]


def expect_failure_result(run, device):
    """The failure result, the payload deleted as after any failure, the
    stick awaited, and the old terminal started."""
    run.wait_log("delete installer directory", timeout=60)
    log = run.log()
    check(devicesim.install_status(log) == "false", "the log does not report \"Status: false\":\n" + log)
    check("HandleEvents: InitialState: Failed." in log, "no failure result in the log:\n" + log)
    check("HandleEvents: InitialState: Successful." not in log, "success reported:\n" + log)
    time.sleep(0.5)
    check(run.running(), "the updater did not wait for the stick (exit %s)\n%s"
          % (run.proc.returncode, run.stderr_tail()))
    run.finish_after_stick()
    started = device.terminal_started()
    check("old terminal" in started and "new terminal" not in started,
          "not the old terminal was started: %r" % started)
    return log


def check_failure_case(case, run, device, shim, old):
    log = expect_failure_result(run, device)
    lines = copy_lines(log)
    calls = shim.calls()
    renames = [c for c in calls if c.is_rename()]
    copies = [c for c in calls if c.is_copy()]
    check(not renames, "renamed although the staging failed: %s" % renames[:3])

    if case == "space_checked":
        check(len(lines) == 1, "expected the one space line of the copy, got:\n" + "\n".join(lines))
        found = re.match(r"CopyRecursivelyOverwrite: not enough space for (.+) - (\d+) bytes "
                         r"needed, (\d+) bytes free$", lines[0])
        check(found, "not the space line: %r" % lines[0])
        check(device.app in found.group(1) and device.system in found.group(1),
              "the space line does not name both targets on the disk: %r" % lines[0])
        check(int(found.group(2)) > int(found.group(3)), "needs less than is free: %r" % lines[0])
        check(not copies, "data written although the space check failed: %s" % copies[:3])
        check(not [c for c in calls if c.is_sync()], "synced although nothing was to be written")
    elif case == "space_exhausted":
        full = [c for c in copies if c.result < 0 and c.errno == 28]
        check(full, "the staging never ran into ENOSPC; calls: %s" % copies[-3:])
        enospc = [line for line in lines if line.endswith("- No space left on device")]
        check(enospc, "no line tells of the full disk:\n" + "\n".join(lines))
        check(all(device.system in line for line in enospc),
              "the disk ran full outside the System tree:\n" + "\n".join(enospc))
        check(not any("not enough space" in line for line in lines),
              "the space check failed although the free space was reported huge")
    elif case == "conflict":
        path = os.path.join(device.app, "a/b/c/d/e/plugins")
        wanted = 'CopyRecursivelyOverwrite: cannot replace with a directory "%s" - a file is in the way' % path
        check(lines == [wanted], "expected only %r, got:\n%s" % (wanted, "\n".join(lines)))
    elif case == "sync_fails":
        failed = [c for c in calls if c.is_sync() and c.result < 0 and c.errno == 5]
        check(failed, "no sync failed; calls: %s" % [c for c in calls if c.is_sync()])
        check(copies, "nothing was staged before the sync")
        check(any(line.startswith("CopyRecursivelyOverwrite: sync failed ")
                  and line.endswith("Input/output error") for line in lines),
              "no line tells of the failed sync:\n" + "\n".join(lines))
    elif case == "source_grows":
        grown = [c for c in calls if c.name == "grow" and c.result > 0]
        check(grown, "the payload file was never made to grow")
        path = os.path.join(device.payload_system, "media", GROWING)
        wanted = ('CopyRecursivelyOverwrite: cannot copy "%s" - source file changed while it '
                  'was copied' % path)
        check(wanted in lines, "expected %r, got:\n%s" % (wanted, "\n".join(lines)))
    check_trees_old(device, old)
    print("%s: %d data copies, %d syncs, no rename; both trees exactly old"
          % (case, len(copies), len([c for c in calls if c.is_sync()])))


def check_order(calls, devices):
    """Data, then a sync of each file system, then the renames, then a sync."""
    renames = [(i, c) for i, c in enumerate(calls) if c.is_rename()
               and os.path.basename(c.names[0]).startswith(devicesim.TEMP_PREFIX)]
    check(renames, "no temporary was renamed")
    check(all(c.ok() for _, c in renames), "a rename failed: %s" % [c for _, c in renames if not c.ok()])
    first_rename = renames[0][0]
    late = [c for c in calls[first_rename:] if c.is_copy()]
    check(not late, "data written after the renames began: %s" % late[:3])
    renamed_on = set(c.device for _, c in renames)
    check(renamed_on == devices, "renames on file systems %s, the targets are on %s"
          % (sorted(renamed_on), sorted(devices)))
    for device in renamed_on:
        copies = [i for i, c in enumerate(calls) if c.is_copy() and c.device == device]
        syncs = [i for i, c in enumerate(calls) if c.is_sync() and c.device == device and c.ok()]
        on_device = [i for i, c in renames if c.device == device]
        after_data = [i for i in syncs if not copies or i > copies[-1]]
        check(after_data and after_data[0] < on_device[0],
              "file system %d: a temporary was renamed (call %d) before a sync that follows "
              "its last data (syncs at %s, last data at %s)"
              % (device, on_device[0], syncs, copies[-1:] or None))
        check(syncs and syncs[-1] > on_device[-1],
              "file system %d: no sync after the last rename (call %d; syncs at %s)"
              % (device, on_device[-1], syncs))
    return len(renames)


def test():
    args = devicesim.parse_args(sys.argv[1:], {"installer", "shim", "case"})
    binary = args["installer"]
    case = args["case"]
    check(case in CASES, "unknown case %r" % case)
    work = devicesim.private_tmpfs("256m", True, "all-or-nothing")
    shim = Shim(args.get("shim"), os.path.join(work, "trace.txt"))
    device = Device(os.path.join(work, "device"))
    # The flash disk is a small file system of its own; for the order the
    # System tree lives on another one, so each must be synced.
    devicesim.mount_tmpfs(device.flash, SMALL_FLASH if case.startswith("space_") else FLASH)
    if case == "order":
        devicesim.mount_tmpfs(device.system, "64m")
    build(device, case, os.urandom(2 << 20))
    device.insert_stick()
    old = trees(device)
    payload = {"System": devicesim.snapshot(device.payload_system, times=True),
               "Zentavo": devicesim.snapshot(device.payload_app, times=True)}

    if case in SIGNALS:
        sig = SIGNALS[case]
        # Held at the 10th data copy (System takes 17 when each of its files
        # goes in one), or inside the copy of the file of four data regions.
        hold = {"hold_at_copy": 10} if sig == signal.SIGTERM else {"hold_at_name": REGIONS}
        run = Updater(binary, device, work, case, env_changes=shim.env(**hold))
        deadline = time.monotonic() + 60
        while not any(c.name == "hold" for c in shim.calls()):
            check(run.running() and time.monotonic() < deadline and "Status: " not in run.log(),
                  "the copy never reached the held call\n" + run.log() + run.stderr_tail())
            time.sleep(0.01)
        run.proc.send_signal(sig)
        rc = run.wait_exit(60)
        log = run.log()
        check(rc == -sig, "the updater did not end by signal %d but with %s\n%s\n%s"
              % (sig, rc, log, run.stderr_tail()))
        wanted = "CopyRecursivelyOverwrite: stopped by signal %d - nothing installed" % sig
        check(copy_lines(log) == [wanted], "expected the one line %r of the copy, got %r\n%s"
              % (wanted, copy_lines(log), log))
        check(devicesim.install_status(log) == "false", "no \"Status: false\":\n" + log)
        check("HandleEvents: InitialState" not in log, "the updater went on after the signal:\n" + log)
        check(not [c for c in shim.calls() if c.is_rename()], "renamed after the stop request")
        check_trees_old(device, old)
        check(devicesim.snapshot(device.payload_system, times=True) == payload["System"]
              and devicesim.snapshot(device.payload_app, times=True) == payload["Zentavo"],
              "the payload changed or went")
        # The next start installs the payload that stayed.
        again = Updater(binary, device, work, case + "-again")
        again.wait_log("delete installer directory", timeout=60)
        check(devicesim.install_status(again.log()) == "true"
              and "HandleEvents: InitialState: Successful." in again.log(),
              "the run after the signal did not install the payload:\n" + again.log())
        check_trees_new(device, payload)
        again.finish_after_stick()
        check("new terminal" in device.terminal_started(), "the new terminal was not started")
        print("%s: stopped while staging, trees old, payload kept; the next run installed it" % case)
        return

    options = {"sync_eio": case == "sync_fails", "huge_free": case == "space_exhausted",
               "grow": GROWING if case == "source_grows" else None}
    run = Updater(binary, device, work, case, env_changes=shim.env(**options))
    if case != "order":
        check_failure_case(case, run, device, shim, old)
        return

    run.wait_log("delete installer directory", timeout=60)
    log = run.log()
    check(devicesim.install_status(log) == "true" and "HandleEvents: InitialState: Successful." in log,
          "the install did not succeed:\n" + log)
    devices = {os.stat(device.system).st_dev, os.stat(device.app).st_dev}
    check(len(devices) == 2, "System is not on a file system of its own")
    renamed = check_order(shim.calls(), devices)
    check_trees_new(device, payload)
    run.finish_after_stick()
    check("new terminal" in device.terminal_started(), "the new terminal was not started")
    print("order: %d temporaries renamed on 2 file systems, each after its sync, "
          "a sync after the last" % renamed)


if __name__ == "__main__":
    devicesim.main(test, CASES)
