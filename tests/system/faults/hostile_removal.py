#!/usr/bin/env python3
"""Removal never leaves the tree it was given, and misses nothing in it.

  dotted_folders  folders named like removal candidates (a backup folder
                  "System/v1.2" for "*.*", a folder "x.xml" among the request
                  files): walked into, never reported; the update succeeds.
  linked_requests the payload's request folders are links, to a folder outside
                  the device and to the device's own system folder: nothing
                  behind them is removed.
  linked_payload  the payload's "Zentavo" folder is a link (and, in a second
                  run, "Zentavo_Installer" itself): no payload, one line why,
                  nothing done and nothing deleted behind the link.
  entry_kinds     request entries named "*.xml" of every kind: names that are
                  not UTF-8, FIFOs, sockets, dangling links, links to folders;
                  all removed as themselves, hidden names kept.
  deep            request files and a "list" folder deeper than PATH_MAX: the
                  request files are cleared, "list" and the payload deleted.

usage: hostile_removal.py --installer PATH --case NAME
"""

import os
import socket
import sys

import devicesim
from devicesim import Device, Updater, check


def base_payload(device):
    devicesim.write_file(os.path.join(device.payload_system, "sys.dll"), b"system")
    devicesim.write_terminal(os.path.join(device.payload_app, "Zentavo.exe"), "new terminal")
    devicesim.write_terminal(os.path.join(device.app, "Zentavo.exe"), "old terminal")


def run_to_result(binary, device, work, name="run"):
    """One run from start to the pulled stick; nothing outside the device's
    trees may change in it."""
    outside = os.path.join(work, "outside")
    before = outside_state(device, outside)
    device.insert_stick()
    run = Updater(binary, device, work, name)
    run.wait_log("delete installer directory", timeout=90)
    log = run.log()
    run.finish_after_stick(timeout=30)
    after = outside_state(device, outside)
    changed = sorted(k for k in set(before) | set(after) if before.get(k) != after.get(k))
    check(not changed, "changed outside the device's trees: %s\n%s" % (changed, log))
    return log


def succeeded(log):
    return devicesim.install_status(log) == "true" and "HandleEvents: InitialState: Successful." in log


def case_dotted_folders(binary, device, work, outside):
    base_payload(device)
    devicesim.write_file(os.path.join(device.backup, "System", "v1.2", "driver.dll"), b"old")
    devicesim.write_file(os.path.join(device.backup, "Zentavo", "data", "keep"), b"no dot")
    devicesim.write_file(os.path.join(device.payload_app, "remotecmd", "x.xml", "inner.xml"), b"<a/>")
    devicesim.write_file(os.path.join(device.app, "system", "state.xml", "readme"), b"kept")
    log = run_to_result(binary, device, work)
    check(succeeded(log), "the update did not succeed:\n" + log)
    check("error - " not in log, "an error line:\n" + log)
    check(os.path.isdir(os.path.join(device.backup, "System", "v1.2")), "the backup folder went")
    check(not os.path.exists(os.path.join(device.backup, "System", "v1.2", "driver.dll")),
          "the file in the dotted backup folder stayed")
    check(os.path.exists(os.path.join(device.backup, "Zentavo", "data", "keep")), "a name without a dot went")
    check(os.path.isfile(os.path.join(device.app, "system", "state.xml", "readme")),
          "a file inside a folder named like a request went")


def case_linked_requests(binary, device, work, outside):
    base_payload(device)
    devicesim.write_file(os.path.join(outside, "orders", "a.xml"), b"<outside/>")
    devicesim.write_file(os.path.join(outside, "orders", "sub", "b.xml"), b"<outside/>")
    devicesim.write_file(os.path.join(device.system, "config", "device.xml"), b"<device/>")
    os.makedirs(device.payload_app, exist_ok=True)
    os.symlink(os.path.join(outside, "orders"), os.path.join(device.payload_app, "remotecmd"))
    os.symlink("../../System", os.path.join(device.payload_app, "system"))
    os.makedirs(os.path.join(device.app, "remotecmd"))
    os.symlink(os.path.join(outside, "orders", "sub"), os.path.join(device.app, "remotecmd", "linked"))
    log = run_to_result(binary, device, work)
    check(os.path.isfile(os.path.join(device.system, "config", "device.xml")),
          "the device's own system file was removed through a link:\n" + log)
    for line in log.splitlines():
        check(not (line.startswith("removed file: ") and "remotecmd/linked/" in line),
              "removed through a link: " + line)


def case_linked_payload(binary, device, work, outside):
    devicesim.write_file(os.path.join(device.payload_system, "sys.dll"), b"system")
    devicesim.write_terminal(os.path.join(device.app, "Zentavo.exe"), "old terminal")
    target = os.path.join(outside, "Zentavo")
    devicesim.write_file(os.path.join(target, "list", "order.xml"), b"<order/>")
    devicesim.write_file(os.path.join(target, "remotecmd", "cmd.xml"), b"<cmd/>")
    devicesim.write_terminal(os.path.join(target, "Zentavo.exe"), "linked terminal")
    os.symlink(target, device.payload_app)
    log = run_to_result(binary, device, work, "app-linked")
    check("HandleEvents: InitialState: Nothing done." in log, "the linked payload was installed:\n" + log)
    check(log.count("No payload: ") == 1 and "is a link" in log, "no line says why:\n" + log)
    check("linked terminal" not in open(os.path.join(device.app, "Zentavo.exe")).read(),
          "the linked payload was installed")

    # The whole payload folder a link: the same, and nothing deleted behind it.
    os.unlink(device.payload_app) if os.path.lexists(device.payload_app) else None
    os.rename(device.payload, os.path.join(outside, "Zentavo_Installer"))
    os.symlink(os.path.join(outside, "Zentavo_Installer"), device.payload)
    os.rename(target, os.path.join(outside, "Zentavo_Installer", "Zentavo"))
    log = run_to_result(binary, device, work, "installer-linked")
    check("HandleEvents: InitialState: Nothing done." in log, "the linked payload was installed:\n" + log)
    check(log.count("No payload: ") == 1, "no line says why:\n" + log)


def make_entry_kinds(folder):
    os.makedirs(folder, exist_ok=True)
    made = []
    fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for raw in (b"caf\xe9.xml", b"\xff\xfe.XML"):
            f = os.open(raw, os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
            os.close(f)
            made.append(raw)
    finally:
        os.close(fd)
    os.mkfifo(os.path.join(folder, "pipe.xml"))
    sock = socket.socket(socket.AF_UNIX)
    sock.bind(os.path.join(folder, "sock.xml"))
    sock.close()
    os.symlink("/nonexistent/order.xml", os.path.join(folder, "dangling.xml"))
    os.symlink("..", os.path.join(folder, "up.xml"))
    devicesim.write_file(os.path.join(folder, ".hidden.xml"), b"<hidden/>")
    devicesim.write_file(os.path.join(folder, "plain.xml"), b"<plain/>")
    return made + [b"pipe.xml", b"sock.xml", b"dangling.xml", b"up.xml", b"plain.xml"]


def case_entry_kinds(binary, device, work, outside):
    base_payload(device)
    folders = [os.path.join(device.app, "remotecmd"), os.path.join(device.payload_app, "system", "deep")]
    expected = {folder: make_entry_kinds(folder) for folder in folders}
    log = run_to_result(binary, device, work)
    for folder in folders:
        if folder.startswith(device.payload_app):
            continue  # the payload is deleted after the run
        left = sorted(os.listdir(os.fsencode(folder)))
        check(left == [b".hidden.xml"], "left in %s: %r\n%s" % (folder, left, log))
    check(log.count("removed file: ") - log.count("error - removed file: ")
          >= sum(len(v) for v in expected.values()), "not every entry has its line:\n" + log)
    check("error - " not in log, "an error line:\n" + log)
    check(os.path.isdir(device.app), "a link to a folder was followed")


def deep_path(base, levels, leaf_dirs=(), leaf_files=()):
    """Makes base/ddd.../ddd... levels deep with descriptors; returns the depth in bytes."""
    os.makedirs(base, exist_ok=True)
    fd = os.open(base, os.O_RDONLY | os.O_DIRECTORY)
    name = "d" * 200
    for _ in range(levels):
        os.mkdir(name, dir_fd=fd)
        nxt = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
        os.close(fd)
        fd = nxt
    for leaf in leaf_files:
        f = os.open(leaf, os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
        os.write(f, b"<deep/>")
        os.close(f)
    os.close(fd)
    return len(base) + levels * 201


def deep_exists(base, levels, leaf):
    try:
        fd = os.open(base, os.O_RDONLY | os.O_DIRECTORY)
    except FileNotFoundError:
        return False
    try:
        for _ in range(levels):
            nxt = os.open("d" * 200, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = nxt
        os.stat(leaf, dir_fd=fd, follow_symlinks=False)
        return True
    except FileNotFoundError:
        return False
    finally:
        os.close(fd)


def case_deep(binary, device, work, outside):
    base_payload(device)
    levels = 25  # 25 * 201 bytes: beyond PATH_MAX (4096)
    requests = os.path.join(device.app, "remotecmd")
    depth = deep_path(requests, levels, leaf_files=("req.xml", "keep.txt"))
    deep_path(os.path.join(device.app, "list"), levels, leaf_files=("order.xml",))
    deep_path(os.path.join(device.payload_app, "extra"), levels, leaf_files=("payload.bin",))
    print("deepest path: %d bytes" % depth)
    log = run_to_result(binary, device, work)
    check(not deep_exists(requests, levels, "req.xml"), "the deep request file stayed:\n" + log)
    check(deep_exists(requests, levels, "keep.txt"), "a deep file that is no request went")
    check(not os.path.lexists(os.path.join(device.app, "list")), "the deep list folder stayed:\n" + log)
    check(not os.path.lexists(device.payload_app), "the deep payload was not deleted:\n" + log)
    check("delete installer directory  true" in log, "deleting the payload failed:\n" + log)


CASES = {
    "dotted_folders": case_dotted_folders,
    "linked_requests": case_linked_requests,
    "linked_payload": case_linked_payload,
    "entry_kinds": case_entry_kinds,
    "deep": case_deep,
}


def outside_state(device, outside):
    """The outside folder and the device root apart from its trees and the
    updater's lock folder. Deep trees are left out of the snapshots."""
    state = {("outside", rel): e for rel, e in devicesim.snapshot(outside).items()}
    own = {device.flash, os.path.join(device.root, "USB HD"), os.path.join(device.root, "run")}
    for rel, entry in devicesim.snapshot(device.root, prune=own).items():
        if rel != "terminal-started":
            state[("device", rel)] = entry
    return state


def test():
    args = devicesim.parse_args(sys.argv[1:], {"installer", "case"})
    case = args["case"]
    check(case in CASES, "unknown case %r" % case)
    work = devicesim.private_tmpfs("256m", False, "hostile-removal")
    device = Device(os.path.join(work, "device"))
    outside = os.path.join(work, "outside")
    os.makedirs(outside)
    os.makedirs(device.flash)
    devicesim.write_file(os.path.join(device.root, "elsewhere", "own.txt"), b"device file")
    CASES[case](args["installer"], device, work, outside)


if __name__ == "__main__":
    devicesim.main(test, CASES)
