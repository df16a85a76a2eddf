#!/usr/bin/env python3
"""SIGKILL at random moments of a large install, each followed by a complete run.

The preloaded shim (fsshim.c) slows every data copy and every rename, so that
staging and renaming each last seconds, and records the calls. Kills are
aimed from the start of a phase (the log line before the copy, the first sync
in the trace) and classified afterwards by the trace: no sync yet means the
kill hit the staging, one sync means it hit the renames.

After a kill during the staging both trees are exactly the old ones (every
file with its bytes, mode and time, every folder with its mode, a read-only
one included; only temporaries may be left, which a SIGKILL cannot avoid).
After a kill at any other moment each installed file is its complete old or
its complete new version, never partial or missing. During the swaps no old
version is freed: each replaced file's old version is still beside it under
a temporary name. Some runs are made to fail in the middle of the commit and
are killed while they undo it. The payload is only ever deleted, never
changed. The complete run that follows, on whatever the killed one left,
ends with both trees exactly new, every folder that existed with its mode
and time, and no temporary anywhere on the flash disk.

usage: killed_mid_install.py --installer PATH --shim LIBRARY
environment: ZENTAVO_FAULTS_SEED (repeat a run), ZENTAVO_FAULTS_KILLS (16),
ZENTAVO_FAULTS_PAYLOAD_MB (30)
"""

import os
import random
import shutil
import subprocess
import sys
import time

import devicesim
from devicesim import Device, Shim, Updater, check

# Slow enough that a phase outlasts any scheduling delay of a loaded machine.
COPY_DELAY_US = 10000
RENAME_DELAY_US = 6000


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
    # A folder the copy writes into that nobody may write to: root may.
    os.chmod(os.path.join(device.system, "sys1"), 0o555)


def is_payload_request(rel):
    return (rel.startswith("list" + os.sep)
            or (rel.startswith(("remotecmd" + os.sep, "system" + os.sep)) and rel.endswith(".xml")))


def files(snap):
    return {rel: entry for rel, entry in snap.items() if entry[0] != "d"}


def tree(root):
    """Files of a tree with their times; directories with their mode and time."""
    return devicesim.snapshot(root, times=True)


class Expectation:
    """What the pristine device tells about every later state."""

    def __init__(self, device):
        self.old_app_tree = tree(device.app)
        self.old_system_tree = tree(device.system)
        self.old_app = files(self.old_app_tree)
        self.old_system = files(self.old_system_tree)
        self.payload_app = files(tree(device.payload_app))
        self.payload_system = files(tree(device.payload_system))
        self.backup = files(tree(device.backup))
        self.new_app = {rel: e for rel, e in self.payload_app.items() if not is_payload_request(rel)}
        self.old_requests = {rel for rel in self.old_app if is_payload_request(rel)}
        self.final_app = {rel: e for rel, e in self.old_app.items() if rel not in self.old_requests}
        self.final_app.update(self.new_app)
        self.final_system = dict(self.old_system)
        self.final_system.update(self.payload_system)
        self.final_backup = {rel: e for rel, e in self.backup.items()
                             if "." not in os.path.basename(rel)}
        # What the copy starts from: the old trees after the clearing of the
        # request files, which comes first. The folders the clearing changes
        # have new times from then on.
        cleared_app = {rel: e for rel, e in self.old_app_tree.items()
                       if rel not in self.old_requests and rel != "list"
                       and not rel.startswith("list" + os.sep)}
        self.before_copy = {"application": cleared_app, "system": self.old_system_tree}
        self.cleared_dirs = {".", "remotecmd", os.path.join("remotecmd", "deep"), "system"}


def check_exactly_old(device, expect):
    """A kill during the staging: both trees as before the copy, apart from
    temporaries, and apart from the times of the folders that hold one."""
    for label, root in (("application", device.app), ("system", device.system)):
        now = tree(root)
        holding_temps = {os.path.dirname(rel) or "." for rel in now
                         if os.path.basename(rel).startswith(devicesim.TEMP_PREFIX)}
        now = {rel: e for rel, e in now.items()
               if not any(part.startswith(devicesim.TEMP_PREFIX) for part in rel.split(os.sep))}
        old = expect.before_copy[label]
        for rel in set(now) | set(old):
            a, b = old.get(rel), now.get(rel)
            if a and b and a[0] == "d" and b[0] == "d" and (
                    rel in holding_temps or (label == "application" and rel in expect.cleared_dirs)):
                a, b = a[:2], b[:2]
            check(a == b, "%s tree not exactly old at %r: %r, was %r" % (label, rel, b, a))


def check_target(label, target_files, old, new, removable):
    """Every file at a target path is complete: old or new, never missing."""
    temps = 0
    new_seen = 0
    old_seen = 0
    for rel, entry in target_files.items():
        # A temporary, or a file in a new folder still under its temporary name.
        if any(part.startswith(devicesim.TEMP_PREFIX) for part in rel.split(os.sep)):
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


def check_killed_state(device, expect, deleting):
    app = files(tree(device.app))
    system = files(tree(device.system))
    temps, new_app, old_app = check_target("installed application", app, expect.old_app,
                                           expect.new_app, expect.old_requests)
    t2, new_sys, old_sys = check_target("system directory", system, expect.old_system,
                                        expect.payload_system, set())
    temps += t2
    # The payload is only ever deleted, never changed; its system part stays.
    # Until the run that deletes it, it keeps every name: staged files are
    # links to its files, and no roll-back or undo may take a name of it.
    payload_now = files(tree(device.payload_app))
    for rel, entry in payload_now.items():
        check(expect.payload_app.get(rel) == entry, "payload file %s changed: %r" % (rel, entry))
    if not deleting:
        missing = sorted(rel for rel in set(expect.payload_app) - set(payload_now)
                         if not is_payload_request(rel))
        check(not missing, "payload files gone before the payload was deleted: %s" % missing[:5])
    check(files(tree(device.payload_system)) == expect.payload_system,
          "the system payload changed")
    for rel, entry in files(tree(device.backup)).items():
        check(expect.backup.get(rel) == entry, "backup file %s changed or appeared" % rel)
    return temps, new_app + new_sys, old_app + old_sys


def check_old_versions_kept(device, expect):
    """During the swaps every target file that is new has its old version
    beside it under a temporary name: nothing old is freed before the commit
    has succeeded."""
    for label, root, old, new in (("application", device.app, expect.old_app, expect.new_app),
                                  ("system", device.system, expect.old_system, expect.payload_system)):
        now = files(tree(root))
        kept = {}
        for rel, entry in now.items():
            if os.path.basename(rel).startswith(devicesim.TEMP_PREFIX) and entry[0] == "f":
                kept.setdefault(os.path.dirname(rel), set()).add(entry[1])
        for rel, entry in now.items():
            if rel in old and rel in new and entry == new[rel] and old[rel] != new[rel]:
                check(old[rel][1] in kept.get(os.path.dirname(rel), ()),
                      "%s: %s is new, and its old version is gone already" % (label, rel))


def check_undone_state(device, expect):
    """The old trees, as the clearing of the request files left them."""
    for label, root in (("application", device.app), ("system", device.system)):
        now = tree(root)
        old = expect.before_copy[label]
        for rel in set(now) | set(old):
            a, b = old.get(rel), now.get(rel)
            if a and b and a[0] == "d" and label == "application" and rel in expect.cleared_dirs:
                a, b = a[:2], b[:2]
            check(a == b, "%s tree not exactly old after an undone update at %r: %r, was %r"
                  % (label, rel, b, a))


def check_final_state(device, expect):
    app = files(tree(device.app))
    system = files(tree(device.system))
    for label, root in (("application", device.app), ("system", device.system)):
        now = tree(root)
        for rel, entry in expect.before_copy[label].items():
            if entry[0] == "d" and not (label == "application" and rel in expect.cleared_dirs):
                check(now.get(rel) == entry, "%s folder %s is %r after a complete run, was %r"
                      % (label, rel, now.get(rel), entry))
    for label, actual, wanted in (("installed application", app, expect.final_app),
                                  ("system directory", system, expect.final_system)):
        missing = sorted(set(wanted) - set(actual))
        extra = sorted(set(actual) - set(wanted))
        wrong = sorted(rel for rel in wanted if rel in actual and actual[rel] != wanted[rel])
        check(not missing and not extra and not wrong,
              "%s differs from the payload after a complete run: missing %s, extra %s, wrong %s"
              % (label, missing[:5], extra[:5], wrong[:5]))
    check(files(tree(device.backup)) == expect.final_backup,
          "backup area not cleared as expected")
    check(not os.path.exists(device.payload_app), "application payload still there")
    check(files(tree(device.payload_system)) == expect.payload_system,
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


def wait_calls(run, shim, kind, wanted, timeout=60.0):
    """Waits until the trace holds `wanted` calls of a kind ("is_sync",
    "is_copy"); returns the time since the start."""
    deadline = time.monotonic() + timeout
    while sum(1 for c in shim.calls() if getattr(c, kind)()) < wanted:
        check(run.running() and time.monotonic() < deadline,
              "the trace never showed %d calls (%s)\n%s\n%s"
              % (wanted, kind, run.log(), run.stderr_tail()))
        time.sleep(0.005)
    return time.monotonic() - run.started


def test():
    args = devicesim.parse_args(sys.argv[1:], {"installer", "shim"})
    binary = args["installer"]
    kills = int(os.environ.get("ZENTAVO_FAULTS_KILLS", "16"))
    payload_mb = int(os.environ.get("ZENTAVO_FAULTS_PAYLOAD_MB", "30"))
    work = devicesim.private_tmpfs("%dm" % (payload_mb * 5 + 200), False, "killed-mid-install")
    shim = Shim(args.get("shim"), os.path.join(work, "trace.txt"))
    slow = dict(copy_delay_us=COPY_DELAY_US, rename_delay_us=RENAME_DELAY_US)
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

    # A complete slowed run first, to learn how long the phases take here.
    reset()
    run = Updater(binary, device, work, "calibration", env_changes=shim.env(**slow))
    t_copy = run.wait_log("Installing update to Zentavo...", timeout=60)
    t_data = wait_calls(run, shim, "is_copy", 1)
    t_sync = wait_calls(run, shim, "is_sync", 1)
    t_sync2 = wait_calls(run, shim, "is_sync", 2)
    t_end = run.wait_log("delete installer directory", timeout=60)
    check(devicesim.install_status(run.log()) == "true", "a plain run failed:\n" + run.log())
    run.finish_after_stick()
    check_final_state(device, expect)
    calls = shim.calls()
    copies = sum(1 for c in calls if c.is_copy())
    renames = sum(1 for c in calls if c.is_rename())
    staging, renaming = t_sync - t_data, t_sync2 - t_sync
    print("phases: copy from %.2f s, first data at %.2f s, staging %.2f s (%d data copies), "
          "renames %.2f s (%d), payload deleted by %.2f s"
          % (t_copy, t_data, staging, copies, renaming, renames, t_end))
    # An undo starts at a failed rename in the middle of the commit and
    # takes as long as the steps it takes back.
    fail_at = max(2, renames // 2)

    # Kills aim at the staging, the renames, the undo of a failed commit, and anywhere.
    aims = ["staging", "renames", "undo", "staging", "renames", "anywhere"]
    phases = {}
    mixed = 0
    for i in range(kills):
        aim = aims[i % len(aims)]
        reset()
        failing = {"rename_fail_at": (fail_at,)} if aim == "undo" else {}
        run = Updater(binary, device, work, "killed%02d" % i, env_changes=shim.env(**slow, **failing))
        if aim == "staging":
            start = wait_calls(run, shim, "is_copy", 1)
            moment = start + rng.uniform(0.0, 0.7) * staging
        elif aim == "renames":
            start = wait_calls(run, shim, "is_sync", 1)
            moment = start + rng.uniform(0.0, 0.7) * renaming
        elif aim == "undo":
            start = wait_calls(run, shim, "is_failed_rename", 1)
            moment = start + rng.uniform(0.0, 0.5) * renaming * fail_at / max(renames, 1)
        else:
            moment = rng.uniform(0.0, t_end + 0.05)
        time.sleep(max(0.0, moment - (time.monotonic() - run.started)))
        was_running = run.running()
        run.kill()
        log = run.log()
        check(was_running,
              "kill %d: the updater had ended by itself with %s before the kill\n%s"
              % (i, run.proc.returncode, run.stderr_tail()))
        calls = shim.calls()
        syncs = sum(1 for c in calls if c.is_sync())
        first_sync = next((n for n, c in enumerate(calls) if c.is_sync()), len(calls))
        if syncs >= 2 or "Status: " in log:
            phase = "after the copy"
        elif any(c.is_failed_rename() for c in calls):
            phase = "undo"
        elif any(c.name == "unlinkat" for c in calls[first_sync:]):
            phase = "removing old versions"
        elif syncs == 1:
            phase = "renames"
        elif any(c.is_copy() for c in calls):
            phase = "staging"
        elif "Installing update to Zentavo..." in log:
            phase = "planning"
        else:
            phase = "before the copy"
        phases[phase] = phases.get(phase, 0) + 1
        try:
            if phase in ("planning", "staging"):
                check_exactly_old(device, expect)
            if phase in ("renames", "undo"):
                check_old_versions_kept(device, expect)
            temps, new, old = check_killed_state(device, expect, "Status: " in log)
        except devicesim.TestFailure as failure:
            raise devicesim.TestFailure("after kill %d at %.3f s (%s): %s" % (i, moment, phase, failure))
        if new and old:
            mixed += 1
        print("kill %2d at %.3f s aimed at %s, landed in %s: %d copies, %d renames; "
              "%d new, %d old, %d temporaries"
              % (i, moment, aim, phase, sum(1 for c in calls if c.is_copy()),
                 sum(1 for c in calls if c.is_rename()), new, old, temps))
        try:
            # An undo that ran to its end failed the update, which deletes
            # the payload: the device then stays exactly old.
            undone = devicesim.install_status(log) == "false" and not os.path.exists(device.payload_app)
            complete_run(binary, device, work, "complete%02d" % i)
            if undone:
                check_undone_state(device, expect)
            else:
                check_final_state(device, expect)
        except devicesim.TestFailure as failure:
            raise devicesim.TestFailure("complete run after kill %d at %.3f s (%s): %s"
                                        % (i, moment, phase, failure))
    print("kills by phase: %s; states with old and new files side by side: %d"
          % (", ".join("%s %d" % item for item in sorted(phases.items())), mixed))
    # Aimed well inside phases that last seconds: a few may drift out on a
    # loaded machine, not half of them.
    aimed = {aim: sum(1 for i in range(kills) if aims[i % len(aims)] == aim)
             for aim in ("staging", "renames", "undo")}
    for phase, count in aimed.items():
        check(phases.get(phase, 0) >= (count + 1) // 2,
              "too few kills landed in the %s (%d aimed): %r" % (phase, count, phases))


if __name__ == "__main__":
    devicesim.main(test)
