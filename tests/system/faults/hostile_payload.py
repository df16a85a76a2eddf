#!/usr/bin/env python3
"""Hostile payloads through the real updater.

links:  link loops and links that lead out of the payload, also inside the
        request directories, the backup area and the installed application:
        each is recreated (or removed) as a link, never followed, and nothing
        outside the device's trees changes.
names:  spaces, non-ASCII letters, line feeds, format specifiers, shell
        characters and empty files, in the payload and in request directories.
deep:   a 100-level deep tree in the payload, in a request directory and in
        the backup area.
path_max: a Zentavo tree whose paths are longer than PATH_MAX (4096 bytes),
        partly installed already; made and looked at with directory
        descriptors, as full paths that long cannot be used. It is installed
        and then removed like any payload.
sparse: a 2 GB sparse file; the copy must be exact (whether it stays sparse is
        reported).
sparse_small_disk: the same sparse files on a 256 MB disk: they fit by their
        data, not by their 3 GB of apparent size, so the space check must count
        only the blocks they hold.

Every case must end with "Status: true", the success result, the payload
installed exactly, exit code 0 after the stick is pulled, and no change
outside the device's update trees.

usage: hostile_payload.py --installer PATH --case links|names|deep|path_max|sparse|sparse_small_disk
"""

import os
import sys

import devicesim
from devicesim import Device, Updater, check

SPARSE_SIZE = 2 << 30


def regular_files(root):
    return {rel: e for rel, e in devicesim.snapshot(root).items() if e[0] in ("f", "F")}


def links(root):
    return {rel: e for rel, e in devicesim.snapshot(root).items() if e[0] == "l"}


def setup_links(device, outside):
    """Links out of the payload and link loops; returns what must hold after."""
    devicesim.write_file(os.path.join(outside, "secret.txt"), b"outside, never to be touched")
    devicesim.write_file(os.path.join(outside, "secret.xml"), b"<outside/>")
    devicesim.write_file(os.path.join(outside, "dir", "keep.txt"), b"keep")
    devicesim.write_file(os.path.join(outside, "dir", "keep.xml"), b"<keep/>")
    devicesim.write_file(os.path.join(outside, "dir", "sub", "a.xml"), b"<a/>")
    os.mkfifo(os.path.join(outside, "fifo"))

    app = device.payload_app
    made = {
        "links/abs_file": os.path.join(outside, "secret.txt"),
        "links/abs_dir": os.path.join(outside, "dir"),
        "links/rel_escape": "../../../../../outside/secret.txt",
        "links/dangling": "/nonexistent/zentavo/nowhere",
        "links/fifo": os.path.join(outside, "fifo"),
        "links/dev_zero": "/dev/zero",
        "loops/self": "self",
        "loops/a": "b",
        "loops/b": "a",
        "loops/up": "..",
        "loops/payload_root": "../../Zentavo",
        "loops/deeper/back": "../..",
        # Request directories: "ext" is no request file and is copied as a
        # link; what it leads to must not be cleared.
        "remotecmd/ext": os.path.join(outside, "dir"),
        "system/ext": os.path.join(outside, "dir"),
        # A link that looks like a request file is removed as a link.
        "remotecmd/evil.xml": os.path.join(outside, "secret.xml"),
    }
    for rel, destination in made.items():
        path = os.path.join(app, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        os.symlink(destination, path)
    # The payload's "list" is removed whole: a link there goes as a link.
    os.symlink(os.path.join(outside, "dir"), os.path.join(app, "list"))
    devicesim.write_file(os.path.join(app, "links", "plain.txt"), b"a plain file among links")
    os.symlink(os.path.join(outside, "secret.txt"), os.path.join(device.payload_system, "lnk.dll"))

    # The installed application and the backup area hold links out as well.
    os.makedirs(os.path.join(device.app, "remotecmd"))
    os.symlink(os.path.join(outside, "dir"), os.path.join(device.app, "remotecmd", "ext2"))
    os.symlink(os.path.join(outside, "dir"), os.path.join(device.app, "list"))
    os.makedirs(os.path.join(device.backup, "System"))
    os.makedirs(os.path.join(device.backup, "Zentavo"))
    os.symlink(os.path.join(outside, "dir"), os.path.join(device.backup, "Zentavo", "ext.d"))
    os.symlink(os.path.join(outside, "secret.txt"), os.path.join(device.backup, "System", "s.txt"))
    # An installed file that is a link out: the new file replaces the link.
    os.makedirs(os.path.join(device.app, "links"))
    os.symlink(os.path.join(outside, "secret.txt"), os.path.join(device.app, "links", "plain.txt"))

    expected_links = {rel: ("l", dest) for rel, dest in made.items()
                      if rel != "remotecmd/evil.xml"}

    def verify(log):
        installed = links(device.app)
        for rel, entry in expected_links.items():
            check(installed.get(rel) == entry, "%s: expected a link %r, found %r"
                  % (rel, entry[1], installed.get(rel)))
        check(not os.path.lexists(os.path.join(device.app, "remotecmd", "evil.xml")),
              "a request file (a link) was installed")
        check(not os.path.lexists(os.path.join(device.app, "list")), "the installed list is still there")
        check(os.path.islink(os.path.join(device.system, "lnk.dll")), "system link not copied as a link")
        plain = os.path.join(device.app, "links", "plain.txt")
        check(not os.path.islink(plain), "the new file did not replace the installed link")
        with open(plain, "rb") as f:
            check(f.read() == b"a plain file among links", "the new file is wrong")
        check(not os.path.lexists(os.path.join(device.backup, "System", "s.txt")),
              "a link in the backup area matching *.* was not removed")
        check(os.path.islink(os.path.join(device.backup, "Zentavo", "ext.d"))
              or not os.path.lexists(os.path.join(device.backup, "Zentavo", "ext.d")),
              "the backup link was replaced by something else")
    return verify


NAMES = [
    "with space.txt",
    "dir with space/inner file.dat",
    " leading space",
    "trailing space ",
    "Gr\u00fc\u00dfe-\u00c4\u00d6\u00dc-\u00e9\u00e8\u00ea.txt",
    "\u65e5\u672c\u8a9e/\u30d5\u30a1\u30a4\u30eb.bin",
    "\u0395\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac-\u043a\u0438\u0440\u0438\u043b\u043b\u0438\u0446\u0430.txt",
    "emoji-\U0001f642.txt",
    "line\nfeed.txt",
    "dir\nwith\nfeeds/x",
    "\nstarts with a line feed",
    "tab\there",
    "%s%n%x%1%%.txt",
    "-rf",
    "back\\slash",
    "quote\"s'.txt",
    "*?[].txt",
    "semi;colon&amp|pipe.txt",
    "$(touch pwned)",
    ".hidden",
    "..double-dot-start",
    "a" * 250,
]
EMPTY = ["empty.txt", "empty dir/empty", "\u00fcber-leer"]
REQUESTS = ["remotecmd/req %n%s.xml", "remotecmd/line\nfeed.xml", "remotecmd/\u00fcn\u00ef.xml",
            "system/sub dir/%s %n.xml", "list/\u65e5\u672c.txt"]
KEPT_BESIDE_REQUESTS = ["remotecmd/keep %n.txt", "system/line\nfeed.ini"]


def setup_names(device):
    for i, name in enumerate(NAMES + KEPT_BESIDE_REQUESTS):
        devicesim.write_file(os.path.join(device.payload_app, name), ("file %d %r" % (i, name)).encode())
    for name in EMPTY:
        devicesim.write_file(os.path.join(device.payload_app, name), b"")
    for name in REQUESTS:
        devicesim.write_file(os.path.join(device.payload_app, name), b"<request/>")
    # Old versions under the same strange names are replaced.
    for name in NAMES[:10] + ["\u00fcber-leer"]:
        devicesim.write_file(os.path.join(device.app, name), b"old version of a strange name")
    # Request files of the installed application with strange names go.
    for name in REQUESTS:
        devicesim.write_file(os.path.join(device.app, name), b"<old request/>")
    devicesim.write_file(os.path.join(device.payload_system, "\u00c4\u00f6 sys\n.dll"), b"system")
    expected = {rel: e for rel, e in regular_files(device.payload_app).items()
                if rel.replace("\\", "/").split("/")[0] != "list"
                and not rel.endswith(".xml")}

    def verify(log):
        installed = regular_files(device.app)
        for rel, entry in expected.items():
            check(installed.get(rel) == entry, "%r not installed as it is in the payload: %r"
                  % (rel, installed.get(rel)))
        # Names go into the log as they are, never as a format.
        for name in REQUESTS:
            if name.endswith(".xml"):
                for base in (device.app, device.payload_app):
                    line = "removed file: " + os.path.join(base, name)
                    check(line in log, "the log lacks %r" % line)
        for name in REQUESTS:
            check(not os.path.lexists(os.path.join(device.app, name)),
                  "request file %r still installed" % name)
        for name in EMPTY:
            check(os.path.getsize(os.path.join(device.app, name)) == 0, "%r not empty" % name)
        check(os.path.isfile(os.path.join(device.system, "\u00c4\u00f6 sys\n.dll")),
              "the system file with a strange name was not copied")
        check(not os.path.lexists(os.path.join(device.root, "pwned")), "a name ran as a command")
    return verify


def setup_deep(device):
    parts = ["level%03d" % i for i in range(1, 101)]
    for depth in range(1, 101):
        rel = os.path.join("deep", *parts[:depth], "file%03d.txt" % depth)
        devicesim.write_file(os.path.join(device.payload_app, rel), b"depth %d" % depth)
    bottom = os.path.join(*parts)
    devicesim.write_file(os.path.join(device.payload_app, "remotecmd", bottom, "deep.xml"), b"<r/>")
    devicesim.write_file(os.path.join(device.payload_app, "remotecmd", bottom, "keep.txt"), b"k")
    os.makedirs(os.path.join(device.backup, "System"))
    devicesim.write_file(os.path.join(device.backup, "Zentavo", bottom, "old.bak"), b"old")
    expected = {rel: e for rel, e in regular_files(device.payload_app).items()
                if not rel.endswith(".xml")}

    def verify(log):
        installed = regular_files(device.app)
        for rel, entry in expected.items():
            check(installed.get(rel) == entry, "deep file not installed: %s" % rel)
        check(not os.path.lexists(os.path.join(device.app, "remotecmd", bottom, "deep.xml")),
              "the deep request file was installed")
        check(not os.path.lexists(os.path.join(device.backup, "Zentavo", bottom, "old.bak")),
              "the deep backup file was not removed")
    return verify


PATH_MAX = 4096
# Levels of 120-byte names: well past PATH_MAX below the payload folder.
DEEP_LEVELS = ["%03d-" % i + "p" * 116 for i in range(40)]


def make_deep(root, levels, files, link=True):
    """Creates root/levels... with `files` {level index: {name: bytes}} and,
    with `link`, a link at the bottom, walking with directory descriptors."""
    os.makedirs(root, exist_ok=True)
    fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for depth, name in enumerate(levels):
            os.mkdir(name, dir_fd=fd)
            inner = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = inner
            for file_name, data in files.get(depth, {}).items():
                out = os.open(file_name, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o640, dir_fd=fd)
                os.write(out, data)
                os.close(out)
        if link:
            os.symlink("../" + levels[-2], "up", dir_fd=fd)
    finally:
        os.close(fd)


def setup_path_max(device):
    deep_root = os.path.join(device.payload_app, "deep")
    files = {depth: {"file%02d.txt" % depth: b"depth %d\n" % depth * (depth + 1)}
             for depth in (0, 9, 19, 29, 35, 39)}
    files[39]["bottom.bin"] = os.urandom(100000)
    make_deep(deep_root, DEEP_LEVELS, files)
    # Down to level 36 the tree is installed already, with an old version of
    # a file that the payload replaces and a file of the device's own.
    old = {35: {"file35.txt": b"old version", "own.dat": b"the device's own file"}}
    make_deep(os.path.join(device.app, "deep"), DEEP_LEVELS[:37], old, link=False)
    check(len(os.path.join(deep_root, *DEEP_LEVELS)) > PATH_MAX, "the payload is not deep enough")
    expected = devicesim.snapshot(device.payload_app)

    def verify(log):
        installed = devicesim.snapshot(device.app)
        wrong = sorted(rel for rel, entry in expected.items() if installed.get(rel) != entry)
        check(not wrong, "%d payload entries not installed as they are, the deepest at %d bytes"
              % (len(wrong), max([len(rel) for rel in wrong] or [0])))
        own = os.path.join("deep", *DEEP_LEVELS[:36], "own.dat")
        check(installed.get(own, ("",))[0] == "f", "the device's own deep file went")
        deepest = max(len(os.path.join(device.app, rel)) for rel in installed)
        print("path_max: %d entries installed, the longest path %d bytes"
              % (len(installed), deepest))
    return verify


def setup_sparse(device):
    path = os.path.join(device.payload_app, "big", "sparse.img")
    os.makedirs(os.path.dirname(path))
    data_at = [0, (1 << 30) + 12345, SPARSE_SIZE - 4096]
    with open(path, "wb") as f:
        f.truncate(SPARSE_SIZE)
        for offset in data_at:
            f.seek(offset)
            f.write(os.urandom(4096))
    hole = os.path.join(device.payload_app, "big", "all-hole.img")
    with open(hole, "wb") as f:
        f.truncate(SPARSE_SIZE // 2)
    devicesim.write_file(os.path.join(device.app, "big", "sparse.img"), b"old small file")

    # The payload is deleted after the run: keep its data blocks to compare.
    reference = {}
    with open(path, "rb") as f:
        for offset in data_at:
            f.seek(offset)
            reference[offset] = f.read(4096)

    def verify(log):
        target = os.path.join(device.app, "big", "sparse.img")
        st = os.stat(target)
        check(st.st_size == SPARSE_SIZE, "size %d instead of %d" % (st.st_size, SPARSE_SIZE))
        with open(target, "rb") as f:
            for offset, block in reference.items():
                f.seek(offset)
                check(f.read(4096) == block, "data block at %d differs" % offset)
            # Everything else is zeros: read it all, in large steps.
            zeros = bytes(16 << 20)
            position = 0
            f.seek(0)
            while position < SPARSE_SIZE:
                chunk = f.read(16 << 20)
                check(chunk, "file ends early at %d" % position)
                expected = bytearray(zeros[:len(chunk)])
                for offset, block in reference.items():
                    lo = max(offset, position)
                    hi = min(offset + 4096, position + len(chunk))
                    if lo < hi:
                        expected[lo - position:hi - position] = block[lo - offset:hi - offset]
                check(chunk == expected, "the copy differs between %d and %d"
                      % (position, position + len(chunk)))
                position += len(chunk)
        hole_target = os.path.join(device.app, "big", "all-hole.img")
        check(os.path.getsize(hole_target) == SPARSE_SIZE // 2, "the all-hole file has the wrong size")
        print("sparse copy: %d MB allocated for 2048 MB (%s); all-hole copy: %d MB allocated"
              % (st.st_blocks * 512 >> 20, "sparse" if st.st_blocks * 512 < SPARSE_SIZE // 2
                 else "not sparse", os.stat(hole_target).st_blocks * 512 >> 20))
    return verify


def outside_state(device, outside):
    """Everything of the machine the run may not touch: the outside directory
    and the device root apart from the update's own trees and the stick."""
    state = {("outside", rel): entry for rel, entry in devicesim.snapshot(outside).items()}
    own = {device.app, device.system, device.payload, device.backup,
           os.path.join(device.root, "USB HD"),
           # the updater's single-instance lock below the device root
           os.path.join(device.root, "run")}
    for rel, entry in devicesim.snapshot(device.root, prune=own).items():
        if os.path.join(device.root, rel) not in own and rel != "terminal-started":
            state[("device", rel)] = entry
    return state


# case -> how to lay out its payload; returns the check of the result.
SETUPS = {"links": lambda device, outside: setup_links(device, outside),
          "names": lambda device, outside: setup_names(device),
          "deep": lambda device, outside: setup_deep(device),
          "path_max": lambda device, outside: setup_path_max(device),
          "sparse": lambda device, outside: setup_sparse(device),
          "sparse_small_disk": lambda device, outside: setup_sparse(device)}


def test():
    args = devicesim.parse_args(sys.argv[1:], {"installer", "case"})
    binary = args["installer"]
    case = args["case"]
    check(case in SETUPS, "unknown case %r" % case)
    size = "5g" if case == "sparse" else "256m"
    # The small disk is the point of that case: without it the case is skipped.
    work = devicesim.private_tmpfs(size, case == "sparse_small_disk", "hostile-payload")
    device = Device(os.path.join(work, "device"))
    outside = os.path.join(work, "outside")
    os.makedirs(outside)
    devicesim.write_file(os.path.join(device.root, "elsewhere", "own.txt"), b"device file")
    os.makedirs(device.payload_system)
    devicesim.write_terminal(os.path.join(device.app, "Zentavo.exe"), "old terminal")

    verify = SETUPS[case](device, outside)
    devicesim.write_terminal(os.path.join(device.payload_app, "Zentavo.exe"), "new terminal")
    device.insert_stick()
    before = outside_state(device, outside)

    run = Updater(binary, device, work)
    run.wait_log("delete installer directory", timeout=200 if case.startswith("sparse") else 60)
    log = run.log()
    after = outside_state(device, outside)
    changed = sorted(key for key in set(before) | set(after) if before.get(key) != after.get(key))
    check(not changed, "changed outside the update's trees: %s" % changed)
    check(devicesim.install_status(log) == "true" and "HandleEvents: InitialState: Successful." in log,
          "the install did not succeed:\n" + log)
    verify(log)
    check(not devicesim.temporaries(device.flash), "temporaries left behind")
    check(not os.path.exists(device.payload_app), "the application payload was not deleted")
    run.finish_after_stick(timeout=30)


if __name__ == "__main__":
    devicesim.main(test, SETUPS)
