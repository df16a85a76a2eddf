#!/usr/bin/env python3
"""SIGKILL at random moments of a large install, each followed by a complete run.

After every kill each installed file is its complete old or its complete new
version (never partial, never missing), files the update does not touch are
intact, and the payload is only ever deleted, never changed. The complete run
that follows, on whatever the killed one left, ends with the trees equal to
the payload and no temporary anywhere on the flash disk.

usage: killed_mid_install.py --installer PATH
environment: ZENTAVO_FAULTS_SEED (repeat a run), ZENTAVO_FAULTS_KILLS (20),
ZENTAVO_FAULTS_PAYLOAD_MB (300)
"""

import os
import random
import shutil
import subprocess
import sys
import time

import devicesim
from devicesim import Device, Updater, check


def fill(path, rng, noise, tag, size, mode=0o644):
    """A file of `size` bytes that no other generated file equals."""
    header = ("%s %s\n" % (tag, path)).encode()[:size]
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(header)
        left = size - len(header)
        while left > 0:
            start = rng.randrange(len(noise) // 2)
            chunk = noise[start:start + min(left, len(noise) - start)]
            f.write(chunk)
            left -= len(chunk)
    os.chmod(path, mode)


# Request files of the installed application and of the payload, and the
# backup area: the update removes some of them and must never copy them.
OLD_REQUESTS = ["list/req1.txt", "list/sub/req2.dat", "remotecmd/cmd1.xml",
                "remotecmd/deep/cmd2.xml", "system/sys1.xml"]
OLD_KEPT_BESIDE_REQUESTS = ["remotecmd/keep.txt", "system/config.ini"]
PAYLOAD_REQUESTS = ["list/plist.txt", "remotecmd/pcmd.xml", "system/psys.xml",
                    "system/sub/psys2.xml"]
PAYLOAD_KEPT_BESIDE_REQUESTS = ["remotecmd/pkeep.txt", "system/pconf.ini"]
BACKUP_REMOVED = ["System/old.dll", "Zentavo/old.exe", "Zentavo/sub/deep.cfg"]
BACKUP_KEPT = ["noext", "Zentavo/README"]


def build_pristine(device, rng, total_mb):
    """Old installed trees, the payload and the backup area, on `device`."""
    noise = os.urandom(16 << 20)
    total = total_mb << 20
    app_files = 200
    # A few large files, many small ones, some empty; about `total` in all.
    sizes = []
    for i in range(app_files):
        if i < 8:
            sizes.append(total * 45 // 100 // 8)
        elif i < 60:
            sizes.append(total * 40 // 100 // 52)
        elif i < 70:
            sizes.append(rng.choice([0, 1, 17]))
        else:
            sizes.append(rng.randrange(total * 15 // 100 // 130 * 2))
    rng.shuffle(sizes)

    new_rel = []
    for i, size in enumerate(sizes):
        depth = rng.randrange(4)
        parts = ["d%d" % rng.randrange(6) for _ in range(depth)]
        rel = os.path.join(*(parts + ["f%03d.bin" % i]))
        new_rel.append((rel, size))

    for rel, size in new_rel:
        fill(os.path.join(device.payload_app, rel), rng, noise, "new", size)
        # Most files exist in the old installation: with the same size (an
        # overwrite in place would go unnoticed by size), larger (a missing
        # truncation shows) or smaller.
        kind = rng.randrange(10)
        if kind == 0:
            continue
        old_size = size if kind < 5 else (size * 3 // 2 + 100 if kind < 8 else size // 2)
        fill(os.path.join(device.app, rel), rng, noise, "old", old_size)
    devicesim.write_terminal(os.path.join(device.payload_app, "Zentavo.exe"), "new terminal")
    devicesim.write_terminal(os.path.join(device.app, "Zentavo.exe"), "old terminal")
    for i in range(10):
        fill(os.path.join(device.app, "data", "own%02d.dat" % i), rng, noise, "own", 4096 + i)

    for rel in OLD_REQUESTS + OLD_KEPT_BESIDE_REQUESTS:
        fill(os.path.join(device.app, rel), rng, noise, "old", 300)
    for rel in PAYLOAD_REQUESTS + PAYLOAD_KEPT_BESIDE_REQUESTS:
        fill(os.path.join(device.payload_app, rel), rng, noise, "new", 300)
    for rel in BACKUP_REMOVED + BACKUP_KEPT:
        fill(os.path.join(device.backup, rel), rng, noise, "backup", 500)

    for i in range(20):
        rel = os.path.join("sys%d" % (i % 3), "lib%02d.dll" % i)
        size = (total // 20) // 20
        fill(os.path.join(device.payload_system, rel), rng, noise, "new", size)
        if i % 4:
            fill(os.path.join(device.system, rel), rng, noise, "old", size if i % 2 else size + 999)
    fill(os.path.join(device.system, "device.cfg"), rng, noise, "own", 1000)


def is_payload_request(rel):
    return (rel.startswith("list" + os.sep)
            or (rel.startswith(("remotecmd" + os.sep, "system" + os.sep)) and rel.endswith(".xml")))


def files(snap):
    return {rel: entry for rel, entry in snap.items() if entry[0] != "d"}


class Expectation:
    """What the pristine device tells about every later state."""

    def __init__(self, device):
        self.old_app = files(devicesim.snapshot(device.app))
        self.old_system = files(devicesim.snapshot(device.system))
        self.payload_app = files(devicesim.snapshot(device.payload_app))
        self.payload_system = files(devicesim.snapshot(device.payload_system))
        self.backup = files(devicesim.snapshot(device.backup))
        self.new_app = {rel: e for rel, e in self.payload_app.items() if not is_payload_request(rel)}
        self.old_requests = {rel for rel in self.old_app if is_payload_request(rel)}
        self.final_app = {rel: e for rel, e in self.old_app.items() if rel not in self.old_requests}
        self.final_app.update(self.new_app)
        self.final_system = dict(self.old_system)
        self.final_system.update(self.payload_system)
        self.final_backup = {rel: e for rel, e in self.backup.items()
                             if "." not in os.path.basename(rel)}


def check_target(label, target_files, old, new, removable):
    """Every file at a target path is complete: old or new, never missing."""
    temps = 0
    new_seen = 0
    old_seen = 0
    for rel, entry in target_files.items():
        if os.path.basename(rel).startswith(devicesim.TEMP_PREFIX):
            temps += 1
            continue
        if rel in old and entry == old[rel]:
            old_seen += 1
            continue
        if rel in new and entry == new[rel]:
            new_seen += 1
            continue
        if rel in new or rel in old:
            raise devicesim.TestFailure("%s: %s is neither its old nor its new version: %r"
                                        % (label, rel, entry))
        raise devicesim.TestFailure("%s: unexpected entry %s %r" % (label, rel, entry))
    for rel in old:
        check(rel in target_files or rel in removable,
              "%s: %s vanished (it must hold its old or its new version)" % (label, rel))
    return temps, new_seen, old_seen


def check_killed_state(device, expect):
    app = files(devicesim.snapshot(device.app))
    system = files(devicesim.snapshot(device.system))
    temps, new_app, old_app = check_target("installed application", app, expect.old_app,
                                           expect.new_app, expect.old_requests)
    t2, new_sys, old_sys = check_target("system directory", system, expect.old_system,
                                        expect.payload_system, set())
    temps += t2
    # The payload is only ever deleted, never changed; its system part stays.
    for rel, entry in files(devicesim.snapshot(device.payload_app)).items():
        check(expect.payload_app.get(rel) == entry, "payload file %s changed: %r" % (rel, entry))
    check(files(devicesim.snapshot(device.payload_system)) == expect.payload_system,
          "the system payload changed")
    for rel, entry in files(devicesim.snapshot(device.backup)).items():
        check(expect.backup.get(rel) == entry, "backup file %s changed or appeared" % rel)
    return temps, new_app + new_sys, old_app + old_sys


def check_final_state(device, expect):
    app = files(devicesim.snapshot(device.app))
    system = files(devicesim.snapshot(device.system))
    for label, actual, wanted in (("installed application", app, expect.final_app),
                                  ("system directory", system, expect.final_system)):
        missing = sorted(set(wanted) - set(actual))
        extra = sorted(set(actual) - set(wanted))
        wrong = sorted(rel for rel in wanted if rel in actual and actual[rel] != wanted[rel])
        check(not missing and not extra and not wrong,
              "%s differs from the payload after a complete run: missing %s, extra %s, wrong %s"
              % (label, missing[:5], extra[:5], wrong[:5]))
    check(files(devicesim.snapshot(device.backup)) == expect.final_backup,
          "backup area not cleared as expected")
    check(not os.path.exists(device.payload_app), "application payload still there")
    check(files(devicesim.snapshot(device.payload_system)) == expect.payload_system,
          "the system payload changed")
    leftovers = devicesim.temporaries(device.flash)
    check(not leftovers, "temporaries left after a complete run: %s" % leftovers[:5])


def complete_run(binary, device, work, name):
    run = Updater(binary, device, work, name)
    run.wait_log("delete installer directory", timeout=120)
    log = run.log()
    check("HandleEvents: InitialState: Successful." in log
          or "HandleEvents: InitialState: Nothing done." in log,
          "the run after a kill did not succeed:\n" + log)
    run.finish_after_stick()
    return log


def test():
    args = devicesim.parse_args(sys.argv[1:], {"installer"})
    binary = args["installer"]
    kills = int(os.environ.get("ZENTAVO_FAULTS_KILLS", "20"))
    payload_mb = int(os.environ.get("ZENTAVO_FAULTS_PAYLOAD_MB", "300"))
    work = devicesim.private_tmpfs("%dm" % (payload_mb * 5 + 200), False, "killed-mid-install")
    seed = int(os.environ.get("ZENTAVO_FAULTS_SEED", str(random.randrange(1 << 30))))
    print("seed %d (ZENTAVO_FAULTS_SEED repeats this run), %d kills, payload %d MB"
          % (seed, kills, payload_mb))
    rng = random.Random(seed)
    pristine = Device(os.path.join(work, "pristine"))
    build_pristine(pristine, rng, payload_mb)
    expect = Expectation(pristine)
    device = Device(os.path.join(work, "device"))

    def reset():
        if os.path.exists(device.root):
            shutil.rmtree(device.root)
        os.makedirs(device.root)
        subprocess.run(["cp", "-a", pristine.flash, device.flash], check=True)
        device.insert_stick()

    # A complete run first, to learn how long the phases take here.
    reset()
    run = Updater(binary, device, work, "calibration")
    t_clear = run.wait_log("Starting update...", timeout=60)
    t_copy = run.wait_log("Installing update to Zentavo...", timeout=60)
    t_status = run.wait_log("Status: ", timeout=120)
    t_end = run.wait_log("delete installer directory", timeout=60)
    check(devicesim.install_status(run.log()) == "true", "a plain run failed:\n" + run.log())
    run.finish_after_stick()
    check_final_state(device, expect)
    print("phases: clearing at %.2f s, copy %.2f-%.2f s, payload deleted by %.2f s"
          % (t_clear, t_copy, t_status, t_end))

    # Most kills land in the copy; some in the clearing before it and in the
    # deletion of the payload after it. Each is timed from the log line that
    # opens its phase, since the start-up before it varies more than a phase
    # lasts on a loaded or emulated machine.
    moments = []
    for i in range(kills):
        if i % 10 < 7:
            moments.append(("Installing update to Zentavo...", rng.uniform(0.0, t_status - t_copy)))
        elif i % 10 < 9:
            moments.append(("Starting update...", rng.uniform(0.0, t_copy - t_clear + 0.01)))
        else:
            moments.append(("Status: ", rng.uniform(0.0, t_end - t_status + 0.05)))

    phases = {}
    mixed = 0
    for i, (opening, delay) in enumerate(moments):
        reset()
        run = Updater(binary, device, work, "killed%02d" % i)
        moment = run.wait_log(opening, timeout=60, interval=0.001) + delay
        time.sleep(max(0.0, moment - (time.monotonic() - run.started)))
        was_running = run.running()
        run.kill()
        log = run.log()
        check(was_running,
              "kill %d: the updater had ended by itself with %s before the kill\n%s"
              % (i, run.proc.returncode, run.stderr_tail()))
        if "Status: " in log:
            phase = "after the copy"
        elif "Installing update to Zentavo..." in log:
            phase = "copying"
        elif "Starting update..." in log:
            phase = "clearing"
        else:
            phase = "start-up"
        phases[phase] = phases.get(phase, 0) + 1
        try:
            temps, new, old = check_killed_state(device, expect)
        except devicesim.TestFailure as failure:
            raise devicesim.TestFailure("after kill %d at %.3f s (%s): %s" % (i, moment, phase, failure))
        if new and old:
            mixed += 1
        print("kill %2d at %.3f s (%s): %d new, %d old, %d temporaries"
              % (i, moment, phase, new, old, temps))
        try:
            complete_run(binary, device, work, "complete%02d" % i)
            check_final_state(device, expect)
        except devicesim.TestFailure as failure:
            raise devicesim.TestFailure("complete run after kill %d at %.3f s (%s): %s"
                                        % (i, moment, phase, failure))
    print("kills by phase: %s; states with old and new files side by side: %d"
          % (", ".join("%s %d" % item for item in sorted(phases.items())), mixed))
    check(phases.get("copying", 0) >= kills // 4,
          "too few kills landed inside the copy to prove anything: %r" % phases)


if __name__ == "__main__":
    devicesim.main(test)
