#!/usr/bin/env python3
"""The commit itself can fail, and is then undone: no half-update, ever.

Each case breaks the install where the plan cannot see it, or late, and
expects both trees exactly as they were (bytes, modes, times, owners,
extended attributes; nothing added, no temporary left), "Status: false", the
failure screen and the old terminal:
  bind_mount       a file bind-mounted over a target file (EBUSY on a rename)
  immutable        an immutable target file and an append-only target folder
  appears          a folder that the payload brings new is made on the device
                   while the updater is held at its first sync
  replaced         a planned target file is replaced by a folder, likewise;
                   the folder and its content must stay
  rename_fails     a swap in the middle of the commit fails (EIO)
  no_exchange_fails  the same on a file system without swaps
  enospc           a small ext4 disk with room for the data and the staged
                   names, but not for the long final names of new files
  few_inodes       a disk with room for the bytes but not for the files
Cases that must succeed:
  no_exchange      a file system without swaps installs fully
  mounts           a file system mounted inside the installed tree (not
                   entered by the sweep of leftover temporaries) and inside
                   the payload (not emptied by the payload's removal)
  sweep_fd_limit   leftovers in more folders than the descriptor limit
  xattrs           payload files carry their extended attributes (a file
                   capability among them); a replaced file keeps its security
                   labels, a new one takes none from the payload
  kill_readonly    SIGKILL while staging into a read-only folder leaves its
                   mode; the next run installs and gives every folder its time
  dirlink          the installed data folder is the device's link to another
                   file system: the payload's data folder installs into it
                   (the link stays, leftovers there are swept, that file
                   system is synced); a link the payload brings is a link
Failing again:
  dirlink_fails    the same, with a swap failing: the folder behind the link
                   is exactly as before too

usage: commit_undo.py --installer PATH --shim LIBRARY --case NAME
Needs a private mount namespace (root); exits 77 (skipped) where there is none.
"""

import os
import signal
import struct
import subprocess
import sys
import time

import all_or_nothing as aon
import devicesim
from devicesim import SKIP, Device, Shim, Updater, check

FLASH = "160m"
# VFS_CAP_REVISION_2, effective, CAP_NET_BIND_SERVICE permitted.
CAPABILITY = struct.pack("<IIIII", 0x02000001, 1 << 10, 0, 0, 0)
FAILING = ["bind_mount", "immutable", "appears", "replaced", "rename_fails", "no_exchange_fails",
           "enospc", "few_inodes"]
SUCCEEDING = ["no_exchange", "mounts", "sweep_fd_limit", "xattrs", "kill_readonly", "dirlink", "dirlink_fails"]
CASES = FAILING + SUCCEEDING


def full_trees(device):
    return {name: devicesim.snapshot(root, times=True, full=True)
            for name, root in (("System", device.system), ("Zentavo", device.app))}


def check_exactly(device, before, loose_times=()):
    """Both trees as in `before`; folders in loose_times may differ in their time only."""
    now = full_trees(device)
    for name in before:
        old, new = dict(before[name]), dict(now[name])
        for rel in loose_times:
            if rel in old and rel in new:
                old[rel] = old[rel][:2] + old[rel][3:]
                new[rel] = new[rel][:2] + new[rel][3:]
        difference = devicesim.snapshot_difference(old, new)
        check(not difference, "the %s tree is not exactly the old one:\n%s" % (name, difference))
    left = devicesim.temporaries(device.flash)
    check(not left, "temporaries left: %s" % left[:5])


def payload_trees(device):
    return {"System": devicesim.snapshot(device.payload_system, times=True),
            "Zentavo": devicesim.snapshot(device.payload_app, times=True)}


def device_with_payload(work, flash_size=FLASH):
    device = Device(os.path.join(work, "device"))
    devicesim.mount_tmpfs(device.flash, flash_size)
    aon.build(device, "plain", os.urandom(2 << 20))
    # Attributes of the device's own that a failed run must not lose.
    os.setxattr(os.path.join(device.app, "lib/l3/part03.dll"), "user.origin", b"device")
    os.setxattr(os.path.join(device.system, "drivers/d01.sys"), "security.label", b"system_u")
    os.chown(os.path.join(device.app, "lib/l1"), 1500, 1501)
    device.insert_stick()
    return device


def expect_failure(run, device, before, wanted, loose_times=()):
    log = aon.expect_failure_result(run, device)
    lines = aon.copy_lines(log)
    for line in wanted:
        check(line in lines, "expected the line %r, got:\n%s" % (line, "\n".join(lines)))
    check_exactly(device, before, loose_times)
    return log


def renames_of(shim):
    return [c for c in shim.calls() if c.name == "renameat2"]


def case_plan_conflicts(case, binary, work, shim):
    device = device_with_payload(work)
    if case == "bind_mount":
        target = os.path.join(device.app, "lib/l2/part10.dll")
        devicesim.write_file(os.path.join(work, "bound.dll"), b"a file mounted over the target")
        subprocess.run(["mount", "--bind", os.path.join(work, "bound.dll"), target], check=True)
        wanted = ['CopyRecursivelyOverwrite: cannot replace "%s" - a mount point' % target]
    else:
        target = os.path.join(device.system, "drivers/d03.sys")
        folder = os.path.join(device.app, "lib/l1")
        subprocess.run(["chattr", "+i", target], check=True)
        subprocess.run(["chattr", "+a", folder], check=True)
        wanted = ['CopyRecursivelyOverwrite: cannot replace "%s" - immutable or append-only' % target,
                  'CopyRecursivelyOverwrite: cannot write into "%s" - immutable or append-only' % folder]
    before = full_trees(device)
    try:
        run = Updater(binary, device, work, case, env_changes=shim.env())
        expect_failure(run, device, before, wanted)
        check(not [c for c in shim.calls() if c.is_copy()], "data was staged although the plan failed")
    finally:
        if case == "immutable":
            subprocess.run(["chattr", "-i", target])
            subprocess.run(["chattr", "-a", folder])
    print("%s: refused by the plan, nothing written, both trees exactly old" % case)


def case_changed_at_commit(case, binary, work, shim):
    """The terminal application changes a tree while the updater syncs."""
    device = device_with_payload(work)
    before = full_trees(device)
    release = os.path.join(work, "release")
    run = Updater(binary, device, work, case,
                  env_changes=shim.env(hold_at_sync=1, release=release))
    deadline = time.monotonic() + 60
    while not any(c.name == "hold" for c in shim.calls()):
        check(run.running() and time.monotonic() < deadline, "never held at the first sync\n" + run.log())
        time.sleep(0.01)
    if case == "appears":
        parent = "a/b/c/d/e"
        path = os.path.join(device.app, parent, "new")
        wanted = 'CopyRecursivelyOverwrite: cannot create "%s" - an entry of that name appeared ' \
                 'after the plan' % path
    else:
        parent = "lib/l0"
        path = os.path.join(device.app, parent, "part04.dll")
        os.remove(path)
        wanted = 'CopyRecursivelyOverwrite: cannot replace "%s" - it changed after the plan' % path
    devicesim.write_file(os.path.join(path, "terminal.dat"), b"made by the terminal meanwhile")
    # What the terminal made must stay as it made it; the copy gives the
    # folder it touched its time back.
    now = full_trees(device)["Zentavo"]
    rel = os.path.relpath(path, device.app)
    before["Zentavo"].pop(rel, None)
    for made in (rel, os.path.join(rel, "terminal.dat")):
        before["Zentavo"][made] = now[made]
    with open(release, "w"):
        pass
    expect_failure(run, device, before, [wanted], loose_times=[parent])
    check(not [c for c in renames_of(shim) if c.ok()], "a rename was made despite the conflict")
    print("%s: the conflict stopped the commit before its first swap; the terminal's folder stays" % case)


def case_commit_fails(case, binary, work, shim):
    device = device_with_payload(work)
    before = full_trees(device)
    no_exchange = case == "no_exchange_fails"
    # Well inside the commit: several swaps and new names are made by then.
    fail_at = 14 if no_exchange else 6
    run = Updater(binary, device, work, case,
                  env_changes=shim.env(rename_fail_at=(fail_at,), no_exchange=no_exchange))
    log = aon.expect_failure_result(run, device)
    renames = renames_of(shim)
    failed = [i for i, c in enumerate(renames) if c.result < 0 and c.errno == 5]
    check(failed, "no rename failed: %s" % renames[:5])
    done = [c for c in renames[:failed[0]] if c.ok()]
    check(len(done) >= 3, "too few steps of the commit before the failure to undo: %s" % renames)
    check(len(renames) > failed[0] + 1, "nothing was undone after the failure")
    lines = aon.copy_lines(log)
    check(any(line.endswith(" - Input/output error") for line in lines),
          "no line tells of the failed rename:\n" + "\n".join(lines))
    check(not any("cannot undo" in line for line in lines), "an undo failed:\n" + "\n".join(lines))
    check_exactly(device, before)
    print("%s: %d steps of the commit made, then one failed; all undone, both trees exactly old"
          % (case, len(done)))


def case_no_exchange(binary, work, shim):
    device = device_with_payload(work)
    payload = payload_trees(device)
    run = Updater(binary, device, work, "no_exchange", env_changes=shim.env(no_exchange=True))
    run.wait_log("delete installer directory", timeout=60)
    check(devicesim.install_status(run.log()) == "true", "the install failed:\n" + run.log())
    aon.check_trees_new(device, payload)
    swaps = [c for c in renames_of(shim) if not c.ok() and c.errno == 22]
    check(swaps, "no swap was refused: the case did not run without swaps")
    run.finish_after_stick()
    print("no_exchange: %d swaps refused, every file installed by moving the old one aside" % len(swaps))


def make_ext4(work, path, size_mb):
    image = os.path.join(work, "flash.img")
    subprocess.run(["truncate", "-s", "%dM" % size_mb, image], check=True)
    subprocess.run(["mkfs.ext4", "-q", "-F", "-b", "4096", "-m", "0", "-O", "^has_journal", "-N", "4096",
                    image], check=True)
    os.makedirs(path, exist_ok=True)
    mounted = subprocess.run(["mount", "-o", "loop", image, path], stderr=subprocess.PIPE)
    if mounted.returncode != 0:
        print("SKIP: no loop device for a small ext4 disk: %s" % mounted.stderr.decode(errors="replace"))
        sys.exit(SKIP)


def leave_free(path, blocks):
    """Fills the file system at path until `blocks` blocks of 4 KiB are free."""
    filler = os.path.join(path, "filler.bin")
    st = os.statvfs(path)
    check(st.f_frsize == 4096 and st.f_bavail > blocks + 64, "the disk is too small: %r" % (st,))
    with open(filler, "wb") as f:
        f.write(b"\0" * ((st.f_bavail - blocks - 32) * 4096))
        f.flush()
        os.fsync(f.fileno())
        while os.statvfs(path).f_bavail > blocks:
            f.write(b"\0" * 4096)
            f.flush()
            os.fsync(f.fileno())
    return os.statvfs(path).f_bavail


def case_enospc(binary, work, shim):
    device = Device(os.path.join(work, "device"))
    make_ext4(work, device.flash, 40)
    files = 300
    devicesim.write_terminal(os.path.join(device.app, "Zentavo.exe"), "old terminal")
    devicesim.write_terminal(os.path.join(device.payload_app, "Zentavo.exe"), "new terminal")
    # In the System tree, whose files are copied, not linked.
    for i in range(5):
        devicesim.write_file(os.path.join(device.system, "names", "old%d" % i), b"an installed file")
    for i in range(files):
        name = "n%03d-" % i + "x" * 240
        devicesim.write_file(os.path.join(device.payload_system, "names", name), b"new %d" % i)
    devicesim.write_file(os.path.join(device.app, "app.dll"), b"old application file")
    devicesim.write_file(os.path.join(device.payload_app, "app.dll"), b"new application file")
    for root in (device.app, device.system, device.payload):
        aon.set_times(root, aon.OLD_TIME)
    device.insert_stick()
    # Room for every new file's block and for the temporaries' short names,
    # not for the long names the commit gives them.
    free = leave_free(device.flash, files + 2 + 4 + 6)
    before = full_trees(device)
    run = Updater(binary, device, work, "enospc", env_changes=shim.env())
    log = aon.expect_failure_result(run, device)
    check_exactly(device, before)
    lines = aon.copy_lines(log)
    print("enospc: %d blocks free; %s" % (free, lines[:1]))


def case_few_inodes(binary, work, shim):
    device = device_with_payload(work)
    st = os.statvfs(device.flash)
    used = st.f_files - st.f_ffree
    subprocess.run(["mount", "-o", "remount,nr_inodes=%d" % (used + 20), device.flash], check=True)
    before = full_trees(device)
    run = Updater(binary, device, work, "few_inodes", env_changes=shim.env())
    log = aon.expect_failure_result(run, device)
    lines = aon.copy_lines(log)
    check(len(lines) == 1 and " files needed, " in lines[0] and "not enough space for" in lines[0],
          "expected the one line of too few files, got:\n" + "\n".join(lines))
    check(not [c for c in shim.calls() if c.is_copy()], "data written although the space check failed")
    check_exactly(device, before)
    print("few_inodes: %s" % lines[0])


def case_mounts(binary, work, shim):
    device = device_with_payload(work)
    in_tree = os.path.join(device.app, "mnt")
    in_payload = os.path.join(device.payload_app, "extra")
    for path in (in_tree, in_payload):
        devicesim.mount_tmpfs(path, "4m")
    devicesim.write_file(os.path.join(in_tree, devicesim.TEMP_PREFIX + "theirs"), b"not ours to sweep")
    devicesim.write_file(os.path.join(in_tree, "data.bin"), b"another file system's data")
    devicesim.write_file(os.path.join(in_payload, "extra.bin"), b"payload data on its own disk")
    leftovers = [os.path.join(device.app, "lib", devicesim.TEMP_PREFIX + "left01"),
                 os.path.join(device.system, devicesim.TEMP_PREFIX + "left02")]
    for path in leftovers:
        devicesim.write_file(path, b"left by a killed run")
    mounted = devicesim.snapshot(in_tree, times=True)
    run = Updater(binary, device, work, "mounts", env_changes=shim.env())
    run.wait_log("delete installer directory", timeout=60)
    log = run.log()
    check(devicesim.install_status(log) == "true", "the install failed:\n" + log)
    check(not any(os.path.lexists(p) for p in leftovers), "a leftover temporary was not swept")
    check(devicesim.snapshot(in_tree, times=True) == mounted,
          "the sweep changed a file system mounted inside the tree")
    check(os.path.isfile(os.path.join(in_payload, "extra.bin")),
          "the payload's removal emptied a file system mounted inside it")
    check(os.path.isfile(os.path.join(device.app, "extra", "extra.bin")), "the mounted payload part was not installed")
    check("delete installer directory  false" in log, "the payload's removal did not report the mount:\n" + log)
    run.finish_after_stick()
    print("mounts: leftovers swept on the tree's own file system only; the payload's mount kept")


def case_sweep_fd_limit(binary, work, shim):
    device = device_with_payload(work)
    folders = 300
    for i in range(folders):
        devicesim.write_file(os.path.join(device.app, "many", "d%03d" % i, devicesim.TEMP_PREFIX + "left%03d" % i),
                             b"left by a killed run")
    run = Updater(binary, device, work, "sweep_fd_limit", wrapper=["prlimit", "--nofile=160:160"],
                  env_changes=shim.env())
    run.wait_log("delete installer directory", timeout=60)
    check(devicesim.install_status(run.log()) == "true", "the install failed:\n" + run.log())
    left = devicesim.temporaries(device.flash)
    check(not left, "%d leftovers not swept with 160 descriptors: %s" % (len(left), left[:3]))
    run.finish_after_stick()
    print("sweep_fd_limit: %d folders of leftovers swept with 160 descriptors" % folders)


def case_xattrs(binary, work, shim):
    device = device_with_payload(work)
    tool, new_tool, same = "bin/tool", "bin/newtool", "res/same2.txt"
    devicesim.write_file(os.path.join(device.app, tool), b"old tool", 0o755)
    devicesim.write_file(os.path.join(device.payload_app, tool), b"new tool", 0o755)
    devicesim.write_file(os.path.join(device.payload_app, new_tool), b"a new tool", 0o755)
    set_attributes(os.path.join(device.app, tool),
                   {"security.label": b"device label", "user.old": b"the old file's"})
    payload_attributes = {"security.capability": CAPABILITY, "user.note": b"from the payload",
                          "security.label": b"payload label"}
    set_attributes(os.path.join(device.payload_app, tool), payload_attributes)
    set_attributes(os.path.join(device.payload_app, new_tool), payload_attributes)
    set_attributes(os.path.join(device.payload_app, same), {"user.note": b"same bytes, new attribute"})
    run = Updater(binary, device, work, "xattrs", env_changes=shim.env())
    run.wait_log("delete installer directory", timeout=60)
    check(devicesim.install_status(run.log()) == "true", "the install failed:\n" + run.log())
    expected = {
        tool: {"security.capability": CAPABILITY, "user.note": b"from the payload",
               "security.label": b"device label"},
        new_tool: {"security.capability": CAPABILITY, "user.note": b"from the payload"},
        same: {"user.note": b"same bytes, new attribute"},
    }
    for rel, wanted in expected.items():
        have = dict(devicesim.xattrs(os.path.join(device.app, rel)))
        check(have == wanted, "%s carries %r, expected %r" % (rel, have, wanted))
    run.finish_after_stick()
    print("xattrs: capabilities and payload attributes installed, the device's label kept")


def set_attributes(path, attributes):
    for name, value in attributes.items():
        os.setxattr(path, name, value, follow_symlinks=False)


def case_kill_readonly(binary, work, shim):
    device = device_with_payload(work)
    locked = os.path.join(device.system, "locked")
    before = full_trees(device)
    payload = payload_trees(device)
    # Held at the 16th of System's 17 data copies (the application's files
    # are linked, not copied).
    run = Updater(binary, device, work, "killed", env_changes=shim.env(hold_at_copy=16))
    deadline = time.monotonic() + 60
    while not any(c.name == "hold" for c in shim.calls()):
        check(run.running() and time.monotonic() < deadline, "never held\n" + run.log())
        time.sleep(0.01)
    run.kill(signal.SIGKILL)
    check(os.stat(locked).st_mode & 0o7777 == 0o555,
          "the read-only folder was left with mode %o" % (os.stat(locked).st_mode & 0o7777))
    check(devicesim.temporaries(device.flash), "the kill left no temporaries: it came too late")
    again = Updater(binary, device, work, "again")
    again.wait_log("delete installer directory", timeout=60)
    check(devicesim.install_status(again.log()) == "true", "the run after the kill failed:\n" + again.log())
    aon.check_trees_new(device, payload)
    now = full_trees(device)
    for name in before:
        for rel, entry in before[name].items():
            if entry[0] == "d":
                check(now[name].get(rel) == entry, "%s/%s is %r after the kill and the next run, was %r"
                      % (name, rel, now[name].get(rel), entry))
    again.finish_after_stick()
    print("kill_readonly: the read-only folder kept its mode; every folder its time after the next run")


def linked_data_device(work):
    """The installed application keeps data/ on another file system behind a link."""
    device = device_with_payload(work)
    persist = os.path.join(work, "persist")
    devicesim.mount_tmpfs(persist, "16m")
    data = os.path.join(device.app, "data")
    subprocess.run(["cp", "-a", data, persist], check=True)
    subprocess.run(["rm", "-rf", data], check=True)
    os.symlink(os.path.join(persist, "data"), data)
    devicesim.write_file(os.path.join(persist, "data", "settings.ini"), b"old settings")
    devicesim.write_file(os.path.join(device.payload_app, "data", "settings.ini"), b"new settings, longer")
    devicesim.write_file(os.path.join(device.payload_app, "data", "fresh", "table.dat"), b"a new table")
    os.makedirs(os.path.join(work, "elsewhere"))
    os.symlink(os.path.join(work, "elsewhere"), os.path.join(device.payload_app, "shortcut"))
    return device, os.path.join(persist, "data")


def case_dirlink(binary, work, shim):
    device, behind = linked_data_device(work)
    leftover = os.path.join(behind, devicesim.TEMP_PREFIX + "left")
    devicesim.write_file(leftover, b"left by a killed run")
    payload = payload_trees(device)
    run = Updater(binary, device, work, "dirlink", env_changes=shim.env())
    run.wait_log("delete installer directory", timeout=60)
    check(devicesim.install_status(run.log()) == "true", "the install failed:\n" + run.log())
    check(os.path.islink(os.path.join(device.app, "data")), "the device's link was replaced")
    with open(os.path.join(behind, "settings.ini"), "rb") as f:
        check(f.read() == b"new settings, longer", "the data folder behind the link was not installed into")
    check(os.path.isfile(os.path.join(behind, "fresh", "table.dat")), "a new folder behind the link is missing")
    check(os.path.isfile(os.path.join(behind, "own.dat")), "the device's own data behind the link went")
    check(not os.path.lexists(leftover), "a leftover behind the link was not swept")
    check(os.readlink(os.path.join(device.app, "shortcut")) == os.path.join(work, "elsewhere"),
          "the payload's link was not installed as a link")
    check(not os.listdir(os.path.join(work, "elsewhere")), "something went through the payload's link")
    persist_device = os.stat(behind).st_dev
    check(any(c.is_sync() and c.ok() and c.device == persist_device for c in shim.calls()),
          "the file system behind the link was never synced")
    # The rest of the tree as usual; data/ was looked at behind the link.
    payload["Zentavo"] = {rel: e for rel, e in payload["Zentavo"].items()
                          if rel != "data" and not rel.startswith("data" + os.sep)}
    aon.check_trees_new(device, payload)
    run.finish_after_stick()
    print("dirlink: installed through the device's link, which stays; swept and synced there")


def case_dirlink_fails(binary, work, shim):
    device, behind = linked_data_device(work)
    before = full_trees(device)
    behind_before = devicesim.snapshot(behind, times=True, full=True)
    run = Updater(binary, device, work, "dirlink_fails", env_changes=shim.env(rename_fail_at=(6,)))
    aon.expect_failure_result(run, device)
    check_exactly(device, before)
    difference = devicesim.snapshot_difference(behind_before, devicesim.snapshot(behind, times=True, full=True))
    check(not difference, "the folder behind the link is not exactly old:\n" + difference)
    check(not devicesim.temporaries(behind), "temporaries left behind the link")
    print("dirlink_fails: undone, the folder behind the link exactly old")


def test():
    args = devicesim.parse_args(sys.argv[1:], {"installer", "shim", "case"})
    binary, case = args["installer"], args["case"]
    check(case in CASES, "unknown case %r" % case)
    work = devicesim.private_tmpfs("400m", True, "commit-undo")
    shim = Shim(args.get("shim"), os.path.join(work, "trace.txt"))
    if case in ("bind_mount", "immutable"):
        case_plan_conflicts(case, binary, work, shim)
    elif case in ("appears", "replaced"):
        case_changed_at_commit(case, binary, work, shim)
    elif case in ("rename_fails", "no_exchange_fails"):
        case_commit_fails(case, binary, work, shim)
    elif case == "no_exchange":
        case_no_exchange(binary, work, shim)
    else:
        globals()["case_" + case](binary, work, shim)


if __name__ == "__main__":
    devicesim.main(test, CASES)
