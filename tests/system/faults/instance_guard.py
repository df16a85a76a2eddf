#!/usr/bin/env python3
"""Two starts for one device never both run a workflow, whoever starts them.

The first updater waits at its result for the stick to be pulled. Then:
  environment  a second start with its own XDG_RUNTIME_DIR, TMPDIR and HOME
  other_user   a second start as another user (nobody)
  silent       a second start after the first's socket was unlinked
  stuck        a second start while the first is stopped (SIGSTOP)
  planted      no first run: an unprivileged user holds every lock file it can
               reach or make beforehand; the updater must still run
  spelling     the first waits at its password prompt; second starts through a
               link to the device root and through "run/.." below it
In the first four and the last, the second start ends within 5 s with exit
code 0 and writes nothing; the first goes on and ends normally.

With no updater running, a lock that cannot be trusted refuses the start: it
ends with exit code 1 and leaves the device as it was (payload, installed
trees, request files, backup area, log, no terminal started).
  refused_foreign_folder  the lock folder belongs to another user
  refused_open_folder     the lock folder is writable by others
  refused_foreign_lock    the lock file belongs to another user
  refused_open_root       the device root is writable by others

usage: instance_guard.py --installer PATH --case NAME [--passwd PATH]
"""

import os
import signal
import subprocess
import sys
import time

import devicesim
from devicesim import Device, Updater, check

NOBODY_UID = 65534
NOBODY = ["setpriv", "--reuid=%d" % NOBODY_UID, "--regid=%d" % NOBODY_UID, "--clear-groups", "--"]
# One lock per device, whatever the spelling of its root.
LOCK_NAME = "zentavo-installer.lock"


def session(work, name):
    """A session of its own: runtime, temporary and home folders."""
    folders = {}
    for var in ("XDG_RUNTIME_DIR", "TMPDIR", "HOME"):
        path = os.path.join(work, "%s-%s" % (name, var.lower()))
        os.makedirs(path, exist_ok=True)
        os.chmod(path, 0o1777)
        folders[var] = path
    return folders


def sockets(work, device):
    found = []
    for base in (work, device.root):
        for dirpath, dirnames, filenames in os.walk(base):
            found += [os.path.join(dirpath, n) for n in filenames
                      if n.endswith(".socket") or n.startswith("zentavo-installer")
                      and not n.endswith(".lock")]
    return sorted(set(p for p in found if os.path.exists(p) and not os.path.isfile(p)))


def expect_refused(binary, device, work, first, wrapper=(), env_changes=None):
    log_before = device.log_text()
    second = Updater(binary, device, work, "second", wrapper=wrapper, env_changes=env_changes)
    try:
        rc = second.proc.wait(5)
    except subprocess.TimeoutExpired:
        second.kill()
        raise devicesim.TestFailure("the second start was still running after 5 s: it ran a "
                                    "workflow of its own\n%s" % second.stderr_tail())
    second.close()
    added = device.log_text()[len(log_before):]
    check("Installer started at" not in added, "the second start ran a workflow:\n" + added)
    check(rc == 0, "the second start ended with %s\n%s" % (rc, second.stderr_tail()))


def start_first(binary, device, work, env_changes):
    devicesim.write_terminal(os.path.join(device.app, "Zentavo.exe"), "terminal")
    device.insert_stick()
    first = Updater(binary, device, work, "first", env_changes=env_changes)
    first.wait_log("delete installer directory", timeout=30)
    return first


def plant(device, work):
    """As nobody: make and hold every lock the updater could use."""
    root = os.path.abspath(device.root)
    script = (
        "import fcntl, os, sys, time\n"
        "held = []\n"
        "try:\n"
        "    # Qt's fallback runtime folder: taken by another user, Qt falls back\n"
        "    # to the temporary folder itself.\n"
        "    os.mkdir(os.path.join(sys.argv[1], 'runtime-root'), 0o777)\n"
        "except OSError:\n"
        "    pass\n"
        "for d in sys.argv[1:]:\n"
        "    for name in (%r,):\n"
        "        try:\n"
        "            os.makedirs(d, exist_ok=True)\n"
        "            fd = os.open(os.path.join(d, name), os.O_RDONLY | os.O_CREAT, 0o644)\n"
        "            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)\n"
        "            held.append(d)\n"
        "        except OSError as e:\n"
        "            pass\n"
        "print('held', len(held), flush=True)\n"
        "time.sleep(60)\n" % LOCK_NAME)
    folders = [os.path.join(work, "shared-tmpdir"), os.path.join(root, "run", "zentavo-installer"),
               "/run/zentavo-installer"]
    proc = subprocess.Popen(NOBODY + [sys.executable, "-c", script] + folders,
                            stdout=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    print("planter:", line.strip())
    check(line.startswith("held"), "the planter did not start")
    return proc


def case_spelling(binary, passwd, device, work, first_env):
    """A second start through another spelling of the root only raises the
    first: with a lock named after the spelling, it would run a workflow of
    its own and sweep the first one's temporaries."""
    check(passwd, "the spelling case needs --passwd")
    devicesim.write_terminal(os.path.join(device.app, "Zentavo.exe"), "old terminal")
    devicesim.write_terminal(os.path.join(device.payload_app, "Zentavo.exe"), "new terminal")
    devicesim.write_file(os.path.join(device.payload_system, "sys.dll"), b"system")
    os.makedirs(os.path.dirname(device.database))
    subprocess.run([passwd, device.database, "Secret-42"], check=True)
    device.insert_stick()
    first = Updater(binary, device, work, "first", env_changes=first_env)
    first.wait_log("Enter Password...", timeout=30)
    flash = devicesim.snapshot(device.flash, times=True)

    link = os.path.join(work, "device-link")
    os.symlink(device.root, link)
    for root in (link, os.path.join(device.root, "run", "..")):
        log_before = device.log_text()
        expect_refused(binary, device, work, first,
                       env_changes=dict(first_env, ZENTAVO_DEVICE_ROOT=root))
        added = device.log_text()[len(log_before):]
        check("Admin" not in added and "Enter Password..." not in added,
              "the start through %s wrote to the log:\n%s" % (root, added))
        check(devicesim.snapshot(device.flash, times=True) == flash,
              "the start through %s changed the flash disk:\n%s"
              % (root, devicesim.snapshot_difference(flash, devicesim.snapshot(device.flash, times=True))))
        check(first.running(), "the first updater ended")
    first.kill(signal.SIGTERM)


def refused_device(device):
    """A device with everything a workflow would touch: payload, installed
    trees and request files, a backup, a log from an earlier run."""
    devicesim.write_terminal(os.path.join(device.app, "Zentavo.exe"), "old terminal")
    devicesim.write_file(os.path.join(device.app, "remotecmd", "cmd.xml"), b"<cmd/>")
    devicesim.write_file(os.path.join(device.app, "list", "orders"), b"orders")
    devicesim.write_file(os.path.join(device.system, "system", "net.xml"), b"<net/>")
    devicesim.write_file(os.path.join(device.system, "sys.dll"), b"old system")
    devicesim.write_file(os.path.join(device.backup, "Zentavo", "old.bin"), b"backup")
    devicesim.write_terminal(os.path.join(device.payload_app, "Zentavo.exe"), "new terminal")
    devicesim.write_file(os.path.join(device.payload_app, "remotecmd", "new.xml"), b"<new/>")
    devicesim.write_file(os.path.join(device.payload_system, "sys.dll"), b"new system")
    device.insert_stick()
    devicesim.write_file(device.log, b"a line of an earlier run\n")


def foreign_lock(folder):
    lock = os.path.join(folder, LOCK_NAME)
    os.close(os.open(lock, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
    os.chown(lock, NOBODY_UID, NOBODY_UID)


# case -> how it makes the lock untrustworthy, given the device and the lock folder
REFUSALS = {
    "refused_foreign_folder": lambda device, folder: os.chown(folder, NOBODY_UID, NOBODY_UID),
    "refused_open_folder": lambda device, folder: os.chmod(folder, 0o777),
    "refused_foreign_lock": lambda device, folder: foreign_lock(folder),
    "refused_open_root": lambda device, folder: os.chmod(device.root, 0o777),
}


def refuse_lock(device, case):
    """Makes the lock untrustworthy in the way the case names."""
    folder = os.path.join(device.root, "run", "zentavo-installer")
    os.makedirs(folder)
    REFUSALS[case](device, folder)


def case_refused(binary, device, work, first_env, case):
    if os.geteuid() != 0 and case in ("refused_foreign_folder", "refused_foreign_lock"):
        print("SKIP: giving the lock to another user needs root")
        sys.exit(devicesim.SKIP)
    refused_device(device)
    refuse_lock(device, case)
    before = devicesim.snapshot(device.root, times=True)
    run = Updater(binary, device, work, "refused", env_changes=first_env)
    try:
        rc = run.proc.wait(10)
    except subprocess.TimeoutExpired:
        rc = None
    if rc is None:
        time.sleep(1)  # what a workflow does in a second more, for the message
        run.kill()
    run.close()
    after = devicesim.snapshot(device.root, times=True)
    check(rc is not None, "the refused start was still running after 10 s: it ran a workflow\n"
          "log:\n%s\nchanged:\n%s" % (run.log(), devicesim.snapshot_difference(before, after)))
    check(rc == 1, "the refused start ended with %s, not 1\n%s" % (rc, run.stderr_tail()))
    check("single-instance lock not available" in run.stderr_tail(),
          "the start was not refused for the lock\n%s" % run.stderr_tail())
    check(after == before, "the refused start changed the device:\n"
          + devicesim.snapshot_difference(before, after))
    check(not run.log(), "the refused start wrote to the log:\n" + run.log())
    check(not device.terminal_started(), "the refused start started the terminal")


def second_start_silent(binary, device, work, first, first_env):
    found = sockets(work, device)
    check(found, "the first instance has no socket to unlink")
    for path in found:
        os.unlink(path)
    expect_refused(binary, device, work, first, env_changes=first_env)


def second_start_stuck(binary, device, work, first, first_env):
    first.proc.send_signal(signal.SIGSTOP)
    try:
        expect_refused(binary, device, work, first, env_changes=first_env)
    finally:
        first.proc.send_signal(signal.SIGCONT)


# case -> the second start made while the first waits at its result
SECOND_STARTS = {
    "environment": lambda binary, device, work, first, first_env: expect_refused(
        binary, device, work, first, env_changes=session(work, "second")),
    "other_user": lambda binary, device, work, first, first_env: expect_refused(
        binary, device, work, first, wrapper=NOBODY,
        env_changes=dict(session(work, "second"), USER="nobody", LOGNAME="nobody")),
    "silent": second_start_silent,
    "stuck": second_start_stuck,
}
CASES = list(SECOND_STARTS) + ["planted"] + list(REFUSALS) + ["spelling"]


def test():
    args = devicesim.parse_args(sys.argv[1:], {"installer", "case", "passwd"})
    binary = args["installer"]
    case = args["case"]
    check(case in CASES, "unknown case %r" % case)
    work = devicesim.private_tmpfs("128m", False, "instance-guard")
    os.chmod(work, 0o755)
    device = Device(os.path.join(work, "device"))
    os.makedirs(device.flash)
    # The first start's own session; a shared temporary folder both may use.
    shared_tmp = os.path.join(work, "shared-tmpdir")
    os.makedirs(shared_tmp)
    os.chmod(shared_tmp, 0o1777)
    first_env = dict(session(work, "first"), TMPDIR=shared_tmp)
    first_env["XDG_RUNTIME_DIR"] = None

    if case == "spelling":
        case_spelling(binary, args.get("passwd"), device, work, first_env)
        return
    if case in REFUSALS:
        case_refused(binary, device, work, first_env, case)
        return
    if case == "planted":
        planter = plant(device, work)
        try:
            run = start_first(binary, device, work, first_env)
            run.finish_after_stick()
        finally:
            planter.kill()
            planter.wait()
        return

    first = start_first(binary, device, work, first_env)
    flash = devicesim.snapshot(device.flash)
    SECOND_STARTS[case](binary, device, work, first, first_env)
    check(devicesim.snapshot(device.flash) == flash, "the flash disk changed")
    first.finish_after_stick()


if __name__ == "__main__":
    devicesim.main(test, CASES)
