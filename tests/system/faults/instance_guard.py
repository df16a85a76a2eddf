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

usage: instance_guard.py --installer PATH --case NAME [--passwd PATH]
"""

import os
import signal
import subprocess
import sys
import time

import devicesim
from devicesim import Device, Updater, check

NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"]
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


def test():
    args = devicesim.parse_args(sys.argv[1:], {"installer", "case", "passwd"})
    binary = args["installer"]
    case = args["case"]
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
    if case == "environment":
        expect_refused(binary, device, work, first, env_changes=session(work, "second"))
    elif case == "other_user":
        expect_refused(binary, device, work, first, wrapper=NOBODY,
                       env_changes=dict(session(work, "second"), USER="nobody", LOGNAME="nobody"))
    elif case == "silent":
        found = sockets(work, device)
        check(found, "the first instance has no socket to unlink")
        for path in found:
            os.unlink(path)
        expect_refused(binary, device, work, first, env_changes=first_env)
    elif case == "stuck":
        first.proc.send_signal(signal.SIGSTOP)
        try:
            expect_refused(binary, device, work, first, env_changes=first_env)
        finally:
            first.proc.send_signal(signal.SIGCONT)
    else:
        raise devicesim.TestFailure("unknown case %r" % case)
    check(devicesim.snapshot(device.flash) == flash, "the flash disk changed")
    first.finish_after_stick()


if __name__ == "__main__":
    devicesim.main(test)
