#!/usr/bin/env python3
"""The application payload's bytes already lie on the flash disk: an update
installs its files as links to them instead of writing them again.

Cases:
  all_changed    every file of both trees changed: the trees end equal to the
                 payload, no application data is written (the shim's trace
                 shows data copies only on the System file system), no
                 installed file shares an inode with the System payload, and
                 after the run every installed application file has one link
  two_links      a payload file with a second name elsewhere is copied, not
                 linked, and so is a file on another file system mounted
                 inside the payload
  payload_kept   SIGTERM while staging and SIGKILL while staging and while
                 swapping: the payload keeps every name and byte, and the next
                 run installs it
  tight_space    a disk with room for the changed System files and a tenth
                 more, but not for a second copy of the application files,
                 installs

usage: linked_install.py --installer PATH --shim LIBRARY --case NAME
Needs a private mount namespace (root); exits 77 (skipped) where there is none.
"""

import os
import signal
import subprocess
import sys
import time

import devicesim
from devicesim import Device, Shim, Updater, check

MB = 1 << 20


def put(root, rel, data, mode=0o644):
    devicesim.write_file(os.path.join(root, rel), data, mode)


def build(device, noise, app_files=40, app_size=MB, system_files=8, system_size=256 << 10):
    """Installed trees and a payload that changes every file of both."""
    devicesim.write_terminal(os.path.join(device.app, "Zentavo.exe"), "old terminal")
    devicesim.write_terminal(os.path.join(device.payload_app, "Zentavo.exe"), "new terminal")
    for i in range(app_files):
        rel = "lib/l%d/part%02d.dll" % (i % 4, i)
        put(device.app, rel, b"old %d" % i + noise[i:i + app_size])
        put(device.payload_app, rel, b"new %d" % i + noise[i + 7:i + 7 + app_size])
    put(device.payload_app, "added/fresh.bin", noise[:app_size])
    for i in range(system_files):
        rel = "drivers/d%02d.sys" % i
        put(device.system, rel, b"old %d" % i + noise[i * 3:i * 3 + system_size])
        put(device.payload_system, rel, b"new %d" % i + noise[i * 5:i * 5 + system_size])


def payload_state(device):
    return {"System": devicesim.snapshot(device.payload_system, times=True),
            "Zentavo": devicesim.snapshot(device.payload_app, times=True)}


def check_installed(device, payload):
    for name, root in (("System", device.system), ("Zentavo", device.app)):
        installed = devicesim.snapshot(root, times=True)
        wrong = [rel for rel, entry in payload[name].items()
                 if rel != "." and entry[0] != "d" and installed.get(rel) != entry]
        check(not wrong, "%s: not installed as in the payload: %s" % (name, wrong[:5]))


def inodes(root):
    return {(st.st_dev, st.st_ino): rel for rel, _, st, _ in devicesim._walk(root)
            if not os.path.isdir(os.path.join(root, rel))}


def run_to_end(binary, device, work, name, env=None):
    run = Updater(binary, device, work, name, env_changes=env)
    run.wait_log("delete installer directory", timeout=60)
    check(devicesim.install_status(run.log()) == "true", "the install failed:\n" + run.log())
    return run


def case_all_changed(binary, work, shim):
    device = Device(os.path.join(work, "device"))
    devicesim.mount_tmpfs(device.flash, "200m")
    devicesim.mount_tmpfs(device.system, "32m")
    build(device, os.urandom(2 * MB))
    device.insert_stick()
    payload = payload_state(device)
    system_payload = inodes(device.payload_system)
    run = run_to_end(binary, device, work, "all_changed", shim.env())
    check_installed(device, payload)
    app_device = os.stat(device.app).st_dev
    app_copies = [c for c in shim.calls() if c.is_copy() and c.device == app_device]
    check(not app_copies, "application data written again: %d data copies, e.g. %s"
          % (len(app_copies), app_copies[:3]))
    check(any(c.is_copy() for c in shim.calls()), "the System files were not copied")
    shared = set(inodes(device.system)) & set(system_payload)
    check(not shared, "installed System files share inodes with the payload: %s"
          % [system_payload[i] for i in list(shared)[:3]])
    check(not os.path.exists(device.payload_app), "the application payload is still there")
    linked = [rel for rel, _, st, _ in devicesim._walk(device.app)
              if not os.path.isdir(os.path.join(device.app, rel)) and st.st_nlink != 1]
    check(not linked, "installed application files with more than one link: %s" % linked[:5])
    run.finish_after_stick()
    print("all_changed: no application byte written again; System copied; one link each")


def case_two_links(binary, work, shim):
    device = Device(os.path.join(work, "device"))
    devicesim.mount_tmpfs(device.flash, "200m")
    build(device, os.urandom(2 * MB), app_files=8)
    twice = os.path.join(device.payload_app, "lib/l0/part00.dll")
    os.link(twice, os.path.join(device.flash, "elsewhere.dll"))
    mounted = os.path.join(device.payload_app, "media")
    devicesim.mount_tmpfs(mounted, "8m")
    put(mounted, "clip.bin", os.urandom(MB))
    device.insert_stick()
    payload = payload_state(device)
    before = {rel: os.lstat(os.path.join(device.payload_app, rel)).st_ino
              for rel in ("lib/l0/part00.dll", "media/clip.bin", "lib/l1/part01.dll")}
    run = Updater(binary, device, work, "two_links", env_changes=shim.env())
    run.wait_log("Status: ", timeout=60)
    installed = {rel: os.lstat(os.path.join(device.app, rel)) for rel in before}
    check(devicesim.install_status(run.log()) == "true", "the install failed:\n" + run.log())
    check(installed["lib/l0/part00.dll"].st_ino != before["lib/l0/part00.dll"],
          "a payload file with a second name was linked, not copied")
    check(installed["media/clip.bin"].st_ino != before["media/clip.bin"],
          "a payload file on another file system was not copied")
    check(installed["lib/l1/part01.dll"].st_ino == before["lib/l1/part01.dll"],
          "an ordinary payload file was copied, not linked")
    run.wait_log("delete installer directory", timeout=60)
    check(os.lstat(os.path.join(device.flash, "elsewhere.dll")).st_nlink == 1,
          "the device shares the file that has a second name outside the payload")
    check_installed(device, payload)
    run.finish_after_stick()
    print("two_links: the twice-named file and the mounted one copied, the rest linked")


def case_payload_kept(binary, work, shim):
    device = Device(os.path.join(work, "device"))
    devicesim.mount_tmpfs(device.flash, "200m")
    build(device, os.urandom(2 * MB))
    device.insert_stick()
    payload = payload_state(device)
    slow = {"rename_delay_us": 20000, "copy_delay_us": 20000}
    for how, moment in (("SIGTERM", "staging"), ("SIGKILL", "staging"), ("SIGKILL", "swaps")):
        run = Updater(binary, device, work, "%s-%s" % (how, moment), env_changes=shim.env(**slow))
        kind = "is_copy" if moment == "staging" else "is_rename"
        deadline = time.monotonic() + 60
        while sum(1 for c in shim.calls() if getattr(c, kind)()) < 3:
            check(run.running() and time.monotonic() < deadline, "never reached the %s\n%s" % (moment, run.log()))
            time.sleep(0.005)
        run.kill(signal.SIGTERM if how == "SIGTERM" else signal.SIGKILL)
        now = payload_state(device)
        for name in payload:
            difference = devicesim.snapshot_difference(payload[name], now[name])
            check(not difference, "%s during the %s: the %s payload changed:\n%s"
                  % (how, moment, name, difference))
        print("%s during the %s: the payload kept every name and byte" % (how, moment))
    run = run_to_end(binary, device, work, "again")
    check_installed(device, payload)
    run.finish_after_stick()


def case_tight_space(binary, work, shim):
    device = Device(os.path.join(work, "device"))
    devicesim.mount_tmpfs(device.flash, "300m")
    build(device, os.urandom(2 * MB), app_files=40, system_files=8)
    device.insert_stick()
    st = os.statvfs(device.flash)
    used = (st.f_blocks - st.f_bfree) * st.f_frsize
    system_bytes = sum(os.lstat(os.path.join(device.payload_system, "drivers", n)).st_size
                       for n in os.listdir(os.path.join(device.payload_system, "drivers")))
    app_bytes = sum(os.lstat(os.path.join(d, n)).st_size for d, _, names in os.walk(device.payload_app)
                    for n in names)
    size = used + system_bytes * 11 // 10 + MB
    check(size - used < app_bytes, "the disk would hold a second copy of the application files")
    subprocess.run(["mount", "-o", "remount,size=%d" % size, device.flash], check=True)
    payload = payload_state(device)
    run = run_to_end(binary, device, work, "tight_space", shim.env())
    check_installed(device, payload)
    run.finish_after_stick()
    print("tight_space: %.1f MB free for %.1f MB of System and %.1f MB of application files"
          % ((size - used) / MB, system_bytes / MB, app_bytes / MB))


CASES = {"all_changed": case_all_changed, "two_links": case_two_links,
         "payload_kept": case_payload_kept, "tight_space": case_tight_space}


def test():
    args = devicesim.parse_args(sys.argv[1:], {"installer", "shim", "case"})
    check(args["case"] in CASES, "unknown case %r" % args["case"])
    work = devicesim.private_tmpfs("600m", True, "linked-install")
    shim = Shim(args.get("shim"), os.path.join(work, "trace.txt"))
    CASES[args["case"]](args["installer"], work, shim)


if __name__ == "__main__":
    devicesim.main(test, CASES)
