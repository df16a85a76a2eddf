#!/usr/bin/env python3
"""Installing as root never carries the payload's owner onto the device.

The payload was unpacked by an ordinary user (uid 4321) with its own folder
modes; the device's trees belong to root and to the terminal application's
user (uid 1500). After the install a replaced file keeps its owner, a new
file or folder takes the owner of the folder it is created in, folders that
existed keep owner, mode and times, and no file keeps a set-user-ID or
set-group-ID bit for an owner or group it no longer has.

usage: owners.py --installer PATH      (skipped unless run as root)
"""

import os
import stat
import sys

import devicesim
from devicesim import Device, Updater, check

PAYLOAD_UID, PAYLOAD_GID = 4321, 4322
APP_UID, APP_GID = 1500, 1501


class Mode(int):
    """A mode that reads as the octal number it is written as."""

    def __repr__(self):
        return "0o%o" % self


def owner_mode(path):
    st = os.lstat(path)
    return st.st_uid, st.st_gid, Mode(stat.S_IMODE(st.st_mode))


def test():
    if os.geteuid() != 0:
        print("SKIP: changing owners needs root")
        sys.exit(devicesim.SKIP)
    args = devicesim.parse_args(sys.argv[1:], {"installer"})
    work = devicesim.private_tmpfs("64m", False, "owners")
    device = Device(os.path.join(work, "device"))

    devicesim.write_file(os.path.join(device.system, "drivers", "old.dll"), b"old driver", 0o644)
    devicesim.write_file(os.path.join(device.app, "bin", "tool"), b"old tool", 0o755)
    devicesim.write_terminal(os.path.join(device.app, "Zentavo.exe"), "old terminal")
    for dirpath, dirnames, filenames in os.walk(device.app):
        for name in [dirpath] + [os.path.join(dirpath, n) for n in filenames]:
            os.lchown(name, APP_UID, APP_GID)
    os.chmod(device.system, 0o755)
    os.chmod(device.app, 0o750)
    os.utime(device.app, (1400000000, 1400000000))
    before = {path: owner_mode(path) for path in
              (device.system, os.path.join(device.system, "drivers"), device.app,
               os.path.join(device.app, "bin"))}
    app_times = os.stat(device.app).st_mtime_ns

    devicesim.write_file(os.path.join(device.payload_system, "drivers", "old.dll"), b"new driver", 0o644)
    devicesim.write_file(os.path.join(device.payload_app, "bin", "tool"), b"new tool", 0o4755)
    devicesim.write_file(os.path.join(device.payload_app, "plugins", "new.so"), b"new plugin", 0o2755)
    devicesim.write_terminal(os.path.join(device.payload_app, "Zentavo.exe"), "new terminal")
    for root in (device.payload_system, device.payload_app):
        for dirpath, dirnames, filenames in os.walk(root):
            os.chmod(dirpath, 0o700)
            for name in [dirpath] + [os.path.join(dirpath, n) for n in filenames]:
                os.lchown(name, PAYLOAD_UID, PAYLOAD_GID)
    os.chmod(os.path.join(device.payload_app, "plugins"), 0o751)
    # Set after the chown, which clears set-user/group-ID bits: the updater
    # must see them to show that it drops them for an owner that differs.
    special = {os.path.join(device.payload_app, "bin", "tool"): 0o4755,
               os.path.join(device.payload_app, "plugins", "new.so"): 0o2755}
    for path, mode in special.items():
        os.chmod(path, mode)
        check(owner_mode(path) == (PAYLOAD_UID, PAYLOAD_GID, mode),
              "payload file %s is %r, not set up as %r" % (path, owner_mode(path), Mode(mode)))
    device.insert_stick()

    run = Updater(args["installer"], device, work)
    run.wait_log("delete installer directory", timeout=60)
    check(devicesim.install_status(run.log()) == "true", "the install failed:\n" + run.log())

    for path, expected in before.items():
        check(owner_mode(path) == expected, "%s changed from %r to %r" % (path, expected, owner_mode(path)))
    check(os.stat(device.app).st_mtime_ns == app_times, "the application folder's time changed")
    expectations = {
        os.path.join(device.system, "drivers", "old.dll"): (0, 0, 0o644),
        os.path.join(device.app, "bin", "tool"): (APP_UID, APP_GID, 0o755),
        os.path.join(device.app, "plugins"): (APP_UID, APP_GID, 0o751),
        os.path.join(device.app, "plugins", "new.so"): (APP_UID, APP_GID, 0o755),
        os.path.join(device.app, "Zentavo.exe"): (APP_UID, APP_GID, 0o755),
    }
    for path, expected in expectations.items():
        check(owner_mode(path) == expected, "%s is %r, expected %r"
              % (path, owner_mode(path), expected[:2] + (Mode(expected[2]),)))
    with open(os.path.join(device.app, "bin", "tool"), "rb") as f:
        check(f.read() == b"new tool", "the tool was not replaced")
    run.finish_after_stick()


if __name__ == "__main__":
    devicesim.main(test)
